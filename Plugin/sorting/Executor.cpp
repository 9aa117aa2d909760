// The executors of the effect's parallel loops and the shelf of their workers' scratch.
#include "sorting/Executor.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace korvane::utils {

namespace {

// Scratch sets of executors that have ended, for the next ones: a render takes one when its
// executor is made and gives it back at the end, so that frames one after another find their
// workers' memory sized, and renders at once each have their own.
std::mutex& ShelfMutex() {
    static std::mutex mutex;
    return mutex;
}

std::vector<std::unique_ptr<ScratchSet>>& Shelf() {
    static std::vector<std::unique_ptr<ScratchSet>> shelf;
    return shelf;
}

std::unique_ptr<ScratchSet> TakeScratchSet() {
    {
        std::lock_guard lock(ShelfMutex());
        if (!Shelf().empty()) {
            std::unique_ptr<ScratchSet> set = std::move(Shelf().back());
            Shelf().pop_back();
            return set;
        }
    }
    return std::make_unique<ScratchSet>();
}

void GiveScratchSet(std::unique_ptr<ScratchSet> set) noexcept {
    if (!set) return;
    try {
        std::lock_guard lock(ShelfMutex());
        Shelf().push_back(std::move(set));
    } catch (...) {
        // A shelf that cannot grow frees the set (with `set`, outside the lock).
    }
}

// The lowest failing item and its code, so that the answer does not depend on scheduling.
class FirstFailure {
public:
    void Record(int64_t item, int32_t code) {
        std::lock_guard lock(mutex_);
        if (code_ == 0 || item < item_) {
            item_ = item;
            code_ = code;
        }
    }
    int32_t Code() const { return code_; }  // read after the loop has joined

private:
    std::mutex mutex_;
    int64_t item_ = 0;
    int32_t code_ = 0;
};

// Happens-before edges around a loop for ThreadSanitizer, which cannot see the synchronisation of
// Debian's uninstrumented oneTBB (as korvane/sdk/ForkJoinEdges.h states them for the host's and the
// pixel transfer's loops); empty without it.
class LoopEdges {
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
    EdgedBody(const EdgedBody& other) : body_(other.body_) { LoopEdges::BodyCopied(); }
    EdgedBody& operator=(const EdgedBody&) = delete;
    void operator()(const tbb::blocked_range<int64_t>& range) const {
        LoopEdges::BodyRuns();
        body_(range);
    }

private:
    Body body_;
};

}  // namespace

size_t WorkerScratch::NextTypeId() {
    static std::atomic<size_t> next{0};
    return next.fetch_add(1);
}

ScratchSet::~ScratchSet() {
    for (std::atomic<WorkerScratch*>& worker : workers_) delete worker.load();
}

WorkerScratch& ScratchSet::For(int worker) {
    if (worker < 0 || worker >= kMaxWorkers) {
        throw std::out_of_range("worker " + std::to_string(worker) + " is outside the executor's " +
                                std::to_string(kMaxWorkers) + " workers");
    }
    std::atomic<WorkerScratch*>& slot = workers_[static_cast<size_t>(worker)];
    WorkerScratch* scratch = slot.load(std::memory_order_acquire);
    if (scratch != nullptr) return *scratch;
    auto made = std::make_unique<WorkerScratch>();
    if (slot.compare_exchange_strong(scratch, made.get(), std::memory_order_acq_rel)) return *made.release();
    return *scratch;  // another thread of the same index made it first
}

Executor::Executor() : scratch_(TakeScratchSet()) {}

Executor::~Executor() { GiveScratchSet(std::move(scratch_)); }

int32_t SerialExecutor::RunItems(int64_t items, void* context, ItemFunction function) {
    for (int64_t item = 0; item < items; ++item) {
        if (const int32_t code = function(context, item, 0)) return code;
    }
    return 0;
}

struct PoolExecutor::Arena {
    explicit Arena(int threads) : arena(threads) {}
    tbb::task_arena arena;
};

PoolExecutor::PoolExecutor(int threads)
    : threads_(threads > 0 ? std::min(threads, ScratchSet::kMaxWorkers)
                           : static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u,
                                                         static_cast<unsigned>(ScratchSet::kMaxWorkers)))) {}

PoolExecutor::~PoolExecutor() = default;

int32_t PoolExecutor::RunItems(int64_t items, void* context, ItemFunction function) {
    if (items <= 0) return 0;
    // One worker, or one item: this thread, without entering the pool.
    if (threads_ == 1 || items == 1) {
        for (int64_t item = 0; item < items; ++item) {
            if (const int32_t code = function(context, item, 0)) return code;
        }
        return 0;
    }
    if (!arena_) arena_ = std::make_unique<Arena>(threads_);
    FirstFailure first;
    std::atomic<bool> stop{false};
    LoopEdges edges;
    edges.BeforeFork();
    arena_->arena.execute([&] {
        // Isolated: a thread waiting for this loop runs none of another loop's items meanwhile.
        tbb::this_task_arena::isolate([&] {
            tbb::parallel_for(tbb::blocked_range<int64_t>(0, items, 1),
                              EdgedBody([&](const tbb::blocked_range<int64_t>& range) {
                                  edges.TaskBegin();
                                  struct End {
                                      LoopEdges& e;
                                      ~End() { e.TaskEnd(); }
                                  } end{edges};
                                  const int worker = tbb::this_task_arena::current_thread_index();
                                  for (int64_t item = range.begin(); item != range.end(); ++item) {
                                      if (stop.load(std::memory_order_relaxed)) return;
                                      if (const int32_t code = function(context, item, worker)) {
                                          first.Record(item, code);
                                          stop.store(true, std::memory_order_relaxed);
                                          return;
                                      }
                                  }
                              }));
        });
    });
    edges.AfterJoin();
    return first.Code();
}

void ReleaseIdleScratch() noexcept {
    std::vector<std::unique_ptr<ScratchSet>> freed;
    std::lock_guard lock(ShelfMutex());
    freed.swap(Shelf());
}

size_t IdleScratchSets() {
    std::lock_guard lock(ShelfMutex());
    return Shelf().size();
}

}  // namespace korvane::utils
