// The universal render: its steps share one error code; each runs only while the code is zero and
// stores its outcome there. Every host resource it acquires is released by one scope guard.
#include "UniversalRender.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "KRVN_Errors.h"
#include "LogsController.h"
#include "korvane/sdk/SuiteHandler.h"
#include "korvane/sdk/Suites.h"
#include "platform/Memory.h"
#include "sorting/AutoThreshold.h"
#include "sorting/CompactPaths.h"
#include "sorting/CurvedPaths.h"
#include "sorting/Info.h"
#include "sorting/Intervals.h"
#include "sorting/LineIteration.h"
#include "sorting/LineKernel.h"
#include "sorting/RecordPool.h"
#include "sources/FrameLooks.h"
#include "sources/GridTransfer.h"
#include "sources/PixelTransfer.h"
#include "sources/RenderExecutor.h"
#include "sources/RenderPlan.h"
#include "sources/RenderState.h"

namespace korvane {

namespace render {
namespace {

constexpr const char* kLabel = "UniversalRender";

// Reports progress to the host; true when the host asks to cancel.
using Progress = std::function<bool(A_long)>;

// What every record read from the worlds needs: the sorting world, the sources in use and the constraint.
sources::RecordFillContext RecordContext(RenderState& state, utils::PixelRecord* records, bool bgra) {
    const KRVN_Params& params = *state.params;
    PF_EffectWorld& sorting = state.worlds.sorting;
    PF_EffectWorld& trigger = state.worlds.trigger_source;
    PF_EffectWorld& sort_source = state.worlds.sort_source;
    PF_EffectWorld& constraint = state.worlds.constraint;

    sources::RecordFillContext context;
    context.sorting = &sorting;
    context.use_trigger_source = params.has_trigger_source && trigger.data != nullptr;
    context.use_sort_source = params.has_sort_source && sort_source.data != nullptr;
    context.use_constraint = params.has_masks && constraint.data != nullptr;
    // A source world that is a copy of "sorting" is read from "sorting", once.
    context.trigger_source = !context.use_trigger_source ? nullptr : state.trigger_is_input_copy ? &sorting : &trigger;
    context.sort_source = !context.use_sort_source          ? nullptr
                          : state.sort_source_is_input_copy ? &sorting
                                                            : &sort_source;
    context.constraint = context.use_constraint ? &constraint : nullptr;
    context.records = records;
    context.width = state.input->width;
    context.height = state.input->height;
    context.bgra = bgra;
    return context;
}

// What every output pixel written from a record needs.
sources::WorldFillContext WorldContext(const RenderState& state, const utils::PixelRecord* records,
                                       PF_EffectWorld* output, bool bgra) {
    sources::WorldFillContext context;
    context.output = output;
    context.records = records;
    context.width = output->width;
    context.height = output->height;
    context.bgra = bgra;
    context.mode = state.params->mode;
    context.record_width = state.input->width;
    context.record_height = state.input->height;
    return context;
}

// One image record per pixel; false, with the line logged, when the memory cannot be had.
[[nodiscard]] bool SizeImageRecords(utils::Info& info, int32_t width, int32_t height) {
    try {
        utils::SizeRecords(info.imageRecords, static_cast<size_t>(width) * static_cast<size_t>(height));
        return true;
    } catch (const std::bad_alloc&) {
        KRVN_LOG_ERROR(kLabel, "cannot allocate the image records " + ErrorText(PF_Err_OUT_OF_MEMORY));
        return false;
    }
}

// fill pixels vector: every pixel of "sorting", the sources and the constraint becomes one record.
[[nodiscard]] PF_Err FillPixelsVector(RenderState& state, utils::Info& info, int bit_depth, bool bgra) {
    if (state.err != PF_Err_NONE) return state.err;
    sources::RecordFillContext context = RecordContext(state, info.imageRecords.data(), bgra);
    PF_EffectWorld& sorting = state.worlds.sorting;
    state.err = sources::Iterate(sources::RecordFillers(bgra), state.input->height, &context, &sorting, &sorting,
                                 bit_depth, state.in_data, *info.executor);
    if (log::Logged(state.err)) {
        KRVN_LOG_ERROR("UniversalRender::<lambda_11>::operator ()",
                       "cannot fill pixels vector " + ErrorText(state.err));
    }
    return state.err;
}

// fill world: every record becomes one pixel of the output world (with a sampler, the grid record
// the pixel takes back).
[[nodiscard]] PF_Err FillWorld(RenderState& state, const utils::Info& info, const utils::GridSampler* sampler,
                               PF_EffectWorld* output, int bit_depth, bool bgra) {
    if (state.err != PF_Err_NONE) return state.err;
    sources::WorldFillContext context = WorldContext(state, info.imageRecords.data(), output, bgra);
    context.sampler = sampler;
    state.err = sources::Iterate(sources::WorldFillers(bgra), output->height, &context, output, output, bit_depth,
                                 state.in_data, *info.executor);
    if (log::Logged(state.err)) {
        KRVN_LOG_ERROR("UniversalRender::<lambda_12>::operator ()", "cannot fill world" + ErrorText(state.err));
    }
    return state.err;
}

// Sorts every line: the phases of the line plan one after another, each one loop on the render's
// executor (the host's iteration, or under Premiere Pro the process's pool).
// With `rows`, the lines are the image rows sorted apart, each item one row from the worlds to the
// output (one phase).
[[nodiscard]] PF_Err SortAllLines(RenderState& state, utils::Info& info, const sources::RowSortContext* rows) {
    PF_Err& err = state.err;
    const bool premiere = IsPremiere(state.in_data);
    const int phases = rows != nullptr ? 1 : utils::SortPhaseCount(info);
    for (int phase = 0; phase < phases && err == PF_Err_NONE; ++phase) {
        const int64_t items = rows != nullptr ? info.lineCount : utils::SortPhaseSize(info, phase);
        SortPhaseRef ref{&info, phase, rows};
        if (items > std::numeric_limits<A_long>::max()) {
            info.SetMessage("a phase of " + std::to_string(items) + " lines is more than one iteration can run");
            err = PF_Err_INTERNAL_STRUCT_DAMAGED;
        } else if (items > 0) {
            err = info.executor->Run(items, [&ref, items](int64_t item, int worker) -> int32_t {
                return PixelSortIterate(&ref, worker, static_cast<A_long>(item), static_cast<A_long>(items));
            });
        }
    }
    if (!premiere && log::Logged(err)) KRVN_LOG_ERROR(kLabel, "Iterate Suite Error " + ErrorText(err));
    return err;
}

// The release step: every layer parameter checked in, every world the render made disposed (the
// host reclaims them under Premiere Pro). Never throws.
void Release(RenderState& state, SuiteCache& suites) noexcept {
    PF_InData* in_data = state.in_data;
    auto keep_first = [&](PF_Err err) {
        if (err != PF_Err_NONE && state.err == PF_Err_NONE) state.err = err;
    };
    if (!state.scratch_in_use) return;
    CheckedOutLayers& layers = state.layer_params;
    for (PF_ParamDef* param :
         {&layers.constraint, &layers.constraint_mask, &layers.sort_source, &layers.trigger_source}) {
        keep_first(in_data->inter.checkin_param(in_data->effect_ref, param));
    }
    if (IsPremiere(in_data)) return;
    try {
        const PF_WorldSuite1* worlds = nullptr;
        RenderWorlds& made = state.worlds;
        for (PF_EffectWorld* world : {&made.constraint, &made.constraint_mask, &made.sort_source, &made.sorting,
                                      &made.trigger_source, &made.neighbour_input, &made.neighbour_trigger}) {
            if (world->data == nullptr) continue;
            if (worlds == nullptr) worlds = suites.Get<PF_WorldSuite1>(kPFWorldSuite, kPFWorldSuiteVersion1);
            keep_first(worlds->dispose_world(in_data->effect_ref, world));
        }
    } catch (PF_Err thrown) {
        keep_first(thrown);
    } catch (...) {
        keep_first(PF_Err_INTERNAL_STRUCT_DAMAGED);
    }
}

// A neighbour's world at the frame's size: the world itself, or the host's scaled copy of it in
// `scratch` (made at the first need, kept for the next neighbours).
[[nodiscard]] PF_EffectWorld* AtFrameSize(RenderState& state, PF_EffectWorld* world, PF_EffectWorld& scratch) {
    if (state.err != PF_Err_NONE) return nullptr;
    if (world->width == state.input->width && world->height == state.input->height) return world;
    if (scratch.data == nullptr && CreateBuffer(state, scratch, state.input->width, state.input->height) != PF_Err_NONE)
        return nullptr;
    state.err = CopyBuffer(state, world, &scratch);
    return state.err == PF_Err_NONE ? &scratch : nullptr;
}

// The trigger values of the neighbours the host has, summed into `histogram`, read as the frame's
// own are: from the neighbour's input, or from its trigger layer when the frame's trigger is a layer.
// A neighbour without pixels (before the clip's start, after its end) is left out.
[[nodiscard]] PF_Err CountNeighbours(RenderState& state, utils::Info& info, std::span<const NeighbourFrame> neighbours,
                                     int bit_depth, bool bgra, utils::TriggerHistogram& histogram) {
    const bool trigger_layer = !state.trigger_is_input_copy;
    const sources::RowFunctions rows = sources::RowTransfers(bit_depth, bgra);
    for (const NeighbourFrame& frame : neighbours) {
        if (frame.input == nullptr || frame.input->data == nullptr) continue;
        if (trigger_layer && (frame.trigger == nullptr || frame.trigger->data == nullptr)) continue;
        sources::RecordFillContext fill;
        fill.sorting = AtFrameSize(state, frame.input, state.worlds.neighbour_input);
        fill.trigger_source = trigger_layer ? AtFrameSize(state, frame.trigger, state.worlds.neighbour_trigger)
                                            : fill.sorting;
        if (state.err != PF_Err_NONE) return state.err;
        fill.use_trigger_source = true;
        fill.width = state.input->width;
        fill.height = state.input->height;
        fill.bgra = bgra;
        state.err = sources::AddTriggerHistogram(fill, rows, info, histogram);
        if (state.err != PF_Err_NONE) return state.err;
    }
    return state.err;
}

// A failed preparation. A host that cancelled while the grid was built ends the frame as a cancel at
// a progress point does; a host whose iteration failed there gives its code, as a failed sort gives
// it; otherwise the render's code and the reason the core gives.
[[nodiscard]] PF_Err PreparationFailed(PF_Err& err, const utils::Info& info) {
    if (info.loopCode == PF_Interrupt_CANCEL) return err = PF_Interrupt_CANCEL;
    const PF_Err host_code = info.loopCode;
    if (err == PF_Err_NONE) err = host_code;
    if (err != PF_Interrupt_CANCEL) KRVN_LOG_ERROR(kLabel, "Error preparing sorting " + ErrorText(err));
    const std::string message = info.Message();
    if (!message.empty() && err != PF_Interrupt_CANCEL) KRVN_LOG_ERROR(kLabel, "from info: " + message);
    return host_code != PF_Err_NONE ? host_code : PF_Err_INTERNAL_STRUCT_DAMAGED;
}

// A line sort that failed or was cancelled.
void LogSortFailure(PF_Err err, const utils::Info& info) {
    if (err != PF_Interrupt_CANCEL) KRVN_LOG_ERROR(kLabel, "Iterator encountered an error: " + ErrorText(err));
    const std::string message = info.Message();
    if (!message.empty()) KRVN_LOG_ERROR(kLabel, "from info: " + message);
}

// The rest of a frame whose lines are the image rows sorted apart: each row read from the worlds,
// sorted and written to the output in one item.
[[nodiscard]] PF_Err RenderRowsApart(const RenderPlan& plan, RenderState& state, utils::Info& info, PF_LayerDef* output,
                                     const Progress& progress) {
    PF_Err& err = state.err;
    PF_InData* in_data = state.in_data;
    const bool bgra = plan.frame.bgra;
    if (err == PF_Interrupt_CANCEL || progress(30)) return err;
    if (!utils::PrepareRowSorting(info, plan.frame.width, plan.frame.height)) return PreparationFailed(err, info);
    if (progress(50)) return err;

    sources::RowSortContext rows;
    rows.fill = RecordContext(state, nullptr, bgra);
    rows.write = WorldContext(state, nullptr, output, bgra);
    rows.rows = sources::RowTransfers(plan.frame.bit_depth, bgra);
    rows.info = &info;
    // Plain sorts need of each pixel only its colour, its trigger test and its sort key.
    rows.compact = plan.compact_rows;
    rows.keys = {utils::TriggerTestOf(info.settings), info.settings.sortKey, !info.settings.reverse};
    // Rows sorted apart are written as they are sorted: a frame that fails or is cancelled from
    // here on shows the unsorted layer again.
    const bool rows_written = err == PF_Err_NONE;
    auto show_input = [&] {
        if (rows_written) in_data->utils->copy(in_data->effect_ref, state.input, output, nullptr, nullptr);
        return err;
    };
    err = SortAllLines(state, info, &rows);
    if (err != PF_Err_NONE) {
        LogSortFailure(err, info);
        return show_input();
    }
    if (progress(60)) return show_input();
    if (progress(70)) return show_input();
    progress(100);
    if (err == PF_Interrupt_CANCEL) {
        // Cancelled while or after the sorted frame was written: show the unsorted layer again.
        in_data->utils->copy(in_data->effect_ref, state.input, output, nullptr, nullptr);
    }
    return err;
}

// The rest of a frame on records: every pixel a record, the records onto the line grid, the lines
// sorted, the grid back into the image (or sampled by fill world) and the records into the output.
[[nodiscard]] PF_Err RenderRecords(const RenderPlan& plan, RenderState& state, utils::Info& info, PF_LayerDef* output,
                                   const Progress& progress) {
    PF_Err& err = state.err;
    PF_InData* in_data = state.in_data;
    const int32_t width = plan.frame.width;
    const int32_t height = plan.frame.height;
    if (!SizeImageRecords(info, width, height)) return PF_Err_OUT_OF_MEMORY;
    err = FillPixelsVector(state, info, plan.frame.bit_depth, plan.frame.bgra);
    if (err == PF_Err_NONE && !utils::MarkEdgeRecords(info)) {
        return PreparationFailed(err, info);
    }
    if (err == PF_Interrupt_CANCEL || progress(30)) return err;
    if (!utils::PrepareSorting(info, width, height)) return PreparationFailed(err, info);
    if (progress(50)) return err;

    err = SortAllLines(state, info, nullptr);
    if (err != PF_Err_NONE) {
        LogSortFailure(err, info);
        return err;
    }
    if (progress(60)) return err;

    utils::GridSampler sampler;
    if (!(plan.sample_back ? utils::SampleGridBack(info, sampler) : utils::TakeOutPixels(info))) {
        if (info.loopCode == PF_Interrupt_CANCEL) return err = PF_Interrupt_CANCEL;
        if (err != PF_Interrupt_CANCEL) KRVN_LOG_ERROR(kLabel, "Error taking out pixels " + ErrorText(err));
        const std::string message = info.Message();
        if (!message.empty()) KRVN_LOG_ERROR(kLabel, "from info: " + message);
        return PF_Err_INTERNAL_STRUCT_DAMAGED;
    }
    if (progress(70)) return err;

    err = FillWorld(state, info, plan.sample_back && plan.resamples ? &sampler : nullptr, output, plan.frame.bit_depth,
                    plan.frame.bgra);
    progress(100);
    if (err == PF_Interrupt_CANCEL) {
        // Cancelled while or after the sorted frame was written: show the unsorted layer again.
        in_data->utils->copy(in_data->effect_ref, state.input, output, nullptr, nullptr);
    }
    return err;
}

// The rest of a frame on curved paths: for a plain look, words along the paths; otherwise every
// pixel a record, each path gathered, sorted as a line of its own length and put back in place,
// and the records into the output.
[[nodiscard]] PF_Err RenderPaths(const RenderPlan& plan, RenderState& state, utils::Info& info, PF_LayerDef* output,
                                 const Progress& progress) {
    PF_Err& err = state.err;
    PF_InData* in_data = state.in_data;
    const int32_t width = plan.frame.width;
    const int32_t height = plan.frame.height;
    std::shared_ptr<const utils::PathTable> table;
    utils::PathNeighbours neighbours;
    try {
        int32_t stopped = 0;
        table = utils::CachedPathTable(utils::PathShapeOf(info.settings, width, height), *info.executor, stopped);
        if (table == nullptr) {
            err = stopped;
            if (err != PF_Interrupt_CANCEL) KRVN_LOG_ERROR(kLabel, "Iterate Suite Error " + ErrorText(err));
            return err;
        }
        const bool output_is_image = plan.frame.output_width == width && plan.frame.output_height == height;
        if (plan.prepared && output_is_image &&
            sources::RowTransfers(plan.frame.bit_depth, plan.frame.bgra).readCompact != nullptr &&
            utils::CompactPathsApply(info, *table)) {
            return sources::SortOnCompactPaths(plan,
                                               {in_data, state.input, output,
                                                RecordContext(state, nullptr, plan.frame.bgra)},
                                               *table, info, err, progress);
        }
        if (!SizeImageRecords(info, width, height)) return PF_Err_OUT_OF_MEMORY;
        err = FillPixelsVector(state, info, plan.frame.bit_depth, plan.frame.bgra);
        if (err == PF_Err_NONE && !utils::MarkEdgeRecords(info)) return PreparationFailed(err, info);
        if (err == PF_Interrupt_CANCEL || progress(30)) return err;
        if (!utils::PrepareGridSorting(info, width, height)) return PreparationFailed(err, info);
        utils::TakePathNeighbours(info, *table, neighbours);
    } catch (const std::bad_alloc&) {
        KRVN_LOG_ERROR(kLabel, "cannot allocate the paths " + ErrorText(PF_Err_OUT_OF_MEMORY));
        return PF_Err_OUT_OF_MEMORY;
    }
    if (progress(50)) return err;

    err = info.executor->Run(static_cast<int64_t>(table->batches.size()) - 1, [&](int64_t item, int worker) -> int32_t {
        const bool done = utils::SortPathBatch(info, *table, neighbours, static_cast<int32_t>(item),
                                               info.executor->Scratch(worker));
        return done ? PF_Err_NONE : PF_Err_INTERNAL_STRUCT_DAMAGED;
    });
    if (err != PF_Err_NONE) {
        if (err != PF_Interrupt_CANCEL) KRVN_LOG_ERROR(kLabel, "Iterate Suite Error " + ErrorText(err));
        LogSortFailure(err, info);
        return err;
    }
    if (progress(60)) return err;
    if (progress(70)) return err;

    err = FillWorld(state, info, nullptr, output, plan.frame.bit_depth, plan.frame.bgra);
    progress(100);
    if (err == PF_Interrupt_CANCEL) {
        // Cancelled while or after the sorted frame was written: show the unsorted layer again.
        in_data->utils->copy(in_data->effect_ref, state.input, output, nullptr, nullptr);
    }
    return err;
}

}  // namespace
}  // namespace render

PF_Err PixelSortIterate(void* refcon, A_long thread_index, A_long i, A_long /*iterations*/) {
    auto* ref = static_cast<SortPhaseRef*>(refcon);
    bool sorted = false;
    try {
        if (ref->rows == nullptr) {
            sorted = utils::SortPhaseItem(*ref->info, ref->phase, i);
        } else if (ref->info->executor == nullptr) {
            ref->info->SetMessage("no executor holds the scratch of the rows");
        } else {
            sorted = sources::SortImageRow(*ref->rows, i, ref->info->executor->Scratch(static_cast<int>(thread_index)));
        }
    } catch (const std::exception& ex) {
        ref->info->SetMessage(ex.what());
    } catch (...) {
        ref->info->SetMessage("unknown exception while sorting a line");
    }
    if (sorted) return PF_Err_NONE;
    KRVN_LOG_ERROR("PixelSortIterate", "PixelSortIterate Error " + std::to_string(PF_Err_INTERNAL_STRUCT_DAMAGED));
    return PF_Err_INTERNAL_STRUCT_DAMAGED;
}

PF_Err UniversalRender(PF_InData* in_data, PF_LayerDef* input, PF_OutData* out_data, PF_LayerDef* output,
                       KRVN_Params* params, int bit_depth, PF_PixelFormat pixel_format, bool bgra,
                       void* /*global_data*/, std::span<const NeighbourFrame> neighbours) {
    using namespace render;

    ReportedSuite<PF_WorldSuite2> world_suite(in_data, out_data, kPFWorldSuite, kPFWorldSuiteVersion2,
                                              "Couldn't load suite.");
    if (world_suite.result() != PF_Err_NONE) return world_suite.result();
    SuiteCache suites(in_data->pica_basicP);

    if (input == nullptr || output == nullptr || input->data == nullptr || output->data == nullptr) {
        KRVN_LOG_ERROR(kLabel, "No Input or Output World");
        return PF_Err_INTERNAL_STRUCT_DAMAGED;
    }
    if (params == nullptr) {
        KRVN_LOG_ERROR(kLabel, "Params is empty");
        return PF_Err_INTERNAL_STRUCT_DAMAGED;
    }

    // From here the output shows the unsorted input until the sorted frame is written.
    in_data->utils->copy(in_data->effect_ref, input, output, nullptr, nullptr);

    const A_long width = input->width;
    const A_long height = input->height;
    if (width <= 0 || height <= 0) return PF_Err_NONE;

    // The frame's plan: its settings, path, grid and memory, decided here once.
    utils::Info info;
    const RenderPlan plan = MakeRenderPlan(
        *params, {width, height, output->width, output->height, bit_depth, bgra, IsPremiere(in_data)}, info);
    // Record memory the pool holds from earlier frames is used again, not asked for anew.
    utils::RecordPool& pool = utils::FrameRecordPool();
    const double need = FrameMemoryNeed(plan);
    const double available = platform::AvailableMemory() + static_cast<double>(pool.HeldBytes()) +
                             static_cast<double>(utils::CompactGridHeldBytes());
    if (need > available) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "Not enough memory to sort a %dx%d frame: it needs %.0f MiB, %.0f MiB are available ",
                      static_cast<int>(width), static_cast<int>(height), need / 1048576.0, available / 1048576.0);
        KRVN_LOG_ERROR(kLabel, text + ErrorText(PF_Err_OUT_OF_MEMORY));
        return PF_Err_OUT_OF_MEMORY;
    }

    RenderState state;
    state.in_data = in_data;
    state.out_data = out_data;
    state.params = params;
    state.input = input;
    state.pixel_format = pixel_format;
    state.world_suite = world_suite.get();
    PF_Err& err = state.err;
    ScopeExit release([&] { Release(state, suites); });
    // The records of the previous frame, if they are still held, and back to the pool at the end.
    info.imageRecords = pool.Take(static_cast<size_t>(width) * static_cast<size_t>(height));
    info.gridStorage = pool.Take(0);
    ScopeExit keep_records([&] {
        pool.Give(std::move(info.imageRecords));
        pool.Give(std::move(info.lineRecords));
        pool.Give(std::move(info.gridStorage));
    });

    // A cancel ends the render at once, silently; the output keeps the unsorted input.
    const Progress progress = [&](A_long done) {
        if (err == PF_Err_NONE) err = in_data->inter.progress(in_data->effect_ref, done, 100);
        return err == PF_Interrupt_CANCEL;
    };

    if (progress(1)) return err;
    state.scratch_in_use = true;
    if (progress(10)) return err;

    err = CreateBuffer(state, state.worlds.sorting, width, height);
    if (err == PF_Err_NONE) err = CopyBuffer(state, input, &state.worlds.sorting);
    if (err == PF_Interrupt_CANCEL || progress(11)) return err;

    if (plan.with_constraint) {
        err = CreateBuffer(state, state.worlds.constraint, width, height);
        err = CreateBuffer(state, state.worlds.constraint_mask, width, height);
        if (err == PF_Err_NONE) err = ConstraintMaskStep(state);
    }
    if (err == PF_Err_NONE) {
        err = CreateBuffer(state, state.worlds.trigger_source, width, height);
        if (err == PF_Err_NONE) err = TriggerSourceStep(state);
        if (err == PF_Err_NONE) err = CreateBuffer(state, state.worlds.sort_source, width, height);
        if (err == PF_Err_NONE) err = SortSourceStep(state);
        if (progress(20)) return err;
    }
    if (err == PF_Interrupt_CANCEL) return err;

    // Every parallel loop from here on runs on this executor, and its workers' scratch with it.
    std::unique_ptr<utils::Executor> executor;
    if (err == PF_Err_NONE) {
        err = sources::MakeRenderExecutor(in_data, executor);
        if (err != PF_Err_NONE) {
            if (err != PF_Interrupt_CANCEL)
                KRVN_LOG_ERROR(kLabel, "cannot ask the host's thread count " + ErrorText(err));
            return err;
        }
        info.executor = executor.get();
    }
    if (progress(25)) return err;

    // Looks that read the whole frame first: the automatic band (with the neighbours' trigger values
    // when it is smoothed over frames), the edges of the trigger image.
    utils::TriggerHistogram neighbour_values;
    const bool smoothed = info.settings.autoThreshold && !neighbours.empty();
    if (err == PF_Err_NONE && smoothed) {
        err = CountNeighbours(state, info, neighbours, bit_depth, bgra, neighbour_values);
        if (err != PF_Err_NONE) {
            if (err != PF_Interrupt_CANCEL)
                KRVN_LOG_ERROR(kLabel, "cannot read the neighbouring frames' trigger values " + ErrorText(err));
            return err;
        }
    }
    if (err == PF_Err_NONE && sources::NeedsTriggerValues(info.settings)) {
        err = sources::PrepareFrameLooks(RecordContext(state, nullptr, bgra), sources::RowTransfers(bit_depth, bgra),
                                         info, smoothed ? &neighbour_values : nullptr);
        if (err != PF_Err_NONE) {
            if (err != PF_Interrupt_CANCEL) KRVN_LOG_ERROR(kLabel, "cannot read the trigger values " + ErrorText(err));
            return err;
        }
    }

    switch (plan.path) {
        case RenderPath::kCompactGrid:
        case RenderPath::kRandomRows:
            return sources::SortOnCompactGrid(plan, {in_data, input, output, RecordContext(state, nullptr, bgra)}, info,
                                              err, progress);
        case RenderPath::kRowsApart: return RenderRowsApart(plan, state, info, output, progress);
        case RenderPath::kPaths: return RenderPaths(plan, state, info, output, progress);
        case RenderPath::kRecords: break;
    }
    return RenderRecords(plan, state, info, output, progress);
}

}  // namespace korvane
