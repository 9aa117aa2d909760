// Happens-before edges around a parallel loop, for ThreadSanitizer: Debian's oneTBB (under
// tbb::parallel_for and under the standard library's parallel algorithms alike) is not built with
// it, so the synchronisation of its task spawn and join is invisible to it. Without ThreadSanitizer
// every member is empty and compiles away.
#pragma once

#include <utility>

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
    // A worker that splits a range copies the loop's body into the new task, which another thread
    // may run: the copy is released at a fixed address and acquired there before the body is read.
    static void BodyCopied() { __tsan_release(&copies_); }
    static void BodyRuns() { __tsan_acquire(&copies_); }

private:
    char start_ = 0, done_ = 0;
    static inline char copies_ = 0;
#else
    void BeforeFork() {}
    void TaskBegin() {}
    void TaskEnd() {}
    void AfterJoin() {}
    static void BodyCopied() {}
    static void BodyRuns() {}
#endif
};

// A loop's body as oneTBB copies and runs it, with the copy's edge around it.
template <typename Body>
class EdgedBody {
public:
    explicit EdgedBody(Body body) : body_(std::move(body)) {}
    EdgedBody(const EdgedBody& other) : body_(other.body_) { ForkJoinEdges::BodyCopied(); }
    EdgedBody& operator=(const EdgedBody&) = delete;
    template <typename Range>
    void operator()(const Range& range) const {
        ForkJoinEdges::BodyRuns();
        body_(range);
    }

private:
    Body body_;
};

}  // namespace korvane
