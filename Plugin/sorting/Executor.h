// How the effect's parallel loops run: items [0, n) of a loop, each told the index of the worker
// that runs it, and memory of each worker's own that outlives the loop and the frame.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

namespace korvane::utils {

// Memory of one worker: one object of each type asked for, value-initialised on first use and
// kept for the worker's later items, loops and frames. Only the worker it belongs to touches it
// while a loop runs.
class WorkerScratch {
public:
    template <typename T>
    T& Get() {
        const size_t id = TypeId<T>();
        if (id >= slots_.size()) slots_.resize(id + 1);
        std::unique_ptr<Slot>& slot = slots_[id];
        if (!slot) slot = std::make_unique<Held<T>>();
        return static_cast<Held<T>&>(*slot).value;
    }

private:
    struct Slot {
        virtual ~Slot() = default;
    };
    template <typename T>
    struct Held final : Slot {
        T value{};
    };
    static size_t NextTypeId();
    template <typename T>
    static size_t TypeId() {
        static const size_t id = NextTypeId();
        return id;
    }

    std::vector<std::unique_ptr<Slot>> slots_;
};

// The scratch of every worker of one executor, made for a worker on its first item. Workers are
// numbered from 0 to kMaxWorkers − 1.
class ScratchSet {
public:
    static constexpr int kMaxWorkers = 1024;

    ScratchSet() = default;
    ScratchSet(const ScratchSet&) = delete;
    ScratchSet& operator=(const ScratchSet&) = delete;
    ~ScratchSet();

    // Throws std::out_of_range for a worker outside [0, kMaxWorkers), std::bad_alloc.
    WorkerScratch& For(int worker);

private:
    std::array<std::atomic<WorkerScratch*>, kMaxWorkers> workers_{};
};

// Runs the items of a loop. An item function returns 0 to go on, or a code that ends the loop:
// items not yet begun are then skipped, and Run returns the code of the lowest item that failed.
// Run may also return a code of its own (a host's cancellation). The executor holds a ScratchSet
// from the process's shelf for its lifetime, so that consecutive renders reuse the same memory and
// renders running at once never share it.
class Executor {
public:
    using ItemFunction = int32_t (*)(void* context, int64_t item, int worker);

    Executor();
    Executor(const Executor&) = delete;
    Executor& operator=(const Executor&) = delete;
    virtual ~Executor();

    // How many workers may run items at once; worker indices lie in [0, Workers()).
    virtual int Workers() = 0;

    // Items [0, items) through `function`, each on some worker; 0 when every item returned 0.
    virtual int32_t RunItems(int64_t items, void* context, ItemFunction function) = 0;

    template <typename F>
    int32_t Run(int64_t items, F&& function) {
        using Fn = std::remove_reference_t<F>;
        return RunItems(items, const_cast<void*>(static_cast<const void*>(&function)),
                        [](void* context, int64_t item, int worker) -> int32_t {
                            return (*static_cast<Fn*>(context))(item, worker);
                        });
    }

    // The scratch of `worker`, for the items it runs. Throws as ScratchSet::For.
    WorkerScratch& Scratch(int worker) { return scratch_->For(worker); }

private:
    std::unique_ptr<ScratchSet> scratch_;
};

// Every item on the calling thread, in order: one worker.
class SerialExecutor final : public Executor {
public:
    int Workers() override { return 1; }
    int32_t RunItems(int64_t items, void* context, ItemFunction function) override;
};

// The process's pool: oneTBB's workers, which every effect instance in the process shares with the
// host's own iteration there, entered through an arena of `threads` (0: every hardware thread)
// that this executor keeps for its loops.
class PoolExecutor final : public Executor {
public:
    explicit PoolExecutor(int threads);
    ~PoolExecutor() override;
    int Workers() override { return threads_; }
    int32_t RunItems(int64_t items, void* context, ItemFunction function) override;

private:
    struct Arena;
    int threads_;
    std::unique_ptr<Arena> arena_;
};

// Frees the scratch of the executors that are not running (global set-down; tests that want the
// next render to allocate its scratch anew).
void ReleaseIdleScratch() noexcept;

// The scratch sets kept on the shelf for the next executors.
size_t IdleScratchSets();

}  // namespace korvane::utils
