// Real hosts (ffmpeg, melt, GStreamer) load korvane.so from FREI0R_PATH and render a short lossless
// clip; every frame must equal the CLI's render of the same image with the same parameters,
// keyframes included.
#include <string>
#include <vector>

#include "CliSupport.h"
#include "Frei0rSupport.h"

namespace korvane::frei0r_test {
namespace {

using clitest::FileImage;
using clitest::ReadFile;

const std::vector<std::string> kEnv = {"FREI0R_PATH=" KORVANE_FREI0R_DIR};

// A look as ffmpeg's positional frei0r values, melt's named properties and the CLI's settings.
struct Look {
    std::string ffmpeg;
    std::vector<std::string> melt;
    std::vector<std::string> cli;
};

const std::vector<Look> kLooks = {
    {"0|1|0|0.75", {"threshold_low=0", "threshold_high=1", "angle=0.75"},
     {"threshold_low=0", "threshold_high=1", "angle=90"}},
    {"0.25|0.75|1|0.5|y|0.3", {"threshold_low=0.25", "threshold_high=0.75", "effect=1", "stretch=1", "stretch_factor=0.3"},
     {"threshold_low=0.25", "threshold_high=0.75", "effect=outside", "stretch=on", "stretch_factor=3"}},
    {"0|0.8|0|0.6|n|0.2|1|0|0.5|y|0|0|1|0|y|n|0.5",
     {"threshold_high=0.8", "angle=0.6", "trigger=0", "sort_key=0.5", "reverse=1", "resolution=0.5"},
     {"threshold_high=0.8", "angle=36", "trigger=red", "sort_key=max", "reverse=on", "resolution=50"}},
};

class Frei0rHosts : public clitest::CliTest {
protected:
    void SetUp() override {
#ifdef KORVANE_SANITIZED
        GTEST_SKIP() << "the hosts cannot load a sanitized module";
#endif
        CliTest::SetUp();
    }

    // Frames 0..count-1 of the coffee picture, cropped at moving offsets, as RGBA PNGs, and the
    // lossless clip (FFV1, BGRA) made of them.
    void MakeClip(int width, int height, int count) {
        ASSERT_EQ(Ffmpeg({"-loop", "1", "-i", clitest::SourceData("tests/data/coffee-small.png"), "-vf",
                          "crop=" + std::to_string(width) + ":" + std::to_string(height) + ":n*7:n*3,format=rgba",
                          "-frames:v", std::to_string(count), "-start_number", "0", Path("frame%d.png")}),
                  0);
        ASSERT_EQ(Ffmpeg({"-framerate", "24", "-start_number", "0", "-i", Path("frame%d.png"), "-c:v", "ffv1",
                          "-pix_fmt", "bgra", Path("clip.mkv")}),
                  0);
        frames_ = count;
    }

    int Ffmpeg(std::vector<std::string> args) {
        args.insert(args.begin(), {"ffmpeg", "-nostdin", "-v", "error", "-y"});
        std::string err;
        const int status = RunProgram(args, kEnv, &err);
        EXPECT_EQ(status, 0) << err;
        return status;
    }

    int Melt(std::vector<std::string> args, const std::string& output_pattern) {
        args.insert(args.begin(), {"melt", "-quiet", Path("clip.mkv"), "-filter", "frei0r.korvane"});
        args.insert(args.end(), {"-consumer", "avformat:" + output_pattern, "vcodec=png", "pix_fmt=rgba"});
        std::string err;
        const int status = RunProgram(args, kEnv, &err);
        EXPECT_EQ(status, 0) << err;
        return status;
    }

    // The CLI's render of frame n with `settings`, or of the frames with keyframed settings.
    void CliRender(const std::string& input, const std::string& output, const std::vector<std::string>& settings,
                   const std::string& frames = "") {
        std::vector<std::string> args = {"render", input, "-o", output, "--quiet"};
        if (!frames.empty()) args.insert(args.end(), {"--frames", frames});
        for (const std::string& s : settings) args.insert(args.end(), {"--set", s});
        const clitest::RunResult run = clitest::Korvane(args);
        ASSERT_EQ(run.exit_code, 0) << run.err;
    }

    // Same size and the same values in every channel, or a failure naming the first difference.
    static void ExpectSamePixels(const FileImage& got, const FileImage& want, const std::string& what, int columns = -1) {
        ASSERT_EQ(got.height, want.height) << what;
        ASSERT_EQ(got.channels, want.channels) << what;
        if (columns < 0) {
            ASSERT_EQ(got.width, want.width) << what;
            columns = got.width;
        }
        for (int y = 0; y < got.height; ++y)
            for (int x = 0; x < columns; ++x)
                for (int c = 0; c < got.channels; ++c)
                    if (got.at(x, y, c) != want.at(x, y, c)) {
                        FAIL() << what << ": first difference at (" << x << ", " << y << ") channel " << c;
                    }
    }

    static bool HaveHost(const std::string& program) { return OnPath(program); }

    int frames_ = 0;
};

std::string Frame(const std::string& pattern, int n) {
    std::string name = pattern;
    name.replace(name.find("%d"), 2, std::to_string(n));
    return name;
}

TEST_F(Frei0rHosts, FfmpegRendersEachFrameLikeTheCli) {
    if (!HaveHost("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    MakeClip(96, 64, 3);
    for (size_t l = 0; l < kLooks.size(); ++l) {
        const std::string out = Path("ffmpeg" + std::to_string(l) + "-%d.png");
        ASSERT_EQ(Ffmpeg({"-i", Path("clip.mkv"), "-vf", "frei0r=korvane:" + kLooks[l].ffmpeg + ",format=rgba",
                          "-start_number", "0", out}),
                  0);
        for (int n = 0; n < frames_; ++n) {
            const std::string want = Path("cli" + std::to_string(l) + "-" + std::to_string(n) + ".png");
            CliRender(Path("frame" + std::to_string(n) + ".png"), want, kLooks[l].cli);
            ExpectSamePixels(ReadFile(Frame(out, n)), ReadFile(want), "look " + std::to_string(l) + " frame " + std::to_string(n));
        }
    }
}

// Debian's ffmpeg 5.1 hands frei0r rows padded to 64 bytes when the width is not a multiple of 16.
// The documented chain pads the width, filters and crops back: the frame is the CLI's render of the
// padded frame, cropped (the padding takes part in lines that cross it), and exactly the CLI's
// render of the frame itself when the lines run vertically.
TEST_F(Frei0rHosts, FfmpegPaddedWidthChainRendersLikeTheCli) {
    if (!HaveHost("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    MakeClip(90, 48, 2);
    const std::string pad = "pad=ceil(iw/16)*16:ih", crop = "crop=90:ih:0:0";
    for (size_t l : {0u, 1u}) {
        const std::string out = Path("chain" + std::to_string(l) + "-%d.png");
        ASSERT_EQ(Ffmpeg({"-i", Path("clip.mkv"), "-vf", pad + ",frei0r=korvane:" + kLooks[l].ffmpeg + "," + crop + ",format=rgba",
                          "-start_number", "0", out}),
                  0);
        ASSERT_EQ(Ffmpeg({"-i", Path("frame%d.png"), "-vf", pad + ",format=rgba", "-start_number", "0", Path("padded%d.png")}), 0);
        for (int n = 0; n < frames_; ++n) {
            const std::string what = "look " + std::to_string(l) + " frame " + std::to_string(n);
            const std::string padded = Path("cli-padded" + std::to_string(n) + ".png");
            CliRender(Path("padded" + std::to_string(n) + ".png"), padded, kLooks[l].cli);
            ExpectSamePixels(ReadFile(Frame(out, n)), ReadFile(padded), what + " (padded)", 90);
            if (l == 0) {
                const std::string plain = Path("cli-plain" + std::to_string(n) + ".png");
                CliRender(Path("frame" + std::to_string(n) + ".png"), plain, kLooks[l].cli);
                ExpectSamePixels(ReadFile(Frame(out, n)), ReadFile(plain), what);
            }
        }
    }
}

TEST_F(Frei0rHosts, MeltRendersEachFrameLikeTheCli) {
    if (!HaveHost("melt")) GTEST_SKIP() << "no melt";
    if (!HaveHost("ffmpeg")) GTEST_SKIP() << "no ffmpeg to make the clip";
    MakeClip(96, 64, 3);
    for (size_t l = 0; l < kLooks.size(); ++l) {
        const std::string out = Path("melt" + std::to_string(l) + "-%d.png");
        ASSERT_EQ(Melt(kLooks[l].melt, out), 0);
        for (int n = 0; n < frames_; ++n) {
            const std::string want = Path("cli" + std::to_string(l) + "-" + std::to_string(n) + ".png");
            CliRender(Path("frame" + std::to_string(n) + ".png"), want, kLooks[l].cli);
            // melt numbers its output frames from 1.
            ExpectSamePixels(ReadFile(Frame(out, n + 1)), ReadFile(want), "look " + std::to_string(l) + " frame " + std::to_string(n));
        }
    }
}

// A melt keyframed parameter (by index and by name) changes the look frame by frame exactly as the
// CLI's keyframes of the same parameter do.
TEST_F(Frei0rHosts, MeltKeyframesMatchCliKeyframes) {
    if (!HaveHost("melt")) GTEST_SKIP() << "no melt";
    if (!HaveHost("ffmpeg")) GTEST_SKIP() << "no ffmpeg to make the clip";
    MakeClip(96, 64, 3);
    ASSERT_EQ(Melt({"0=0", "1=0=0.1;2=0.9", "angle=0=0.5;2=0.75"}, Path("keyed%d.png")), 0);
    CliRender(Path("frame%d.png"), Path("cli-keyed%d.png"), {"threshold_low=0", "threshold_high=0.1@0,0.9@2", "angle=0@0,90@2"},
              "0-2");
    std::vector<FileImage> got;
    for (int n = 0; n < frames_; ++n) {
        got.push_back(ReadFile(Frame(Path("keyed%d.png"), n + 1)));
        ExpectSamePixels(got.back(), ReadFile(Frame(Path("cli-keyed%d.png"), n)), "frame " + std::to_string(n));
    }
    // The frames differ beyond the clip's own motion: the frame at full threshold sorts far more.
    const FileImage still = ReadFile(Frame(Path("frame%d.png"), 2));
    EXPECT_NE(got[2].values, still.values);
}

// GStreamer hands frei0r packed rows at any width: frames 90 pixels wide need no padding.
TEST_F(Frei0rHosts, GstreamerRendersLikeTheCli) {
    if (!HaveHost("gst-launch-1.0")) GTEST_SKIP() << "no gst-launch-1.0";
    if (!HaveHost("ffmpeg")) GTEST_SKIP() << "no ffmpeg to make the frames";
    MakeClip(90, 48, 1);
    const std::vector<std::string> look = {"threshold-low=0.25", "threshold-high=0.75", "angle=0.6", "mode=0.2"};
    std::vector<std::string> args = {"gst-launch-1.0", "-q", "filesrc", "location=" + Path("frame0.png"), "!", "pngdec", "!",
                                     "videoconvert", "!", "video/x-raw,format=RGBA", "!", "frei0r-filter-korvane"};
    args.insert(args.end(), look.begin(), look.end());
    args.insert(args.end(), {"!", "videoconvert", "!", "video/x-raw,format=RGBA", "!", "pngenc", "!", "filesink",
                             "location=" + Path("gst.png")});
    std::string err;
    ASSERT_EQ(RunProgram(args, kEnv, &err), 0) << err;
    CliRender(Path("frame0.png"), Path("cli.png"), {"threshold_low=0.25", "threshold_high=0.75", "angle=36", "mode=gradient"});
    ExpectSamePixels(ReadFile(Path("gst.png")), ReadFile(Path("cli.png")), "frame 0");
}

}  // namespace
}  // namespace korvane::frei0r_test
