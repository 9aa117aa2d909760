// Trigger-source and sort-source layers: what the sorting core receives in each case, spans placed
// by another layer, spans ordered by another layer's key, layers of other sizes and depths, and
// every failure line of the two steps.
#include <numeric>
#include <random>

#include "RenderSupport.h"

namespace korvane::render_test {
namespace {

class SourceLayers : public RenderTest {};
class SourceLayerFailures : public RenderTest {};

const Color kBlack{1, 0, 0, 0};
const Color kWhite{1, 1, 1, 1};

// Takes the layer away from a parameter between pre-render and the smart render: the use flag
// arrives set, and the step's checkout (the host's own) finds no pixels, a checkout the host
// tracks and the release step must check in.
void EmptyLayerAtRender(Host& h, A_long param) {
    h.SetInDataHook([&h, param, commands = 0](PF_InData&) mutable {
        if (++commands == 2) h.Set(param, host::kNoLayer);  // the smart render after its pre-render
    });
}

// The row of pixels at y as colours.
std::vector<Color> Row(const World& w, A_long y) {
    std::vector<Color> row;
    for (A_long x = 0; x < w.width(); ++x) row.push_back(w.Get(x, y));
    return row;
}

float Luma(const Color& c) { return 0.299f * c.red + 0.587f * c.green + 0.114f * c.blue; }

// Rows of distinct colours in shuffled luminance order.
World ShuffledRows(A_long width, A_long height, uint32_t seed) {
    World w(width, height, 8);
    std::mt19937 rng(seed);
    for (A_long y = 0; y < height; ++y) {
        std::vector<int> levels(static_cast<size_t>(width));
        std::iota(levels.begin(), levels.end(), 0);
        std::shuffle(levels.begin(), levels.end(), rng);
        for (A_long x = 0; x < width; ++x) {
            const float v = 0.15f +
                            0.7f * static_cast<float>(levels[static_cast<size_t>(x)]) / static_cast<float>(width);
            w.Set(x, y, Color{1.0f, v, std::fmod(v * 7.0f, 0.8f) * 0.2f + v * 0.8f, 1.0f - v});
        }
    }
    return w;
}

World HorizontalRamp(A_long width, A_long height, bool increasing) {
    World w(width, height, 8);
    for (A_long y = 0; y < height; ++y) {
        for (A_long x = 0; x < width; ++x) {
            const float v = static_cast<float>(increasing ? x : width - 1 - x) / static_cast<float>(width - 1);
            w.Set(x, y, Color{1.0f, v, v, v});
        }
    }
    return w;
}

TEST_F(SourceLayers, WhatTheSortingCoreReceives) {
    Host& h = NewHost();
    const World in = PhotoLike(32, 20, 8, 21);
    const World plain = RenderAe(h, in);
    ASSERT_FALSE(plain.SamePixels(in));

    // Clear (no layer chosen): both sources are copies of the input; so is choosing the layer itself.
    h.Set(P::KRVN_TRIGGER_SOURCE, host::kInputLayer);
    h.Set(P::KRVN_SORT_SOURCE, host::kInputLayer);
    EXPECT_TRUE(RenderAe(h, in).SamePixels(plain));
    h.Set(P::KRVN_TRIGGER_SOURCE, host::kNoLayer);
    h.Set(P::KRVN_SORT_SOURCE, host::kNoLayer);
    EXPECT_TRUE(RenderAe(h, in).SamePixels(plain));

    // Set with pixels: a white trigger lies above the band everywhere, so nothing is sorted; a black
    // one lies inside everywhere.
    const int white = h.AddLayer(Solid(32, 20, kWhite));
    const int black = h.AddLayer(Solid(32, 20, kBlack));
    h.Set(P::KRVN_TRIGGER_SOURCE, white);
    EXPECT_TRUE(RenderAe(h, in).SamePixels(in));
    h.Set(P::KRVN_TRIGGER_SOURCE, black);
    const World all_spans = RenderAe(h, in);
    EXPECT_FALSE(all_spans.SamePixels(in));

    // Set without pixels at the step: transparent black, the same as a layer of zeros.
    const int zeros = h.AddLayer(Solid(32, 20, Color{}));
    h.Set(P::KRVN_TRIGGER_SOURCE, zeros);
    const World from_zeros = RenderAe(h, in);
    h.Set(P::KRVN_TRIGGER_SOURCE, black);
    EmptyLayerAtRender(h, P::KRVN_TRIGGER_SOURCE);
    EXPECT_TRUE(RenderAe(h, in).SamePixels(from_zeros));
    h.SetInDataHook(nullptr);
    h.Set(P::KRVN_TRIGGER_SOURCE, host::kNoLayer);

    h.Set(P::KRVN_SORT_SOURCE, zeros);
    const World sorted_by_zeros = RenderAe(h, in);
    h.Set(P::KRVN_SORT_SOURCE, black);
    EmptyLayerAtRender(h, P::KRVN_SORT_SOURCE);
    EXPECT_TRUE(RenderAe(h, in).SamePixels(sorted_by_zeros));
    h.SetInDataHook(nullptr);
}

TEST_F(SourceLayers, SortSourceOrdersSpansByItsKeyAndMovesTheLayersColours) {
    Host& h = NewHost();
    h.Set(P::KRVN_THRESHOLD_LOW, 0.0);
    h.Set(P::KRVN_THRESHOLD_HIGH, 1.0);
    const A_long w = 24, rows = 6;
    const World in = ShuffledRows(w, rows, 3);

    // The direction of the sort, from the layer sorted by its own luminance.
    const World own = RenderAe(h, in);
    const bool ascending = Luma(own.Get(0, 0)) < Luma(own.Get(w - 1, 0));

    // A ramp against that direction: the spans come out reversed.
    h.Set(P::KRVN_SORT_SOURCE, h.AddLayer(HorizontalRamp(w, rows, !ascending)));
    const World out = RenderAe(h, in);
    for (A_long y = 0; y < rows; ++y) {
        std::vector<Color> expected = Row(in, y);
        // The last pixel of the image closes the last line's span and stays where it is.
        std::reverse(expected.begin(), y + 1 == rows ? expected.end() - 1 : expected.end());
        EXPECT_EQ(Row(out, y), expected) << "row " << y;
    }
}

TEST_F(SourceLayers, TriggerSourcePlacesTheSpans) {
    Host& h = NewHost();
    const A_long w = 40, rows = 10;
    const World in = ShuffledRows(w, rows, 9);
    World trigger = Solid(w, rows, kWhite);
    for (A_long y = 0; y < rows; ++y) {
        for (A_long x = 10; x < 26; ++x) trigger.Set(x, y, kBlack);
    }
    h.Set(P::KRVN_TRIGGER_SOURCE, h.AddLayer(std::move(trigger)));
    const World out = RenderAe(h, in);
    bool changed = false;
    for (A_long y = 0; y < rows; ++y) {
        for (A_long x = 0; x < w; ++x) {
            // Spans run from the pixel that breaks before the black run up to the first white after it.
            if (x < 9 || x >= 26) {
                EXPECT_EQ(out.Get(x, y), in.Get(x, y)) << x << "," << y;
            }
        }
        std::vector<float> inside_in, inside_out;
        for (A_long x = 9; x < 26; ++x) {
            inside_in.push_back(Luma(in.Get(x, y)));
            inside_out.push_back(Luma(out.Get(x, y)));
        }
        changed = changed || inside_in != inside_out;
        EXPECT_TRUE(std::is_sorted(inside_out.begin(), inside_out.end()) ||
                    std::is_sorted(inside_out.rbegin(), inside_out.rend()))
            << "row " << y;
    }
    EXPECT_TRUE(changed);
}

TEST_F(SourceLayers, LayersOfOtherSizesAndDepthsAreFittedByTheHost) {
    Host& h = NewHost();
    const World in = PhotoLike(30, 18, 8, 4);
    h.Set(P::KRVN_TRIGGER_SOURCE, h.AddLayer(Solid(30, 18, kBlack)));
    const World reference = RenderAe(h, in);
    std::vector<World> layers;
    layers.push_back(Solid(15, 9, kBlack));
    layers.push_back(Solid(61, 40, kBlack));
    layers.push_back(Solid(1, 1, kBlack));
    layers.push_back(Solid(30, 18, kBlack, 16));
    layers.push_back(Solid(7, 50, kBlack, 32));
    for (World& layer : layers) {
        SCOPED_TRACE(std::to_string(layer.width()) + "x" + std::to_string(layer.height()) + "@" +
                     std::to_string(layer.depth()));
        h.Set(P::KRVN_TRIGGER_SOURCE, h.AddLayer(std::move(layer)));
        EXPECT_TRUE(RenderAe(h, in).SamePixels(reference));
    }

    // A half-size trigger with its left half black: the host scales it, spans stay on the left.
    World half = Solid(15, 9, kWhite);
    for (A_long y = 0; y < 9; ++y) {
        for (A_long x = 0; x < 7; ++x) half.Set(x, y, kBlack);
    }
    h.Set(P::KRVN_TRIGGER_SOURCE, h.AddLayer(std::move(half)));
    const World out = RenderAe(h, in);
    for (A_long y = 0; y < 18; ++y) {
        for (A_long x = 18; x < 30; ++x) EXPECT_EQ(out.Get(x, y), in.Get(x, y)) << x << "," << y;
    }
}

TEST_F(SourceLayers, PremiereIgnoresSourceLayers) {
    Host& pr = NewHost(Personality::Premiere);
    World in = PhotoLike(20, 10, 8, 2).Converted(8, host::ChannelOrder::BGRA);
    in.SetPremiereFormat(host::PremiereFormat("bgra"));
    const World plain = RenderLegacy(pr, in);
    const int white = pr.AddLayer(Solid(20, 10, kWhite));
    pr.Set(P::KRVN_TRIGGER_SOURCE, white);
    pr.Set(P::KRVN_SORT_SOURCE, white);
    EXPECT_TRUE(RenderLegacy(pr, in).SamePixels(plain));
}

// ---- Failures

struct SourceCase {
    const char* name;
    bool trigger_layer;
    bool sort_layer;
    const char* call;
    int from_end;  // 0: the last such call of the frame, 1: the one before, ...
    PF_Err code;
    std::vector<ErrorRecord> lines;
};

TEST_F(SourceLayerFailures, EveryLineAndResultOfBothSteps) {
    const PF_Err X = PF_Err_INVALID_CALLBACK;
    const auto T = [&](const std::string& m) { return Err("SourceLayers", kTriggerStep, m + ErrorText(X)); };
    const auto S = [&](const std::string& m) { return Err("SourceLayers", kSortStep, m + ErrorText(X)); };
    const ErrorRecord copy_line = Err("RenderState", kCopy, "cannot copy world " + ErrorText(X));
    const std::vector<SourceCase> cases = {
        {"trigger checkout", true, false, "checkout_param", 0, X,
         Concat({T("cannot checkout param "), T("Can't using source fill trigger source world ")},
                SortingStageLines(X))},
        {"sort checkout", false, true, "checkout_param", 0, X, SortingStageLines(X)},
        {"trigger checkout with both", true, true, "checkout_param", 1, X,
         Concat({T("cannot checkout param "), T("Can't using source fill trigger source world ")},
                SortingStageLines(X))},
        {"trigger layer copy", true, false, "copy", 1, X,
         Concat({copy_line, T("Can't copy fill trigger source world from source layer "),
                 T("Can't using source fill trigger source world ")},
                SortingStageLines(X))},
        {"sort layer copy", false, true, "copy", 0, X,
         Concat({copy_line, S("Can't copy fill sort source world from source layer "),
                 S("Can't using source fill sort source world ")},
                SortingStageLines(X))},
        {"trigger input copy", false, false, "copy", 1, X,
         Concat({T("Can't copy world input layer to the source world "),
                 T("Can't using source fill trigger source world ")},
                SortingStageLines(X))},
        {"sort input copy", false, false, "copy", 0, X,
         Concat({S("Can't copy world input layer to the source world "),
                 S("Can't using source fill sort source world ")},
                SortingStageLines(X))},
        {"cancel during trigger layer copy", true, false, "copy", 1, PF_Interrupt_CANCEL, {}},
        {"cancel during sort input copy", false, false, "copy", 0, PF_Interrupt_CANCEL, {}},
        {"cancel of the sort checkout", false, true, "checkout_param", 0, PF_Interrupt_CANCEL, {}},
    };
    Host& h = NewHost();
    const World in = PhotoLike(20, 12, 8, 8);
    const int layer = h.AddLayer(PhotoLike(20, 12, 8, 9));
    for (const SourceCase& c : cases) {
        SCOPED_TRACE(c.name);
        h.Set(P::KRVN_TRIGGER_SOURCE, c.trigger_layer ? layer : host::kNoLayer);
        h.Set(P::KRVN_SORT_SOURCE, c.sort_layer ? layer : host::kNoLayer);
        const long before = h.call_count(c.call);
        RenderAe(h, in);
        const long per_frame = h.call_count(c.call) - before;
        h.FailCall(c.call, static_cast<int>(per_frame - c.from_end), c.code);
        const size_t mark = LogMark();
        const World out = RenderAe(h, in, c.code);
        h.ClearFaults();
        EXPECT_EQ(ErrorsSince(mark), Concat(c.lines, EntryLine("PF_Cmd_SMART_RENDER", c.code)));
        EXPECT_TRUE(out.SamePixels(in));
    }
}

}  // namespace
}  // namespace korvane::render_test
