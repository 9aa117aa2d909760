// The phase plan of the line iteration.
//
// Lines meet in three places: a later line of a block reads the triggers of the block's first
// line as they are after that line was sorted; a line reads the head of the next line, before
// that line is sorted, at x = line length (its mask flag, and its colour in a fill at the line
// end); and a random offset moves a span back into the previous line. (At x = line length the
// span closes whatever the trigger there, so the trigger read at that column never matters.)
// The phases are:
//   0: one item that keeps the head of every line before anything is sorted;
//   1: the first line of every block, reading the next line's head from the kept copy;
//   2: the other lines of every block, reading the first lines finished in phase 1.
// Lines of one phase then write only their own records and read nothing another line of the
// same phase writes. With a random offset a line rewrites the tail of the previous line, so the
// whole chain depends on line order: the plan is then one item that runs all lines in order.
#include "sorting/LineIteration.h"

#include <algorithm>
#include <exception>
#include <string>

#include "sorting/LineKernel.h"

namespace korvane::utils {

namespace {

bool OneSequentialItem(const Info& info) { return info.derived.randomOffsetOn; }

int64_t LinesInPhase(const Info& info, int phase) {
    const int64_t n = info.lineCount;
    const int64_t b = info.blockLines;
    switch (phase) {
        case 1: return (n + b - 1) / b;
        case 2: return n - (n + b - 1) / b;
        default: return 0;
    }
}

int64_t LineOfItem(const Info& info, int phase, int64_t item) {
    const int64_t b = info.blockLines;
    switch (phase) {
        case 1: return item * b;
        default: return (item / (b - 1)) * b + 1 + item % (b - 1);
    }
}

void KeepLineHeads(Info& info) {
    const int64_t n = info.lineCount;
    info.lineHeads.resize(static_cast<size_t>(n));
    for (int64_t y = 0; y < n; ++y) {
        info.lineHeads[static_cast<size_t>(y)] = info.lineRecords[static_cast<size_t>(y * info.lineLength)];
    }
}

}  // namespace

int SortPhaseCount(const Info& info) {
    if (info.lineCount <= 0 || info.lineLength <= 0) {
        return 0;
    }
    if (OneSequentialItem(info)) {
        return 1;
    }
    return info.blockLines > 1 ? 3 : 2;
}

int64_t SortPhaseSize(const Info& info, int phase) {
    if (phase < 0 || phase >= SortPhaseCount(info)) {
        return 0;
    }
    if (phase == 0) {
        return 1;
    }
    return LinesInPhase(info, phase);
}

bool SortPhaseItem(Info& info, int phase, int64_t item) {
    if (item < 0 || item >= SortPhaseSize(info, phase)) {
        info.SetMessage("Sort phase " + std::to_string(phase) + " has no item " + std::to_string(item));
        return false;
    }
    if (OneSequentialItem(info)) {
        return SortAllLinesSequentially(info);
    }
    try {
        if (phase == 0) {
            KeepLineHeads(info);
            return true;
        }
    } catch (const std::exception& e) {
        info.SetMessage(e.what());
        return false;
    }
    if (static_cast<int64_t>(info.lineHeads.size()) != info.lineCount) {
        info.SetMessage("Sort phase " + std::to_string(phase) + " ran before phase 0");
        return false;
    }
    const int64_t y = LineOfItem(info, phase, item);
    const PixelRecord* nextHead = y + 1 < info.lineCount ? &info.lineHeads[static_cast<size_t>(y + 1)] : nullptr;
    return SortLineWithHead(info, static_cast<int32_t>(y), nextHead);
}

bool SortAllLinesSequentially(Info& info) {
    for (int32_t y = 0; y < info.lineCount; ++y) {
        if (!SortLine(info, y)) {
            return false;
        }
    }
    return true;
}

}  // namespace korvane::utils
