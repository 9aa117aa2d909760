// Happens-before edges around a parallel loop, for ThreadSanitizer: Debian's oneTBB (under
// tbb::parallel_for and under the standard library's parallel algorithms alike) is not built with
// it, so the synchronisation of its task spawn and join is invisible to it. Without ThreadSanitizer
// every member is empty and compiles away.
#pragma once

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace korvane {

// One object per loop: BeforeFork on the calling thread, TaskBegin and TaskEnd around each task's
// body, AfterJoin on the calling thread once the loop has returned.
class ForkJoinEdges {
public:
#if defined(__SANITIZE_THREAD__)
    void BeforeFork() { __tsan_release(&start_); }
    void TaskBegin() { __tsan_acquire(&start_); }
    void TaskEnd() { __tsan_release(&done_); }
    void AfterJoin() { __tsan_acquire(&done_); }

private:
    char start_ = 0, done_ = 0;
#else
    void BeforeFork() {}
    void TaskBegin() {}
    void TaskEnd() {}
    void AfterJoin() {}
#endif
};

}  // namespace korvane
