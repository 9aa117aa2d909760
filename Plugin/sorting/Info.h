// The sort context of one render call: image records, the line grid, the settings and the values
// derived from them, and the message in which parallel work leaves the text of a failure.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sorting/PixelRecord.h"

namespace korvane::utils {

class Executor;

// The parameter values the core reads, as the effect hands them over (unchanged from the frame's
// parameters).
struct SortSettings {
    int32_t thresholdMode = kThresholdInside;  // effect
    int32_t triggerKey = kTriggerLuminance;    // trigger
    int32_t sortKey = kSortLuminance;          // sort_key
    int32_t outputMode = kModeSort;            // mode
    int32_t stretchPriority = 2;               // priority: 1 sorted span, 2 unsorted span
    float angle = 0.0f;                        // degrees
    float thresholdLow = 0.0f;
    float thresholdHigh = 0.5f;
    float featherStart = 0.0f;
    float featherEnd = 0.0f;
    float resolution = 1.0f;
    float growth = 1.0f;  // animate_growth
    float offset = 0.0f;
    float randomOffset = 0.0f;
    float loop = 0.0f;
    float rangeLow = 0.0f;   // const_zero
    float rangeHigh = 1.0f;  // const_one
    float pop = 0.0f;
    float blockHeight = 0.0f;
    float blockWidth = 1.0f;
    float stretchFactor = 2.0f;
    float noiseSize = 0.1f;
    float noiseAmount = 0.0f;
    int32_t noiseComplexity = 4;
    int32_t noiseSeed = 0;
    int32_t randomSeed = 0;
    int32_t blur = 0;
    float pixelScale = 1.0f;  // pixel_scale: frame size / full size
    bool reverse = false;
    bool fillLineEnd = true;  // fill: walk on to x = line length
    bool preserveAlpha = false;
    bool maskGating = false;  // has_masks
    bool clampTrigger = true;
    bool affectBackground = true;
    bool mirror = false;
    bool stretch = false;

    // Looks beyond the registered parameters; their defaults give the registered looks' frames.
    int32_t intervalMode = kIntervalThreshold;
    float edgeLevel = 0.1f;      // edges: gradient magnitude of the trigger, 0..1
    float edgeScale = 1.0f;      // edges: pixels
    float spanLength = 64.0f;    // random, waves: mean span length, pixels of the line
    int32_t spanSeed = 0;        // random
    float waveLength = 400.0f;   // waves: pixels along the line
    float waveAmplitude = 0.5f;  // waves: fraction of spanLength
    float wavePhase = 0.0f;      // waves: degrees
    float waveDrift = 2.0f;      // waves: degrees per line
    bool autoThreshold = false;  // the band from percentiles of the frame's trigger values
    float autoLow = 0.7f;        // fractions 0..1
    float autoHigh = 1.0f;
    int32_t pathShape = kPathLines;
    float centreX = 0.5f;  // fractions of the frame's width and height
    float centreY = 0.5f;
};

// Values PrepareSorting derives from the settings; the line kernel reads only these and the
// settings it does not derive. Out-of-range values are brought into the parameters' ranges here.
struct DerivedSettings {
    float scale = 1.0f;             // grid size relative to the image
    float noiseFrequency = 0.001f;  // 1 / max(noise size² × 1000, 1)
    float blockWidthSquared = 1.0f;
    float blockHeightSquared = 0.0f;
    float rotationFraction = 0.0f;  // 1 − loop when loop is not 0
    float featherStart = 0.0f;      // clamped to [0, 1]
    float featherEnd = 0.0f;
    float growth = 1.0f;          // clamped to [0, 2]
    float offset = 0.0f;          // clamped to [0, 1]
    float randomOffset = 0.0f;    // clamped to [0, 1]
    float pop = 0.0f;             // clamped to [0, 1]
    float stretchFactor = 0.0f;   // clamped to [0, 10]
    int32_t noiseComplexity = 0;  // clamped to [0, 8]
    bool copyNeeded = false;
    bool blurOn = false;
    bool popOn = false;
    bool featherStartOn = false;
    bool featherEndOn = false;
    bool stretchOn = false;
    bool noiseOn = false;
    bool randomOffsetOn = false;
    // Sort spans with SpanComparator instead of precomputed keys: the reference the keyed sort is
    // measured and tested against. Not set by PrepareSorting.
    bool comparatorSort = false;
};

// The resampling between image records and line records, set up once per transfer.
struct TransferTransform {
    int32_t direction = 0;  // 1 image to lines, 2 lines to image
    float radians = 0.0f;
    float factor = 1.0f;
    int32_t sourceWidth = 0;
    int32_t sourceHeight = 0;
    int32_t destWidth = 0;
    int32_t destHeight = 0;
    int32_t destCentreX = 0;
    int32_t destCentreY = 0;
    int32_t sourceCentreX = 0;
    int32_t sourceCentreY = 0;
};

// A string that several threads may write at once; copies take the text.
class GuardedMessage {
public:
    GuardedMessage() = default;
    GuardedMessage(const GuardedMessage& other) : text_(other.Get()) {}
    GuardedMessage& operator=(const GuardedMessage& other);

    void Set(std::string text);
    std::string Get() const;
    bool Empty() const;

private:
    mutable std::mutex mutex_;
    std::string text_;
};

struct Info {
    Info();

    // Image records: W × H, index x + y × W; filled and read back by the pixel transfer.
    std::vector<PixelRecord> imageRecords;
    int32_t imageWidth = 0;
    int32_t imageHeight = 0;
    int64_t imageCount = 0;

    // The grid the core sorts: lineCount rows of lineLength records, index x + y × lineLength.
    // At angle 0 and scale 1 it holds the image's own records between PrepareSorting and
    // TakeOutPixels, and imageRecords is empty meanwhile.
    std::vector<PixelRecord> lineRecords;
    // Memory for a resampled grid while none is built: PrepareSorting sizes the grid in it, and a
    // grid cleared for a new preparation goes back into it, so that the memory is sized once.
    std::vector<PixelRecord> gridStorage;
    int32_t lineLength = 0;
    int32_t lineCount = 0;
    int64_t gridCount = 0;
    int64_t lastIndex = -1;

    SortSettings settings;
    DerivedSettings derived;
    int32_t maxSpanLength = 0;
    int32_t blockLines = 1;
    int32_t lastColumn = 0;  // lineLength with the fill option, lineLength − 1 without
    // Prepared by PrepareRowSorting: the lines are the image rows and are sorted apart, each from
    // its own buffer (SortRowWithHead); neither record vector is used.
    bool rowsApart = false;

    int32_t noiseSeed = 0;
    std::array<uint8_t, 256> noiseTable{};

    TransferTransform transform;

    // The edges interval mode: one flag per image pixel (index x + y × imageWidth), 1 where the
    // trigger image's edge strength is above the level; not owned (the frame's buffers hold them),
    // null in other modes.
    const uint8_t* edgeFlags = nullptr;

    // First record of every line as it was before any line was sorted; taken by the first phase
    // of the line plan (LineIteration.h) so that lines read their neighbour's head independently
    // of the order in which the lines run.
    std::vector<PixelRecord> lineHeads;

    // Where the core's own row loops run (RunRowsInParallel); not owned. Null: the process's pool.
    Executor* executor = nullptr;
    // The code with which an executor last stopped one of those loops, 0 when it ran every row.
    int32_t loopCode = 0;

    void SetMessage(std::string text) { message.Set(std::move(text)); }
    std::string Message() const { return message.Get(); }

    GuardedMessage message;
};

// The name of the first setting that is not a finite number, or null when all are.
const char* FirstNonFiniteSetting(const SortSettings& settings);

// Fills info.derived from info.settings, bringing out-of-range values into the parameters' ranges.
void DeriveSettings(Info& info);

// Makes `records` hold `count` records. Memory it already has room in is kept with the values in
// it (every caller overwrites each record before reading it) and only records added past its size
// are zeroed; otherwise fresh memory that the kernel is asked to back with huge pages (one fault
// per 2 MiB rather than per 4 KiB). Throws std::bad_alloc like resize.
void SizeRecords(std::vector<PixelRecord>& records, size_t count);

// Derives the settings, sizes the line grid and fills it from the image records (at angle 0 and
// scale 1 by moving them into the grid, leaving imageRecords empty). False, with the
// reason in the message, for negative sizes, non-finite settings, absurd grids or a standard
// exception (allocation failure). A zero-size image gives an empty grid and true.
bool PrepareSorting(Info& info, int32_t width, int32_t height);

// Whether the lines of a preparation with these settings are the image rows, each sorted without
// reading or writing another: angle 0, scale exactly 1, one line per block and no random offset
// (which moves spans back into the line before). Settings PrepareSorting refuses answer false.
bool LinesAreImageRows(const Info& info, int32_t width, int32_t height);

// PrepareSorting for lines sorted apart (LinesAreImageRows must hold): the settings, sizes and
// derived values as PrepareSorting gives them, without image records or a grid. False with a
// message when LinesAreImageRows does not hold or PrepareSorting would fail.
bool PrepareRowSorting(Info& info, int32_t width, int32_t height);

// PrepareSorting without image records or a grid: the settings, sizes and derived values as
// PrepareSorting gives them, for a grid the caller keeps (CompactGrid.h). False with a message
// where PrepareSorting would fail for a reason other than the image records.
bool PrepareGridSorting(Info& info, int32_t width, int32_t height);

// Sets up info.transform for a transfer: direction 1 from the image to the line grid, 2 back.
void SetUpTransform(Info& info, int32_t direction);

// Writes the line grid back into the image records (at angle 0 and scale 1 by moving them back,
// leaving lineRecords empty). False with a message on failure.
bool TakeOutPixels(Info& info);

// Where each pixel of a transfer's destination takes its record from in the source: the transform
// SetUpTransform leaves in info.transform, reduced to what each pixel needs.
struct TransferMapping {
    TransferMapping() = default;
    explicit TransferMapping(const Info& info);

    // The source column and row of destination pixel (x, y), clamped into the source.
    void SourceOf(int32_t x, int32_t y, int32_t& sx, int32_t& sy) const {
        if (rotated) {
            const float py = static_cast<float>(y) + 0.5f;
            const float dy = py - destCentreY;
            const float px = static_cast<float>(x) + 0.5f;
            const float fx = kt * (px - dcx) - st * dy + scx;
            const float fy = st * (px - dcx) + kt * dy + scy;
            sx = ClampedIndex(fx, sourceWidth);
            sy = ClampedIndex(fy, sourceHeight);
        } else if (scaled) {
            sx = ClampedIndex(t * (static_cast<float>(x) + 0.5f), sourceWidth);
            sy = ClampedIndex(t * (static_cast<float>(y) + 0.5f), sourceHeight);
        } else {
            sx = x < sourceWidth - 1 ? x : sourceWidth - 1;
            sy = y < sourceHeight - 1 ? y : sourceHeight - 1;
        }
    }

    // Truncates toward zero and clamps into 0..size − 1; NaN gives 0.
    static int32_t ClampedIndex(float value, int32_t size) {
        if (!(value >= 0.0f)) return 0;
        if (value >= static_cast<float>(size - 1)) return size - 1;
        return static_cast<int32_t>(value);
    }

    float t = 1.0f;
    float kt = 1.0f;
    float st = 0.0f;
    bool rotated = false;
    bool scaled = false;
    float destCentreY = 0.0f;
    float dcx = 0.0f;
    float scx = 0.0f;
    float scy = 0.0f;
    int32_t sourceWidth = 0;
    int32_t sourceHeight = 0;
};

// Where each image pixel takes its record from after the sort, for a resampled grid: the record
// TakeOutPixels would write into the image records at (x, y), read without writing them.
class GridSampler {
public:
    const PixelRecord& At(int32_t x, int32_t y) const {
        int32_t sx;
        int32_t sy;
        map_.SourceOf(x, y, sx, sy);
        const PixelRecord& from = grid_[sx + static_cast<int64_t>(sy) * map_.sourceWidth];
        if (keepBackground_ && from.spanWeight != 1.0f) {
            return image_[x + static_cast<int64_t>(y) * imageWidth_];
        }
        return from;
    }

private:
    friend bool SampleGridBack(Info& info, GridSampler& sampler);

    TransferMapping map_;
    bool keepBackground_ = false;
    int32_t imageWidth_ = 0;
    const PixelRecord* grid_ = nullptr;
    const PixelRecord* image_ = nullptr;
};

// TakeOutPixels for a resampled grid without the transfer: checks the sizes as TakeOutPixels does,
// sets up its transform and makes `sampler` read the records it would write (valid while the grid
// and image records are unchanged). Without resampling it is TakeOutPixels (the image gets its
// records back) and `sampler` is not used. False with a message on failure.
bool SampleGridBack(Info& info, GridSampler& sampler);

// Whether PrepareSorting resampled the image into the grid (angle not 0 or scale not 1).
bool Resamples(const Info& info);

// Grid size relative to the image: (1 − c) × resolution³ + c with c = 10 ÷ the shorter side, so
// that at resolution 0 the shorter side becomes 10 records. Resolution is clamped to [0, 1].
float GridScale(int32_t width, int32_t height, float resolution);

// Degrees to radians in single precision, as every turn of the grid takes them.
inline float Radians(float degrees) { return degrees * 0.017453292f; }

// Integer size of the bounding box of a width × height rectangle turned by the angle (degrees).
std::pair<int64_t, int64_t> RotatedBounds(int64_t width, int64_t height, float angleDegrees);

// The line grid of an image before it is cut to whole records: the image's bounds turned by the
// angle (RotatedBounds, left unturned at angle 0 or an angle that is not a number) times the grid
// scale (GridScale). PrepareSorting sizes the grid from it; the effect's plan sizes its memory.
struct GridGeometry {
    float scale = 1.0f;
    float length = 0.0f;  // of a line
    float lines = 0.0f;   // how many
};
GridGeometry GridGeometryOf(const SortSettings& settings, int32_t width, int32_t height);

// Permutation of 0..255 shuffled with MT19937 seeded by `seed`.
std::array<uint8_t, 256> ShuffleNoiseTable(int32_t seed);

using RowFunction = std::function<bool(Info&, int32_t row)>;

// Runs f for rows 0..rowCount − 1 on `executor`, or on info.executor (the process's pool at every
// hardware thread when it has none). A standard exception in f ends that row and leaves its text in
// the message; the rows' results are not read. False, with the code in info.loopCode and a line in
// the message, when the executor stops the loop itself (a host's cancellation).
bool RunRowsInParallel(const RowFunction& f, Info& info, int32_t rowCount);
bool RunRowsInParallel(const RowFunction& f, Info& info, int32_t rowCount, Executor& executor);

// The row function of both transfers (direction in info.transform). Always true.
bool TransferRow(Info& info, int32_t row);

// The transfer as PrepareSorting and TakeOutPixels run it for a rotation: the destination rows in
// bands of kTransferBandRows, each band walked in blocks of kTransferBlockColumns columns, so that
// the source is read one small patch at a time rather than along a whole diagonal per row. Every
// destination record is written as TransferRow writes it; bands are independent.
constexpr int32_t kTransferBandRows = 32;
constexpr int32_t kTransferBlockColumns = 64;
int32_t TransferBandCount(const Info& info);
bool TransferBand(Info& info, int32_t band);

// Sorts line y of the grid: span detection and span processing, reading the next line's head
// from the grid itself (the one-thread order). False with a message when the grid is empty or
// a standard exception was caught.
bool SortLine(Info& info, int32_t y);

}  // namespace korvane::utils
