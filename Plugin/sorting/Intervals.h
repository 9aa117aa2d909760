// Interval modes: where a line is cut into spans besides the threshold band's breaks (edges of
// the trigger image, seeded random lengths, lengths following a wave), and the edge strength of
// the trigger image from which the edges mode takes its cuts.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "sorting/Info.h"

namespace korvane::utils {

class Executor;

// The length in cells of span number `span` (from 0) of line `line` in the random mode: uniform on
// [1, 2·mean − 1] (mean at least 1), drawn from a hash of (seed, line, span) alone, so that no line
// depends on another or on the order in which lines run.
int64_t RandomSpanLength(int32_t seed, int32_t line, int64_t span, float mean);

// The length in cells of the span that starts at column x of line `line` in the waves mode:
// spanLength · (1 + waveAmplitude · sin(2π · x / waveLength + radians(wavePhase + waveDrift · line))),
// in double, cut to a whole number and at least 1 (a wave length below 1 counts as 1).
int64_t WaveSpanLength(const SortSettings& s, int64_t x, int32_t line);

// The cuts by length of one line (random and waves modes): each span that starts at a column ends
// where its length runs out. Other modes never cut by length.
class LengthCuts {
public:
    LengthCuts(const SortSettings& s, int32_t line) : s_(s), line_(line), mode_(s.intervalMode) {}

    // The column at which the span that starts at `column` is cut (the next span's first cell).
    int64_t EndOfSpanAt(int64_t column) {
        int64_t length = kNever;
        if (mode_ == kIntervalRandom) {
            length = RandomSpanLength(s_.spanSeed, line_, span_, s_.spanLength);
        } else if (mode_ == kIntervalWaves) {
            length = WaveSpanLength(s_, column, line_);
        } else {
            return kNever;
        }
        ++span_;
        return column + length;
    }

    static constexpr int64_t kNever = std::numeric_limits<int64_t>::max() / 2;

private:
    const SortSettings& s_;
    const int32_t line_;
    const int32_t mode_;
    int64_t span_ = 0;
};

// The edge strength of a width × height plane of trigger values (index x + y × width; NaN counts
// as 0) at `scale` pixels: a box blur of radius s − 1, then central differences over s pixels each
// way, s = max(1, round(scale)), borders clamped; the magnitude sqrt(gx² + gy²). A sharp step from
// 0 to 1 gives 1 on the pixels either side of it. Rows run on `executor`.
void EdgeStrength(const float* values, int32_t width, int32_t height, float scale, Executor& executor,
                  std::vector<float>& strength);

// The planes the edge flags are made in, kept from frame to frame.
struct EdgeBuffers {
    std::vector<float> across;   // the blur along the rows
    std::vector<float> blurred;  // and then down the columns
    std::vector<uint8_t> flags;
};

// buffers.flags[i] = 1 where the edge strength of the plane is above `level`, else 0.
void EdgeFlags(const float* values, int32_t width, int32_t height, float scale, float level, Executor& executor,
               EdgeBuffers& buffers);

// The trigger value of a trigger colour as the band tests it, without noise.
float BandValue(const FloatPixel& trigger, const SortSettings& s);

// Marks each image record's edge flag from info.edgeFlags (one per image pixel). False with a
// message when the image records are not the image's.
bool MarkEdgeRecords(Info& info);

// Sets breaks[x] for each of columns [0, count) of image row y that is an edge, for the compact
// paths, whose breaks the edges join as they join the band's; nothing when the frame has no edges.
void MarkEdgeBreaks(const Info& info, int32_t y, uint8_t* breaks, int64_t count);

// Marks the edge flags of records [0, count) of image row y from info.edgeFlags; nothing when the
// frame has none.
void MarkEdgeRow(const Info& info, int32_t y, PixelRecord* row, int64_t count);

}  // namespace korvane::utils
