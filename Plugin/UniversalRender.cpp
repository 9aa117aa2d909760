// The universal render: its steps share one error code; each runs only while the code is zero and
// stores its outcome there. Every host resource it acquires is released by one scope guard.
#include "UniversalRender.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "KRVN_Errors.h"
#include "LogsController.h"
#include "korvane/sdk/SuiteHandler.h"
#include "korvane/sdk/Suites.h"
#include "platform/Memory.h"
#include "sorting/Info.h"
#include "sorting/LineIteration.h"
#include "sorting/LineKernel.h"
#include "sorting/RecordPool.h"
#include "sources/GridTransfer.h"
#include "sources/PixelTransfer.h"
#include "sources/RenderExecutor.h"
#include "sources/RenderState.h"

namespace korvane {

namespace render {
namespace {

constexpr const char* kLabel = "UniversalRender";

double WorldPixelBytes(int bit_depth) {
    switch (bit_depth) {
        case 8: return 4.0;
        case 16: return 8.0;
        default: return 16.0;  // float, and the Premiere formats the effect does not read
    }
}

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
        for (PF_EffectWorld* world :
             {&made.constraint, &made.constraint_mask, &made.sort_source, &made.sorting, &made.trigger_source}) {
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

}  // namespace

double FrameMemoryNeed(int64_t width, int64_t height, float angle_degrees, float resolution, int bit_depth,
                       bool with_constraint, bool compact_grid) {
    const double w = static_cast<double>(std::max<int64_t>(width, 0));
    const double h = static_cast<double>(std::max<int64_t>(height, 0));
    if (w == 0.0 || h == 0.0) return 0.0;
    const double record = sizeof(utils::PixelRecord);
    const double c = 10.0 / std::min(w, h);
    const double r = std::isfinite(resolution) ? std::clamp(static_cast<double>(resolution), 0.0, 1.0) : 1.0;
    const double scale = (1.0 - c) * r * r * r + c;
    double grid_w = w;
    double grid_h = h;
    if (angle_degrees != 0.0f && std::isfinite(angle_degrees)) {
        const double radians = static_cast<double>(angle_degrees) * 0.017453292519943295;
        const double s = std::abs(std::sin(radians));
        const double k = std::abs(std::cos(radians));
        grid_w = k * w + s * h + 1.0;
        grid_h = s * w + k * h + 1.0;
    }
    grid_w = std::floor(grid_w * scale) + 1.0;
    grid_h = std::floor(grid_h * scale) + 1.0;

    const double worlds = (3.0 + (with_constraint ? 2.0 : 0.0)) * w * h * WorldPixelBytes(bit_depth);
    const double threads = std::max(1u, std::thread::hardware_concurrency());
    if (compact_grid) {
        // A key and a break byte per image pixel and a word per cell; a line's breaks and the radix
        // sort's spare buffer, and an image row's colours, per thread. Random rows hold one word per
        // pixel and at most one span (8 bytes) per two pixels, within the same bound.
        const double word = sizeof(uint64_t);
        const double pixel = sizeof(uint32_t) + 1.0;
        const double scratch = threads * (grid_w * (word + 1.0) + w * sizeof(PF_PixelFloat));
        return w * h * pixel + grid_w * grid_h * word + worlds + scratch;
    }
    const double image_records = w * h * record;
    const double grid_records = grid_w * grid_h * record;
    const double line_scratch = 4.0 * grid_w * record * threads;
    return image_records + grid_records + worlds + line_scratch;
}

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
                       void* /*global_data*/) {
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

    const bool with_constraint = params->has_masks && !IsPremiere(in_data);
    const bool compact_grid = sources::CompactGridLook(*params, width, height, bit_depth, bgra);
    // Record memory the pool holds from earlier frames is used again, not asked for anew.
    utils::RecordPool& pool = utils::FrameRecordPool();
    const double need = FrameMemoryNeed(width, height, params->angle, params->resolution, bit_depth, with_constraint,
                                        compact_grid);
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
    utils::Info info;
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
    auto progress = [&](A_long done) {
        if (err == PF_Err_NONE) err = in_data->inter.progress(in_data->effect_ref, done, 100);
        return err == PF_Interrupt_CANCEL;
    };

    if (progress(1)) return err;
    state.scratch_in_use = true;
    if (progress(10)) return err;

    err = CreateBuffer(state, state.worlds.sorting, width, height);
    if (err == PF_Err_NONE) err = CopyBuffer(state, input, &state.worlds.sorting);
    if (err == PF_Interrupt_CANCEL || progress(11)) return err;

    if (with_constraint) {
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

    utils::CopySettings(info, *params);
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
    // A plain sort on a turned or scaled grid, or with a random offset on the image rows, goes from
    // here on through the compact grid.
    if (compact_grid) {
        return sources::SortOnCompactGrid({in_data, input, output, RecordContext(state, nullptr, bgra), bit_depth,
                                           bgra},
                                          info, err, progress);
    }

    // Lines that are the image rows and never reach each other go from the worlds through the line
    // kernel into the output a row at a time, in cache, without frame-sized record arrays.
    const sources::RowFunctions row_functions = sources::RowTransfers(bit_depth, bgra);
    const bool rows_apart = row_functions.read != nullptr && output->width == width && output->height == height &&
                            utils::LinesAreImageRows(info, width, height);
    if (!rows_apart) {
        try {
            utils::SizeRecords(info.imageRecords, static_cast<size_t>(width) * static_cast<size_t>(height));
        } catch (const std::bad_alloc&) {
            KRVN_LOG_ERROR(kLabel, "cannot allocate the image records " + ErrorText(PF_Err_OUT_OF_MEMORY));
            return PF_Err_OUT_OF_MEMORY;
        }
        err = FillPixelsVector(state, info, bit_depth, bgra);
    }
    if (err == PF_Interrupt_CANCEL || progress(30)) return err;

    const bool prepared = rows_apart ? utils::PrepareRowSorting(info, width, height)
                                     : utils::PrepareSorting(info, width, height);
    if (!prepared) {
        // A host that cancels while the grid is built ends the frame as a cancel at a progress point does.
        if (info.loopCode == PF_Interrupt_CANCEL) return err = PF_Interrupt_CANCEL;
        // A host whose iteration failed while the grid was built: its code, as a failed sort gives it.
        const PF_Err host_code = info.loopCode;
        if (err == PF_Err_NONE) err = host_code;
        if (err != PF_Interrupt_CANCEL) KRVN_LOG_ERROR(kLabel, "Error preparing sorting " + ErrorText(err));
        const std::string message = info.Message();
        if (!message.empty() && err != PF_Interrupt_CANCEL) KRVN_LOG_ERROR(kLabel, "from info: " + message);
        return host_code != PF_Err_NONE ? host_code : PF_Err_INTERNAL_STRUCT_DAMAGED;
    }
    if (progress(50)) return err;

    sources::RowSortContext rows;
    if (rows_apart) {
        rows.fill = RecordContext(state, nullptr, bgra);
        rows.write = WorldContext(state, nullptr, output, bgra);
        rows.rows = row_functions;
        rows.info = &info;
        // Plain sorts need of each pixel only its colour, its trigger test and its sort key.
        rows.compact = utils::CompactRowsApply(info);
        rows.keys = {utils::TriggerTestOf(info.settings), info.settings.sortKey, !info.settings.reverse};
    }
    // Rows sorted apart are written as they are sorted: a frame that fails or is cancelled from
    // here on shows the unsorted layer again.
    const bool rows_written = rows_apart && err == PF_Err_NONE;
    auto show_input = [&] {
        if (rows_written) in_data->utils->copy(in_data->effect_ref, input, output, nullptr, nullptr);
        return err;
    };
    err = SortAllLines(state, info, rows_apart ? &rows : nullptr);
    if (err != PF_Err_NONE) {
        if (err != PF_Interrupt_CANCEL) KRVN_LOG_ERROR(kLabel, "Iterator encountered an error: " + ErrorText(err));
        const std::string message = info.Message();
        if (!message.empty()) KRVN_LOG_ERROR(kLabel, "from info: " + message);
        return show_input();
    }
    if (progress(60)) return show_input();

    // A grid scaled but not turned is read back by fill world itself, pixel by pixel and row by
    // row as the grid lies, rather than written into the image records first and read from them
    // again. A turned grid goes back through the banded transfer: read along the image rows, its
    // records lie on diagonals, one cache line each, which costs more than the extra pass.
    const bool sample_back = !rows_apart && info.settings.angle == 0.0f;
    utils::GridSampler sampler;
    if (!rows_apart && !(sample_back ? utils::SampleGridBack(info, sampler) : utils::TakeOutPixels(info))) {
        if (info.loopCode == PF_Interrupt_CANCEL) {
            err = PF_Interrupt_CANCEL;
            return show_input();
        }
        if (err != PF_Interrupt_CANCEL) KRVN_LOG_ERROR(kLabel, "Error taking out pixels " + ErrorText(err));
        const std::string message = info.Message();
        if (!message.empty()) KRVN_LOG_ERROR(kLabel, "from info: " + message);
        return PF_Err_INTERNAL_STRUCT_DAMAGED;
    }
    if (progress(70)) return show_input();

    if (!rows_apart) {
        err = FillWorld(state, info, sample_back && utils::Resamples(info) ? &sampler : nullptr, output, bit_depth,
                        bgra);
    }
    progress(100);
    if (err == PF_Interrupt_CANCEL) {
        // Cancelled while or after the sorted frame was written: show the unsorted layer again.
        in_data->utils->copy(in_data->effect_ref, input, output, nullptr, nullptr);
    }
    return err;
}

}  // namespace korvane
