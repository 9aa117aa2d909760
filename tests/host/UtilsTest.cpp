// The utility callbacks: copy (same size, other depth, resampled), fill at every depth, and
// transfer_rect with its clamped addition.
#include <gtest/gtest.h>

#include "HostSupport.h"

namespace korvane::hostlib_test {
namespace {

using host::ChannelOrder;

class HostLibUtils : public HostLibTest {
protected:
    PF_Err CopyWorld(World& src, World& dst, PF_Rect* src_r = nullptr, PF_Rect* dst_r = nullptr) {
        return Inside([&](PF_InData* in) { return in->utils->copy(in->effect_ref, src.pf(), dst.pf(), src_r, dst_r); });
    }
    PF_Err FillWorld(World& w, const PF_Pixel* color, const PF_Rect* rect = nullptr) {
        return Inside([&](PF_InData* in) { return in->utils->fill(in->effect_ref, color, rect, w.pf()); });
    }
    PF_Err Transfer(World& src, World& dst, PF_TransferMode mode, A_long dx = 0, A_long dy = 0,
                    const PF_Rect* rect = nullptr) {
        PF_CompositeMode comp{};
        comp.xfer = mode;
        comp.opacity = 255;
        return Inside([&](PF_InData* in) {
            return in->utils->transfer_rect(in->effect_ref, PF_Quality_HI, PF_MF_Alpha_PREMUL, PF_Field_FRAME, rect,
                                            src.pf(), &comp, nullptr, dx, dy, dst.pf());
        });
    }
};

TEST_F(HostLibUtils, CopySameSizeKeepsPaddingAndConvertsDepthAndOrder) {
    World src(9, 4, 8);
    src.FillRandom(3);
    World same(9, 4, 8);
    ASSERT_EQ(CopyWorld(src, same), PF_Err_NONE);
    EXPECT_TRUE(same.SamePixels(src));
    EXPECT_TRUE(same.PaddingIntact());

    World deep(9, 4, 16);
    ASSERT_EQ(CopyWorld(src, deep), PF_Err_NONE);
    EXPECT_TRUE(deep.Converted(8).SamePixels(src));
    World bgra(9, 4, 8, ChannelOrder::BGRA);
    ASSERT_EQ(CopyWorld(src, bgra), PF_Err_NONE);
    EXPECT_EQ(bgra.Get(3, 2), src.Get(3, 2));
    EXPECT_TRUE(bgra.PaddingIntact());
}

TEST_F(HostLibUtils, CopyResamplesAnotherSize) {
    for (int depth : {8, 16, 32}) {
        World flat(10, 10, depth), big(23, 17, depth), small(4, 3, depth);
        flat.Fill({1.0f, 0.5f, 0.25f, 1.0f});
        ASSERT_EQ(CopyWorld(flat, big), PF_Err_NONE);
        ASSERT_EQ(CopyWorld(flat, small), PF_Err_NONE);
        for (const World* w : {&big, &small}) {
            for (A_long y = 0; y < w->height(); ++y) {
                for (A_long x = 0; x < w->width(); ++x) {
                    ASSERT_NEAR(w->Get(x, y).red, flat.Get(0, 0).red, 1e-6) << depth << " bits at " << x << "," << y;
                    ASSERT_NEAR(w->Get(x, y).alpha, 1.0f, 1e-6);
                }
            }
            EXPECT_TRUE(w->PaddingIntact());
        }
    }
    // A ramp keeps its direction and range when stretched.
    World ramp(16, 1, 8), wide(64, 2, 8);
    for (A_long x = 0; x < 16; ++x) ramp.SetRaw(x, 0, 255, x * 17, 0, 0);
    ASSERT_EQ(CopyWorld(ramp, wide), PF_Err_NONE);
    EXPECT_LT(wide.Get(2, 0).red, wide.Get(32, 0).red);
    EXPECT_LT(wide.Get(32, 1).red, wide.Get(61, 1).red);
}

TEST_F(HostLibUtils, CopyBetweenRectangles) {
    World src(4, 4, 8), dst(8, 8, 8);
    src.Fill({1.0f, 1.0f, 1.0f, 1.0f});
    PF_Rect to{2, 3, 6, 7};
    ASSERT_EQ(CopyWorld(src, dst, nullptr, &to), PF_Err_NONE);
    EXPECT_EQ(dst.Get(2, 3).red, 1.0f);
    EXPECT_EQ(dst.Get(5, 6).red, 1.0f);
    EXPECT_EQ(dst.Get(1, 3).red, 0.0f);
    EXPECT_EQ(dst.Get(6, 6).red, 0.0f);
    World empty;
    EXPECT_EQ(CopyWorld(empty, dst), PF_Err_BAD_CALLBACK_PARAM);
}

TEST_F(HostLibUtils, FillScalesTheColourToEachDepth) {
    const PF_Pixel color{255, 128, 0, 64};
    World w8(3, 2, 8), w16(3, 2, 16), wf(3, 2, 32), bgra(3, 2, 8, ChannelOrder::BGRA);
    for (World* w : {&w8, &w16, &wf, &bgra}) ASSERT_EQ(FillWorld(*w, &color), PF_Err_NONE);
    const PF_Pixel8& p8 = w8.At<PF_Pixel8>(2, 1);
    EXPECT_EQ((std::array<int, 4>{p8.alpha, p8.red, p8.green, p8.blue}), (std::array<int, 4>{255, 128, 0, 64}));
    const PF_Pixel16& p16 = w16.At<PF_Pixel16>(0, 0);
    EXPECT_EQ((std::array<int, 4>{p16.alpha, p16.red, p16.green, p16.blue}),
              (std::array<int, 4>{32768, 16448, 0, 8224}));
    EXPECT_FLOAT_EQ(wf.At<PF_PixelFloat>(1, 1).red, 128.0f / 255.0f);
    EXPECT_EQ(wf.At<PF_PixelFloat>(1, 1).alpha, 1.0f);
    EXPECT_EQ(bgra.Get(1, 0), w8.Get(1, 0));
    for (World* w : {&w8, &w16, &wf, &bgra}) EXPECT_TRUE(w->PaddingIntact());

    World part(4, 4, 8);
    const PF_Rect rect{1, 1, 3, 2};
    ASSERT_EQ(FillWorld(part, &color, &rect), PF_Err_NONE);
    EXPECT_EQ(part.Get(1, 1).alpha, 1.0f);
    EXPECT_EQ(part.Get(2, 1).alpha, 1.0f);
    EXPECT_EQ(part.Get(3, 1).alpha, 0.0f);
    EXPECT_EQ(part.Get(1, 2).alpha, 0.0f);
}

TEST_F(HostLibUtils, TransferAddClampsEachChannel) {
    World a8(2, 2, 8), b8(2, 2, 8);
    a8.SetRaw(0, 0, 200, 100, 0, 255);
    b8.SetRaw(0, 0, 100, 100, 7, 1);
    ASSERT_EQ(Transfer(a8, b8, PF_Xfer_ADD), PF_Err_NONE);
    const PF_Pixel8& p = b8.At<PF_Pixel8>(0, 0);
    EXPECT_EQ((std::array<int, 4>{p.alpha, p.red, p.green, p.blue}), (std::array<int, 4>{255, 200, 7, 255}));

    World a16(1, 1, 16), b16(1, 1, 16);
    a16.SetRaw(0, 0, 30000, 1, 32768, 0);
    b16.SetRaw(0, 0, 5000, 2, 1, 0);
    ASSERT_EQ(Transfer(a16, b16, PF_Xfer_ADD), PF_Err_NONE);
    const PF_Pixel16& q = b16.At<PF_Pixel16>(0, 0);
    EXPECT_EQ((std::array<int, 4>{q.alpha, q.red, q.green, q.blue}), (std::array<int, 4>{32768, 3, 32768, 0}));

    World af(1, 1, 32), bf(1, 1, 32);
    af.SetRaw(0, 0, 0.75, 0.5, 0, 0);
    bf.SetRaw(0, 0, 0.75, 0.25, 0, 0);
    ASSERT_EQ(Transfer(af, bf, PF_Xfer_ADD), PF_Err_NONE);
    EXPECT_FLOAT_EQ(bf.At<PF_PixelFloat>(0, 0).alpha, 1.5f) << "float channels are not clamped";
    EXPECT_FLOAT_EQ(bf.At<PF_PixelFloat>(0, 0).red, 0.75f);
}

TEST_F(HostLibUtils, TransferCopiesWithOffsetAndRefusesOtherModes) {
    World src(3, 3, 8), dst(4, 4, 8);
    src.Fill({1.0f, 1.0f, 1.0f, 1.0f});
    ASSERT_EQ(Transfer(src, dst, PF_Xfer_COPY, 2, 2), PF_Err_NONE);
    EXPECT_EQ(dst.Get(2, 2).alpha, 1.0f);
    EXPECT_EQ(dst.Get(3, 3).alpha, 1.0f);
    EXPECT_EQ(dst.Get(1, 2).alpha, 0.0f);
    EXPECT_TRUE(dst.PaddingIntact()) << "the part that falls outside is clipped";

    EXPECT_EQ(Transfer(src, dst, PF_Xfer_MULTIPLY), PF_Err_BAD_CALLBACK_PARAM);
    World deep(4, 4, 16);
    EXPECT_EQ(Transfer(src, deep, PF_Xfer_ADD), PF_Err_BAD_CALLBACK_PARAM) << "depths must match";
}

}  // namespace
}  // namespace korvane::hostlib_test
