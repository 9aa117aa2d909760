// Curved paths: the path tables (rings, rays, spiral, Hilbert curve), the tables kept between
// frames, and the sort of a batch of paths by the line kernel.
#include "sorting/CurvedPaths.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "sorting/Executor.h"
#include "sorting/LineKernel.h"

namespace korvane::utils {

namespace {

constexpr double kTurn = 6.283185307179586;

// Paths are sorted in items of about this many records, so that many short paths make few items.
constexpr int64_t kBatchRecords = 8192;

// Tables kept between frames: a clip renders many frames of one size, and a preview may
// alternate between two.
constexpr size_t kKeptTables = 2;

double CentreFraction(float value) {
    if (!std::isfinite(value)) return 0.5;
    return std::clamp(static_cast<double>(value), kMinCentre, kMaxCentre);
}

// Groups consecutive paths into items of about kBatchRecords records.
void MakeBatches(PathTable& table) {
    table.batches.clear();
    table.batches.push_back(0);
    int64_t held = 0;
    const int32_t count = table.PathCount();
    for (int32_t p = 0; p < count; ++p) {
        held += table.Length(p);
        if (held >= kBatchRecords || p + 1 == count) {
            table.batches.push_back(p + 1);
            held = 0;
        }
    }
}

// Rows of the frame in items of a few rows each, for the per-pixel passes.
constexpr int32_t kRowsPerItem = 16;

// Rings (circles, spiral) or rays: each pixel's path and its order along it, then the pixels
// grouped by path in image order and each path sorted by its order key (ties by image index).
bool MakeRadialTable(PathTable& table, Executor& executor, int32_t& code) {
    const PathShape& s = table.key;
    const int64_t width = s.width;
    const int64_t height = s.height;
    const int64_t count = width * height;
    const double cx = s.centreX * static_cast<double>(width);
    const double cy = s.centreY * static_cast<double>(height);
    const double turn = static_cast<double>(s.angle) * (kTurn / 360.0);
    const bool rays = s.shape == kPathRays;

    double farthest = 0.0;
    for (const double x : {0.0, static_cast<double>(width)}) {
        for (const double y : {0.0, static_cast<double>(height)})
            farthest = std::max(farthest, std::hypot(x - cx, y - cy));
    }
    // A ray about one pixel wide at the farthest corner.
    const int64_t rayCount = std::max<int64_t>(1, static_cast<int64_t>(std::ceil(kTurn * farthest)));

    std::vector<int64_t> ids(static_cast<size_t>(count));
    std::vector<double> keys(static_cast<size_t>(count));
    const int64_t items = (height + kRowsPerItem - 1) / kRowsPerItem;
    code = executor.Run(items, [&](int64_t item, int) -> int32_t {
        const int64_t y1 = std::min(height, (item + 1) * kRowsPerItem);
        for (int64_t y = item * kRowsPerItem; y < y1; ++y) {
            const double dy = static_cast<double>(y) + 0.5 - cy;
            for (int64_t x = 0; x < width; ++x) {
                const double dx = static_cast<double>(x) + 0.5 - cx;
                const double distance = std::sqrt(dx * dx + dy * dy);
                double theta = std::atan2(dy, dx) - turn;
                theta -= kTurn * std::floor(theta / kTurn);
                if (!(theta < kTurn)) theta = 0.0;
                const size_t i = static_cast<size_t>(x + y * width);
                if (rays) {
                    ids[i] = std::min(static_cast<int64_t>(theta / kTurn * static_cast<double>(rayCount)),
                                      rayCount - 1);
                    keys[i] = distance;
                } else {
                    ids[i] = static_cast<int64_t>(std::floor(distance + 0.5));
                    keys[i] = theta;
                }
            }
        }
        return 0;
    });
    if (code != 0) return false;

    // Ring numbers of one frame differ by at most its diagonal and ray numbers lie below rayCount,
    // so the numbers counted from the smallest index a small array.
    const auto [low, high] = std::minmax_element(ids.begin(), ids.end());
    const int64_t first = *low;
    std::vector<int64_t> place(static_cast<size_t>(*high - first + 2), 0);
    for (const int64_t id : ids) ++place[static_cast<size_t>(id - first + 1)];
    table.starts.clear();
    table.starts.push_back(0);
    for (size_t k = 1; k < place.size(); ++k) {
        if (place[k] > 0) table.starts.push_back(table.starts.back() + place[k]);
        place[k] = place[k - 1] + place[k];
    }
    for (int64_t i = 0; i < count; ++i) {
        table.order[static_cast<size_t>(place[static_cast<size_t>(ids[static_cast<size_t>(i)] - first)]++)] =
            static_cast<int32_t>(i);
    }
    MakeBatches(table);

    code = executor.Run(static_cast<int64_t>(table.batches.size()) - 1, [&](int64_t item, int) -> int32_t {
        for (int32_t p = table.batches[static_cast<size_t>(item)]; p < table.batches[static_cast<size_t>(item) + 1];
             ++p) {
            int32_t* begin = table.order.data() + table.starts[static_cast<size_t>(p)];
            std::sort(begin, begin + table.Length(p), [&](int32_t a, int32_t b) {
                const double ka = keys[static_cast<size_t>(a)];
                const double kb = keys[static_cast<size_t>(b)];
                return ka < kb || (ka == kb && a < b);
            });
        }
        return 0;
    });
    if (code != 0) return false;
    if (s.shape == kPathSpiral) {
        table.starts = {0, count};
        MakeBatches(table);
    }
    return true;
}

// Point d of the Hilbert curve over an n × n square (n a power of two).
void HilbertPoint(int64_t n, int64_t d, int64_t& x, int64_t& y) {
    x = 0;
    y = 0;
    for (int64_t s = 1; s < n; s *= 2) {
        const int64_t rx = 1 & (d / 2);
        const int64_t ry = 1 & (d ^ rx);
        if (ry == 0) {
            if (rx == 1) {
                x = s - 1 - x;
                y = s - 1 - y;
            }
            std::swap(x, y);
        }
        x += s * rx;
        y += s * ry;
        d /= 4;
    }
}

// A stretch of the Hilbert curve: points first .. first + count − 1, which fill an aligned square;
// whole when the square lies inside the frame.
struct CurveRun {
    int64_t first;
    int64_t count;
    bool whole;
};

// One Hilbert curve: the square's points in curve order, each point inside the frame kept. The
// curve's points first .. first + 4^k − 1 fill an aligned square of side 2^k, so the squares that
// miss the frame are left out whole and a strip of a frame (16384 × 4 spans a square of 16384²)
// costs its own pixels and its border, not the square. The runs kept are counted, then filled, in
// items of about kChunk points.
bool MakeHilbertTable(PathTable& table, Executor& executor, int32_t& code) {
    const PathShape& s = table.key;
    const int64_t width = s.width;
    const int64_t height = s.height;
    int64_t n = 1;
    while (n < std::max(width, height)) n *= 2;
    const float quarters = std::nearbyint(s.angle / 90.0f);
    const int64_t turns = ((static_cast<int64_t>(quarters) % 4) + 4) % 4;
    constexpr int64_t kChunk = 1 << 16;
    // Squares partly inside the frame are split down to this side, then walked point by point.
    constexpr int64_t kLeafSide = 16;

    // Point d of the turned curve, and whether it lies inside the frame.
    const auto inside = [&](int64_t d, int64_t& x, int64_t& y) {
        int64_t hx;
        int64_t hy;
        HilbertPoint(n, d, hx, hy);
        switch (turns) {
            case 1: x = n - 1 - hy, y = hx; break;
            case 2: x = n - 1 - hx, y = n - 1 - hy; break;
            case 3: x = hy, y = n - 1 - hx; break;
            default: x = hx, y = hy; break;
        }
        return x < width && y < height;
    };

    std::vector<CurveRun> runs;
    const auto split = [&](const auto& self, int64_t first, int64_t side) -> void {
        int64_t x;
        int64_t y;
        inside(first, x, y);
        // A turn maps aligned squares onto aligned squares: any point gives the square's corner.
        const int64_t x0 = x & ~(side - 1);
        const int64_t y0 = y & ~(side - 1);
        if (x0 >= width || y0 >= height) return;
        const int64_t count = side * side;
        const bool whole = x0 + side <= width && y0 + side <= height;
        if ((whole && count <= kChunk) || side <= kLeafSide) {
            runs.push_back({first, count, whole});
            return;
        }
        for (int64_t quarter = 0; quarter < 4; ++quarter) self(self, first + quarter * (count / 4), side / 2);
    };
    split(split, 0, n);

    // Items: consecutive runs of about kChunk points together.
    std::vector<size_t> items{0};
    int64_t walked = 0;
    for (size_t r = 0; r < runs.size(); ++r) {
        walked += runs[r].count;
        if (walked >= kChunk || r + 1 == runs.size()) {
            items.push_back(r + 1);
            walked = 0;
        }
    }
    const int64_t itemCount = static_cast<int64_t>(items.size()) - 1;
    std::vector<int64_t> offsets(items.size(), 0);
    code = executor.Run(itemCount, [&](int64_t item, int) -> int32_t {
        int64_t held = 0;
        int64_t x;
        int64_t y;
        for (size_t r = items[static_cast<size_t>(item)]; r < items[static_cast<size_t>(item) + 1]; ++r) {
            const CurveRun& run = runs[r];
            if (run.whole) {
                held += run.count;
                continue;
            }
            for (int64_t d = run.first; d < run.first + run.count; ++d) held += inside(d, x, y) ? 1 : 0;
        }
        offsets[static_cast<size_t>(item) + 1] = held;
        return 0;
    });
    if (code != 0) return false;
    for (size_t k = 1; k < offsets.size(); ++k) offsets[k] += offsets[k - 1];
    code = executor.Run(itemCount, [&](int64_t item, int) -> int32_t {
        int64_t next = offsets[static_cast<size_t>(item)];
        int64_t x;
        int64_t y;
        for (size_t r = items[static_cast<size_t>(item)]; r < items[static_cast<size_t>(item) + 1]; ++r) {
            for (int64_t d = runs[r].first; d < runs[r].first + runs[r].count; ++d) {
                if (inside(d, x, y)) table.order[static_cast<size_t>(next++)] = static_cast<int32_t>(x + y * width);
            }
        }
        return 0;
    });
    if (code != 0) return false;
    table.starts = {0, width * height};
    MakeBatches(table);
    return true;
}

std::mutex& TablesMutex() {
    static std::mutex mutex;
    return mutex;
}

std::vector<std::shared_ptr<const PathTable>>& KeptTables() {
    static std::vector<std::shared_ptr<const PathTable>> tables;
    return tables;
}

// Gathered records of the path a worker sorts.
struct PathBuffer {
    std::vector<PixelRecord> records;
};

}  // namespace

PathShape PathShapeOf(const SortSettings& settings, int32_t width, int32_t height) {
    PathShape shape;
    shape.shape = settings.pathShape;
    shape.width = std::max(width, 0);
    shape.height = std::max(height, 0);
    shape.centreX = CentreFraction(settings.centreX);
    shape.centreY = CentreFraction(settings.centreY);
    shape.angle = std::isfinite(settings.angle) ? settings.angle : 0.0f;
    return shape;
}

std::shared_ptr<const PathTable> MakePathTable(const PathShape& shape, Executor& executor, int32_t& code) {
    auto table = std::make_shared<PathTable>();
    table->key = shape;
    code = 0;
    const int64_t count = static_cast<int64_t>(shape.width) * shape.height;
    table->starts = {0};
    if (count == 0) {
        MakeBatches(*table);
        return table;
    }
    table->order.resize(static_cast<size_t>(count));
    const bool made = shape.shape == kPathHilbert ? MakeHilbertTable(*table, executor, code)
                                                  : MakeRadialTable(*table, executor, code);
    return made ? table : nullptr;
}

std::shared_ptr<const PathTable> CachedPathTable(const PathShape& shape, Executor& executor, int32_t& code) {
    code = 0;
    std::lock_guard lock(TablesMutex());
    std::vector<std::shared_ptr<const PathTable>>& kept = KeptTables();
    for (auto it = kept.begin(); it != kept.end(); ++it) {
        if ((*it)->key == shape) {
            std::shared_ptr<const PathTable> table = *it;
            kept.erase(it);
            kept.push_back(table);
            return table;
        }
    }
    std::shared_ptr<const PathTable> table = MakePathTable(shape, executor, code);
    if (table == nullptr) return nullptr;
    if (kept.size() >= kKeptTables) kept.erase(kept.begin());
    kept.push_back(table);
    return table;
}

void ReleasePathTables() noexcept {
    std::lock_guard lock(TablesMutex());
    KeptTables().clear();
}

int32_t BlockPaths(const Info& info, const PathTable& table) {
    const int32_t paths = table.PathCount();
    const float block = static_cast<float>(paths) * info.derived.blockHeightSquared;
    return std::clamp(static_cast<int32_t>(std::min(block, static_cast<float>(paths))), 1, std::max(paths, 1));
}

void TakePathNeighbours(const Info& info, const PathTable& table, PathNeighbours& neighbours) {
    const PixelRecord* records = info.imageRecords.data();
    const int32_t paths = table.PathCount();
    neighbours.heads.resize(static_cast<size_t>(std::max(paths, 0)));
    for (int32_t p = 0; p < paths; ++p) {
        neighbours.heads[static_cast<size_t>(p)] =
            records[table.order[static_cast<size_t>(table.starts[static_cast<size_t>(p)])]];
    }
    neighbours.blockPaths = BlockPaths(info, table);
    neighbours.blockTriggers.clear();
    if (neighbours.blockPaths == 1) return;
    neighbours.blockTriggers.resize(table.order.size());
    for (int32_t head = 0; head < paths; head += neighbours.blockPaths) {
        for (int64_t i = table.starts[static_cast<size_t>(head)]; i < table.starts[static_cast<size_t>(head) + 1];
             ++i) {
            neighbours.blockTriggers[static_cast<size_t>(i)] = records[table.order[static_cast<size_t>(i)]].trigger;
        }
    }
}

bool SortPathBatch(Info& info, const PathTable& table, const PathNeighbours& neighbours, int32_t item,
                   WorkerScratch& scratch) {
    const int32_t paths = table.PathCount();
    if (item < 0 || item + 1 >= static_cast<int32_t>(table.batches.size()) ||
        static_cast<int64_t>(info.imageRecords.size()) != static_cast<int64_t>(table.order.size()) ||
        static_cast<int64_t>(neighbours.heads.size()) != paths) {
        info.SetMessage("SortPaths: item " + std::to_string(item) + " is not one of this frame's paths");
        return false;
    }
    try {
        PixelRecord* records = info.imageRecords.data();
        const int32_t blockPaths = neighbours.blockPaths;
        std::vector<PixelRecord>& buffer = scratch.Get<PathBuffer>().records;
        for (int32_t p = table.batches[static_cast<size_t>(item)]; p < table.batches[static_cast<size_t>(item) + 1];
             ++p) {
            const int64_t length = table.Length(p);
            const int32_t* places = table.order.data() + table.starts[static_cast<size_t>(p)];
            buffer.resize(static_cast<size_t>(length));
            for (int64_t i = 0; i < length; ++i) buffer[static_cast<size_t>(i)] = records[places[i]];
            const int32_t head = (p / blockPaths) * blockPaths;
            if (head != p) {
                // The block's first path cuts this one: its triggers at the same fraction along.
                const int64_t headLength = table.Length(head);
                const FloatPixel* triggers = neighbours.blockTriggers.data() + table.starts[static_cast<size_t>(head)];
                for (int64_t i = 0; i < length; ++i) {
                    buffer[static_cast<size_t>(i)].trigger = triggers[(i * headLength) / length];
                }
            }
            const PixelRecord* nextHead = p + 1 < paths ? &neighbours.heads[static_cast<size_t>(p) + 1] : nullptr;
            if (!SortPathWithHead(info, p, buffer.data(), length, nextHead)) return false;
            for (int64_t i = 0; i < length; ++i) records[places[i]] = buffer[static_cast<size_t>(i)];
        }
        return true;
    } catch (const std::exception& e) {
        info.SetMessage(e.what());
        return false;
    }
}

}  // namespace korvane::utils
