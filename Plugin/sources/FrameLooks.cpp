// The frame's trigger values read once from the worlds, by bands of rows on the render's executor,
// into a histogram per band (the automatic band) and a plane (the edges); other frames' values into
// histograms alone (the automatic band smoothed over frames).
#include "sources/FrameLooks.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <new>
#include <vector>

#include "sorting/AutoThreshold.h"
#include "sorting/Executor.h"
#include "sorting/Intervals.h"

namespace korvane::sources {
namespace {

constexpr int32_t kBandRows = 16;

// A worker's row of records, kept for its next rows and frames.
struct TriggerRow {
    std::vector<utils::PixelRecord> records;
};

// The frame's trigger values, histograms and edge planes, kept with the executor's scratch (as
// worker 0's) so that the next frame finds the memory in place; the edge flags the frame reads
// stay here until it ends.
struct FramePlanes {
    std::vector<float> values;
    std::vector<utils::TriggerHistogram> histograms;
    utils::EdgeBuffers edges;
};

// Reads the trigger value of every pixel of the worlds in `fill` by bands of rows on info.executor:
// into the planes' histograms (one per band) with `count`, and into the planes' values (a plane of
// the frame's size) with `keep_values`.
PF_Err ReadTriggerValues(const RecordFillContext& fill, const RowFunctions& rows, utils::Info& info, bool count,
                         bool keep_values, FramePlanes*& planes) {
    const utils::SortSettings& s = info.settings;
    const int32_t width = fill.width;
    const int32_t height = fill.height;
    const int64_t bands = (static_cast<int64_t>(height) + kBandRows - 1) / kBandRows;
    utils::Executor& executor = *info.executor;
    try {
        planes = &executor.Scratch(0).Get<FramePlanes>();
        if (count) planes->histograms.assign(static_cast<size_t>(bands), utils::TriggerHistogram());
        if (keep_values) planes->values.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
    } catch (const std::bad_alloc&) {
        return PF_Err_OUT_OF_MEMORY;
    }
    std::vector<utils::TriggerHistogram>& histograms = planes->histograms;
    std::vector<float>& values = planes->values;
    return executor.Run(bands, [&](int64_t band, int worker) -> int32_t {
        try {
            std::vector<utils::PixelRecord>& row = executor.Scratch(worker).Get<TriggerRow>().records;
            if (row.size() < static_cast<size_t>(width)) row.resize(static_cast<size_t>(width));
            const int32_t first = static_cast<int32_t>(band * kBandRows);
            const int32_t end = std::min(height, first + kBandRows);
            for (int32_t y = first; y < end; ++y) {
                rows.read(fill, y, 0, width, row.data());
                float* out = keep_values ? values.data() + static_cast<int64_t>(y) * width : nullptr;
                for (int32_t x = 0; x < width; ++x) {
                    const float v = utils::BandValue(row[static_cast<size_t>(x)].trigger, s);
                    if (out != nullptr) out[x] = v;
                    if (count) histograms[static_cast<size_t>(band)].Add(v);
                }
            }
            return PF_Err_NONE;
        } catch (const std::bad_alloc&) {
            return PF_Err_OUT_OF_MEMORY;
        } catch (const std::exception& e) {
            info.SetMessage(e.what());
            return PF_Err_INTERNAL_STRUCT_DAMAGED;
        }
    });
}

}  // namespace

bool NeedsTriggerValues(const utils::SortSettings& s) {
    return s.autoThreshold || s.intervalMode == utils::kIntervalEdges;
}

PF_Err AddTriggerHistogram(const RecordFillContext& fill, const RowFunctions& rows, utils::Info& info,
                           utils::TriggerHistogram& histogram) {
    if (rows.read == nullptr || info.executor == nullptr || fill.width <= 0 || fill.height <= 0) return PF_Err_NONE;
    FramePlanes* planes = nullptr;
    const PF_Err err = ReadTriggerValues(fill, rows, info, true, false, planes);
    if (err != PF_Err_NONE) return err;
    for (const utils::TriggerHistogram& h : planes->histograms) histogram.Add(h);
    return PF_Err_NONE;
}

PF_Err PrepareFrameLooks(const RecordFillContext& fill, const RowFunctions& rows, utils::Info& info,
                         const utils::TriggerHistogram* others) {
    utils::SortSettings& s = info.settings;
    if (!NeedsTriggerValues(s) || rows.read == nullptr || info.executor == nullptr) return PF_Err_NONE;
    const int32_t width = fill.width;
    const int32_t height = fill.height;
    if (width <= 0 || height <= 0) return PF_Err_NONE;
    const bool edges = s.intervalMode == utils::kIntervalEdges;
    utils::Executor& executor = *info.executor;
    FramePlanes* planes = nullptr;
    const PF_Err err = ReadTriggerValues(fill, rows, info, s.autoThreshold, edges, planes);
    if (err != PF_Err_NONE) return err;
    if (s.autoThreshold) {
        utils::TriggerHistogram frame;
        for (const utils::TriggerHistogram& h : planes->histograms) frame.Add(h);
        if (others != nullptr) frame.Add(*others);
        utils::ApplyAutoBand(s, frame);
    }
    if (edges) {
        try {
            utils::EdgeFlags(planes->values.data(), width, height, s.edgeScale, s.edgeLevel, executor, planes->edges);
            info.edgeFlags = planes->edges.flags.data();
        } catch (const std::bad_alloc&) {
            return PF_Err_OUT_OF_MEMORY;
        }
    }
    return PF_Err_NONE;
}

}  // namespace korvane::sources
