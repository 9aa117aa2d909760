// Files in and out: a render that changes nothing gives back the file's values exactly at every
// depth and in every format that can hold them; depth and format conversions say so.
#include "CliSupport.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imageio.h>

namespace korvane::clitest {
namespace {

using OIIO::TypeDesc;
using ::testing::HasSubstr;

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

// What the file says besides its pixels: grey stays grey, an EXIF orientation is applied so the
// picture is read as the viewer sees it, and the rest of the metadata is kept.
TEST_F(CliImages, FilesComeBackInTheirLayoutUprightWithTheirMetadata) {
    ExpectRoundTrip("grey.png", RandomImage(7, 5, 1, TypeDesc::UINT8, 10));
    ExpectRoundTrip("grey-alpha.png", RandomImage(7, 5, 2, TypeDesc::UINT16, 10));

    const FileImage stored = RandomImage(6, 4, 3, TypeDesc::UINT8, 12);
    {
        auto out = OIIO::ImageOutput::create(Path("turned.tif"));
        OIIO::ImageSpec header(6, 4, 3, TypeDesc::UINT8);
        header.attribute("Orientation", 6);  // stored on its side: the viewer turns it a quarter clockwise
        header.attribute("Artist", "someone");
        header.attribute("XResolution", 300.0f);
        ASSERT_TRUE(out->open(Path("turned.tif"), header) && out->write_image(TypeDesc::FLOAT, stored.values.data()) &&
                    out->close());
    }
    ASSERT_EQ(Identity("turned.tif", "upright.tif").exit_code, 0);
    const OIIO::ImageBuf written(Path("upright.tif"));
    const OIIO::ImageSpec& upright_header = written.nativespec();
    EXPECT_EQ(upright_header.get_int_attribute("Orientation", 1), 1);
    EXPECT_EQ(upright_header.get_string_attribute("Artist"), "someone");
    EXPECT_EQ(upright_header.get_float_attribute("XResolution"), 300.0f);
    const FileImage upright = ReadFile(Path("upright.tif"));
    const FileImage sideways = ReadFile(Path("turned.tif"));
    ASSERT_EQ(upright.width, 4);
    ASSERT_EQ(upright.height, 6);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 4; ++x)  // a quarter turn clockwise: the stored left column is the top row
            for (int c = 0; c < 3; ++c) EXPECT_EQ(upright.at(x, y, c), sideways.at(y, 3 - x, c)) << x << "," << y;
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
    // Encoding choices: JPEG quality, PNG compression, EXR half floats.
    WriteFile(Path("photo.png"), RandomImage(64, 48, 3, TypeDesc::UINT8, 13));
    ASSERT_EQ(Identity("photo.png", "q20.jpg", {"--quality", "20", "-q"}).exit_code, 0);
    ASSERT_EQ(Identity("photo.png", "q95.jpg", {"-q"}).exit_code, 0);
    EXPECT_LT(ReadBytes(Path("q20.jpg")).size(), ReadBytes(Path("q95.jpg")).size());
    std::filesystem::copy_file(SourceData("data/coffee.png"), Path("coffee.png"));
    ASSERT_EQ(Identity("coffee.png", "c0.png", {"--png-compression", "0", "-q"}).exit_code, 0);
    ASSERT_EQ(Identity("coffee.png", "c9.png", {"--png-compression", "9", "-q"}).exit_code, 0);
    EXPECT_GT(ReadBytes(Path("c0.png")).size(), ReadBytes(Path("c9.png")).size());
    EXPECT_TRUE(ReadFile(Path("c0.png")).values == ReadFile(Path("c9.png")).values);
    ASSERT_EQ(Identity("photo.png", "half.exr", {"--exr-half", "--exr-compression", "piz", "-q"}).exit_code, 0);
    EXPECT_EQ(ReadFile(Path("half.exr")).format, TypeDesc::HALF);
}

// A write that fails, at the encoded bytes or at the close, in every format: exit 2 with one line
// naming the file and the reason, the old file byte for byte, no temporary file, nothing else said.
TEST_F(CliImages, AFailedWriteOrCloseKeepsTheOldFileAndSaysWhy) {
    WriteFile(Path("in.png"), RandomImage(128, 96, 3, TypeDesc::UINT8, 16));
    for (const std::string out : {"out.png", "out.jpg", "out.tif", "out.exr"}) {
        ASSERT_EQ(Identity("in.png", out, {"-q"}).exit_code, 0);
        const std::string old = ReadBytes(Path(out));
        for (const char* nth : {"1", "2"}) {
            SCOPED_TRACE(out + ", failing write " + nth);
            const RunResult r = Korvane(Concat({"render", Path("in.png"), "-o", Path(out)}, kSortMost),
                                        {std::string("KORVANE_TEST_FAIL_WRITE=") + nth});
            ExpectNoSpace(r, Path(out));
            EXPECT_TRUE(ReadBytes(Path(out)) == old);
            EXPECT_THAT(FolderEntries(dir().string()), ::testing::Each(::testing::Not(::testing::StartsWith("."))));
        }
    }
}

// The same on a file system that is really full, or has room for the first page of the file only.
TEST_F(CliImages, AFullDiskKeepsTheOldFileAndSaysWhy) {
    WriteFile(Path("in.png"), RandomImage(128, 96, 3, TypeDesc::UINT8, 16));
    SmallFilesystem disk(Path("disk"), 1024 * 1024);
    if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
    for (const std::string format : {"png", "jpg", "tif", "exr"}) {
        const std::string out = "disk/out." + format;
        ASSERT_EQ(Identity("in.png", out, {"-q"}).exit_code, 0);
        const std::string old = ReadBytes(Path(out));
        ASSERT_EQ(
            Korvane(Concat({"render", Path("in.png"), "-o", Path("sorted." + format), "-q"}, kSortMost)).exit_code, 0);
        ASSERT_GT(SmallFilesystem::Pages(ReadBytes(Path("sorted." + format)).size()), 1u) << "too small to fill a page";
        for (const std::size_t free_pages : {0u, 1u}) {
            SCOPED_TRACE(out + " with " + std::to_string(free_pages) + " pages free");
            disk.FillLeaving(free_pages);
            const RunResult r = Korvane(Concat({"render", Path("in.png"), "-o", Path(out)}, kSortMost));
            ExpectNoSpace(r, Path(out));
            EXPECT_TRUE(ReadBytes(Path(out)) == old);
            EXPECT_EQ(FolderEntries(Path("disk")), (std::vector<std::string>{".filler", "out." + format}));
        }
        std::filesystem::remove(Path(out));
        std::filesystem::remove(Path("disk/.filler"));
    }
}

}  // namespace
}  // namespace korvane::clitest
