// The passes of a plain sort on the compact grid, between the host worlds and the grid's words.
#include "sources/GridTransfer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "KRVN_Errors.h"
#include "LogsController.h"
#include "korvane/sdk/HostKind.h"
#include "korvane/sdk/SuiteHandler.h"
#include "sorting/CompactPaths.h"
#include "sorting/Info.h"
#include "sorting/Intervals.h"
#include "sorting/LineKernel.h"

namespace korvane::sources {
namespace {

template <typename Pixel>
const Pixel* RowIn(const PF_EffectWorld& world, int64_t y) {
    return reinterpret_cast<const Pixel*>(static_cast<const char*>(world.data) + y * world.rowbytes);
}

// Whether the words carry their 4-byte pixel in the low half instead of its place: random rows at
// 8 bits, whose output then copies the low halves without reading the world again.
bool PackedPixels(const GridRun& run) { return run.random_rows && run.rows.pixelBytes == 4; }

// A worker's row of random rows: breaks, keys, noise and (PackedPixels) pixels.
struct RandomRowBuffers {
    std::vector<uint8_t> breaks;
    std::vector<uint32_t> keys;
    std::vector<float> noise;
    std::vector<uint32_t> pixels;
};

// A worker's grid places of one block of a band of the output.
struct BlockPlaces {
    std::vector<int64_t> places;
};

// Image row y of the worlds as words of the grid itself, for random rows: the colour reader of the
// compact rows gives each pixel's break and key, with the noise of the line on the trigger, and the
// row's spans are found from its breaks while they are at hand.
bool ReadRandomRow(const GridRun& run, int32_t y, utils::WorkerScratch& scratch) {
    utils::Info& info = *run.info;
    const int32_t width = run.fill.width;
    RandomRowBuffers& buffers = scratch.Get<RandomRowBuffers>();
    std::vector<uint8_t>& breaks = buffers.breaks;
    std::vector<uint32_t>& keys = buffers.keys;
    std::vector<float>& noise = buffers.noise;
    std::vector<uint32_t>& pixels = buffers.pixels;
    const bool noisy = info.derived.noiseOn;
    const bool packed = PackedPixels(run);
    if (breaks.size() < static_cast<size_t>(width) || keys.size() < static_cast<size_t>(width)) {
        breaks.resize(static_cast<size_t>(width));
        keys.resize(static_cast<size_t>(width));
    }
    if (packed && pixels.size() < static_cast<size_t>(width)) pixels.resize(static_cast<size_t>(width));
    if (noisy && noise.size() < static_cast<size_t>(width)) noise.resize(static_cast<size_t>(width));
    utils::UnclearedVector<uint64_t>& words = run.grid->cells;
    if (static_cast<int64_t>(words.size()) != info.imageCount ||
        static_cast<int64_t>(run.grid->spans.size()) != info.imageHeight) {
        info.SetMessage("The image words do not match the prepared image");
        return false;
    }
    if (noisy) utils::LineNoiseValues(info, y, width, noise.data());
    run.rows.readCompact(run.fill, run.keys, y, width, noisy ? noise.data() : nullptr, packed ? pixels.data() : nullptr,
                         breaks.data(), keys.data(), scratch);
    utils::MarkEdgeBreaks(info, y, breaks.data(), width);
    uint64_t* const out = words.data() + static_cast<int64_t>(y) * width;
    if (packed) {
        for (int32_t x = 0; x < width; ++x) {
            out[x] = (static_cast<uint64_t>(keys[static_cast<size_t>(x)]) << 32) | pixels[static_cast<size_t>(x)];
        }
    } else {
        for (int32_t x = 0; x < width; ++x) {
            out[x] = utils::PackCell(keys[static_cast<size_t>(x)], breaks[static_cast<size_t>(x)] != 0, x, y);
        }
    }
    utils::FindRandomRowSpans(info, y, breaks.data(), run.grid->spans[static_cast<size_t>(y)]);
    return true;
}

// Image row y of the worlds as image keys and breaks: the colour reader of the compact rows writes
// each pixel's break and key straight into the grid's arrays.
bool ReadImageRow(const GridRun& run, int32_t y, utils::WorkerScratch& scratch) {
    if (run.random_rows) return ReadRandomRow(run, y, scratch);
    utils::Info& info = *run.info;
    const int32_t width = run.fill.width;
    utils::CompactGrid& grid = *run.grid;
    if (static_cast<int64_t>(grid.keys.size()) != info.imageCount ||
        static_cast<int64_t>(grid.breaks.size()) != info.imageCount ||
        static_cast<int64_t>(width) * info.imageHeight != info.imageCount) {
        info.SetMessage("The image keys do not match the prepared image");
        return false;
    }
    const int64_t row = static_cast<int64_t>(y) * width;
    run.rows.readCompact(run.fill, run.keys, y, width, nullptr, nullptr, grid.breaks.data() + row,
                         grid.keys.data() + row, scratch);
    utils::MarkEdgeBreaks(info, y, grid.breaks.data() + row, width);
    return true;
}

// Band `band` of output rows: pixel (x, y) from the world pixel its grid cell names (transform
// direction 2), or its own pixel when the background is kept and no processed span covered the
// cell; in blocks of columns so that the grid is read one small patch at a time.
template <typename Pixel>
void WriteOutputBand(const GridRun& run, int32_t band, utils::WorkerScratch& scratch) {
    const utils::Info& info = *run.info;
    const utils::TransferMapping map(info);
    const PF_EffectWorld& sorting = *run.fill.sorting;
    PF_EffectWorld& output = *run.output;
    const int64_t width = std::min<int64_t>(output.width, info.imageWidth);
    const int64_t height = std::min<int64_t>(output.height, info.imageHeight);
    const int64_t first = static_cast<int64_t>(band) * utils::kGridBandRows;
    const int64_t end = std::min<int64_t>(first + utils::kGridBandRows, height);
    const uint64_t* const cells = run.grid->cells.data();
    const int64_t lineLength = info.lineLength;
    // Without resampling (random rows) every record goes back whole, covered by a span or not.
    const bool keepBackground = !info.settings.affectBackground && !run.random_rows;
    const int64_t rows = end - first;
    if (rows <= 0) return;
    // The block's grid places row by row, worked out first: while row r is written, the cells of
    // row r + kGridFetchAhead are fetched into the cache and those of row r + 1 read, and the
    // pixels they name fetched, so that both gathers find their sources close at hand.
    std::vector<int64_t>& places = scratch.Get<BlockPlaces>().places;
    places.resize(static_cast<size_t>(utils::kGridBandRows) * utils::kGridBlockColumns);
    const Pixel* from[2][utils::kGridBlockColumns];
    int32_t gxs[utils::kGridBlockColumns];
    int32_t gys[utils::kGridBlockColumns];
    const auto sources = [&](int64_t r, int64_t column, int64_t n) {
        const int64_t y = first + r;
        const int64_t* const at = places.data() + r * utils::kGridBlockColumns;
        const Pixel** const to = from[r & 1];
        for (int64_t i = 0; i < n; ++i) {
            const uint64_t cell = cells[at[i]];
            const Pixel* const pixel = keepBackground && !utils::CellFlag(cell)
                                           ? RowIn<Pixel>(sorting, y) + column + i
                                           : RowIn<Pixel>(sorting, utils::CellRow(cell)) + utils::CellColumn(cell);
            utils::PrefetchRead(pixel);
            to[i] = pixel;
        }
    };
    for (int64_t column = 0; column < width; column += utils::kGridBlockColumns) {
        const int64_t blockEnd = std::min<int64_t>(column + utils::kGridBlockColumns, width);
        const int64_t n = blockEnd - column;
        for (int64_t r = 0; r < rows; ++r) {
            utils::SourcesOfRow(map, static_cast<int32_t>(first + r), static_cast<int32_t>(column),
                                static_cast<int32_t>(blockEnd), gxs, gys);
            int64_t* const at = places.data() + r * utils::kGridBlockColumns;
            for (int64_t i = 0; i < n; ++i) at[i] = gxs[i] + static_cast<int64_t>(gys[i]) * lineLength;
        }
        for (int64_t r = 0; r < rows && r < utils::kGridFetchAhead; ++r) {
            const int64_t* const at = places.data() + r * utils::kGridBlockColumns;
            for (int64_t i = 0; i < n; i += utils::kGridFetchStride) utils::PrefetchRead(cells + at[i]);
        }
        sources(0, column, n);
        for (int64_t r = 0; r < rows; ++r) {
            if (r + utils::kGridFetchAhead < rows) {
                const int64_t* const ahead = places.data() + (r + utils::kGridFetchAhead) * utils::kGridBlockColumns;
                for (int64_t i = 0; i < n; i += utils::kGridFetchStride) utils::PrefetchRead(cells + ahead[i]);
                utils::PrefetchRead(cells + ahead[n - 1]);
            }
            if (r + 1 < rows) sources(r + 1, column, n);
            auto* out = reinterpret_cast<Pixel*>(static_cast<char*>(output.data) + (first + r) * output.rowbytes) +
                        column;
            const Pixel* const* const row = from[r & 1];
            for (int64_t i = 0; i < n; ++i) out[i] = CanonicalPixel(*row[i]);
        }
    }
}

// Band `band` of output rows from words that carry their pixel (PackedPixels): each pixel the low
// half of the word at its place.
void WritePackedBand(const GridRun& run, int32_t band) {
    const utils::Info& info = *run.info;
    PF_EffectWorld& output = *run.output;
    const int64_t width = std::min<int64_t>(output.width, info.imageWidth);
    const int64_t first = static_cast<int64_t>(band) * utils::kGridBandRows;
    const int64_t end = std::min<int64_t>({first + utils::kGridBandRows, output.height, info.imageHeight});
    const uint64_t* const cells = run.grid->cells.data();
    for (int64_t y = first; y < end; ++y) {
        const uint64_t* const words = cells + y * info.lineLength;
        unsigned char* const out = static_cast<unsigned char*>(output.data) + y * output.rowbytes;
        for (int64_t x = 0; x < width; ++x) {
            const auto pixel = static_cast<uint32_t>(words[x]);
            std::memcpy(out + x * 4, &pixel, 4);
        }
    }
}

// A pass that fails gives the line the line sort's iteration gives, then its own.
PF_Err ReportPassFailure(const char* label, bool premiere, PF_Err err, const utils::Info& info,
                         const std::string& what) {
    if (!premiere && log::Logged(err)) KRVN_LOG_ERROR(label, "Iterate Suite Error " + ErrorText(err));
    if (err != PF_Interrupt_CANCEL) KRVN_LOG_ERROR(label, what + ErrorText(err));
    const std::string message = info.Message();
    if (!message.empty() && err != PF_Interrupt_CANCEL) KRVN_LOG_ERROR(label, "from info: " + message);
    return err;
}

// Image index x + y × width to column and row, by a multiplication rather than a division.
class ImagePlaces {
public:
    explicit ImagePlaces(int32_t width) : width_(width), inverse_(1.0 / static_cast<double>(width)) {}
    void operator()(uint32_t index, int32_t& x, int32_t& y) const {
        y = static_cast<int32_t>(static_cast<double>(index) * inverse_);
        x = static_cast<int32_t>(static_cast<int64_t>(index) - static_cast<int64_t>(y) * width_);
        if (x < 0) {
            --y;
            x += width_;
        } else if (x >= width_) {
            ++y;
            x -= width_;
        }
    }

private:
    int32_t width_;
    double inverse_;
};

// Places of chunk `item` of the paths: the output pixel at each place's own index from the pixel
// of "sorting" its sorted word names.
template <typename Pixel>
void WritePathChunk(const GridRun& run, const utils::PathTable& table, const utils::CompactPaths& paths, int64_t item) {
    const PF_EffectWorld& sorting = *run.fill.sorting;
    PF_EffectWorld& output = *run.output;
    const ImagePlaces places(run.info->imageWidth);
    const int64_t first = item * utils::kPathWordsPerItem;
    const int64_t end = std::min(first + utils::kPathWordsPerItem, static_cast<int64_t>(table.order.size()));
    for (int64_t i = first; i < end; ++i) {
        int32_t x = 0, y = 0, sx = 0, sy = 0;
        places(static_cast<uint32_t>(table.order[static_cast<size_t>(i)]), x, y);
        places(static_cast<uint32_t>(paths.words[static_cast<size_t>(i)]), sx, sy);
        auto* out = reinterpret_cast<Pixel*>(static_cast<char*>(output.data) + y * output.rowbytes);
        out[x] = CanonicalPixel(RowIn<Pixel>(sorting, sy)[sx]);
    }
}

// The passes' run over the frame's worlds, at the plan's depth and channel order.
GridRun RunOver(const render::RenderPlan& plan, const GridFrame& frame, utils::Info& info, utils::CompactGrid& grid) {
    GridRun run;
    run.fill = frame.fill;
    run.output = frame.output;
    run.rows = RowTransfers(plan.frame.bit_depth, plan.frame.bgra);
    run.keys = {utils::TriggerTestOf(info.settings), info.settings.sortKey, !info.settings.reverse};
    run.info = &info;
    run.grid = &grid;
    run.bit_depth = plan.frame.bit_depth;
    return run;
}

}  // namespace

int64_t GridPassSize(const GridRun& run, int pass) {
    const utils::Info& info = *run.info;
    switch (pass) {
        case kReadImage: return info.imageHeight;
        case kBuildGrid: return run.random_rows ? 0 : utils::CompactBandCount(info.lineCount);
        case kSortLines: return run.random_rows ? std::min<int64_t>(info.lineCount, 1) : info.lineCount;
        case kWriteOutput: return utils::CompactBandCount(std::min<int32_t>(run.output->height, info.imageHeight));
        default: return 0;
    }
}

bool RunGridItem(const GridRun& run, int pass, int64_t item, utils::WorkerScratch& scratch) {
    utils::Info& info = *run.info;
    if (item < 0 || item >= GridPassSize(run, pass)) {
        info.SetMessage("Grid pass " + std::to_string(pass) + " has no item " + std::to_string(item));
        return false;
    }
    const auto i = static_cast<int32_t>(item);
    try {
        switch (pass) {
            case kReadImage: return ReadImageRow(run, i, scratch);
            case kBuildGrid:
                if (static_cast<int64_t>(run.grid->cells.size()) != info.gridCount ||
                    static_cast<int64_t>(run.grid->keys.size()) != info.imageCount ||
                    static_cast<int64_t>(run.grid->breaks.size()) != info.imageCount) {
                    info.SetMessage("The compact grid does not match the prepared sizes");
                    return false;
                }
                return utils::BuildGridBand(info, *run.grid, i, scratch);
            case kSortLines:
                return run.random_rows ? utils::SortRandomRows(info, *run.grid, scratch)
                                       : utils::SortGridLine(info, *run.grid, i, scratch);
            case kWriteOutput:
                switch (run.bit_depth) {
                    case 8:
                        if (PackedPixels(run)) {
                            WritePackedBand(run, i);
                        } else {
                            WriteOutputBand<PF_Pixel8>(run, i, scratch);
                        }
                        return true;
                    case 16: WriteOutputBand<PF_Pixel16>(run, i, scratch); return true;
                    case 32: WriteOutputBand<PF_PixelFloat>(run, i, scratch); return true;
                    default: break;
                }
                info.SetMessage("The compact grid cannot write " + std::to_string(run.bit_depth) + "-bit pixels");
                return false;
            default: break;
        }
    } catch (const std::exception& e) {
        info.SetMessage(e.what());
        return false;
    }
    info.SetMessage("There is no grid pass " + std::to_string(pass));
    return false;
}

PF_Err RunGridPass(const GridRun& run, int pass, utils::Executor& executor) {
    const int64_t items = GridPassSize(run, pass);
    if (items > std::numeric_limits<A_long>::max() || items > std::numeric_limits<int32_t>::max()) {
        run.info->SetMessage("a pass of " + std::to_string(items) + " items is more than one iteration can run");
        return PF_Err_INTERNAL_STRUCT_DAMAGED;
    }
    if (items <= 0) return PF_Err_NONE;
    return executor.Run(items, [&run, &executor, pass](int64_t item, int worker) -> int32_t {
        bool done = false;
        try {
            done = RunGridItem(run, pass, item, executor.Scratch(worker));
        } catch (const std::exception& e) {
            run.info->SetMessage(e.what());
        } catch (...) {
            run.info->SetMessage("unknown exception in a grid pass");
        }
        return done ? PF_Err_NONE : PF_Err_INTERNAL_STRUCT_DAMAGED;
    });
}

PF_Err SortOnCompactGrid(const render::RenderPlan& plan, const GridFrame& frame, utils::Info& info, PF_Err& err,
                         const std::function<bool(A_long)>& progress) {
    constexpr const char* kLabel = "SortOnCompactGrid";
    PF_InData* in_data = frame.in_data;
    const bool premiere = IsPremiere(in_data);
    utils::CompactGrid grid = utils::TakeCompactGrid();
    struct GiveBack {
        utils::CompactGrid& grid;
        ~GiveBack() { utils::GiveCompactGrid(std::move(grid)); }
    } give_back{grid};
    const auto report = [&](const std::string& what) { return ReportPassFailure(kLabel, premiere, err, info, what); };
    // The plan prepared the sizes on info and chose the path from them.
    const bool random_rows = plan.path == render::RenderPath::kRandomRows;
    if (!plan.prepared || !(random_rows ? utils::RandomRowsApply(info) : utils::CompactGridApplies(info))) {
        KRVN_LOG_ERROR(kLabel, "Error preparing sorting " + ErrorText(err));
        const std::string message = info.Message();
        if (!message.empty()) KRVN_LOG_ERROR(kLabel, "from info: " + message);
        return PF_Err_INTERNAL_STRUCT_DAMAGED;
    }
    try {
        utils::SizeCompactGrid(grid, info);
    } catch (const std::bad_alloc&) {
        KRVN_LOG_ERROR(kLabel, "cannot allocate the compact grid " + ErrorText(PF_Err_OUT_OF_MEMORY));
        return PF_Err_OUT_OF_MEMORY;
    }
    GridRun run = RunOver(plan, frame, info, grid);
    run.random_rows = random_rows;
    std::optional<utils::PoolExecutor> pool;
    if (info.executor == nullptr) pool.emplace(0);
    utils::Executor& executor = info.executor != nullptr ? *info.executor : *pool;
    const auto pass = [&](int which) {
        if (err == PF_Err_NONE) err = RunGridPass(run, which, executor);
        return err == PF_Err_NONE;
    };
    const auto show_input = [&] {
        in_data->utils->copy(in_data->effect_ref, frame.input, frame.output, nullptr, nullptr);
        return err;
    };

    if (!pass(kReadImage)) return report("cannot read the image words ");
    if (progress(30)) return err;
    utils::SetUpTransform(info, 1);
    if (!pass(kBuildGrid)) return report("cannot build the compact grid ");
    if (progress(50)) return err;
    if (!pass(kSortLines)) return report("Iterator encountered an error: ");
    if (progress(60)) return err;
    utils::SetUpTransform(info, 2);
    if (progress(70)) return err;
    if (!pass(kWriteOutput)) {
        report("cannot write the output from the compact grid ");
        return show_input();
    }
    progress(100);
    if (err == PF_Interrupt_CANCEL) return show_input();
    return err;
}

PF_Err SortOnCompactPaths(const render::RenderPlan& plan, const GridFrame& frame, const utils::PathTable& table,
                          utils::Info& info, PF_Err& err, const std::function<bool(A_long)>& progress) {
    constexpr const char* kLabel = "SortOnCompactPaths";
    PF_InData* in_data = frame.in_data;
    const bool premiere = IsPremiere(in_data);
    const auto report = [&](const std::string& what) { return ReportPassFailure(kLabel, premiere, err, info, what); };
    const int bit_depth = plan.frame.bit_depth;
    if (!plan.prepared || !utils::CompactPathsApply(info, table) || frame.output == nullptr ||
        frame.output->width != info.imageWidth || frame.output->height != info.imageHeight ||
        static_cast<int64_t>(table.order.size()) != info.imageCount ||
        !(bit_depth == 8 || bit_depth == 16 || bit_depth == 32)) {
        KRVN_LOG_ERROR(kLabel, "Error preparing sorting " + ErrorText(err));
        return PF_Err_INTERNAL_STRUCT_DAMAGED;
    }
    // The image keys and breaks live in the compact grid's memory, the words in the paths' own.
    utils::CompactGrid grid = utils::TakeCompactGrid();
    utils::CompactPaths paths = utils::TakeCompactPaths();
    struct GiveBack {
        utils::CompactGrid& grid;
        utils::CompactPaths& paths;
        ~GiveBack() {
            utils::GiveCompactGrid(std::move(grid));
            utils::GiveCompactPaths(std::move(paths));
        }
    } give_back{grid, paths};
    try {
        grid.keys.resize(static_cast<size_t>(info.imageCount));
        grid.breaks.resize(static_cast<size_t>(info.imageCount));
        utils::SizeCompactPaths(paths, table);
    } catch (const std::bad_alloc&) {
        KRVN_LOG_ERROR(kLabel, "cannot allocate the path words " + ErrorText(PF_Err_OUT_OF_MEMORY));
        return PF_Err_OUT_OF_MEMORY;
    }
    const GridRun run = RunOver(plan, frame, info, grid);
    std::optional<utils::PoolExecutor> pool;
    if (info.executor == nullptr) pool.emplace(0);
    utils::Executor& executor = info.executor != nullptr ? *info.executor : *pool;
    // One loop over `items`; `step` false fails it with its reason in the message of Info.
    const auto loop = [&](int64_t items, const auto& step) {
        if (err != PF_Err_NONE) return false;
        err = executor.Run(items, [&](int64_t item, int worker) -> int32_t {
            try {
                return step(item, executor.Scratch(worker)) ? PF_Err_NONE : PF_Err_INTERNAL_STRUCT_DAMAGED;
            } catch (const std::exception& e) {
                info.SetMessage(e.what());
            }
            return PF_Err_INTERNAL_STRUCT_DAMAGED;
        });
        return err == PF_Err_NONE;
    };
    const int64_t chunks = utils::PathChunkCount(table);

    if (err == PF_Err_NONE) err = RunGridPass(run, kReadImage, executor);
    if (err != PF_Err_NONE) return report("cannot read the image words ");
    if (progress(30)) return err;
    if (!loop(chunks, [&](int64_t item, utils::WorkerScratch&) {
            utils::GatherPathWords(table, grid.keys.data(), grid.breaks.data(), paths, item);
            return true;
        })) {
        return report("cannot gather the path words ");
    }
    if (!loop(static_cast<int64_t>(paths.batchSpans.size()), [&](int64_t item, utils::WorkerScratch&) {
            return utils::FindPathSpans(info, table, paths, static_cast<int32_t>(item));
        })) {
        return report("cannot find the spans along the paths ");
    }
    try {
        utils::PlanPathSorts(paths);
    } catch (const std::bad_alloc&) {
        KRVN_LOG_ERROR(kLabel, "cannot allocate the spans " + ErrorText(PF_Err_OUT_OF_MEMORY));
        return PF_Err_OUT_OF_MEMORY;
    }
    if (progress(50)) return err;
    if (!loop(static_cast<int64_t>(paths.items.size()) - 1, [&](int64_t item, utils::WorkerScratch& scratch) {
            utils::SortPathSpans(paths, item, scratch);
            return true;
        })) {
        return report("Iterator encountered an error: ");
    }
    if (progress(60)) return err;
    if (progress(70)) return err;
    const auto show_input = [&] {
        in_data->utils->copy(in_data->effect_ref, frame.input, frame.output, nullptr, nullptr);
        return err;
    };
    if (!loop(chunks, [&](int64_t item, utils::WorkerScratch&) {
            if (bit_depth == 8) WritePathChunk<PF_Pixel8>(run, table, paths, item);
            if (bit_depth == 16) WritePathChunk<PF_Pixel16>(run, table, paths, item);
            if (bit_depth == 32) WritePathChunk<PF_PixelFloat>(run, table, paths, item);
            return true;
        })) {
        report("cannot write the output from the path words ");
        return show_input();
    }
    progress(100);
    if (err == PF_Interrupt_CANCEL) return show_input();
    return err;
}

}  // namespace korvane::sources
