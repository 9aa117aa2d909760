// The entry points of the line kernel: one line of the grid, or one row held apart, sorted
// with the next line's head supplied or read from the grid; and the seeds and noise values
// other passes take from it.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>

#include "sorting/LineKernelInternal.h"

namespace korvane::utils {

uint32_t LineSeed(int32_t randomSeed, int32_t y) {
    uint64_t z = (static_cast<uint64_t>(static_cast<uint32_t>(randomSeed)) << 32) | static_cast<uint32_t>(y);
    z += 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    return static_cast<uint32_t>(z);
}

bool SortLineWithHead(Info& info, int32_t y, const PixelRecord* nextHead) {
    if (info.lineRecords.empty()) {
        info.SetMessage("SortLine: the line grid is empty");
        return false;
    }
    if (y < 0 || y >= info.lineCount || static_cast<int64_t>(info.lineRecords.size()) != info.gridCount) {
        info.SetMessage("SortLine: line " + std::to_string(y) + " is not in a grid of " +
                        std::to_string(info.lineCount) + " lines");
        return false;
    }
    try {
        LineKernel kernel(info, y, nextHead, info.lineRecords.data(), 0);
        kernel.Run();
        return true;
    } catch (const std::exception& e) {
        info.SetMessage(e.what());
        return false;
    }
}

bool SortLine(Info& info, int32_t y) { return SortLineWithHead(info, y, nullptr); }

void LineNoiseValues(const Info& info, int32_t y, int64_t count, float* noise) {
    if (!info.derived.noiseOn) {
        std::fill(noise, noise + count, 0.0f);
        return;
    }
    LineNoise line;
    line.Start(info, y);
    line.Values(count, noise);
}

bool SortRowWithHead(Info& info, int32_t y, PixelRecord* row, const PixelRecord* nextHead) {
    if (row == nullptr || y < 0 || y >= info.lineCount || !info.rowsApart) {
        info.SetMessage("SortRow: line " + std::to_string(y) + " cannot be sorted on its own");
        return false;
    }
    try {
        LineKernel kernel(info, y, nextHead, row, static_cast<int64_t>(y) * info.lineLength);
        kernel.Run();
        return true;
    } catch (const std::exception& e) {
        info.SetMessage(e.what());
        return false;
    }
}

bool SortPathWithHead(Info& info, int32_t index, PixelRecord* records, int64_t length, const PixelRecord* nextHead) {
    if (records == nullptr || length < 1 || index < 0) {
        info.SetMessage("SortPath: path " + std::to_string(index) + " has no records");
        return false;
    }
    try {
        LineKernel kernel(info, index, records, length, nextHead);
        kernel.Run();
        return true;
    } catch (const std::exception& e) {
        info.SetMessage(e.what());
        return false;
    }
}

}  // namespace korvane::utils
