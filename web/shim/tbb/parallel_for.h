// The part of oneTBB the effect and the host use, for the WebAssembly build, where there is no
// oneTBB: loops run on the calling thread, or, in a build with threads, on as many std::threads as
// the arena allows (kept in a pool), each taking the next index. Nested loops run on the thread
// that reaches them.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "tbb/blocked_range.h"
#include "tbb/task_arena.h"

namespace tbb {
namespace detail {

#ifdef __EMSCRIPTEN_PTHREADS__
// Threads started once and kept: a browser starts a thread in a worker of its own, too slowly to
// start threads for every loop. One loop at a time; the caller is worker 0.
class Pool {
public:
    static Pool& Instance() {
        static Pool* pool = new Pool;  // its threads outlive every caller
        return *pool;
    }

    void Run(int workers, const std::function<void(int)>& job) {
        std::unique_lock lock(mutex_);
        while (static_cast<int>(threads_.size()) < workers - 1) {
            const int index = static_cast<int>(threads_.size()) + 1;
            threads_.emplace_back([this, index] { Serve(index); });
        }
        job_ = &job;
        active_ = workers;
        remaining_ = workers - 1;
        ++generation_;
        wake_.notify_all();
        lock.unlock();
        job(0);
        lock.lock();
        done_.wait(lock, [this] { return remaining_ == 0; });
        job_ = nullptr;
    }

private:
    void Serve(int index) {
        unsigned long seen = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return generation_ != seen; });
            seen = generation_;
            if (index >= active_) continue;
            const std::function<void(int)>* job = job_;
            lock.unlock();
            (*job)(index);
            lock.lock();
            if (--remaining_ == 0) done_.notify_one();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::vector<std::thread> threads_;
    const std::function<void(int)>* job_ = nullptr;
    int active_ = 0, remaining_ = 0;
    unsigned long generation_ = 0;
};
#endif

}  // namespace detail

template <typename Range, typename Body>
void parallel_for(const Range& range, const Body& body) {
    const int64_t items = static_cast<int64_t>(range.end() - range.begin());
    if (items <= 0) return;
#ifdef __EMSCRIPTEN_PTHREADS__
    const int workers = static_cast<int>(std::min<int64_t>(detail::arena_threads, items));
    if (workers > 1) {
        std::atomic<int64_t> next{0};
        const int caller_index = detail::thread_index;
        const int caller_threads = detail::arena_threads;
        const std::function<void(int)> run = [&](int index) {
            detail::thread_index = index;
            detail::arena_threads = 1;
            for (int64_t item = next++; item < items; item = next++)
                body(Range(range.begin() + item, range.begin() + item + 1));
        };
        detail::Pool::Instance().Run(workers, run);
        detail::thread_index = caller_index;
        detail::arena_threads = caller_threads;
        return;
    }
#endif
    body(range);
}

}  // namespace tbb
