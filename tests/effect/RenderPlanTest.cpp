// The frame's plan: the path each kind of look takes on each depth and host, the grid it sizes its
// memory by, and the figure the render checks against the memory available.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "KRVN_Params.h"
#include "UniversalRender.h"
#include "sources/RenderPlan.h"

namespace korvane::render_test {
namespace {

using render::RenderPath;

constexpr int32_t kWidth = 64;
constexpr int32_t kHeight = 48;

struct PlanCase {
    const char* look;
    void (*set)(KRVN_Params&);
    RenderPath path;
    bool compact_rows;  // rows apart only
    bool sample_back;   // records only
    bool resamples;
};

const PlanCase kCases[] = {
    {"defaults", [](KRVN_Params&) {}, RenderPath::kRowsApart, true, false, false},
    {"blur on the rows", [](KRVN_Params& p) { p.blur = 3; }, RenderPath::kRowsApart, false, false, false},
    {"mask output on the rows", [](KRVN_Params& p) { p.mode = 6; }, RenderPath::kRowsApart, false, false, false},
    {"turned", [](KRVN_Params& p) { p.angle = 33.0f; }, RenderPath::kCompactGrid, false, false, true},
    {"scaled", [](KRVN_Params& p) { p.resolution = 0.5f; }, RenderPath::kCompactGrid, false, false, true},
    {"random offset", [](KRVN_Params& p) { p.random_offset = 0.5f; }, RenderPath::kRandomRows, false, false, false},
    {"noise on the random rows",
     [](KRVN_Params& p) {
         p.random_offset = 0.5f;
         p.noise_amount = 0.5f;
     },
     RenderPath::kRandomRows, false, false, false},
    {"gradient turned",
     [](KRVN_Params& p) {
         p.mode = 2;
         p.angle = 33.0f;
     },
     RenderPath::kRecords, false, false, true},
    {"gradient scaled",
     [](KRVN_Params& p) {
         p.mode = 2;
         p.resolution = 0.5f;
     },
     RenderPath::kRecords, false, true, true},
    {"noise turned",
     [](KRVN_Params& p) {
         p.noise_amount = 0.5f;
         p.angle = 33.0f;
     },
     RenderPath::kRecords, false, false, true},
    {"blocks of lines", [](KRVN_Params& p) { p.block_height = 0.5f; }, RenderPath::kRecords, false, true, false},
    {"edges on the rows", [](KRVN_Params& p) { p.look.interval = 2; }, RenderPath::kRowsApart, true, false, false},
    {"random lengths on the rows", [](KRVN_Params& p) { p.look.interval = 3; }, RenderPath::kRowsApart, true, false,
     false},
    {"waves turned",
     [](KRVN_Params& p) {
         p.look.interval = 4;
         p.angle = 33.0f;
     },
     RenderPath::kCompactGrid, false, false, true},
    {"random lengths with a random offset",
     [](KRVN_Params& p) {
         p.look.interval = 3;
         p.random_offset = 0.5f;
     },
     RenderPath::kRandomRows, false, false, false},
    {"edges with a gradient",
     [](KRVN_Params& p) {
         p.look.interval = 2;
         p.mode = 2;
     },
     RenderPath::kRowsApart, false, false, false},
    {"edges turned with a gradient",
     [](KRVN_Params& p) {
         p.look.interval = 2;
         p.mode = 2;
         p.angle = 33.0f;
     },
     RenderPath::kRecords, false, false, true},
    {"automatic band", [](KRVN_Params& p) { p.look.auto_threshold = true; }, RenderPath::kRowsApart, true, false,
     false},
    {"random offset with a feather",
     [](KRVN_Params& p) {
         p.random_offset = 0.5f;
         p.feather_end = 0.5f;
     },
     RenderPath::kRecords, false, true, false},
};

TEST(RenderPlan, EachLookTakesItsPathAtEveryDepthAndOnEitherHost) {
    for (const PlanCase& c : kCases) {
        for (const int depth : {8, 16, 32}) {
            for (const bool premiere : {false, true}) {
                KRVN_Params p;
                c.set(p);
                utils::Info info;
                const render::RenderPlan plan =
                    render::MakeRenderPlan(p, {kWidth, kHeight, kWidth, kHeight, depth, premiere, premiere}, info);
                const std::string where = std::string(c.look) + " at " + std::to_string(depth) + " bits" +
                                          (premiere ? " under Premiere" : "");
                ASSERT_TRUE(plan.prepared) << where;
                EXPECT_EQ(plan.path, c.path) << where;
                EXPECT_EQ(plan.compact_rows, c.compact_rows) << where;
                EXPECT_EQ(plan.sample_back, c.sample_back) << where;
                EXPECT_EQ(plan.resamples, c.resamples) << where;
                // The memory is sized by the grid the core prepares, and the edges' planes beside it.
                EXPECT_EQ(static_cast<int32_t>(plan.grid.length), info.lineLength) << where;
                EXPECT_EQ(static_cast<int32_t>(plan.grid.lines), info.lineCount) << where;
                const double grid_need = render::FrameMemoryNeed(kWidth, kHeight, plan.grid, depth, false,
                                                                 plan.compact());
                if (p.look.interval == 2) {
                    EXPECT_GT(render::FrameMemoryNeed(plan), grid_need) << where;
                } else {
                    EXPECT_EQ(render::FrameMemoryNeed(plan), grid_need) << where;
                }
            }
        }
    }
}

// A path shape other than lines takes the paths whatever else the look asks; lines keep their plan.
TEST(RenderPlan, CurvedPathsTakeThePathsAtEveryDepthAndOnEitherHost) {
    for (const PlanCase& c : kCases) {
        for (const int32_t shape : {1, 2, 3, 4, 5}) {
            for (const bool premiere : {false, true}) {
                KRVN_Params p;
                c.set(p);
                p.look.path = shape;
                utils::Info info;
                const render::RenderPlan plan =
                    render::MakeRenderPlan(p, {kWidth, kHeight, kWidth, kHeight, 8, premiere, premiere}, info);
                const std::string where = std::string(c.look) + " on path " + std::to_string(shape);
                EXPECT_EQ(plan.path, shape == 1 ? c.path : RenderPath::kPaths) << where;
                if (shape != 1) {
                    EXPECT_FALSE(plan.sample_back) << where;
                    EXPECT_GT(plan.memory_need, render::FrameMemoryNeed(kWidth, kHeight, 0.0f, 1.0f, 8, false))
                        << where;
                }
            }
        }
    }
}

TEST(RenderPlan, FramesTheRowsCannotTakeGoOnRecords) {
    // An output of another size than the image, a depth without row transfers, settings that are
    // not numbers (the records path's preparation reports them).
    KRVN_Params p;
    utils::Info info;
    EXPECT_EQ(render::MakeRenderPlan(p, {kWidth, kHeight, kWidth / 2, kHeight, 8, false, false}, info).path,
              RenderPath::kRecords);
    const render::RenderPlan other_depth = render::MakeRenderPlan(p,
                                                                  {kWidth, kHeight, kWidth, kHeight, 12, false, false},
                                                                  info);
    EXPECT_EQ(other_depth.path, RenderPath::kRecords);
    EXPECT_TRUE(other_depth.sample_back);
    p.angle = std::numeric_limits<float>::quiet_NaN();
    const render::RenderPlan not_a_number = render::MakeRenderPlan(p,
                                                                   {kWidth, kHeight, kWidth, kHeight, 8, false, false},
                                                                   info);
    EXPECT_FALSE(not_a_number.prepared);
    EXPECT_EQ(not_a_number.path, RenderPath::kRecords);
    EXPECT_TRUE(info.Message().empty());
    EXPECT_TRUE(std::isfinite(render::FrameMemoryNeed(not_a_number)));
}

TEST(RenderPlan, MemoryFollowsThePathAndTheMasks) {
    KRVN_Params p;
    p.angle = 33.0f;
    utils::Info info;
    const render::RenderPlan compact = render::MakeRenderPlan(p, {1920, 1080, 1920, 1080, 8, false, false}, info);
    EXPECT_EQ(compact.path, RenderPath::kCompactGrid);
    EXPECT_EQ(render::FrameMemoryNeed(compact), render::FrameMemoryNeed(1920, 1080, 33.0f, 1.0f, 8, false, true));
    // Masks gate the spans, which the compact grid cannot: the same grid in records, and under
    // After Effects two more worlds.
    p.has_masks = true;
    const render::RenderPlan after_effects = render::MakeRenderPlan(p, {1920, 1080, 1920, 1080, 8, false, false}, info);
    EXPECT_EQ(after_effects.path, RenderPath::kRecords);
    EXPECT_TRUE(after_effects.with_constraint);
    EXPECT_EQ(render::FrameMemoryNeed(after_effects), render::FrameMemoryNeed(1920, 1080, 33.0f, 1.0f, 8, true, false));
    EXPECT_GT(render::FrameMemoryNeed(after_effects), 3.0 * render::FrameMemoryNeed(compact));
    const render::RenderPlan premiere = render::MakeRenderPlan(p, {1920, 1080, 1920, 1080, 8, true, true}, info);
    EXPECT_FALSE(premiere.with_constraint);
    EXPECT_EQ(render::FrameMemoryNeed(premiere), render::FrameMemoryNeed(1920, 1080, 33.0f, 1.0f, 8, false, false));
}

}  // namespace
}  // namespace korvane::render_test
