// Masks: the layer-mask and path suites answer from the layer's list, and PF_MaskWorldWithPath
// multiplies a world by the path's anti-aliased coverage.
#include <gtest/gtest.h>

#include "HostSupport.h"

namespace korvane::hostlib_test {
namespace {

class HostLibMasks : public HostLibTest {
protected:
    // Renders mask `id` into `world` (white first) inside one command.
    PF_Err Rasterise(AEGP_MaskIDVal id, World& world, PF_Boolean invert = 0, double opacity = 1.0) {
        return Inside([&](PF_InData* in) {
            auto* query = Acquire<PF_PathQuerySuite1>(in, kPFPathQuerySuite, 1);
            auto* masks = Acquire<PF_MaskSuite1>(in, kPFMaskSuite, 1);
            PF_PathOutlinePtr path = nullptr;
            PF_Err err = query->PF_CheckoutPath(in->effect_ref, id, in->current_time, in->time_step, in->time_scale,
                                                &path);
            const PF_Pixel white{255, 255, 255, 255};
            in->utils->fill(in->effect_ref, &white, nullptr, world.pf());
            if (!err) {
                err = masks->PF_MaskWorldWithPath(in->effect_ref, path, 0.0, 0.0, invert, opacity, in->quality,
                                                  world.pf(), nullptr);
            }
            if (path) query->PF_CheckinPath(in->effect_ref, id, false, path);
            Release(in, kPFPathQuerySuite, 1);
            Release(in, kPFMaskSuite, 1);
            return err;
        });
    }
};

TEST_F(HostLibMasks, ClosedSquareCoversItsInsideFully) {
    for (int depth : {8, 16, 32}) {
        const auto id = host_->AddMask({0, host::Path::Rectangle(2, 3, 8, 7)});
        World w(12, 10, depth);
        ASSERT_EQ(Rasterise(id, w), PF_Err_NONE);
        for (A_long y = 0; y < 10; ++y) {
            for (A_long x = 0; x < 12; ++x) {
                const bool inside = x >= 2 && x < 8 && y >= 3 && y < 7;
                const Color c = w.Get(x, y);
                ASSERT_EQ(c.alpha, inside ? 1.0f : 0.0f) << depth << " bits at " << x << "," << y;
                ASSERT_EQ(c.blue, c.alpha) << "every channel is multiplied";
            }
        }
        EXPECT_TRUE(w.PaddingIntact());
    }
}

TEST_F(HostLibMasks, EdgePixelsGetPartialCoverage) {
    const auto id = host_->AddMask({0, host::Path::Rectangle(2.5, 2, 6, 6)});
    World w(8, 8, 32);
    ASSERT_EQ(Rasterise(id, w), PF_Err_NONE);
    EXPECT_GT(w.Get(2, 3).alpha, 0.0f);
    EXPECT_LT(w.Get(2, 3).alpha, 1.0f);
    EXPECT_NEAR(w.Get(2, 3).alpha, 0.5f, 0.1f);
    EXPECT_EQ(w.Get(1, 3).alpha, 0.0f);
    EXPECT_EQ(w.Get(3, 3).alpha, 1.0f);
}

TEST_F(HostLibMasks, InvertOpacityAndCurves) {
    const auto square = host_->AddMask({0, host::Path::Rectangle(0, 0, 4, 8)});
    World inverted(8, 8, 8);
    ASSERT_EQ(Rasterise(square, inverted, true, 0.5), PF_Err_NONE);
    EXPECT_EQ(inverted.At<PF_Pixel8>(1, 1).alpha, 0);
    EXPECT_EQ(inverted.At<PF_Pixel8>(6, 1).alpha, 128) << "half opacity outside the inverted square";

    host::Path round;  // a disc of radius 10 around (16, 16) from quadratic and cubic pieces
    round.MoveTo(26, 16)
        .QuadTo(26, 26, 16, 26)
        .CubicTo(10.5, 26, 6, 21.5, 6, 16)
        .QuadTo(6, 6, 16, 6)
        .CubicTo(21.5, 6, 26, 10.5, 26, 16)
        .Close();
    const auto disc = host_->AddMask({0, round});
    World w(32, 32, 8);
    ASSERT_EQ(Rasterise(disc, w), PF_Err_NONE);
    EXPECT_EQ(w.At<PF_Pixel8>(16, 16).alpha, 255);
    EXPECT_EQ(w.At<PF_Pixel8>(1, 1).alpha, 0);
    EXPECT_EQ(w.At<PF_Pixel8>(30, 16).alpha, 0);
}

TEST_F(HostLibMasks, LayerMaskSuitesListMasksAndPathsReportOpenness) {
    host_->AddMask({0, host::Path::Rectangle(0, 0, 1, 1)});
    host::Path open;
    open.MoveTo(0, 0).LineTo(3, 3).LineTo(0, 3);
    host_->AddMask({0, open});
    host_->AddMask({77, host::Path::Rectangle(1, 1, 2, 2)});

    std::vector<std::pair<AEGP_MaskIDVal, bool>> seen;
    ASSERT_EQ(Inside([&](PF_InData* in) {
                  auto* pf = Acquire<AEGP_PFInterfaceSuite1>(in, kAEGPPFInterfaceSuite, 1);
                  auto* lm5 = Acquire<AEGP_LayerMaskSuite5>(in, kAEGPLayerMaskSuite, 5);
                  auto* lm7 = Acquire<AEGP_LayerMaskSuite7>(in, kAEGPLayerMaskSuite, 7);
                  auto* query = Acquire<PF_PathQuerySuite1>(in, kPFPathQuerySuite, 1);
                  auto* data = Acquire<PF_PathDataSuite1>(in, kPFPathDataSuite, 1);
                  AEGP_LayerH layer = nullptr;
                  A_long count = 0;
                  PF_Err err = pf->AEGP_GetEffectLayer(in->effect_ref, &layer);
                  err = err ? err : lm5->AEGP_GetLayerNumMasks(layer, &count);
                  for (A_long i = 0; !err && i < count; ++i) {
                      AEGP_MaskRefH mask = nullptr;
                      AEGP_MaskIDVal id = 0;
                      err = lm5->AEGP_GetLayerMaskByIndex(layer, i, &mask);
                      err = err ? err : lm7->AEGP_GetMaskID(mask, &id);
                      if (mask) lm5->AEGP_DisposeMask(mask);
                      PF_PathOutlinePtr path = nullptr;
                      PF_Boolean is_open = 1;
                      err = err ? err : query->PF_CheckoutPath(in->effect_ref, id, 0, 1, 1, &path);
                      err = err ? err : data->PF_PathIsOpen(in->effect_ref, path, &is_open);
                      if (path) query->PF_CheckinPath(in->effect_ref, id, false, path);
                      seen.push_back({id, is_open != 0});
                  }
                  EXPECT_EQ(lm5->AEGP_GetLayerMaskByIndex(layer, count, nullptr), A_Err_PARAMETER);
                  for (auto [name, version] :
                       std::initializer_list<std::pair<const char*, int>>{{kAEGPPFInterfaceSuite, 1},
                                                                          {kAEGPLayerMaskSuite, 5},
                                                                          {kAEGPLayerMaskSuite, 7},
                                                                          {kPFPathQuerySuite, 1},
                                                                          {kPFPathDataSuite, 1}}) {
                      Release(in, name, version);
                  }
                  return err;
              }),
              PF_Err_NONE);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_FALSE(seen[0].second);
    EXPECT_TRUE(seen[1].second);
    EXPECT_EQ(seen[2], (std::pair<AEGP_MaskIDVal, bool>{77, false}));
    EXPECT_TRUE(host_->Leaks().empty()) << ::testing::PrintToString(host_->Leaks());
}

TEST_F(HostLibMasks, PathVerticesFollowTheFirstSubpath) {
    host::Path p;
    p.MoveTo(0, 0).CubicTo(1, 0, 2, 1, 2, 2).LineTo(0, 2).Close();
    const auto id = host_->AddMask({0, p});
    ASSERT_EQ(Inside([&](PF_InData* in) {
                  auto* query = Acquire<PF_PathQuerySuite1>(in, kPFPathQuerySuite, 1);
                  auto* data = Acquire<PF_PathDataSuite1>(in, kPFPathDataSuite, 1);
                  PF_PathOutlinePtr path = nullptr;
                  PF_Err err = query->PF_CheckoutPath(in->effect_ref, id, 0, 1, 1, &path);
                  A_long segments = 0;
                  PF_PathVertex v1{};
                  err = err ? err : data->PF_PathNumSegments(in->effect_ref, path, &segments);
                  err = err ? err : data->PF_PathVertexInfo(in->effect_ref, path, 1, &v1);
                  EXPECT_EQ(segments, 3);
                  EXPECT_EQ(v1.x, 2.0);
                  EXPECT_EQ(v1.tan_in_x, 0.0);
                  EXPECT_EQ(v1.tan_in_y, -1.0);
                  query->PF_CheckinPath(in->effect_ref, id, false, path);
                  Release(in, kPFPathQuerySuite, 1);
                  Release(in, kPFPathDataSuite, 1);
                  return err;
              }),
              PF_Err_NONE);
}

TEST_F(HostLibMasks, UnknownPathsAndFeatherAreRefused) {
    World w(4, 4, 8);
    EXPECT_EQ(Rasterise(12345, w), PF_Err_BAD_CALLBACK_PARAM);
    const auto id = host_->AddMask({0, host::Path::Rectangle(0, 0, 2, 2)});
    EXPECT_EQ(Inside([&](PF_InData* in) {
                  auto* query = Acquire<PF_PathQuerySuite1>(in, kPFPathQuerySuite, 1);
                  auto* masks = Acquire<PF_MaskSuite1>(in, kPFMaskSuite, 1);
                  PF_PathOutlinePtr path = nullptr;
                  query->PF_CheckoutPath(in->effect_ref, id, 0, 1, 1, &path);
                  const PF_Err err = masks->PF_MaskWorldWithPath(in->effect_ref, path, 2.0, 2.0, 0, 1.0, 0, w.pf(),
                                                                 nullptr);
                  query->PF_CheckinPath(in->effect_ref, id, false, path);
                  Release(in, kPFPathQuerySuite, 1);
                  Release(in, kPFMaskSuite, 1);
                  return err;
              }),
              PF_Err_BAD_CALLBACK_PARAM);
}

TEST_F(HostLibMasks, PremiereOffersNoMaskSuites) {
    MakeHost(Personality::Premiere);
    EXPECT_EQ(Inside([](PF_InData* in) {
                  EXPECT_EQ(in->appl_id, PF_APPL_ID_PREMIERE);
                  const bool none = !Acquire<PF_MaskSuite1>(in, kPFMaskSuite, 1) &&
                                    !Acquire<AEGP_PFInterfaceSuite1>(in, kAEGPPFInterfaceSuite, 1) &&
                                    !Acquire<PF_PathQuerySuite1>(in, kPFPathQuerySuite, 1);
                  return none ? PF_Err_NONE : PF_Err_INTERNAL_STRUCT_DAMAGED;
              }),
              PF_Err_NONE);
    host_->SetSuiteMissing(kPFMaskSuite, 1, false);
    EXPECT_EQ(Inside([](PF_InData* in) {
                  const bool found = Acquire<PF_MaskSuite1>(in, kPFMaskSuite, 1) != nullptr;
                  if (found) Release(in, kPFMaskSuite, 1);
                  return found ? PF_Err_NONE : PF_Err_INTERNAL_STRUCT_DAMAGED;
              }),
              PF_Err_NONE);
}

}  // namespace
}  // namespace korvane::hostlib_test
