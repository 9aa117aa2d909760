// Helpers for tests of the sorting core alone: random records and settings, hand-made records, a
// context prepared from settings, and reading back where spans were processed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "sorting/Info.h"
#include "sorting/LineIteration.h"
#include "sorting/PixelRecord.h"

namespace korvane::utils::test {

inline float Uniform(std::mt19937& g, float low, float high) {
    return std::uniform_real_distribution<float>(low, high)(g);
}

inline int Pick(std::mt19937& g, int low, int high) { return std::uniform_int_distribution<int>(low, high)(g); }

inline bool Chance(std::mt19937& g, double p) { return std::bernoulli_distribution(p)(g); }

// Photo-like channel: mostly in [0, 1], sometimes exactly a threshold, rarely out of range or NaN.
inline float Channel(std::mt19937& g) {
    const int kind = Pick(g, 0, 99);
    if (kind < 2) return std::numeric_limits<float>::quiet_NaN();
    if (kind < 4) return Uniform(g, -0.5f, 1.5f);
    if (kind < 10) return static_cast<float>(Pick(g, 0, 4)) * 0.25f;
    return Uniform(g, 0.0f, 1.0f);
}

inline FloatPixel Pixel(std::mt19937& g) { return {Channel(g), Channel(g), Channel(g), Channel(g)}; }

inline std::vector<PixelRecord> RandomRecords(std::mt19937& g, size_t count, bool masks) {
    std::vector<PixelRecord> records(count);
    for (auto& rec : records) {
        rec.color = Pixel(g);
        rec.trigger = Chance(g, 0.5) ? rec.color : Pixel(g);
        rec.sortSource = Chance(g, 0.5) ? rec.color : Pixel(g);
        rec.inMask = masks && Chance(g, 0.7) ? 1 : 0;
    }
    return records;
}

inline std::vector<PixelRecord> SortedByBytes(std::vector<PixelRecord> records) {
    std::sort(records.begin(), records.end(), [](const PixelRecord& a, const PixelRecord& b) {
        return std::memcmp(&a, &b, offsetof(PixelRecord, spanPosition)) < 0;
    });
    return records;
}

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

// A context holding `records` as a width × (size / width) image, prepared with these settings.
inline Info Prepared(const std::vector<PixelRecord>& records, int32_t width, const SortSettings& settings) {
    Info info;
    info.settings = settings;
    info.imageRecords = records;
    const int32_t height = width == 0 ? 0 : static_cast<int32_t>(records.size()) / width;
    EXPECT_TRUE(PrepareSorting(info, width, height)) << info.Message();
    return info;
}

inline bool SameBytes(const FloatPixel& a, const FloatPixel& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Field by field, ignoring the padding after inMask.
inline bool SameRecord(const PixelRecord& a, const PixelRecord& b) {
    return SameBytes(a.color, b.color) && SameBytes(a.trigger, b.trigger) && SameBytes(a.sortSource, b.sortSource) &&
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
inline std::vector<std::pair<int64_t, int64_t>> ProcessedSpans(const std::vector<PixelRecord>& records, int64_t begin,
                                                               int64_t end) {
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
