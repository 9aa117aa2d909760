// Row loops of the grid transfers on the executor of the sort context, failures collected in its
// message.
#include <exception>
#include <string>

#include "sorting/Executor.h"
#include "sorting/Info.h"

namespace korvane::utils {

bool RunRowsInParallel(const RowFunction& f, Info& info, int32_t rowCount) {
    if (info.executor != nullptr) return RunRowsInParallel(f, info, rowCount, *info.executor);
    PoolExecutor pool(0);
    return RunRowsInParallel(f, info, rowCount, pool);
}

bool RunRowsInParallel(const RowFunction& f, Info& info, int32_t rowCount, Executor& executor) {
    info.loopCode = 0;
    if (rowCount <= 0) return true;
    const int32_t code = executor.Run(rowCount, [&f, &info](int64_t row, int) -> int32_t {
        try {
            f(info, static_cast<int32_t>(row));
        } catch (const std::exception& e) {
            info.SetMessage(e.what());
        } catch (...) {
            info.SetMessage("Unknown exception in a row worker");
        }
        return 0;
    });
    if (code == 0) return true;
    info.loopCode = code;
    info.SetMessage("the rows stopped with code " + std::to_string(code));
    return false;
}

}  // namespace korvane::utils
