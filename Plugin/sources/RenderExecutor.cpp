// The render's executors over the host's iteration.
#include "sources/RenderExecutor.h"

#include <algorithm>
#include <atomic>
#include <limits>

#include "korvane/sdk/HostKind.h"

namespace korvane::sources {
namespace {

struct Loop {
    void* context;
    utils::Executor::ItemFunction function;
};

PF_Err RunLoopItem(void* refcon, A_long thread_index, A_long i, A_long /*iterations*/) {
    const Loop& loop = *static_cast<const Loop*>(refcon);
    return loop.function(loop.context, i, static_cast<int>(thread_index));
}

PF_Err CountCall(void* refcon, A_long /*thread_index*/, A_long /*i*/, A_long iterations) {
    static_cast<std::atomic<A_long>*>(refcon)->store(iterations, std::memory_order_relaxed);
    return PF_Err_NONE;
}

}  // namespace

HostExecutor::HostExecutor(const SPBasicSuite* basic) : suites_(basic) {
    iterate_ = suites_.Get<PF_Iterate8Suite1>(kPFIterate8Suite, kPFIterateSuiteVersion1);
}

int HostExecutor::Workers() {
    if (workers_ == 0) {
        int threads = 1;
        if (HostThreadCount(*iterate_, threads) != PF_Err_NONE) threads = 1;
        workers_ = threads;
    }
    return workers_;
}

int32_t HostExecutor::RunItems(int64_t items, void* context, ItemFunction function) {
    if (items <= 0) return PF_Err_NONE;
    if (items > std::numeric_limits<A_long>::max()) return PF_Err_INTERNAL_STRUCT_DAMAGED;
    Loop loop{context, function};
    return iterate_->iterate_generic(static_cast<A_long>(items), &loop, &RunLoopItem);
}

PF_Err HostThreadCount(const PF_Iterate8Suite1& iterate, int& threads) {
    std::atomic<A_long> counted{0};
    const PF_Err err = iterate.iterate_generic(-1, &counted, &CountCall);
    if (err != PF_Err_NONE) return err;
    threads = static_cast<int>(std::clamp<A_long>(counted.load(), 1, utils::ScratchSet::kMaxWorkers));
    return PF_Err_NONE;
}

PF_Err MakeRenderExecutor(PF_InData* in_data, std::unique_ptr<utils::Executor>& executor) {
    executor.reset();
    if (!IsPremiere(in_data)) {
        executor = std::make_unique<HostExecutor>(in_data->pica_basicP);
        return PF_Err_NONE;
    }
    int threads = 1;
    {
        SuiteCache suites(in_data->pica_basicP);
        const auto* iterate = suites.Get<PF_Iterate8Suite1>(kPFIterate8Suite, kPFIterateSuiteVersion1);
        if (const PF_Err err = HostThreadCount(*iterate, threads)) return err;
    }
    executor = std::make_unique<utils::PoolExecutor>(threads);
    return PF_Err_NONE;
}

}  // namespace korvane::sources
