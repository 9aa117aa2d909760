// World buffers: padded rowbytes at every depth and order, normalised access, conversions, and
// the Premiere pixel-format names.
#include <gtest/gtest.h>

#include "HostSupport.h"

namespace korvane::hostlib_test {
namespace {

using host::ChannelOrder;

TEST(HostLibWorld, RowbytesArePaddedAndPaddingIsFilled) {
    for (int depth : {8, 16, 32}) {
        for (ChannelOrder order : {ChannelOrder::ARGB, ChannelOrder::BGRA}) {
            for (A_long width : {1, 7, 16, 333}) {
                World w(width, 3, depth, order);
                const A_long packed = width * w.format().PixelBytes();
                EXPECT_GT(w.rowbytes(), packed) << depth << " bits, width " << width;
                EXPECT_EQ(w.pf()->rowbytes, w.rowbytes());
                EXPECT_EQ(w.pf()->width, width);
                EXPECT_TRUE(w.PaddingIntact());
                EXPECT_EQ(host::FormatOf(*w.pf()), w.format()) << "copies of the world must keep its format";
            }
        }
    }
    World w(4, 2, 8);
    static_cast<uint8_t*>(w.Row(1))[4 * 4] = 0;  // first padding byte of row 1
    EXPECT_FALSE(w.PaddingIntact());
}

TEST(HostLibWorld, NormalisedAccessFollowsDepthAndOrder) {
    World argb(2, 2, 8);
    argb.SetRaw(1, 1, 255, 128, 0, 64);
    const PF_Pixel8& p = argb.At<PF_Pixel8>(1, 1);
    EXPECT_EQ((std::array<int, 4>{p.alpha, p.red, p.green, p.blue}), (std::array<int, 4>{255, 128, 0, 64}));

    World bgra(2, 2, 8, ChannelOrder::BGRA);
    bgra.SetRaw(0, 0, 255, 128, 0, 64);
    const auto* bytes = static_cast<const uint8_t*>(bgra.Row(0));
    EXPECT_EQ((std::array<int, 4>{bytes[0], bytes[1], bytes[2], bytes[3]}), (std::array<int, 4>{64, 0, 128, 255}));
    EXPECT_EQ(bgra.Get(0, 0), argb.Get(1, 1));

    World deep(1, 1, 16);
    deep.Set(0, 0, {1.0f, 0.5f, 0.0f, 1.0f});
    EXPECT_EQ(deep.At<PF_Pixel16>(0, 0).alpha, 32768) << "16-bit full scale is 32768";
    EXPECT_EQ(deep.At<PF_Pixel16>(0, 0).red, 16384);
    EXPECT_EQ(deep.format().AeFormat(), PF_PixelFormat_ARGB64);
}

TEST(HostLibWorld, ConversionsRoundTripEveryCode) {
    World w8(256, 1, 8);
    for (A_long x = 0; x < 256; ++x) w8.SetRaw(x, 0, x, 255 - x, x, x / 2);
    const World back = w8.Converted(16).Converted(32).Converted(8, ChannelOrder::BGRA).Converted(8);
    EXPECT_TRUE(back.SamePixels(w8));

    World w16(1, 1, 16);
    w16.SetRaw(0, 0, 32768, 0, 1, 16384);
    EXPECT_TRUE(w16.Converted(32).Converted(16).SamePixels(w16));
}

TEST(HostLibWorld, CopyOfAndCloneAreDeep) {
    World a(5, 4, 32);
    a.FillRandom(7);
    World b = a.Clone();
    EXPECT_TRUE(b.SamePixels(a));
    EXPECT_NE(b.pf()->data, a.pf()->data);
    b.Set(0, 0, {});
    EXPECT_FALSE(b.SamePixels(a));
    EXPECT_GT(b.MaxDifference(a), 0.0);
    EXPECT_EQ(a.MaxDifference(World(5, 5, 32)), std::numeric_limits<double>::infinity());

    World moved = std::move(a);
    EXPECT_EQ(moved.width(), 5);
    EXPECT_TRUE(World().empty());
}

TEST(HostLibWorld, PremiereFormatsReadLowByteFirst) {
    EXPECT_EQ(host::PremiereFormat("bgra"), 0x61726762u);
    EXPECT_EQ(host::PremiereFormat("bgra"), PrPixelFormat_BGRA_4444_8u);
    EXPECT_EQ(host::PremiereFormatText(host::PremiereFormat("@PQ2")), "@PQ2");
    EXPECT_EQ(host::PremiereFormatBits(host::PremiereFormat("v210")), 10);
    EXPECT_EQ(host::PremiereFormatBits(host::PremiereFormat("BGaL")), 32);
    EXPECT_EQ(host::PremiereFormatLayout(host::PremiereFormat("Argb")), "ARGB");
    EXPECT_EQ(host::PremiereFormatBits(host::PremiereFormat("zzzz")), 0);
    EXPECT_EQ(host::PremiereFormatLayout(host::PremiereFormat("zzzz")), "");

    World w(2, 2, 8, ChannelOrder::BGRA);
    EXPECT_EQ(w.format().premiere_format, PrPixelFormat_BGRA_4444_8u);
    w.SetPremiereFormat(host::PremiereFormat("v210"));
    EXPECT_EQ(host::FormatOf(*w.pf()).premiere_format, host::PremiereFormat("v210"));
}

}  // namespace
}  // namespace korvane::hostlib_test
