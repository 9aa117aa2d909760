// The executor a render's parallel loops run on: the host's iteration where the host runs the
// threads, else the process's pool with the host's thread count.
#pragma once

#include <memory>

#include "korvane/sdk/Effect.h"
#include "korvane/sdk/SuiteHandler.h"
#include "korvane/sdk/Suites.h"
#include "sorting/Executor.h"

namespace korvane::sources {

// Items through iterate_generic of "PF Iterate8 Suite" 1, the worker the host's thread index; the
// suite is acquired when the executor is made (throws PF_Err_BAD_CALLBACK_PARAM when it cannot be)
// and released with it.
class HostExecutor final : public utils::Executor {
public:
    explicit HostExecutor(const SPBasicSuite* basic);
    // The host's answer to an iteration of one call per processor, asked once.
    int Workers() override;
    int32_t RunItems(int64_t items, void* context, ItemFunction function) override;

private:
    SuiteCache suites_;
    const PF_Iterate8Suite1* iterate_ = nullptr;
    int workers_ = 0;
};

// How many threads the host iterates on: iterate_generic asked for one call per processor (-1).
// The host's error when it fails.
PF_Err HostThreadCount(const PF_Iterate8Suite1& iterate, int& threads);

// The executor of a render: the host's iteration under After Effects; under Premiere Pro, whose
// host iterates on the calling thread, the process's pool (utils::PoolExecutor) with as many
// threads as the host's iteration counts. A host error while asking is returned, `executor` then
// empty. Throws PF_Err_BAD_CALLBACK_PARAM when the iterate suite cannot be acquired.
PF_Err MakeRenderExecutor(PF_InData* in_data, std::unique_ptr<utils::Executor>& executor);

}  // namespace korvane::sources
