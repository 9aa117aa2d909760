// Settings of the sort context, sort preparation, the line grid and its transfers.
#include "sorting/Info.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <random>
#include <system_error>

#include <sys/mman.h>

namespace korvane::utils {

namespace {

// Grids above this many records (about 128 GiB of records) are refused as absurd rather than
// left to the allocator.
constexpr int64_t kMaxGridRecords = std::numeric_limits<int32_t>::max();

float ClampFloat(float value, float low, float high) { return std::min(std::max(value, low), high); }


// trunc(value) for a non-negative grid side, or -1 when it does not fit a 32-bit count.
int64_t GridSide(float value) {
    if (!(value >= 0.0f)) {
        return -1;
    }
    if (value >= 2147483648.0f) {
        return -1;
    }
    return static_cast<int64_t>(value);
}

const char* FirstNonFiniteSetting(const SortSettings& s) {
    const std::pair<const char*, float> values[] = {
        {"angle", s.angle},
        {"threshold low", s.thresholdLow},
        {"threshold high", s.thresholdHigh},
        {"feather start", s.featherStart},
        {"feather end", s.featherEnd},
        {"resolution", s.resolution},
        {"animate growth", s.growth},
        {"offset", s.offset},
        {"random offset", s.randomOffset},
        {"loop", s.loop},
        {"pop", s.pop},
        {"block height", s.blockHeight},
        {"block width", s.blockWidth},
        {"stretch factor", s.stretchFactor},
        {"noise size", s.noiseSize},
        {"noise amount", s.noiseAmount},
    };
    for (const auto& [name, value] : values) {
        if (!std::isfinite(value)) {
            return name;
        }
    }
    return nullptr;
}

void DeriveSettings(Info& info) {
    const SortSettings& s = info.settings;
    DerivedSettings& d = info.derived;
    const float noiseSize = s.noiseSize;
    d.noiseFrequency = 1.0f / std::max(noiseSize * noiseSize * 1000.0f, 1.0f);
    // A downsampled frame has the same noise features in fewer pixels.
    if (s.pixelScale > 0.0f && s.pixelScale < 1.0f) d.noiseFrequency /= s.pixelScale;
    const float blockWidth = ClampFloat(s.blockWidth, 0.0f, 1.0f);
    const float blockHeight = ClampFloat(s.blockHeight, 0.0f, 1.0f);
    d.blockWidthSquared = blockWidth * blockWidth;
    d.blockHeightSquared = blockHeight * blockHeight;
    const float loop = ClampFloat(s.loop, -1.0f, 1.0f);
    d.rotationFraction = loop != 0.0f ? 1.0f - loop : 0.0f;
    d.featherStart = ClampFloat(s.featherStart, 0.0f, 1.0f);
    d.featherEnd = ClampFloat(s.featherEnd, 0.0f, 1.0f);
    d.growth = ClampFloat(s.growth, 0.0f, 2.0f);
    d.offset = ClampFloat(s.offset, 0.0f, 1.0f);
    d.randomOffset = ClampFloat(s.randomOffset, 0.0f, 1.0f);
    d.pop = ClampFloat(s.pop, 0.0f, 1.0f);
    d.stretchFactor = ClampFloat(s.stretchFactor, 0.0f, 10.0f);
    d.noiseComplexity = std::clamp(s.noiseComplexity, 0, 8);

    d.stretchOn = s.stretch && d.stretchFactor > 0.0f;
    d.blurOn = s.blur > 0;
    d.popOn = d.pop > 0.0f;
    d.featherStartOn = d.featherStart > 0.0f;
    d.featherEndOn = d.featherEnd > 0.0f;
    d.copyNeeded = d.featherStartOn || d.featherEndOn || d.stretchOn || s.preserveAlpha;
    d.noiseOn = s.noiseAmount != 0.0f && d.noiseComplexity >= 1;
    d.randomOffsetOn = d.randomOffset > 0.0f;
}

}  // namespace

void SetUpTransform(Info& info, int32_t direction) {
    TransferTransform& t = info.transform;
    t.direction = direction;
    if (direction == 1) {
        t.sourceWidth = info.imageWidth;
        t.sourceHeight = info.imageHeight;
        t.destWidth = info.lineLength;
        t.destHeight = info.lineCount;
        t.radians = info.settings.angle * 0.017453292f;
        t.factor = info.derived.scale;
    } else {
        t.sourceWidth = info.lineLength;
        t.sourceHeight = info.lineCount;
        t.destWidth = info.imageWidth;
        t.destHeight = info.imageHeight;
        t.radians = info.settings.angle * -0.017453292f;
        t.factor = 1.0f / info.derived.scale;
    }
    t.destCentreX = t.destWidth / 2;
    t.destCentreY = t.destHeight / 2;
    t.sourceCentreX = t.sourceWidth / 2;
    t.sourceCentreY = t.sourceHeight / 2;
}

namespace {


// A rotation reads its source along diagonals: banded, it reads one small patch at a time. A
// scaling alone reads rows in order, which whole rows do best.
bool Transfer(Info& info) {
    if (info.settings.angle != 0.0f) {
        return RunRowsInParallel(TransferBand, info, TransferBandCount(info));
    }
    return RunRowsInParallel(TransferRow, info, info.transform.destHeight);
}

void ClearGrid(Info& info) {
    if (info.lineRecords.capacity() > info.gridStorage.capacity()) {
        info.gridStorage.swap(info.lineRecords);
    }
    info.lineRecords.clear();
    info.lineHeads.clear();
    info.lineLength = 0;
    info.lineCount = 0;
    info.gridCount = 0;
    info.lastIndex = -1;
    info.maxSpanLength = 0;
    info.blockLines = 1;
    info.lastColumn = -1;
    info.rowsApart = false;
}

int32_t BlockLines(float lineCount, float lineLength, float blockHeightSquared) {
    const float blockLines = std::max(lineCount * blockHeightSquared, 1.0f);
    return std::max(static_cast<int32_t>(std::min(blockLines, lineLength)), 1);
}

// What a preparation makes: the record grid from the image records, or only the sizes and derived
// values for lines sorted apart or for a grid kept elsewhere.
enum class Preparation { kRecords, kRowsApart, kSizesOnly };

bool PrepareSortingUnguarded(Info& info, int32_t width, int32_t height, Preparation preparation) {
    const bool rowsApart = preparation == Preparation::kRowsApart;
    ClearGrid(info);
    if (rowsApart && !LinesAreImageRows(info, width, height)) {
        info.SetMessage("The lines of this frame cannot be sorted apart");
        return false;
    }
    if (width < 0 || height < 0) {
        info.SetMessage("Cannot sort an image of negative size " + std::to_string(width) + " x " +
                        std::to_string(height));
        return false;
    }
    info.imageWidth = width;
    info.imageHeight = height;
    info.imageCount = static_cast<int64_t>(width) * height;
    if (preparation == Preparation::kRecords && static_cast<int64_t>(info.imageRecords.size()) != info.imageCount) {
        info.SetMessage("The image holds " + std::to_string(info.imageRecords.size()) +
                        " records where " + std::to_string(width) + " x " + std::to_string(height) +
                        " are needed");
        return false;
    }
    if (const char* name = FirstNonFiniteSetting(info.settings)) {
        info.SetMessage(std::string("The setting ") + name + " is not a finite number");
        return false;
    }
    DeriveSettings(info);
    info.noiseSeed = info.settings.noiseSeed;
    info.noiseTable = ShuffleNoiseTable(info.noiseSeed);
    if (info.imageCount == 0) {
        info.derived.scale = 1.0f;
        return true;
    }

    info.derived.scale = GridScale(width, height, info.settings.resolution);
    const float scale = info.derived.scale;

    int64_t lineLength;
    int64_t lineCount;
    if (info.settings.angle != 0.0f) {
        const auto [bw, bh] = RotatedBounds(width, height, info.settings.angle);
        lineLength = GridSide(static_cast<float>(bw) * scale);
        lineCount = GridSide(static_cast<float>(bh) * scale);
    } else {
        lineLength = GridSide(static_cast<float>(width) * scale);
        lineCount = GridSide(static_cast<float>(height) * scale);
    }
    if (lineLength < 0 || lineCount < 0 ||
        (lineLength > 0 && lineCount > kMaxGridRecords / lineLength)) {
        info.SetMessage("The line grid for a " + std::to_string(width) + " x " +
                        std::to_string(height) + " image is too large");
        return false;
    }
    info.lineLength = static_cast<int32_t>(lineLength);
    info.lineCount = static_cast<int32_t>(lineCount);
    info.gridCount = lineLength * lineCount;
    info.lastIndex = info.gridCount - 1;
    if (info.gridCount == 0) {
        return true;
    }

    info.maxSpanLength = static_cast<int32_t>(static_cast<float>(lineLength) * info.derived.blockWidthSquared);
    info.blockLines = BlockLines(static_cast<float>(lineCount), static_cast<float>(lineLength),
                                 info.derived.blockHeightSquared);
    info.lastColumn = info.settings.fillLineEnd ? info.lineLength : info.lineLength - 1;
    if (preparation != Preparation::kRecords) {
        info.rowsApart = rowsApart;
        return true;
    }

    if (Resamples(info)) {
        SizeRecords(info.gridStorage, static_cast<size_t>(info.gridCount));
        info.lineRecords.swap(info.gridStorage);
        SetUpTransform(info, 1);
        return Transfer(info);
    }
    // Without resampling the grid is the image itself: its records are lent to the grid, not
    // copied, and TakeOutPixels hands them back.
    if (info.gridCount != info.imageCount) {
        info.SetMessage("The line grid does not match the " + std::to_string(width) + " x " +
                        std::to_string(height) + " image");
        return false;
    }
    info.lineRecords.swap(info.imageRecords);
    return true;
}

}  // namespace

void SizeRecords(std::vector<PixelRecord>& records, size_t count) {
    if (records.capacity() >= count) {
        records.resize(count);
        return;
    }
    std::vector<PixelRecord>().swap(records);
    records.reserve(count);
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
    const auto begin = reinterpret_cast<uintptr_t>(records.data());
    const uintptr_t end = begin + count * sizeof(PixelRecord);
    const uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t last = end & ~(kHugePage - 1);
    if (last > first) {
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
#endif
    records.resize(count);
}

GuardedMessage& GuardedMessage::operator=(const GuardedMessage& other) {
    if (this != &other) {
        Set(other.Get());
    }
    return *this;
}

void GuardedMessage::Set(std::string text) {
    std::lock_guard lock(mutex_);
    text_ = std::move(text);
}

std::string GuardedMessage::Get() const {
    std::lock_guard lock(mutex_);
    return text_;
}

bool GuardedMessage::Empty() const {
    std::lock_guard lock(mutex_);
    return text_.empty();
}

Info::Info() : noiseTable(ShuffleNoiseTable(0)) {}

void CopySettings(Info& info, const KRVN_Params& p) {
    SortSettings& s = info.settings;
    s.thresholdMode = p.effect;
    s.triggerKey = p.trigger;
    s.sortKey = p.sort_key;
    s.outputMode = p.mode;
    s.stretchPriority = p.priority;
    s.angle = p.angle;
    s.thresholdLow = p.threshold_low;
    s.thresholdHigh = p.threshold_high;
    s.featherStart = p.feather_start;
    s.featherEnd = p.feather_end;
    s.resolution = p.resolution;
    s.growth = p.animate_growth;
    s.offset = p.offset;
    s.randomOffset = p.random_offset;
    s.loop = p.loop;
    s.rangeLow = p.const_zero;
    s.rangeHigh = p.const_one;
    s.pop = p.pop;
    s.blockHeight = p.block_height;
    s.blockWidth = p.block_width;
    s.stretchFactor = p.stretch_factor;
    s.noiseSize = p.noise_size;
    s.noiseAmount = p.noise_amount;
    s.noiseComplexity = p.noise_complexity;
    s.noiseSeed = p.noise_seed;
    s.randomSeed = p.random_seed;
    s.blur = p.blur;
    s.pixelScale = p.pixel_scale;
    s.reverse = p.reverse;
    s.fillLineEnd = p.fill;
    s.preserveAlpha = p.preserve_alpha;
    s.hasTriggerSource = p.has_trigger_source;
    s.hasSortSource = p.has_sort_source;
    s.maskGating = p.has_masks;
    s.clampTrigger = true;
    s.affectBackground = p.affect_background;
    s.mirror = p.mirror;
    s.stretch = p.stretch;
}

bool LinesAreImageRows(const Info& info, int32_t width, int32_t height) {
    const SortSettings& s = info.settings;
    if (width <= 0 || height <= 0 || s.angle != 0.0f || FirstNonFiniteSetting(s) != nullptr ||
        GridScale(width, height, s.resolution) != 1.0f || ClampFloat(s.randomOffset, 0.0f, 1.0f) > 0.0f) {
        return false;
    }
    const float blockHeight = ClampFloat(s.blockHeight, 0.0f, 1.0f);
    return BlockLines(static_cast<float>(height), static_cast<float>(width), blockHeight * blockHeight) == 1;
}

bool PrepareRowSorting(Info& info, int32_t width, int32_t height) {
    try {
        return PrepareSortingUnguarded(info, width, height, Preparation::kRowsApart);
    } catch (const std::exception& e) {
        info.SetMessage(e.what());
        return false;
    }
}

bool PrepareSorting(Info& info, int32_t width, int32_t height) {
    try {
        return PrepareSortingUnguarded(info, width, height, Preparation::kRecords);
    } catch (const std::exception& e) {
        info.SetMessage(e.what());
        return false;
    }
}

bool PrepareGridSorting(Info& info, int32_t width, int32_t height) {
    try {
        return PrepareSortingUnguarded(info, width, height, Preparation::kSizesOnly);
    } catch (const std::exception& e) {
        info.SetMessage(e.what());
        return false;
    }
}

bool TakeOutPixels(Info& info) {
    try {
        if (info.imageCount == 0 || info.gridCount == 0) {
            return true;
        }
        // Without resampling the image's records are on loan to the grid (PrepareSorting): the
        // image is empty until they come back, every record whatever its weight.
        const bool resamples = Resamples(info);
        const int64_t imageHeld = resamples ? info.imageCount : 0;
        if (static_cast<int64_t>(info.imageRecords.size()) != imageHeld ||
            static_cast<int64_t>(info.lineRecords.size()) != info.gridCount) {
            info.SetMessage("The records do not match the prepared image and grid sizes");
            return false;
        }
        if (resamples) {
            SetUpTransform(info, 2);
            return Transfer(info);
        }
        info.imageRecords.swap(info.lineRecords);
        return true;
    } catch (const std::exception& e) {
        info.SetMessage(e.what());
        return false;
    }
}

bool Resamples(const Info& info) { return info.settings.angle != 0.0f || info.derived.scale != 1.0f; }

bool SampleGridBack(Info& info, GridSampler& sampler) {
    try {
        if (!Resamples(info) || info.imageCount == 0 || info.gridCount == 0) {
            return TakeOutPixels(info);
        }
        if (static_cast<int64_t>(info.imageRecords.size()) != info.imageCount ||
            static_cast<int64_t>(info.lineRecords.size()) != info.gridCount) {
            info.SetMessage("The records do not match the prepared image and grid sizes");
            return false;
        }
        SetUpTransform(info, 2);
        sampler.map_ = TransferMapping(info);
        sampler.keepBackground_ = !info.settings.affectBackground;
        sampler.imageWidth_ = info.imageWidth;
        sampler.grid_ = info.lineRecords.data();
        sampler.image_ = info.imageRecords.data();
        return true;
    } catch (const std::exception& e) {
        info.SetMessage(e.what());
        return false;
    }
}

float GridScale(int32_t width, int32_t height, float resolution) {
    const float c = 10.0f / static_cast<float>(std::max(std::min(width, height), 1));
    const float r = ClampFloat(resolution, 0.0f, 1.0f);
    return (1.0f - c) * (r * r * r) + c;
}

std::pair<int64_t, int64_t> RotatedBounds(int64_t width, int64_t height, float angleDegrees) {
    const float s = std::sin(angleDegrees * 0.017453292f);
    const float k = std::cos(angleDegrees * 0.017453292f);
    const float w = static_cast<float>(width);
    const float h = static_cast<float>(height);
    const float bw = std::fabs(k * w) + std::fabs(s * h);
    const float bh = std::fabs(s * w) + std::fabs(k * h);
    return {static_cast<int64_t>(bw), static_cast<int64_t>(bh)};
}

std::array<uint8_t, 256> ShuffleNoiseTable(int32_t seed) {
    std::array<uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i) {
        table[i] = static_cast<uint8_t>(i);
    }
    std::mt19937 generator(static_cast<uint32_t>(seed));
    for (uint32_t i = 1; i < 256; ++i) {
        const uint32_t j = static_cast<uint32_t>(generator()) % (i + 1);
        std::swap(table[i], table[j]);
    }
    return table;
}

bool RunRowsInParallel(const RowFunction& f, Info& info, int32_t rowCount) {
    return RunRowsInParallel(f, info, rowCount, std::thread::hardware_concurrency());
}

bool RunRowsInParallel(const RowFunction& f, Info& info, int32_t rowCount, unsigned threadCount) {
    return RunRowsInParallel(f, info, rowCount, threadCount,
                             [](std::function<void()> body) { return std::thread(std::move(body)); });
}

bool RunRowsInParallel(const RowFunction& f, Info& info, int32_t rowCount, unsigned threadCount,
                       const ThreadStarter& start) {
    const int64_t rows = std::max<int32_t>(rowCount, 0);
    // Slices that would be empty start no thread: the rows each thread runs stay as planned.
    const int64_t threads = std::min<int64_t>(std::max(threadCount, 1u), std::max<int64_t>(rows, 1));
    const int64_t chunk = rows / threads;
    const int64_t extra = rows % threads;

    std::vector<std::thread> started;
    started.reserve(static_cast<size_t>(threads));
    bool ok = true;
    try {
        int64_t sliceStart = 0;
        for (int64_t i = 0; i < threads; ++i) {
            const int64_t sliceEnd = sliceStart + chunk + (i < extra ? 1 : 0);
            auto body = [f, &info, sliceStart, sliceEnd]() {
                try {
                    for (int64_t r = sliceStart; r < sliceEnd; ++r) {
                        f(info, static_cast<int32_t>(r));
                    }
                } catch (const std::exception& e) {
                    info.SetMessage(e.what());
                } catch (...) {
                    info.SetMessage("Unknown exception in a row worker");
                }
            };
            started.push_back(start(std::move(body)));
            sliceStart = sliceEnd;
        }
    } catch (const std::exception& e) {
        info.SetMessage(e.what());
        ok = false;
    }
    for (std::thread& thread : started) {
        try {
            if (thread.joinable()) {
                thread.join();
            }
        } catch (const std::exception& e) {
            info.SetMessage(e.what());
            ok = false;
        }
    }
    return ok;
}

TransferMapping::TransferMapping(const Info& info) {
    const TransferTransform& tf = info.transform;
    t = 1.0f / tf.factor;
    const float s = std::sin(tf.radians);
    const float k = std::cos(tf.radians);
    kt = k * t;
    st = s * t;
    rotated = info.settings.angle != 0.0f;
    scaled = info.derived.scale != 1.0f;
    destCentreY = static_cast<float>(tf.destCentreY);
    dcx = static_cast<float>(tf.destCentreX);
    scx = static_cast<float>(tf.sourceCentreX);
    scy = static_cast<float>(tf.sourceCentreY);
    sourceWidth = tf.sourceWidth;
    sourceHeight = tf.sourceHeight;
}

namespace {

// The transform of one transfer in the form the copy loop uses. Everything the loop reads is a
// copy here: a record store may alias any object (the record holds a byte), which would otherwise
// reload the settings every pixel.
struct RowTransfer {
    explicit RowTransfer(Info& info) : map(info) {
        const TransferTransform& tf = info.transform;
        destWidth = tf.destWidth;
        destHeight = tf.destHeight;
        const bool toLines = tf.direction == 1;
        source = (toLines ? info.imageRecords : info.lineRecords).data();
        dest = (toLines ? info.lineRecords : info.imageRecords).data();
        keepBackground = !toLines && !info.settings.affectBackground;
    }

    // Destination records [firstColumn, endColumn) of one row.
    void Run(int32_t row, int32_t firstColumn, int32_t endColumn) const {
        PixelRecord* const out = dest + static_cast<int64_t>(row) * destWidth;
        for (int32_t x = firstColumn; x < endColumn; ++x) {
            int32_t sx;
            int32_t sy;
            map.SourceOf(x, row, sx, sy);
            const PixelRecord& from = source[sx + static_cast<int64_t>(sy) * map.sourceWidth];
            if (keepBackground && from.spanWeight != 1.0f) {
                continue;
            }
            out[x] = from;
        }
    }

    TransferMapping map;
    int32_t destWidth = 0;
    int32_t destHeight = 0;
    const PixelRecord* source = nullptr;
    PixelRecord* dest = nullptr;
    bool keepBackground = false;
};

}  // namespace

bool TransferRow(Info& info, int32_t row) {
    const RowTransfer transfer(info);
    transfer.Run(row, 0, transfer.destWidth);
    return true;
}

int32_t TransferBandCount(const Info& info) {
    const int64_t rows = std::max(info.transform.destHeight, 0);
    return static_cast<int32_t>((rows + kTransferBandRows - 1) / kTransferBandRows);
}

bool TransferBand(Info& info, int32_t band) {
    const RowTransfer transfer(info);
    const int64_t first = static_cast<int64_t>(band) * kTransferBandRows;
    const int64_t end = std::min<int64_t>(first + kTransferBandRows, transfer.destHeight);
    for (int64_t column = 0; column < transfer.destWidth; column += kTransferBlockColumns) {
        const auto blockEnd =
            static_cast<int32_t>(std::min<int64_t>(column + kTransferBlockColumns, transfer.destWidth));
        for (int64_t row = first; row < end; ++row) {
            transfer.Run(static_cast<int32_t>(row), static_cast<int32_t>(column), blockEnd);
        }
    }
    return true;
}

}  // namespace korvane::utils
