// The constraint from the layer's closed masks: which masks count, how they add up, partial edge
// coverage, degenerate paths, the 99-mask limit, Premiere Pro, and every failure of the build.
#include "RenderSupport.h"

namespace korvane::render_test {
namespace {

using host::Mask;
using host::Path;

class ConstraintMask : public RenderTest {};
class ConstraintMaskFailures : public RenderTest {};

constexpr A_long kW = 48;
constexpr A_long kH = 32;

// A host with a fixed look in which mask gating changes the picture.
Host& Prepare(Host& h) {
    h.Set(P::KRVN_THRESHOLD_LOW, 0.2);
    h.Set(P::KRVN_THRESHOLD_HIGH, 0.7);
    h.Set(P::KRVN_ANGLE, 10);
    return h;
}

void UseAllMasks(Host& h, bool on) { h.Set(P::KRVN_USE_ALL_MASKS, on ? 1 : 0); }

TEST_F(ConstraintMask, OverlappingMasksAddUpToTheirUnion) {
    Host& h = Prepare(NewHost());
    const World in = PhotoLike(kW, kH, 8, 31);
    UseAllMasks(h, true);
    h.AddMask({0, Path::Rectangle(4, 4, 24, 20)});
    h.AddMask({0, Path::Rectangle(16, 10, 40, 28)});
    const World two = RenderAe(h, in);
    const World none_reference = [&] {
        h.ClearMasks();
        return RenderAe(h, in);
    }();
    EXPECT_FALSE(two.SamePixels(none_reference));

    h.AddMask({0, Path::Polygon({{4, 4}, {24, 4}, {24, 10}, {40, 10}, {40, 28}, {16, 28}, {16, 20}, {4, 20}})});
    EXPECT_TRUE(RenderAe(h, in).SamePixels(two));
}

TEST_F(ConstraintMask, PartlyCoveredEdgePixelCountsAsInside) {
    Host& h = Prepare(NewHost());
    const World in = PhotoLike(kW, kH, 8, 32);
    UseAllMasks(h, true);
    h.AddMask({0, Path::Rectangle(5, 3, 20.3, 17.6)});
    const World partial = RenderAe(h, in);
    h.ClearMasks();
    h.AddMask({0, Path::Rectangle(5, 3, 21, 18)});
    EXPECT_TRUE(RenderAe(h, in).SamePixels(partial));
}

TEST_F(ConstraintMask, UseAllMasksOnAndOffAndOpenPaths) {
    Host& h = Prepare(NewHost());
    const World in = PhotoLike(kW, kH, 8, 33);
    const World unmasked = RenderAe(h, in);

    const AEGP_MaskIDVal a = h.AddMask({0, Path::Rectangle(2, 2, 20, 30)});
    const AEGP_MaskIDVal open = h.AddMask({0, Path().MoveTo(0, 0).LineTo(47, 31).LineTo(0, 31)});
    const AEGP_MaskIDVal b = h.AddMask({0, Path::Rectangle(26, 6, 44, 18)});

    // On: every closed mask, the open one ignored.
    UseAllMasks(h, true);
    const World both = RenderAe(h, in);
    // Off: only the chosen path, and only when it is closed.
    UseAllMasks(h, false);
    h.Set(P::KRVN_MASK, b);
    const World only_b = RenderAe(h, in);
    h.Set(P::KRVN_MASK, open);
    EXPECT_TRUE(RenderAe(h, in).SamePixels(unmasked));
    const long renders_of_paths = h.call_count("PF_MaskWorldWithPath");

    Host& ref = Prepare(NewHost());
    UseAllMasks(ref, true);
    ref.AddMask({0, Path::Rectangle(26, 6, 44, 18)});
    EXPECT_TRUE(RenderAe(ref, in).SamePixels(only_b));
    ref.ClearMasks();
    ref.AddMask({0, Path::Rectangle(2, 2, 20, 30)});
    ref.AddMask({0, Path::Rectangle(26, 6, 44, 18)});
    EXPECT_TRUE(RenderAe(ref, in).SamePixels(both));
    EXPECT_FALSE(both.SamePixels(only_b));
    EXPECT_EQ(renders_of_paths, 3);  // two for "both", one for "only b", none for the open path
    (void)a;
}

TEST_F(ConstraintMask, OnlyTheFirst99MasksAreRendered) {
    Host& h = Prepare(NewHost());
    h.Set(P::KRVN_ANGLE, 90);  // lines run down the columns, one mask per column
    const World in = PhotoLike(130, 12, 8, 34);
    UseAllMasks(h, true);
    auto add_columns = [](Host& host, int count) {
        for (int i = 0; i < count; ++i) host.AddMask({0, Path::Rectangle(i, 0, i + 1, 12)});
    };
    add_columns(h, 120);
    const long before = h.call_count("PF_MaskWorldWithPath");
    const World many = RenderAe(h, in);
    EXPECT_EQ(h.call_count("PF_MaskWorldWithPath") - before, 99);

    Host& first99 = Prepare(NewHost());
    first99.Set(P::KRVN_ANGLE, 90);
    UseAllMasks(first99, true);
    add_columns(first99, 99);
    EXPECT_TRUE(RenderAe(first99, in).SamePixels(many));
    // Each of them counts: one column fewer changes the picture.
    Host& first98 = Prepare(NewHost());
    first98.Set(P::KRVN_ANGLE, 90);
    UseAllMasks(first98, true);
    add_columns(first98, 98);
    EXPECT_FALSE(RenderAe(first98, in).SamePixels(many));
}

TEST_F(ConstraintMask, DegenerateMasksAreDefined) {
    Host& h = Prepare(NewHost());
    h.Set(P::KRVN_ANGLE, 0);  // no resampling, so a frame without spans comes back unchanged
    const World in = PhotoLike(kW, kH, 8, 35);
    UseAllMasks(h, true);
    // Masks that cover no pixel: nothing may start a span, so nothing changes.
    const std::vector<Path> empty = {
        Path::Rectangle(10, 10, 10, 20),          // no area
        Path().MoveTo(5, 5).Close(),              // one point
        Path::Rectangle(1000, 1000, 1200, 1300),  // far outside
        Path::Rectangle(-500, -500, -100, -100),
    };
    for (const Path& p : empty) {
        h.ClearMasks();
        h.AddMask({0, p});
        EXPECT_TRUE(RenderAe(h, in).SamePixels(in));
    }
    // Self-intersecting and huge paths render without harm.
    for (const Path& p : {Path::Polygon({{0, 0}, {47, 31}, {47, 0}, {0, 31}}), Path::Rectangle(-1e6, -1e6, 1e6, 1e6),
                          Path().MoveTo(3, 3).CubicTo(60, -20, -20, 60, 40, 30).QuadTo(10, 40, 3, 3).Close()}) {
        h.ClearMasks();
        h.AddMask({0, p});
        RenderAe(h, in);
    }
}

TEST_F(ConstraintMask, PremiereHasNoConstraint) {
    Host& pr = NewHost(Personality::Premiere);
    World in = PhotoLike(kW, kH, 8, 36).Converted(8, host::ChannelOrder::BGRA);
    in.SetPremiereFormat(host::PremiereFormat("bgra"));
    const World plain = RenderLegacy(pr, in);
    pr.Set(P::KRVN_USE_ALL_MASKS, 1);
    pr.AddMask({0, Path::Rectangle(1000, 1000, 1001, 1001)});
    EXPECT_TRUE(RenderLegacy(pr, in).SamePixels(plain));
    EXPECT_EQ(pr.call_count("PF_MaskWorldWithPath"), 0);
    EXPECT_EQ(pr.call_count("PF_CheckoutPath"), 0);
}

// Refuses one suite to the smart render only (pre-render still gets it).
struct SuiteMissingAtRender {
    static inline const SPBasicSuite* original = nullptr;
    static inline std::string name;
    static inline int commands = 0;
    static SPErr Acquire(const char* n, int32_t version, const void** suite) {
        if (commands >= 2 && name == n) return kSPSuiteNotFoundError;
        return original->AcquireSuite(n, version, suite);
    }
    static SPErr Release(const char* n, int32_t version) { return original->ReleaseSuite(n, version); }
    static inline SPBasicSuite basic{&Acquire, &Release};
    static void Install(Host& h, std::string suite) {
        name = std::move(suite);
        commands = 0;
        h.SetInDataHook([](PF_InData& in) {
            ++commands;
            if (in.pica_basicP != &basic) original = in.pica_basicP;
            in.pica_basicP = &basic;
        });
    }
};

TEST_F(ConstraintMaskFailures, EveryFailureOfTheBuild) {
    const PF_Err X = PF_Err_INVALID_CALLBACK;
    const auto M = [&](const std::string& m) { return Err("ConstraintMask", kMaskStep, m + ErrorText(X)); };
    Host& h = Prepare(NewHost());
    const World in = PhotoLike(kW, kH, 8, 37);
    UseAllMasks(h, true);
    h.AddMask({0, Path::Rectangle(2, 2, 20, 30)});
    h.AddMask({0, Path::Rectangle(26, 6, 44, 18)});

    struct Case {
        const char* call;
        int from_end;
        std::vector<ErrorRecord> lines;
    };
    for (const Case& c : std::vector<Case>{
             {"PF_CheckoutPath", 1, Concat({M("Checkout Path Error ")}, SortingStageLines(X))},
             {"PF_CheckoutPath", 0, Concat({M("Checkout Path Error ")}, SortingStageLines(X))},
             {"PF_MaskWorldWithPath", 1, Concat({M("cannot create constraint world ")}, SortingStageLines(X))},
             {"fill", 0, {}},           // not looked at
             {"transfer_rect", 1, {}},  // not looked at
         }) {
        SCOPED_TRACE(std::string(c.call) + " " + std::to_string(c.from_end));
        const long before = h.call_count(c.call);
        const World reference = RenderAe(h, in);
        const long per_frame = h.call_count(c.call) - before;
        h.FailCall(c.call, static_cast<int>(per_frame - c.from_end), X);
        const size_t mark = LogMark();
        const World out = RenderAe(h, in, c.lines.empty() ? PF_Err_NONE : X);
        h.ClearFaults();
        EXPECT_EQ(ErrorsSince(mark), Concat(c.lines, EntryLine("PF_Cmd_SMART_RENDER", c.lines.empty() ? 0 : X)));
        if (!c.lines.empty()) {
            EXPECT_TRUE(out.SamePixels(in));
        }
    }

    // A failing check-in keeps its code when nothing failed before; the host keeps that path open.
    {
        const long before_checkins = h.call_count("PF_CheckinPath");
        RenderAe(h, in);
        const long checkins = h.call_count("PF_CheckinPath") - before_checkins;
        h.FailCall("PF_CheckinPath", static_cast<int>(checkins), X);
        ForgiveLeaks("was not checked in");
        const size_t mark = LogMark();
        World out(kW, kH, 8);
        EXPECT_EQ(h.RenderSmart(0.0, 8, in, out), X);
        h.ClearFaults();
        EXPECT_EQ(ErrorsSince(mark), Concat(SortingStageLines(X), EntryLine("PF_Cmd_SMART_RENDER", X)));
        EXPECT_TRUE(out.SamePixels(in));
    }

    // A cancel is never logged.
    const long before = h.call_count("PF_CheckoutPath");
    RenderAe(h, in);
    const long checkouts = h.call_count("PF_CheckoutPath") - before;
    h.FailCall("PF_CheckoutPath", static_cast<int>(checkouts - 1), PF_Interrupt_CANCEL);
    size_t mark = LogMark();
    EXPECT_TRUE(RenderAe(h, in, PF_Interrupt_CANCEL).SamePixels(in));
    EXPECT_EQ(ErrorsSince(mark), std::vector<ErrorRecord>{});
    h.ClearFaults();

    // The mask suite missing: the user is told, the render stops.
    SuiteMissingAtRender::Install(h, "AEGP Mask Suite");
    mark = LogMark();
    EXPECT_TRUE(RenderAe(h, in, PF_Err_BAD_CALLBACK_PARAM).SamePixels(in));
    EXPECT_EQ(h.last_return_msg(), "Could not load Mask suite");
    EXPECT_TRUE(h.last_out_data().out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE);
    EXPECT_EQ(ErrorsSince(mark), Concat(SortingStageLines(PF_Err_BAD_CALLBACK_PARAM),
                                        EntryLine("PF_Cmd_SMART_RENDER", PF_Err_BAD_CALLBACK_PARAM)));
    h.SetInDataHook(nullptr);

    // The path suite missing at the render: the acquisition throws; everything is still released.
    SuiteMissingAtRender::Install(h, "PF Path Query Suite");
    RenderAe(h, in, PF_Err_BAD_CALLBACK_PARAM);
    h.SetInDataHook(nullptr);
}

}  // namespace
}  // namespace korvane::render_test
