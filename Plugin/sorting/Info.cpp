// The sort context and the line grid: its preparation from the image records (or for rows sorted
// apart, or sizes only) and the way back to the image.
#include "sorting/Info.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <tuple>

#include "sorting/HugePages.h"

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
        info.SetMessage("The image holds " + std::to_string(info.imageRecords.size()) + " records where " +
                        std::to_string(width) + " x " + std::to_string(height) + " are needed");
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

    const GridGeometry grid = GridGeometryOf(info.settings, width, height);
    info.derived.scale = grid.scale;
    const int64_t lineLength = GridSide(grid.length);
    const int64_t lineCount = GridSide(grid.lines);
    if (lineLength < 0 || lineCount < 0 || (lineLength > 0 && lineCount > kMaxGridRecords / lineLength)) {
        info.SetMessage("The line grid for a " + std::to_string(width) + " x " + std::to_string(height) +
                        " image is too large");
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
        info.SetMessage("The line grid does not match the " + std::to_string(width) + " x " + std::to_string(height) +
                        " image");
        return false;
    }
    info.lineRecords.swap(info.imageRecords);
    return true;
}

}  // namespace

void SizeRecords(std::vector<PixelRecord>& records, size_t count) { SizeWithHugePages(records, count); }

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

std::pair<int64_t, int64_t> RotatedBounds(int64_t width, int64_t height, float angleDegrees) {
    const float s = std::sin(Radians(angleDegrees));
    const float k = std::cos(Radians(angleDegrees));
    const float w = static_cast<float>(width);
    const float h = static_cast<float>(height);
    const float bw = std::fabs(k * w) + std::fabs(s * h);
    const float bh = std::fabs(s * w) + std::fabs(k * h);
    return {static_cast<int64_t>(bw), static_cast<int64_t>(bh)};
}

GridGeometry GridGeometryOf(const SortSettings& settings, int32_t width, int32_t height) {
    GridGeometry grid;
    grid.scale = GridScale(width, height, settings.resolution);
    int64_t boundsWidth = width;
    int64_t boundsHeight = height;
    if (settings.angle != 0.0f && std::isfinite(settings.angle)) {
        std::tie(boundsWidth, boundsHeight) = RotatedBounds(width, height, settings.angle);
    }
    grid.length = static_cast<float>(boundsWidth) * grid.scale;
    grid.lines = static_cast<float>(boundsHeight) * grid.scale;
    return grid;
}

}  // namespace korvane::utils
