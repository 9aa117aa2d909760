// Helpers for the sorting-core tests: hand-made records, a context prepared from parameters, and
// reading back where spans were processed.
#pragma once

#include <cstring>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "KRVN_Params.h"
#include "sorting/Info.h"
#include "sorting/LineIteration.h"
#include "sorting/PixelRecord.h"

namespace korvane::utils::test {

// A record whose colour, trigger and sort source are the same pixel.
inline PixelRecord Rec(float r, float g, float b, float a = 1.0f) {
    PixelRecord rec{};
    rec.color = {a, r, g, b};
    rec.trigger = rec.color;
    rec.sortSource = rec.color;
    return rec;
}

// Grey record by its red channel (trigger tests use the red key for exact values).
inline PixelRecord Red(float r) { return Rec(r, 0.0f, 0.0f); }

// Parameters that key on red, inside 0 ≤ red < 0.5, with the fill option off.
inline KRVN_Params RedParams() {
    KRVN_Params p;
    p.trigger = kTriggerRed;
    p.sort_key = kSortRed;
    p.fill = false;
    return p;
}

// A context holding `records` as a width × (size / width) image, prepared at resolution 1 and
// angle 0 unless the parameters say otherwise.
inline Info Prepared(const std::vector<PixelRecord>& records, int32_t width, const KRVN_Params& p) {
    Info info;
    CopySettings(info, p);
    info.imageRecords = records;
    const int32_t height = width == 0 ? 0 : static_cast<int32_t>(records.size()) / width;
    EXPECT_TRUE(PrepareSorting(info, width, height)) << info.Message();
    return info;
}

inline bool SameBytes(const PF_PixelFloat& a, const PF_PixelFloat& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Field by field, ignoring the padding after inMask.
inline bool SameRecord(const PixelRecord& a, const PixelRecord& b) {
    return SameBytes(a.color, b.color) && SameBytes(a.trigger, b.trigger) &&
           SameBytes(a.sortSource, b.sortSource) &&
           std::memcmp(&a.spanPosition, &b.spanPosition, sizeof(float)) == 0 &&
           std::memcmp(&a.spanWeight, &b.spanWeight, sizeof(float)) == 0 && a.inMask == b.inMask;
}

// First differing index of two record vectors, or -1.
inline int64_t FirstDifference(const std::vector<PixelRecord>& a, const std::vector<PixelRecord>& b) {
    if (a.size() != b.size()) {
        return 0;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (!SameRecord(a[i], b[i])) {
            return static_cast<int64_t>(i);
        }
    }
    return -1;
}

// Processed spans of a grid range as [start, end) indices, read from the positions a span gets
// (0, 1/N, 2/N, … with reverse off). Only meaningful for looks that keep positions increasing.
inline std::vector<std::pair<int64_t, int64_t>> ProcessedSpans(const std::vector<PixelRecord>& records,
                                                               int64_t begin, int64_t end) {
    std::vector<std::pair<int64_t, int64_t>> spans;
    int64_t i = begin;
    while (i < end) {
        if (records[i].spanWeight != 1.0f) {
            ++i;
            continue;
        }
        int64_t j = i + 1;
        while (j < end && records[j].spanWeight == 1.0f && records[j].spanPosition > records[j - 1].spanPosition) {
            ++j;
        }
        spans.emplace_back(i, j);
        i = j;
    }
    return spans;
}

using Spans = std::vector<std::pair<int64_t, int64_t>>;

}  // namespace korvane::utils::test
