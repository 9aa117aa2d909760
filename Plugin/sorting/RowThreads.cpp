// Row threading for the grid transfers: one contiguous slice of rows per thread, failures
// collected in the message of the sort context.
#include <algorithm>
#include <exception>
#include <thread>
#include <utility>
#include <vector>

#include "sorting/Info.h"

namespace korvane::utils {

bool RunRowsInParallel(const RowFunction& f, Info& info, int32_t rowCount) {
    return RunRowsInParallel(f, info, rowCount, std::thread::hardware_concurrency());
}

bool RunRowsInParallel(const RowFunction& f, Info& info, int32_t rowCount, unsigned threadCount) {
    return RunRowsInParallel(f, info, rowCount, threadCount,
                             [](std::function<void()> body) { return std::thread(std::move(body)); });
}

bool RunRowsInParallel(const RowFunction& f, Info& info, int32_t rowCount, unsigned threadCount,
                       const ThreadStarter& start) {
    const int64_t rows = std::max<int32_t>(rowCount, 0);
    // Slices that would be empty start no thread: the rows each thread runs stay as planned.
    const int64_t threads = std::min<int64_t>(std::max(threadCount, 1u), std::max<int64_t>(rows, 1));
    const int64_t chunk = rows / threads;
    const int64_t extra = rows % threads;

    std::vector<std::thread> started;
    started.reserve(static_cast<size_t>(threads));
    bool ok = true;
    try {
        int64_t sliceStart = 0;
        for (int64_t i = 0; i < threads; ++i) {
            const int64_t sliceEnd = sliceStart + chunk + (i < extra ? 1 : 0);
            auto body = [f, &info, sliceStart, sliceEnd]() {
                try {
                    for (int64_t r = sliceStart; r < sliceEnd; ++r) {
                        f(info, static_cast<int32_t>(r));
                    }
                } catch (const std::exception& e) {
                    info.SetMessage(e.what());
                } catch (...) {
                    info.SetMessage("Unknown exception in a row worker");
                }
            };
            started.push_back(start(std::move(body)));
            sliceStart = sliceEnd;
        }
    } catch (const std::exception& e) {
        info.SetMessage(e.what());
        ok = false;
    }
    for (std::thread& thread : started) {
        try {
            if (thread.joinable()) {
                thread.join();
            }
        } catch (const std::exception& e) {
            info.SetMessage(e.what());
            ok = false;
        }
    }
    return ok;
}

}  // namespace korvane::utils
