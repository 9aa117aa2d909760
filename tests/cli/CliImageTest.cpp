// Files in and out: a render that changes nothing gives back the file's values exactly at every
// depth and in every format that can hold them; depth and format conversions say so.
#include "CliSupport.h"

namespace korvane::clitest {
namespace {

using ::testing::HasSubstr;
using OIIO::TypeDesc;

class CliImages : public CliTest {
protected:
    // Renders `in` to `out` with the look that selects nothing; returns the run.
    RunResult Identity(const std::string& in, const std::string& out, const std::vector<std::string>& extra = {}) {
        return Korvane(Concat(Concat({"render", Path(in), "-o", Path(out)}, kNothingSelected), extra));
    }
    void ExpectRoundTrip(const std::string& name, const FileImage& image, const std::vector<std::string>& extra = {}) {
        WriteFile(Path("in_" + name), image);
        const RunResult r = Identity("in_" + name, "out_" + name, extra);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const FileImage back = ReadFile(Path("out_" + name));
        EXPECT_EQ(back.format, image.format) << name;
        EXPECT_EQ(back.channels, image.channels) << name;
        EXPECT_TRUE(back.values == ReadFile(Path("in_" + name)).values) << name << " changed";
    }
};

TEST_F(CliImages, NothingSelectedGivesBackTheFileValuesAtEveryDepth) {
    ExpectRoundTrip("rgba8.png", RandomImage(13, 7, 4, TypeDesc::UINT8, 1));
    ExpectRoundTrip("rgba16.png", RandomImage(13, 7, 4, TypeDesc::UINT16, 2));
    ExpectRoundTrip("rgba8.tif", RandomImage(9, 11, 4, TypeDesc::UINT8, 3));
    ExpectRoundTrip("rgba16.tif", RandomImage(9, 11, 4, TypeDesc::UINT16, 4));
    ExpectRoundTrip("rgbaf.tif", RandomImage(9, 11, 4, TypeDesc::FLOAT, 5));
    ExpectRoundTrip("rgbaf.exr", RandomImage(9, 11, 4, TypeDesc::FLOAT, 6));
    ExpectRoundTrip("rgb8.png", RandomImage(10, 10, 3, TypeDesc::UINT8, 7));  // full alpha, written as RGB again
    ExpectRoundTrip("threads.png", RandomImage(40, 30, 4, TypeDesc::UINT8, 8), {"--threads", "3"});
}

TEST_F(CliImages, AlphaIsNeitherPremultipliedNorUnpremultiplied) {
    FileImage image = RandomImage(6, 5, 4, TypeDesc::UINT8, 9);
    for (int i = 0; i < 10; ++i) image.values[static_cast<std::size_t>(i) * 4 + 3] = (i % 2) ? 0.0f : 1.0f / 255.0f;
    ExpectRoundTrip("straight.png", image);
    ExpectRoundTrip("straight.tif", image);
}

TEST_F(CliImages, GreyInputIsReplicatedToRgb) {
    WriteFile(Path("grey.png"), RandomImage(7, 5, 1, TypeDesc::UINT8, 10));
    const RunResult r = Identity("grey.png", "out.png");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const FileImage grey = ReadFile(Path("grey.png"));
    const FileImage out = ReadFile(Path("out.png"));
    ASSERT_EQ(out.channels, 3);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x)
            for (int c = 0; c < 3; ++c) EXPECT_EQ(out.at(x, y, c), grey.at(x, y, 0));
}

TEST_F(CliImages, DepthConversionsKeepValuesWithinOneCode) {
    WriteFile(Path("in.png"), RandomImage(8, 8, 4, TypeDesc::UINT8, 11));
    const FileImage source = ReadFile(Path("in.png"));

    // Up to 16 bits and back down: the same 8-bit codes.
    ASSERT_EQ(Identity("in.png", "deep.png", {"--depth", "16"}).exit_code, 0);
    FileImage deep = ReadFile(Path("deep.png"));
    EXPECT_EQ(deep.format, TypeDesc::UINT16);
    deep.format = TypeDesc::UINT8;
    WriteFile(Path("back8.png"), deep);
    EXPECT_TRUE(ReadFile(Path("back8.png")).values == source.values);

    // 8 bits at 32: EXR holds floats; every value within half an 8-bit code.
    ASSERT_EQ(Identity("in.png", "float.exr", {"--depth", "32"}).exit_code, 0);
    const FileImage floats = ReadFile(Path("float.exr"));
    EXPECT_EQ(floats.format, TypeDesc::FLOAT);
    for (std::size_t i = 0; i < floats.values.size(); ++i) EXPECT_NEAR(floats.values[i], source.values[i], 0.5 / 255);

    // A 16-bit file rendered at 8 bits.
    WriteFile(Path("in16.png"), RandomImage(8, 8, 4, TypeDesc::UINT16, 12));
    ASSERT_EQ(Identity("in16.png", "down.png", {"--depth", "8"}).exit_code, 0);
    EXPECT_EQ(ReadFile(Path("down.png")).format, TypeDesc::UINT8);
}

TEST_F(CliImages, FormatsThatCannotHoldTheDepthAreConvertedWithANote) {
    WriteFile(Path("in16.png"), RandomImage(8, 8, 3, TypeDesc::UINT16, 13));
    WriteFile(Path("inf.exr"), RandomImage(8, 8, 4, TypeDesc::FLOAT, 14));
    WriteFile(Path("in8.png"), RandomImage(8, 8, 4, TypeDesc::UINT8, 15));

    RunResult r = Identity("in16.png", "out.jpg");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("note: JPEG cannot hold 16-bit pixels; wrote '" + Path("out.jpg") + "' at 8 bits"));
    EXPECT_EQ(ReadFile(Path("out.jpg")).format, TypeDesc::UINT8);

    r = Identity("inf.exr", "out.png");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("PNG cannot hold 32-bit pixels; wrote '" + Path("out.png") + "' at 16 bits"));
    EXPECT_EQ(ReadFile(Path("out.png")).format, TypeDesc::UINT16);

    r = Identity("in8.png", "out.exr");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("OpenEXR cannot hold 8-bit pixels; wrote '" + Path("out.exr") + "' at 32 bits"));
    EXPECT_EQ(ReadFile(Path("out.exr")).format, TypeDesc::FLOAT);

    r = Identity("in8.png", "alpha.jpg");
    EXPECT_THAT(r.err, HasSubstr("JPEG has no alpha channel; alpha dropped"));

    // --quiet silences notes and the summary, not errors.
    r = Identity("inf.exr", "quiet.png", {"--quiet"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace korvane::clitest
