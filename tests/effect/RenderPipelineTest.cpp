// The render commands and the universal render end to end: every row of their failure tables by
// fault injection, cancellation at every progress point, pixel formats, bit depths, odd sizes, and
// the same bytes on any thread count and in either host.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <thread>
#include <utility>

#include "RenderSupport.h"
#include "UniversalRender.h"
#include "params/LookTable.h"
#include "platform/Memory.h"
#include "sorting/AutoThreshold.h"
#include "sorting/CurvedPaths.h"
#include "sorting/Executor.h"
#include "sorting/Info.h"
#include "sorting/Intervals.h"
#include "sources/CoreSettings.h"
#include "sources/PixelTransfer.h"

namespace korvane::render_test {
namespace {

class RenderFailures : public RenderTest {};
class RenderCancel : public RenderTest {};
class RenderFormats : public RenderTest {};
class RenderSizes : public RenderTest {};
class RenderDeterminism : public RenderTest {};

const std::string kU = "UniversalRender";

// Records the pixel format of every world the effect creates through "PF World Suite" 2.
struct WorldSuiteSpy {
    static inline const SPBasicSuite* original = nullptr;
    static inline PF_WorldSuite2 real{};
    static inline PF_WorldSuite2 spy{};
    static inline std::vector<PF_PixelFormat> formats;

    static SPErr Acquire(const char* name, int32_t version, const void** suite) {
        const SPErr err = original->AcquireSuite(name, version, suite);
        if (err == kSPNoError && std::string(name) == kPFWorldSuite && version == 2 && *suite != nullptr) {
            real = *static_cast<const PF_WorldSuite2*>(*suite);
            spy = real;
            spy.PF_NewWorld = &NewWorld;
            *suite = &spy;
        }
        return err;
    }
    static SPErr Release(const char* name, int32_t version) { return original->ReleaseSuite(name, version); }
    static PF_Err NewWorld(PF_ProgPtr ref, A_long w, A_long h, PF_Boolean clear, PF_PixelFormat format,
                           PF_EffectWorld* world) {
        formats.push_back(format);
        return real.PF_NewWorld(ref, w, h, clear, format, world);
    }
    static inline SPBasicSuite basic{&Acquire, &Release};

    static void Install(Host& h) {
        formats.clear();
        h.SetInDataHook([](PF_InData& in) {
            if (in.pica_basicP != &basic) original = in.pica_basicP;
            in.pica_basicP = &basic;
        });
    }
};

// Runs each item of iterate_generic ("PF Iterate8 Suite" 1) on a thread of its own, through the
// host's iteration, as a host whose threads come and go: the effect's per-thread buffers are then
// new in every item.
struct FreshThreadItems {
    static inline const SPBasicSuite* original = nullptr;
    static inline PF_Iterate8Suite1 real{};
    static inline PF_Iterate8Suite1 spy{};

    struct Item {
        void* refcon;
        PF_IterateGenericFunc fn;
    };
    static PF_Err RunItem(void* refcon, A_long thread_index, A_long i, A_long iterations) {
        const Item& item = *static_cast<const Item*>(refcon);
        ExcuseThisThreadFromAllocationFailure();
        PF_Err err = PF_Err_NONE;
        std::thread([&] { err = item.fn(item.refcon, thread_index, i, iterations); }).join();
        return err;
    }
    static PF_Err Generic(A_long iterations, void* refcon, PF_IterateGenericFunc fn) {
        Item item{refcon, fn};
        return real.iterate_generic(iterations, &item, &RunItem);
    }
    static SPErr Acquire(const char* name, int32_t version, const void** suite) {
        const SPErr err = original->AcquireSuite(name, version, suite);
        if (err == kSPNoError && std::string(name) == kPFIterate8Suite && version == 1 && *suite != nullptr) {
            real = *static_cast<const PF_Iterate8Suite1*>(*suite);
            spy = real;
            spy.iterate_generic = &Generic;
            *suite = &spy;
        }
        return err;
    }
    static SPErr Release(const char* name, int32_t version) { return original->ReleaseSuite(name, version); }
    static inline SPBasicSuite basic{&Acquire, &Release};

    static void Install(Host& h) {
        h.SetInDataHook([](PF_InData& in) {
            if (in.pica_basicP != &basic) original = in.pica_basicP;
            in.pica_basicP = &basic;
        });
    }
};

// ---- Universal render and its pixel steps

TEST_F(RenderFailures, MissingWorldSuiteTellsTheUserAndReturns516) {
    Host& h = NewHost();
    h.SetSuiteMissing("PF World Suite", 2);
    const size_t mark = LogMark();
    const World in = PhotoLike(16, 8);
    const World out = RenderAe(h, in, PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(h.last_return_msg(), "Couldn't load suite.");
    EXPECT_TRUE(h.last_out_data().out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE);
    EXPECT_EQ(ErrorsSince(mark), EntryLine("PF_Cmd_SMART_RENDER", PF_Err_BAD_CALLBACK_PARAM));
    EXPECT_TRUE(out.SamePixels(World(16, 8, 8)));
}

// The render commands always pass worlds and a record, so these call the universal render from
// inside a live command.
TEST_F(RenderFailures, MissingInputOrOutputWorldIsLogged) {
    Host& h = NewHost();
    World in = PhotoLike(4, 4);
    World out(4, 4, 8);
    KRVN_Params params;
    std::vector<PF_Err> results;
    h.SetInDataHook([&](PF_InData& in_data) {
        results.push_back(
            UniversalRender(&in_data, nullptr, nullptr, out.pf(), &params, 8, PF_PixelFormat_ARGB32, false, nullptr));
        results.push_back(
            UniversalRender(&in_data, in.pf(), nullptr, nullptr, &params, 8, PF_PixelFormat_ARGB32, false, nullptr));
    });
    const size_t mark = LogMark();
    h.About();
    h.SetInDataHook(nullptr);
    EXPECT_EQ(results, (std::vector<PF_Err>{PF_Err_INTERNAL_STRUCT_DAMAGED, PF_Err_INTERNAL_STRUCT_DAMAGED}));
    EXPECT_EQ(ErrorsSince(mark), (std::vector<ErrorRecord>{Err(kU, kU, "No Input or Output World"),
                                                           Err(kU, kU, "No Input or Output World")}));
    EXPECT_TRUE(out.SamePixels(World(4, 4, 8)));
}

TEST_F(RenderFailures, MissingParamsIsLogged) {
    Host& h = NewHost();
    World in = PhotoLike(4, 4);
    World out(4, 4, 8);
    PF_Err result = PF_Err_NONE;
    h.SetInDataHook([&](PF_InData& in_data) {
        result = UniversalRender(&in_data, in.pf(), nullptr, out.pf(), nullptr, 8, PF_PixelFormat_ARGB32, false,
                                 nullptr);
    });
    const size_t mark = LogMark();
    h.About();
    h.SetInDataHook(nullptr);
    EXPECT_EQ(result, PF_Err_INTERNAL_STRUCT_DAMAGED);
    EXPECT_EQ(ErrorsSince(mark), (std::vector<ErrorRecord>{Err(kU, kU, "Params is empty")}));
}

// Spoils the frame's parameter record whenever the effect locks it: GetParams refills it at
// pre-render, so only the smart render sees the spoiled value.
struct SpoiledRecord {
    static inline const SPBasicSuite* original = nullptr;
    static inline PF_HandleSuite2 real{};
    static inline PF_HandleSuite2 spy{};

    static void* Lock(PF_Handle h) {
        void* p = real.host_lock_handle(h);
        if (p != nullptr && real.host_get_handle_size(h) == sizeof(KRVN_Params)) {
            static_cast<KRVN_Params*>(p)->resolution = std::numeric_limits<float>::quiet_NaN();
        }
        return p;
    }
    static SPErr Acquire(const char* name, int32_t version, const void** suite) {
        const SPErr err = original->AcquireSuite(name, version, suite);
        if (err == kSPNoError && std::string(name) == kPFHandleSuite && *suite != nullptr) {
            real = *static_cast<const PF_HandleSuite2*>(*suite);
            spy = real;
            spy.host_lock_handle = &Lock;
            *suite = &spy;
        }
        return err;
    }
    static SPErr Release(const char* name, int32_t version) { return original->ReleaseSuite(name, version); }
    static inline SPBasicSuite basic{&Acquire, &Release};
};

TEST_F(RenderFailures, PreparationRefusingTheSettingsIsLogged) {
    Host& h = NewHost();
    h.SetInDataHook([](PF_InData& in) {
        if (in.pica_basicP != &SpoiledRecord::basic) SpoiledRecord::original = in.pica_basicP;
        in.pica_basicP = &SpoiledRecord::basic;
    });
    const World in = PhotoLike(6, 6);
    const size_t mark = LogMark();
    const World out = RenderAe(h, in, PF_Err_INTERNAL_STRUCT_DAMAGED);
    h.SetInDataHook(nullptr);
    const auto lines = ErrorsSince(mark);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], Err(kU, kU, "Error preparing sorting " + ErrorText(PF_Err_NONE)));
    EXPECT_EQ(lines[1].function, kU);
    EXPECT_EQ(lines[1].message.rfind("from info: ", 0), 0u);
    EXPECT_NE(lines[1].message.find("resolution"), std::string::npos);
    EXPECT_EQ(lines[2], EntryLine("PF_Cmd_SMART_RENDER", PF_Err_INTERNAL_STRUCT_DAMAGED)[0]);
    EXPECT_TRUE(out.SamePixels(in));
}

// A plain sort on a turned grid runs on the compact grid: each of its passes, and a world the
// effect cannot create before them, fails with its own line after the iteration's and leaves the
// input, at every depth.
TEST_F(RenderFailures, EachFailingCompactGridPassGivesItsLinesAndLeavesTheInput) {
    const PF_Err X = PF_Err_OUT_OF_MEMORY;
    const auto lines = [&](const std::string& step) {
        const std::string file = "GridTransfer";
        const std::string function = "SortOnCompactGrid";
        return std::vector<ErrorRecord>{Err(file, function, "Iterate Suite Error " + ErrorText(X)),
                                        Err(file, function, step + ErrorText(X))};
    };
    struct Case {
        const char* call;
        int nth;
        std::vector<ErrorRecord> lines;
    };
    const std::vector<Case> cases = {
        {"PF_NewWorld", 1,
         Concat({Err("RenderState", kCreate, "cannot create world " + ErrorText(X))},
                lines("cannot read the image words "))},
        {"iterate_generic", 1, lines("cannot read the image words ")},
        {"iterate_generic", 2, lines("cannot build the compact grid ")},
        {"iterate_generic", 3, lines("Iterator encountered an error: ")},
        {"iterate_generic", 4, lines("cannot write the output from the compact grid ")},
    };
    Host& h = NewHost();
    h.Set(P::KRVN_ANGLE, 20);
    h.Set(P::KRVN_RESOLUTION, 70);
    for (const int depth : {8, 16, 32})
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.call) + " #" + std::to_string(c.nth) + " at " + std::to_string(depth));
            const World in = PhotoLike(24, 16, depth);
            const long before = h.call_count(c.call);
            const World sorted = RenderAe(h, in);
            EXPECT_FALSE(sorted.SamePixels(in));
            const long per_frame = h.call_count(c.call) - before;
            // One iteration per pass.
            if (std::string(c.call) == "iterate_generic") {
                ASSERT_EQ(per_frame, 4);
            }
            ASSERT_GE(per_frame, c.nth);
            h.FailCall(c.call, c.nth, X);
            const size_t mark = LogMark();
            const World out = RenderAe(h, in, X);
            EXPECT_EQ(ErrorsSince(mark), Concat(c.lines, EntryLine("PF_Cmd_SMART_RENDER", X)));
            EXPECT_TRUE(out.SamePixels(in));
            h.ClearFaults();
        }
}

// A grid pass whose item fails on one thread for want of memory fails the frame: in After Effects,
// whose iteration threads here are new for every item, and in Premiere Pro, whose grid passes run
// on the process's pool. The workers' scratch is freed before each such frame, so that the pass
// allocates it again. Each pass fails with its line and the allocation's, the input shows, and the
// next frame sorts as before.
TEST_F(RenderFailures, ACompactGridPassFailingOnOneThreadFailsTheFrame) {
    const PF_Err X = PF_Err_INTERNAL_STRUCT_DAMAGED;
    struct Pass {
        A_long armed_at;  // the progress point just before the pass
        std::string line;
    };
    const std::vector<Pass> passes = {{25, "cannot read the image words "},
                                      {30, "cannot build the compact grid "},
                                      {50, "Iterator encountered an error: "},
                                      {70, "cannot write the output from the compact grid "}};
    const bool threads = std::thread::hardware_concurrency() > 1;
    for (const Personality personality : {Personality::AfterEffects, Personality::Premiere}) {
        const bool premiere = personality == Personality::Premiere;
        if (premiere && !threads) continue;
        Host& h = NewHost(personality);
        h.Set(P::KRVN_ANGLE, 20);
        h.Set(P::KRVN_THRESHOLD_HIGH, 1.0);
        if (!premiere) FreshThreadItems::Install(h);
        // Premiere Pro renders 8-bit BGRA; a turned 160 x 120 frame has cells for several workers.
        World in = PhotoLike(160, 120);
        if (premiere) {
            in = in.Converted(8, host::ChannelOrder::BGRA);
            in.SetPremiereFormat(host::PremiereFormat("bgra"));
        }
        const auto render = [&](PF_Err expected) {
            return premiere ? RenderLegacy(h, in, expected) : RenderAe(h, in, expected);
        };
        const World sorted = render(PF_Err_NONE);
        ASSERT_FALSE(sorted.SamePixels(in));
        for (const Pass& pass : passes) {
            SCOPED_TRACE((premiere ? "Premiere Pro, " : "After Effects, ") + pass.line);
            // The pool's calling thread, excused here, takes items too: a pass it ran alone allocated
            // nothing elsewhere and sorted the frame, so the frame is rendered again. The failure is
            // taken back at the next progress point, so that no later pass fails in its place.
            bool missed = false;
            const auto arm = [&](A_long current, A_long) {
                if (current == pass.armed_at) {
                    FailNextAllocationElsewhere();
                } else if (current > pass.armed_at && DisarmAllocationFailure()) {
                    missed = true;
                }
            };
            h.SetProgressListener(arm);
            bool failed = false;
            for (int attempt = 0; attempt < 50 && !failed; ++attempt) {
                utils::ReleaseIdleScratch();
                const size_t mark = LogMark();
                World out = premiere ? World(in.width(), in.height(), in.format()) : World(in.width(), in.height(), 8);
                const PF_Err err = premiere ? h.RenderLegacy(0.0, in, out) : h.RenderSmart(0.0, 8, in, out);
                h.SetProgressListener(nullptr);
                ExpectNothingLive(h);
                if (DisarmAllocationFailure() || std::exchange(missed, false)) {
                    ASSERT_TRUE(premiere) << "no allocation failed";
                    EXPECT_EQ(err, PF_Err_NONE);
                    EXPECT_TRUE(out.SamePixels(sorted));
                    h.SetProgressListener(arm);
                    continue;
                }
                failed = true;
                EXPECT_EQ(err, X);
                std::vector<ErrorRecord> lines;
                if (!premiere) {
                    lines.push_back(Err("GridTransfer", "SortOnCompactGrid", "Iterate Suite Error " + ErrorText(X)));
                }
                lines.push_back(Err("GridTransfer", "SortOnCompactGrid", pass.line + ErrorText(X)));
                lines.push_back(Err("GridTransfer", "SortOnCompactGrid", "from info: std::bad_alloc"));
                EXPECT_EQ(ErrorsSince(mark),
                          Concat(lines, EntryLine(premiere ? "PF_Cmd_RENDER" : "PF_Cmd_SMART_RENDER", X)));
                EXPECT_TRUE(out.SamePixels(in));
            }
            // Under Premiere Pro a loaded machine may leave every item to the calling thread, which
            // allocates nothing that fails; the frames rendered then sorted as before.
            if (!premiere) {
                EXPECT_TRUE(failed) << "no item of the pass ran on a worker other than the calling thread";
            }
            EXPECT_TRUE(render(PF_Err_NONE).SamePixels(sorted));
        }
    }
    if (!threads) GTEST_SKIP() << "one processor: Premiere Pro's grid passes stay on the calling thread";
}

TEST_F(RenderFailures, EachFailingHostCallGivesItsLinesAndLeavesTheInput) {
    struct Case {
        const char* call;
        int nth;
        int depth;
        std::vector<ErrorRecord> lines;
    };
    const PF_Err X = PF_Err_OUT_OF_MEMORY;
    const std::vector<Case> cases = {
        {"PF_NewWorld", 1, 8,
         Concat({Err("RenderState", kCreate, "cannot create world " + ErrorText(X))}, SortingStageLines(X))},
        {"PF_NewWorld", 3, 8,
         Concat({Err("RenderState", kCreate, "cannot create world " + ErrorText(X))}, SortingStageLines(X))},
        {"copy", 2, 8, Concat({Err("RenderState", kCopy, "cannot copy world " + ErrorText(X))}, SortingStageLines(X))},
        {"iterate", 1, 8,
         Concat({Err("PixelTransfer", "_Iterate", "AE Iterate8 Error " + ErrorText(X)),
                 Err(kU, kFillRecords, "cannot fill pixels vector " + ErrorText(X))},
                SortingStageLines(X))},
        {"iterate", 1, 16,
         Concat({Err("PixelTransfer", "_Iterate", "AE Iterate16 Error " + ErrorText(X)),
                 Err(kU, kFillRecords, "cannot fill pixels vector " + ErrorText(X))},
                SortingStageLines(X))},
        {"iterate", 1, 32,
         Concat({Err("PixelTransfer", "_Iterate", "AE Iterate32 Error " + ErrorText(X)),
                 Err(kU, kFillRecords, "cannot fill pixels vector " + ErrorText(X))},
                SortingStageLines(X))},
        // The first iteration of this turned look builds the line grid (the executor's row loop);
        // the second sorts the lines.
        {"iterate_generic",
         1,
         8,
         {Err(kU, kU, "Error preparing sorting " + ErrorText(X)),
          Err(kU, kU, "from info: the rows stopped with code 4")}},
        {"iterate_generic", 2, 8, SortingStageLines(X)},
        {"iterate",
         2,
         8,
         {Err("PixelTransfer", "_Iterate", "AE Iterate8 Error " + ErrorText(X)),
          Err(kU, kFillWorld, "cannot fill world" + ErrorText(X))}},
    };
    Host& h = NewHost();
    h.Set(P::KRVN_ANGLE, 20);
    // A mirror keeps the turned grid on the records (a plain sort takes the compact grid).
    h.Set(P::KRVN_MIRROR, 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " #" + std::to_string(c.nth) + " at " + std::to_string(c.depth));
        const World in = PhotoLike(24, 16, c.depth);
        // Count the calls of one frame before the render step that makes them.
        const long before = h.call_count(c.call);
        RenderAe(h, in);
        const long per_frame = h.call_count(c.call) - before;
        ASSERT_GE(per_frame, c.nth);
        h.FailCall(c.call, c.nth, X);
        const size_t mark = LogMark();
        const World out = RenderAe(h, in, X);
        EXPECT_EQ(ErrorsSince(mark), Concat(c.lines, EntryLine("PF_Cmd_SMART_RENDER", X)));
        EXPECT_TRUE(out.SamePixels(in));
        h.ClearFaults();
    }
}

TEST_F(RenderFailures, FailingLineLogsOnceAndReturns512) {
    utils::Info empty;  // no grid: every line fails
    empty.lineCount = 1;
    NewHost();
    const size_t mark = LogMark();
    SortPhaseRef ref{&empty, 0};
    EXPECT_EQ(PixelSortIterate(&ref, 0, 0, 1), PF_Err_INTERNAL_STRUCT_DAMAGED);
    EXPECT_EQ(ErrorsSince(mark), (std::vector<ErrorRecord>{Err(kU, "PixelSortIterate", "PixelSortIterate Error 512")}));
}

TEST_F(RenderFailures, FrameTooLargeForMemoryFailsBeforeAllocating) {
    Host& h = NewHost();
    h.Set(P::KRVN_ANGLE, 45);  // a 300000 x 1 strip needs a grid of about 212132 x 212132 records
    const World in = PhotoLike(300000, 1);
    const long worlds_before = h.call_count("PF_NewWorld");
    const size_t mark = LogMark();
    const World out = RenderAe(h, in, PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(h.call_count("PF_NewWorld"), worlds_before);
    const auto lines = ErrorsSince(mark);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], EntryLine("PF_Cmd_SMART_RENDER", PF_Err_OUT_OF_MEMORY)[0]);
    EXPECT_EQ(lines[0].function, kU);
    EXPECT_NE(lines[0].message.find("Not enough memory to sort a 300000x1 frame"), std::string::npos);
    EXPECT_NE(lines[0].message.find(ErrorText(PF_Err_OUT_OF_MEMORY)), std::string::npos);
    EXPECT_TRUE(out.SamePixels(in));
}

TEST_F(RenderFailures, MemoryNeedGrowsWithTheRotatedGrid) {
    const double flat = render::FrameMemoryNeed(1920, 1080, 0.0f, 1.0f, 8, false);
    const double turned = render::FrameMemoryNeed(1920, 1080, 33.0f, 1.0f, 8, false);
    EXPECT_GT(flat, 1920.0 * 1080 * 2 * 60);
    EXPECT_GT(turned, flat);
    EXPECT_LT(render::FrameMemoryNeed(1920, 1080, 0.0f, 0.0f, 8, false), flat);
    EXPECT_GT(render::FrameMemoryNeed(30000, 30000, 33.0f, 1.0f, 32, true), 1e11);
    EXPECT_GT(platform::AvailableMemory(), 0.0);
    // The compact grid: a key and a break byte per pixel, a word per cell of the turned grid, and
    // the scratch worlds.
    const double words = render::FrameMemoryNeed(3840, 2160, 33.0f, 1.0f, 8, false, true);
    const auto [bw, bh] = utils::RotatedBounds(3840, 2160, 33.0f);
    EXPECT_GT(words, 5.0 * 3840 * 2160 + 8.0 * static_cast<double>(bw * bh) + 3.0 * 3840 * 2160 * 4);
    EXPECT_LT(words, render::FrameMemoryNeed(3840, 2160, 33.0f, 1.0f, 8, false) / 4.0);
    EXPECT_LT(render::FrameMemoryNeed(3840, 2160, 0.0f, 0.5f, 8, false, true), words);
}

// ---- Pre-render, smart render, legacy render

TEST_F(RenderFailures, PreRenderLayerCheckoutFailure) {
    Host& h = NewHost();
    const World in = PhotoLike(8, 8);
    h.FailCall("checkout_layer", 1, PF_Err_BAD_CALLBACK_PARAM);
    const size_t mark = LogMark();
    World out(8, 8, 8);
    host::SmartRenderReport report;
    EXPECT_EQ(h.RenderSmart(0.0, 8, in, out, &report), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_FALSE(report.rendered);
    EXPECT_EQ(ErrorsSince(mark), Concat({Err("KRVN_Render", "PreRender",
                                             "Can't checkout effect's layer " + ErrorText(PF_Err_BAD_CALLBACK_PARAM))},
                                        EntryLine("PF_Cmd_SMART_PRE_RENDER", PF_Err_BAD_CALLBACK_PARAM)));
    ExpectNothingLive(h);

    h.FailCall("checkout_layer", 1, PF_Interrupt_CANCEL);
    const size_t mark2 = LogMark();
    EXPECT_EQ(h.RenderSmart(0.0, 8, in, out), PF_Interrupt_CANCEL);
    EXPECT_EQ(ErrorsSince(mark2), std::vector<ErrorRecord>{});
}

TEST_F(RenderFailures, PreRenderReportsTheInputRectanglesAndDisposesAFailedRecord) {
    Host& h = NewHost();
    const World in = PhotoLike(12, 7);
    World out(12, 7, 8);
    host::SmartRenderReport report;
    h.SetPreRenderRequest(PF_LRect{0, 0, 0, 0});
    ASSERT_EQ(h.RenderSmart(0.0, 8, in, out, &report), PF_Err_NONE);
    // Exactly what the layer checkout reported: nothing requested, the whole layer at most.
    const PF_LRect& result = report.pre_render_output.result_rect;
    const PF_LRect& max = report.pre_render_output.max_result_rect;
    EXPECT_TRUE(result.left >= result.right || result.top >= result.bottom);
    EXPECT_EQ((std::array<A_long, 4>{max.left, max.top, max.right, max.bottom}), (std::array<A_long, 4>{0, 0, 12, 7}));
    EXPECT_EQ(report.layer_pixel_checkins, 1);
    h.SetPreRenderRequest(std::nullopt);

    // GetParams failing: its code comes back and the record's handle does not outlive the command.
    h.FailCall("checkout_param", 1, PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(h.RenderSmart(0.0, 8, in, out, &report), PF_Err_OUT_OF_MEMORY);
    EXPECT_FALSE(report.rendered);
    ExpectNothingLive(h);
}

TEST_F(RenderFailures, SmartRenderCheckouts) {
    Host& h = NewHost();
    const World in = PhotoLike(8, 8);
    const PF_Err X = PF_Err_INVALID_CALLBACK;
    World out(8, 8, 8);
    host::SmartRenderReport report;

    h.FailCall("checkout_layer_pixels", 1, X);
    size_t mark = LogMark();
    EXPECT_EQ(h.RenderSmart(0.0, 8, in, out, &report), X);
    EXPECT_EQ(ErrorsSince(mark),
              Concat({Err("KRVN_Render", "SmartRender", "PreRender: input world error " + ErrorText(X)),
                      Err("KRVN_Render", "SmartRender", "PreRender: output world error" + ErrorText(X))},
                     EntryLine("PF_Cmd_SMART_RENDER", X)));
    ExpectNothingLive(h);

    h.FailCall("checkout_layer_pixels", 1, PF_Interrupt_CANCEL);
    mark = LogMark();
    EXPECT_EQ(h.RenderSmart(0.0, 8, in, out, &report), PF_Interrupt_CANCEL);
    EXPECT_EQ(ErrorsSince(mark), std::vector<ErrorRecord>{});

    h.FailCall("checkout_output", 1, X);
    mark = LogMark();
    EXPECT_EQ(h.RenderSmart(0.0, 8, in, out, &report), X);
    EXPECT_EQ(ErrorsSince(mark),
              Concat({Err("KRVN_Render", "SmartRender", "PreRender: output world error" + ErrorText(X))},
                     EntryLine("PF_Cmd_SMART_RENDER", X)));
    EXPECT_EQ(report.layer_pixel_checkins, 1);
    ExpectNothingLive(h);

    h.FailCall("checkout_output", 1, PF_Interrupt_CANCEL);
    mark = LogMark();
    EXPECT_EQ(h.RenderSmart(0.0, 8, in, out, &report), PF_Interrupt_CANCEL);
    EXPECT_EQ(ErrorsSince(mark), std::vector<ErrorRecord>{});
    ExpectNothingLive(h);
}

TEST_F(RenderFailures, SmartRenderWithoutPreRenderDataReturns512Silently) {
    Host& h = NewHost();
    const World in = PhotoLike(8, 8);
    const long before = h.call_count("host_lock_handle");
    RenderAe(h, in);
    const long per_frame = h.call_count("host_lock_handle") - before;
    h.FailCall("host_lock_handle", static_cast<int>(per_frame), PF_Err_OUT_OF_MEMORY);  // the render's lock: null
    const size_t mark = LogMark();
    RenderAe(h, in, PF_Err_INTERNAL_STRUCT_DAMAGED);
    EXPECT_EQ(ErrorsSince(mark), EntryLine("PF_Cmd_SMART_RENDER", PF_Err_INTERNAL_STRUCT_DAMAGED));
}

TEST_F(RenderFailures, LegacyRender) {
    Host& ae = NewHost();
    const World in = PhotoLike(10, 6);
    const size_t mark = LogMark();
    const World out = RenderLegacy(ae, in);
    bool said = false;
    for (const auto& line : LogLines())
        said = said || line.find("[KORVN] Rendering in an old version of AE. Using 8bits") != std::string::npos;
    EXPECT_TRUE(said);
    EXPECT_EQ(ErrorsSince(mark), std::vector<ErrorRecord>{});
    EXPECT_TRUE(out.SamePixels(RenderAe(ae, in)));
    // A deep world (found by the fuzzer: it was written as 8-bit pixels) renders as the smart render does.
    ae.Set(P::KRVN_ANGLE, 33);
    const World deep = PhotoLike(10, 6, 16);
    EXPECT_TRUE(RenderLegacy(ae, deep).SamePixels(RenderAe(ae, deep)));

    // GetParams failing: its code, and the parameter handle is gone after the frame.
    ae.FailCall("checkout_param", 1, PF_Err_OUT_OF_MEMORY);
    RenderLegacy(ae, in, PF_Err_OUT_OF_MEMORY);

    Host& pr = NewHost(Personality::Premiere);
    pr.SetSuiteMissing("PF Pixel Format Suite", 1);
    World bgra = PhotoLike(10, 6, 8, 1, host::ChannelOrder::BGRA);
    bgra.SetPremiereFormat(host::PremiereFormat("bgra"));
    World pr_out(10, 6, bgra.format());
    EXPECT_EQ(pr.RenderLegacy(0.0, bgra, pr_out), A_Err_MISSING_SUITE);
    EXPECT_EQ(pr.last_return_msg(), "Not able to acquire AEFX Suite.");
    pr.SetSuiteMissing("PF Pixel Format Suite", 1, false);
    ExpectNothingLive(pr);
}

// ---- Cancellation

// At angle 0 the rows are sorted apart and written to the output as they are sorted (after
// progress 50); a later cancel must still leave the input.
TEST_F(RenderCancel, EveryProgressPointEndsTheRenderSilentlyWithTheInputShown) {
    for (const double angle : {30.0, 0.0})
        for (Personality personality : {Personality::AfterEffects, Personality::Premiere}) {
            Host& h = NewHost(personality);
            const bool premiere = personality == Personality::Premiere;
            h.Set(P::KRVN_ANGLE, angle);
            World in = premiere ? PhotoLike(20, 12, 8, 3, host::ChannelOrder::BGRA) : PhotoLike(20, 12);
            if (premiere) in.SetPremiereFormat(host::PremiereFormat("bgra"));
            std::vector<A_long> points;
            h.SetProgressListener([&](A_long current, A_long) { points.push_back(current); });
            premiere ? RenderLegacy(h, in) : RenderAe(h, in);
            const std::vector<A_long> expected = {1, 10, 11, 20, 25, 30, 50, 60, 70, 100};
            std::vector<A_long> own;
            for (A_long p : points) {
                if (std::find(expected.begin(), expected.end(), p) != expected.end()) own.push_back(p);
            }
            EXPECT_EQ(own, expected);
            const long calls = static_cast<long>(points.size());
            for (long nth = 1; nth <= calls; ++nth) {
                SCOPED_TRACE(std::string(host::PersonalityName(personality)) + " angle " + std::to_string(angle) +
                             " progress call " + std::to_string(nth));
                h.CancelAtProgress(static_cast<int>(nth));
                const size_t mark = LogMark();
                const World out = premiere ? RenderLegacy(h, in, PF_Interrupt_CANCEL)
                                           : RenderAe(h, in, PF_Interrupt_CANCEL);
                EXPECT_EQ(LogMark(), mark);
                EXPECT_TRUE(out.SamePixels(in));
                h.ResetCancel();
            }
            h.SetProgressListener(nullptr);
        }
}

// The release step checks in the four layer parameters and disposes the worlds made so far, but only
// once the render got past its first progress call.
TEST_F(RenderCancel, ReleaseUndoesOnlyWhatTheRenderGotTo) {
    Host& h = NewHost();
    const World in = PhotoLike(12, 8);
    auto calls_when_cancelled_at = [&](int nth, const char* call) {
        h.CancelAtProgress(nth);
        const long before = h.call_count(call);
        RenderAe(h, in, PF_Interrupt_CANCEL);
        h.ResetCancel();
        return h.call_count(call) - before;
    };
    const long checkins_at_first = calls_when_cancelled_at(1, "checkin_param");
    EXPECT_EQ(calls_when_cancelled_at(2, "checkin_param") - checkins_at_first, 4);
    EXPECT_EQ(calls_when_cancelled_at(1, "dispose_world"), 0);
    EXPECT_EQ(calls_when_cancelled_at(2, "dispose_world"), 0);
    EXPECT_EQ(calls_when_cancelled_at(3, "dispose_world"), 1);  // the sorting world alone
    ExpectNothingLive(h);
}

// ---- Pixel formats and depths

TEST_F(RenderFormats, SmartRenderMakesWorldsOfTheFrameDepth) {
    Host& h = NewHost();
    WorldSuiteSpy::Install(h);
    const std::vector<std::pair<int, PF_PixelFormat>> depths = {{8, PF_PixelFormat_ARGB32},
                                                                {16, PF_PixelFormat_ARGB64},
                                                                {32, PF_PixelFormat_ARGB128}};
    for (const auto& [depth, format] : depths) {
        WorldSuiteSpy::formats.clear();
        RenderAe(h, PhotoLike(9, 9, depth));
        ASSERT_EQ(WorldSuiteSpy::formats.size(), 3u);  // sorting, trigger source, sort source
        for (PF_PixelFormat f : WorldSuiteSpy::formats) EXPECT_EQ(f, format) << depth;
    }
    h.SetInDataHook(nullptr);
}

TEST_F(RenderFormats, PremiereFormatsPickDepthAndChannelOrder) {
    Host& ae = NewHost();
    Host& pr = NewHost(Personality::Premiere);
    ae.Set(P::KRVN_ANGLE, 12);
    pr.Set(P::KRVN_ANGLE, 12);
    const World argb = PhotoLike(30, 20, 8, 7);
    const World expected = RenderAe(ae, argb);
    ASSERT_FALSE(expected.SamePixels(argb));

    World bgra = argb.Converted(8, host::ChannelOrder::BGRA);
    bgra.SetPremiereFormat(host::PremiereFormat("bgra"));
    const World from_bgra = RenderLegacy(pr, bgra);
    EXPECT_EQ(from_bgra.order(), host::ChannelOrder::BGRA);
    EXPECT_EQ(from_bgra.MaxDifference(expected), 0.0);

    World argb_pr = argb.Clone();
    argb_pr.SetPremiereFormat(host::PremiereFormat("argb"));
    EXPECT_TRUE(RenderLegacy(pr, argb_pr).SamePixels(expected));

    // Formats the effect cannot read keep the copy of the input.
    for (const char* name : {"v210", "@PQ2", "zzzz"}) {
        World other = argb.Converted(8, host::ChannelOrder::BGRA);
        other.SetPremiereFormat(host::PremiereFormat(name));
        EXPECT_TRUE(RenderLegacy(pr, other).SamePixels(other)) << name;
    }
}

// ---- Sizes

TEST_F(RenderSizes, TinyAndThinFramesRenderInEveryLook) {
    Host& h = NewHost();
    struct Look {
        int param;
        double value;
    };
    const std::vector<std::vector<Look>> looks = {
        {},
        {{P::KRVN_ANGLE, 33}},
        {{P::KRVN_ANGLE, 90}, {P::KRVN_RESOLUTION, 0}},
        {{P::KRVN_RESOLUTION, 50}, {P::KRVN_BLUR, 10}},
        {{P::KRVN_RANDOM_OFFSET, 60}, {P::KRVN_NOISE_AMOUNT, 50}},
        {{P::KRVN_MODE, 2}, {P::KRVN_FEATHER_START, 50}},
        {{P::KRVN_MODE, 3}, {P::KRVN_STRETCH, 1}},
        {{P::KRVN_MODE, 7}, {P::KRVN_ANGLE, -135}},
    };
    const std::vector<std::pair<A_long, A_long>> sizes = {{1, 1}, {1, 9}, {9, 1}, {2, 2}, {3, 17}};
    for (const auto& look : looks) {
        h.ResetParams();
        for (const Look& l : look) h.Set(l.param, l.value);
        for (const auto& [w, hh] : sizes) {
            for (int depth : {8, 32}) {
                SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(hh) + " depth " + std::to_string(depth));
                const World in = PhotoLike(w, hh, depth, 5);
                const size_t mark = LogMark();
                RenderAe(h, in);
                EXPECT_EQ(ErrorsSince(mark), std::vector<ErrorRecord>{});
            }
        }
    }
}

// Float frames may hold NaN and infinities; in every look that mixes pixels (gradients, blur,
// feathers, a coarse or turned grid) none reaches a pixel that did not hold one.
TEST_F(RenderSizes, NonFiniteFloatsStayInTheirOwnPixel) {
    Host& h = NewHost();
    World in = PhotoLike(64, 48, 32, 7);
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity()};
    for (A_long y = 0; y < 48; ++y)
        for (A_long x = (y * 7) % 20; x < 64; x += 20) in.At<PF_PixelFloat>(x, y).green = specials[(x + y) % 3];
    const std::vector<std::vector<std::pair<int, double>>> looks = {
        {{P::KRVN_MODE, 2}, {P::KRVN_THRESHOLD_HIGH, 1}},
        {{P::KRVN_BLUR, 50}, {P::KRVN_THRESHOLD_HIGH, 1}},
        {{P::KRVN_FEATHER_START, 80}, {P::KRVN_POP, 40}, {P::KRVN_ANGLE, 33}, {P::KRVN_RESOLUTION, 60}},
    };
    for (const auto& look : looks) {
        h.ResetParams();
        for (const auto& [param, value] : look) h.Set(param, value);
        const World out = RenderAe(h, in);
        for (A_long y = 0; y < 48; ++y)
            for (A_long x = 0; x < 64; ++x) {
                const PF_PixelFloat& o = out.At<PF_PixelFloat>(x, y);
                const bool was = !std::isfinite(in.At<PF_PixelFloat>(x, y).green);
                for (float v : {o.alpha, o.red, o.green, o.blue}) ASSERT_TRUE(std::isfinite(v) || was) << x << "," << y;
            }
    }
}

TEST_F(RenderSizes, OutputOfAnotherSizeThanTheInput) {
    Host& h = NewHost();
    h.Set(P::KRVN_ANGLE, 25);
    const World in = PhotoLike(16, 12);
    for (const auto& [w, hh] : std::vector<std::pair<A_long, A_long>>{{20, 15}, {8, 6}, {16, 3}, {3, 12}}) {
        World out(w, hh, 8);
        EXPECT_EQ(h.RenderLegacy(0.0, in, out), PF_Err_NONE) << w << "x" << hh;
        EXPECT_TRUE(out.PaddingIntact());
        ExpectNothingLive(h);
    }
}

// ---- Determinism

// Plain sorts on turned and scaled grids go through the compact grid; a feather too short to
// reach one pixel changes no byte but keeps the same look on the records. Both give the same bytes
// at every depth, for 16-bit codes above full intensity and float channels out of range or not
// finite too, with trigger and sort colours from layers of their own, and on frames of several
// bands and blocks; Premiere Pro, whose grid passes run on the effect's own threads, gives the
// 8-bit bytes too.
TEST_F(RenderDeterminism, CompactGridGivesTheRecordBytes) {
    std::mt19937 g(1212);
    const auto unit = [&] { return static_cast<double>(g()) / 4294967296.0; };
    const auto pick = [&](int low, int high) {
        return low + static_cast<int>(g() % static_cast<uint32_t>(high - low + 1));
    };
    Host& h = NewHost();
    Host& pr = NewHost(Personality::Premiere);
    const auto set = [&](int param, double value) {
        h.Set(param, value);
        pr.Set(param, value);
    };
    const int trigger_layer = h.AddLayer(PhotoLike(37, 23, 16, 5));
    const int sort_layer = h.AddLayer(PhotoLike(70, 50, 8, 6));
    int compact = 0;
    int premiere = 0;
    for (int round = 0; round < 48; ++round) {
        const int depth = std::array{8, 16, 32}[round % 3];
        const double low = std::floor(unit() * 60.0) / 100.0;
        set(P::KRVN_THRESHOLD_LOW, low);
        set(P::KRVN_THRESHOLD_HIGH, low + std::floor(unit() * 60.0 + 5.0) / 100.0);
        set(P::KRVN_EFFECT, pick(1, 2));
        set(P::KRVN_ANGLE, round % 6 == 5 ? 0.0 : pick(-360, 360));
        set(P::KRVN_RESOLUTION, round % 2 == 0 ? 100.0 : std::floor(unit() * 100.0));
        set(P::KRVN_TRIGGER, pick(1, 9));
        set(P::KRVN_SORT_KEY, pick(1, 10));
        set(P::KRVN_FILL, pick(0, 1));
        set(P::KRVN_REVERSE, pick(0, 1));
        set(P::KRVN_AFFECT_BACKGROUND, pick(0, 1));
        set(P::KRVN_BLOCK_WIDTH, pick(0, 1) == 1 ? 100.0 : std::floor(10.0 + unit() * 90.0));
        set(P::KRVN_ANIMATE_GROWTH, pick(0, 1) == 1 ? 100.0 : std::floor(unit() * 200.0));
        set(P::KRVN_OFFSET, pick(0, 1) == 1 ? 0.0 : std::floor(unit() * 60.0));
        // One round in four reads the trigger colours, and sometimes the sort colours, from layers
        // of other sizes and depths than the input.
        const bool sources = round % 4 == 3;
        h.Set(P::KRVN_TRIGGER_SOURCE, sources ? trigger_layer : host::kNoLayer);
        h.Set(P::KRVN_SORT_SOURCE, sources && pick(0, 1) == 1 ? sort_layer : host::kNoLayer);
        // One round in four is large enough for several bands of rows and blocks of columns.
        const bool large = round % 4 == 1;
        World in = large ? PhotoLike(pick(130, 200), pick(70, 110), depth, static_cast<uint32_t>(round))
                         : PhotoLike(pick(1, 60), pick(1, 40), depth, static_cast<uint32_t>(round));
        PlantOddChannels(in, depth, g);
        SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(in.width()) + " x " +
                     std::to_string(in.height()) + " at " + std::to_string(depth) + " bits");
        set(P::KRVN_FEATHER_START, 0.0);
        const long before = h.call_count("iterate_generic");
        const World grid = RenderAe(h, in);
        compact += h.call_count("iterate_generic") - before == 4 ? 1 : 0;
        if (depth == 8 && !sources) {
            World bgra = in.Converted(8, host::ChannelOrder::BGRA);
            bgra.SetPremiereFormat(host::PremiereFormat("bgra"));
            EXPECT_EQ(RenderLegacy(pr, bgra).MaxDifference(grid), 0.0) << "Premiere Pro";
            ++premiere;
        }
        set(P::KRVN_FEATHER_START, 1e-4);
        const World records = RenderAe(h, in);
        EXPECT_TRUE(grid.SamePixels(records));
    }
    EXPECT_GT(compact, 28);
    EXPECT_GE(premiere, 10);
}

// Plain sorts with a random offset on the image rows go through the compact grid as random rows
// (three iterations: read, sort, write); a feather too short to reach one pixel keeps the look on
// the records. Both give the same bytes at every depth, on one iteration thread or two, for frames
// of one column or one row too.
TEST_F(RenderDeterminism, RandomRowsGiveTheRecordBytes) {
    std::mt19937 g(2711);
    const auto unit = [&] { return static_cast<double>(g()) / 4294967296.0; };
    const auto pick = [&](int low, int high) {
        return low + static_cast<int>(g() % static_cast<uint32_t>(high - low + 1));
    };
    Host& h = NewHost();
    Host& pr = NewHost(Personality::Premiere);
    const auto set = [&](auto param, double value) {
        h.Set(param, value);
        pr.Set(param, value);
    };
    int random_rows = 0;
    for (int round = 0; round < 36; ++round) {
        const int depth = std::array{8, 16, 32}[round % 3];
        const double low = std::floor(unit() * 60.0) / 100.0;
        set(P::KRVN_THRESHOLD_LOW, low);
        set(P::KRVN_THRESHOLD_HIGH, low + std::floor(unit() * 60.0 + 5.0) / 100.0);
        set(P::KRVN_EFFECT, pick(1, 2));
        set(P::KRVN_RANDOM_OFFSET, round % 4 == 0 ? 100.0 : std::floor(1.0 + unit() * 99.0));
        set(P::KRVN_RANDOM_SEED, pick(0, 65536));
        set(P::KRVN_TRIGGER, pick(1, 9));
        set(P::KRVN_SORT_KEY, pick(1, 10));
        set(P::KRVN_FILL, pick(0, 1));
        set(P::KRVN_REVERSE, pick(0, 1));
        set(P::KRVN_AFFECT_BACKGROUND, pick(0, 1));
        set(P::KRVN_BLOCK_WIDTH, pick(0, 1) == 1 ? 100.0 : std::floor(10.0 + unit() * 90.0));
        set(P::KRVN_ANIMATE_GROWTH, pick(0, 1) == 1 ? 100.0 : std::floor(unit() * 200.0));
        set(P::KRVN_OFFSET, pick(0, 1) == 1 ? 0.0 : std::floor(unit() * 60.0));
        set(P::KRVN_NOISE_AMOUNT, round % 3 == 1 ? std::floor(unit() * 100.0) : 0.0);
        const A_long width = round % 6 == 0 ? 1 : pick(1, 70);
        const A_long height = round % 6 == 1 ? 1 : pick(1, 40);
        World in = PhotoLike(width, height, depth, static_cast<uint32_t>(round + 100));
        PlantOddChannels(in, depth, g);
        SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(in.width()) + " x " +
                     std::to_string(in.height()) + " at " + std::to_string(depth) + " bits");
        set(P::KRVN_FEATHER_START, 0.0);
        h.SetThreadCount(1);
        const long before = h.call_count("iterate_generic");
        const World one = RenderAe(h, in);
        random_rows += h.call_count("iterate_generic") - before == 3 ? 1 : 0;
        h.SetThreadCount(2);
        EXPECT_TRUE(RenderAe(h, in).SamePixels(one));
        // The legacy render of the other host, on 8-bit BGRA worlds, takes the same path.
        if (depth == 8) {
            World bgra = in.Converted(8, host::ChannelOrder::BGRA);
            bgra.SetPremiereFormat(host::PremiereFormat("bgra"));
            EXPECT_EQ(RenderLegacy(pr, bgra).MaxDifference(one), 0.0);
        }
        set(P::KRVN_FEATHER_START, 1e-4);
        const World records = RenderAe(h, in);
        EXPECT_TRUE(one.SamePixels(records));
    }
    EXPECT_EQ(random_rows, 36);
}

TEST_F(RenderDeterminism, SameBytesTwiceOnAnyThreadCountAndInEitherHost) {
    Host& ae = NewHost();
    Host& pr = NewHost(Personality::Premiere);
    for (Host* h : {&ae, &pr}) {
        h->Set(P::KRVN_ANGLE, 33);
        h->Set(P::KRVN_RANDOM_OFFSET, 40);
        h->Set(P::KRVN_NOISE_AMOUNT, 30);
        h->Set(P::KRVN_BLUR, 3);
        h->Set(P::KRVN_THRESHOLD_HIGH, 0.7);
    }
    const World in = PhotoLike(96, 64, 8, 11);
    ae.SetThreadCount(1);
    const World one = RenderAe(ae, in);
    ASSERT_FALSE(one.SamePixels(in));
    EXPECT_TRUE(RenderAe(ae, in).SamePixels(one));
    ae.SetThreadCount(8);
    EXPECT_TRUE(RenderAe(ae, in).SamePixels(one));
    EXPECT_TRUE(RenderAe(ae, in).SamePixels(one));

    World bgra = in.Converted(8, host::ChannelOrder::BGRA);
    bgra.SetPremiereFormat(host::PremiereFormat("bgra"));
    EXPECT_EQ(RenderLegacy(pr, bgra).MaxDifference(one), 0.0);

    const World in32 = PhotoLike(64, 48, 32, 12);
    ae.SetThreadCount(1);
    const World one32 = RenderAe(ae, in32);
    ae.SetThreadCount(6);
    EXPECT_TRUE(RenderAe(ae, in32).SamePixels(one32));
}

// Curved paths move each pixel along its own path only (each path's pixels come out as a
// permutation of themselves), at every depth, on one thread or many, in either host's layout.
TEST_F(RenderDeterminism, CurvedPathsPermuteEachPathAtEveryDepthThreadCountAndHost) {
    Host& ae = NewHost();
    Host& pr = NewHost(Personality::Premiere);
    const std::pair<float, float> centres[] = {{0.5f, 0.5f}, {0.0f, 1.0f}, {1.7f, -0.4f}};
    int round = 0;
    for (const int32_t shape : {utils::kPathCircles, utils::kPathRays, utils::kPathSpiral, utils::kPathHilbert}) {
        for (const int depth : {8, 16, 32}) {
            const auto [cx, cy] = centres[static_cast<size_t>(round++) % 3];
            const float angle = 20.0f * static_cast<float>(round);
            for (Host* h : {&ae, &pr}) {
                h->Set(P::KRVN_PATH, shape);
                h->Set(P::KRVN_CENTRE_X, 100.0 * cx);
                h->Set(P::KRVN_CENTRE_Y, 100.0 * cy);
                h->Set(P::KRVN_ANGLE, angle);
                h->Set(P::KRVN_THRESHOLD_HIGH, 0.8);
            }
            const A_long width = 37 + round;
            const A_long height = 23;
            const World in = PhotoLike(width, height, depth, static_cast<uint32_t>(round));
            SCOPED_TRACE("shape " + std::to_string(shape) + " at " + std::to_string(depth) + " bits");
            ae.SetThreadCount(1);
            const World one = RenderAe(ae, in);
            ASSERT_FALSE(one.SamePixels(in));
            ae.SetThreadCount(4);
            EXPECT_TRUE(RenderAe(ae, in).SamePixels(one));
            if (depth == 8) {
                World bgra = in.Converted(8, host::ChannelOrder::BGRA);
                bgra.SetPremiereFormat(host::PremiereFormat("bgra"));
                EXPECT_EQ(RenderLegacy(pr, bgra).MaxDifference(one), 0.0);
            }

            utils::SortSettings settings;
            settings.pathShape = shape;
            settings.centreX = cx;
            settings.centreY = cy;
            settings.angle = angle;
            utils::SerialExecutor executor;
            int32_t code = 0;
            const auto table = utils::MakePathTable(utils::PathShapeOf(settings, width, height), executor, code);
            ASSERT_NE(table, nullptr);
            const auto key = [](const Color& c) { return std::array<float, 4>{c.alpha, c.red, c.green, c.blue}; };
            for (int32_t p = 0; p < table->PathCount(); ++p) {
                std::vector<std::array<float, 4>> before;
                std::vector<std::array<float, 4>> after;
                for (int64_t i = table->starts[static_cast<size_t>(p)]; i < table->starts[static_cast<size_t>(p) + 1];
                     ++i) {
                    const int32_t at = table->order[static_cast<size_t>(i)];
                    before.push_back(key(in.Get(at % width, at / width)));
                    after.push_back(key(one.Get(at % width, at / width)));
                }
                std::sort(before.begin(), before.end());
                std::sort(after.begin(), after.end());
                ASSERT_EQ(before, after) << "path " << p;
            }
        }
    }
}

// Along curved paths the edges cut spans whether a look moves words or records (preserve alpha,
// which changes nothing on an opaque picture, takes the records), and cut where the band does not.
TEST_F(RenderDeterminism, EdgesCutCurvedPathsOnWordsAndOnRecordsAlike) {
    World in = PhotoLike(70, 52, 8, 9);
    for (A_long y = 0; y < in.height(); ++y) {
        for (A_long x = 0; x < in.width(); ++x) {
            Color c = in.Get(x, y);
            c.alpha = 1.0f;
            in.Set(x, y, c);
        }
    }
    Host& band = NewHost();
    Host& words = NewHost();
    Host& records = NewHost();
    for (Host* h : {&words, &records}) {
        h->Set(P::KRVN_INTERVAL, utils::kIntervalEdges);
        h->Set(P::KRVN_EDGE_LEVEL, 0.02);
    }
    records.Set(P::KRVN_PRESERVE_ALPHA, 1);
    for (const int32_t shape : {utils::kPathCircles, utils::kPathHilbert}) {
        for (Host* h : {&band, &words, &records}) {
            h->Set(P::KRVN_PATH, shape);
            h->Set(P::KRVN_THRESHOLD_HIGH, 0.8);
        }
        const World cut = RenderAe(words, in);
        EXPECT_TRUE(RenderAe(records, in).SamePixels(cut)) << "shape " << shape;
        EXPECT_FALSE(RenderAe(band, in).SamePixels(cut)) << "shape " << shape;
    }
}

// The interval modes and the automatic band through the whole effect, on every path they take
// (compact rows, the compact grid, the record kernel on rows and on a turned grid) and at 8 and 32
// bits: the same bytes on one thread or several,
// a look that changes the frame, and at angle 0 each row a permutation of its input row.
TEST_F(RenderDeterminism, IntervalLooksGiveTheSameBytesOnAnyThreadCount) {
    struct LookCase {
        const char* name;
        std::vector<std::pair<int, double>> values;  // look index, value in the table's units
        int mode = 1;                                // the gradient takes the record kernel on every grid
    };
    // The picture's soft discs and grain have no edge of 0.1.
    const LookCase looks[] = {
        {"edges", {{P::KRVN_INTERVAL, 2}, {P::KRVN_EDGE_LEVEL, 0.02}}},
        {"edges at scale 3", {{P::KRVN_INTERVAL, 2}, {P::KRVN_EDGE_SCALE, 3}, {P::KRVN_EDGE_LEVEL, 0.05}}},
        {"random", {{P::KRVN_INTERVAL, 3}, {P::KRVN_SPAN_LENGTH, 9}, {P::KRVN_SPAN_SEED, 17}}},
        {"waves",
         {{P::KRVN_INTERVAL, 4}, {P::KRVN_SPAN_LENGTH, 12}, {P::KRVN_WAVE_LENGTH, 30}, {P::KRVN_WAVE_PHASE, 45}}},
        {"automatic band", {{P::KRVN_AUTO_THRESHOLD, 1}}},
        {"automatic band with edges",
         {{P::KRVN_AUTO_THRESHOLD, 1}, {P::KRVN_AUTO_LOW, 20}, {P::KRVN_AUTO_HIGH, 90}, {P::KRVN_INTERVAL, 2}}},
        {"edges in the gradient", {{P::KRVN_INTERVAL, 2}, {P::KRVN_EDGE_LEVEL, 0.02}}, 2},
    };
    Host& plain = NewHost();
    for (const LookCase& look : looks) {
        Host& h = NewHost();
        for (const auto& [index, value] : look.values) h.Set(index, value);
        h.Set(P::KRVN_MODE, look.mode);
        plain.Set(P::KRVN_MODE, look.mode);
        for (const float angle : {0.0f, 33.0f}) {
            for (const int depth : {8, 32}) {
                h.Set(P::KRVN_ANGLE, angle);
                plain.Set(P::KRVN_ANGLE, angle);
                const World in = PhotoLike(90, 61, depth, 23);
                const std::string where = std::string(look.name) + " at " + std::to_string(angle) + "°, " +
                                          std::to_string(depth) + " bits";
                h.SetThreadCount(1);
                const World one = RenderAe(h, in);
                h.SetThreadCount(5);
                EXPECT_TRUE(RenderAe(h, in).SamePixels(one)) << where;
                EXPECT_FALSE(RenderAe(plain, in).SamePixels(one)) << where;
                if (angle != 0.0f || look.mode != 1) continue;
                for (A_long y = 0; y < in.height(); ++y) {
                    std::vector<std::array<float, 4>> before;
                    std::vector<std::array<float, 4>> after;
                    for (A_long x = 0; x < in.width(); ++x) {
                        const Color a = in.Get(x, y);
                        const Color b = one.Get(x, y);
                        before.push_back({a.alpha, a.red, a.green, a.blue});
                        after.push_back({b.alpha, b.red, b.green, b.blue});
                    }
                    std::sort(before.begin(), before.end());
                    std::sort(after.begin(), after.end());
                    ASSERT_EQ(before, after) << where << ", row " << y;
                }
            }
        }
        ExpectNothingLive(h);
    }
}

// The automatic band smoothed over frames, through the whole effect and the host's input at other
// times, on a picture that flickers: frame t's band is that of the trigger values of the frames
// t - n .. t + n the host has (none before the first or after the last) summed, so its render equals
// the render of fixed thresholds at that band, under both personalities and on any thread count,
// with every neighbour checked out checked back in. Without other frames (no provider: a still) the
// frame smooths with itself and keeps its own band, as n = 0 does.
TEST_F(RenderDeterminism, SmoothedBandIsTheBandOfTheNeighboursSummed) {
    constexpr int kFrames = 5;
    constexpr double kFps = 24.0;  // the host's default time scale
    constexpr A_long kWidth = 57, kHeight = 41;
    const float brightness[kFrames] = {0.35f, 1.0f, 0.5f, 0.9f, 0.3f};
    std::vector<World> frames;
    for (const float b : brightness) {
        World w = PhotoLike(kWidth, kHeight, 8, 31);
        for (A_long y = 0; y < kHeight; ++y) {
            for (A_long x = 0; x < kWidth; ++x) {
                Color c = w.Get(x, y);
                c.red *= b;
                c.green *= b;
                c.blue *= b;
                w.Set(x, y, c);
            }
        }
        frames.push_back(std::move(w));
    }
    int provided = 0;
    const auto frame_at = [&](double seconds) {
        ++provided;
        const long f = std::lround(seconds * kFps);
        return f >= 0 && f < kFrames ? frames[static_cast<size_t>(f)].Clone() : World();
    };
    KRVN_Params record;
    record.look.auto_threshold = true;
    record.look.auto_low = 0.3f;
    record.look.auto_high = 0.8f;
    // The band of frames [first, last]: their trigger values read as the effect reads a frame's.
    const auto band_of = [&](int first, int last) {
        const utils::SortSettings s = sources::CopySettings(record);
        const sources::RowFunctions rows = sources::RowTransfers(8, false);
        std::vector<utils::PixelRecord> row(static_cast<size_t>(kWidth));
        utils::TriggerHistogram histogram;
        for (int f = first; f <= last; ++f) {
            sources::RecordFillContext fill;
            fill.sorting = fill.trigger_source = frames[static_cast<size_t>(f)].pf();
            fill.use_trigger_source = true;
            fill.width = kWidth;
            fill.height = kHeight;
            for (A_long y = 0; y < kHeight; ++y) {
                rows.read(fill, y, 0, kWidth, row.data());
                for (const utils::PixelRecord& r : row) histogram.Add(utils::BandValue(r.trigger, s));
            }
        }
        return utils::BandOfPercentiles(histogram, record.look.auto_low, record.look.auto_high);
    };
    for (const Personality personality : {Personality::AfterEffects, Personality::Premiere}) {
        const bool premiere = personality == Personality::Premiere;
        const auto render = [&](Host& h, int t) {
            World in = premiere ? frames[static_cast<size_t>(t)].Converted(8, host::ChannelOrder::BGRA)
                                : frames[static_cast<size_t>(t)].Clone();
            if (premiere) in.SetPremiereFormat(host::PremiereFormat("bgra"));
            World out(kWidth, kHeight, in.format());
            host::SmartRenderReport report;
            const double time = t / kFps;
            EXPECT_EQ(premiere ? h.RenderLegacy(time, in, out) : h.RenderSmart(time, 8, in, out, &report), PF_Err_NONE);
            EXPECT_EQ(report.layer_pixel_checkins, report.layer_pixel_checkouts);
            ExpectNothingLive(h);
            return out;
        };
        Host& smooth = NewHost(personality);
        Host& fixed = NewHost(personality);
        Host& still = NewHost(personality);
        for (Host* h : {&smooth, &still}) {
            h->Set(P::KRVN_AUTO_THRESHOLD, 1);
            h->Set(P::KRVN_AUTO_LOW, 30);
            h->Set(P::KRVN_AUTO_HIGH, 80);
        }
        smooth.SetInputAt(frame_at);
        int changed = 0;  // frames whose band smoothing moves
        for (const int n : {0, 1, 3}) {
            smooth.Set(P::KRVN_AUTO_SMOOTH, n);
            still.Set(P::KRVN_AUTO_SMOOTH, n);
            for (int t = 0; t < kFrames; ++t) {
                SCOPED_TRACE(std::string(host::PersonalityName(personality)) + ", n " + std::to_string(n) + ", frame " +
                             std::to_string(t));
                const utils::AutoBand band = band_of(std::max(0, t - n), std::min(kFrames - 1, t + n));
                ASSERT_GT(band.low, 0.0f);
                ASSERT_LT(band.high, 1.0f);
                fixed.Set(P::KRVN_THRESHOLD_LOW, band.low);
                fixed.Set(P::KRVN_THRESHOLD_HIGH, band.high);
                smooth.SetThreadCount(1);
                provided = 0;
                const World one = render(smooth, t);
                EXPECT_EQ(provided, 2 * n);
                smooth.SetThreadCount(4);
                EXPECT_TRUE(render(smooth, t).SamePixels(one));
                EXPECT_TRUE(render(fixed, t).SamePixels(one));
                const utils::AutoBand own = band_of(t, t);
                fixed.Set(P::KRVN_THRESHOLD_LOW, own.low);
                fixed.Set(P::KRVN_THRESHOLD_HIGH, own.high);
                EXPECT_TRUE(render(still, t).SamePixels(render(fixed, t)));
                changed += band.low != own.low || band.high != own.high ? 1 : 0;
            }
        }
        EXPECT_GT(changed, 4);
    }
}

}  // namespace
}  // namespace korvane::render_test
