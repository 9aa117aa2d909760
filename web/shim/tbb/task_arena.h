// oneTBB's task_arena for the WebAssembly build (see parallel_for.h): the thread count the loops
// it executes may use, and the index of the thread running an item.
#pragma once

#include <algorithm>
#include <thread>
#include <utility>

namespace tbb {
namespace detail {
inline thread_local int thread_index = 0;
inline thread_local int arena_threads = 1;
}  // namespace detail

class task_arena {
public:
    explicit task_arena(int threads = 0)
        : threads_(threads > 0 ? threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()))) {}

    template <typename F>
    void execute(F&& f) {
        const int outer = detail::arena_threads;
        detail::arena_threads = threads_;
        struct Restore {
            int threads;
            ~Restore() { detail::arena_threads = threads; }
        } restore{outer};
        std::forward<F>(f)();
    }

private:
    int threads_;
};

namespace this_task_arena {
inline int current_thread_index() { return detail::thread_index; }
template <typename F>
void isolate(F&& f) {
    std::forward<F>(f)();
}
}  // namespace this_task_arena

}  // namespace tbb
