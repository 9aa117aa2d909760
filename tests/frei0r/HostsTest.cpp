// Real hosts (ffmpeg, mpv, melt with Kdenlive's and Shotcut's projects, GStreamer) load the plug-ins
// from FREI0R_PATH and render a short lossless clip; every frame must equal the CLI's render of the
// same image with the same settings.
#include <algorithm>
#include <filesystem>
#include <sstream>
#include <thread>

#include "CliSupport.h"
#include "Frei0rSupport.h"

namespace korvane::frei0r_test {
namespace {

using clitest::ReadFile;

// A look as ffmpeg's positional values, melt's named properties (GStreamer's, with '-' for '_')
// and the CLI's settings.
struct Look {
    std::string ffmpeg, named, cli;
};

const std::vector<Look> kLooks = {
    {"0|1|0|0.75", "threshold_low=0 threshold_high=1 angle=0.75", "threshold_low=0 threshold_high=1 angle=90"},
    {"0.25|0.75|1|0.5|y|0.3", "threshold_low=0.25 threshold_high=0.75 effect=1 stretch=1 stretch_factor=0.3",
     "threshold_low=0.25 threshold_high=0.75 effect=outside stretch=on stretch_factor=3"},
    {"0|0.8|0|0.6|n|0.2|1|0|0.5|y|0|0|1|0|y|n|0.5",
     "threshold_high=0.8 angle=0.6 trigger=0 sort_key=0.5 reverse=1 resolution=0.5",
     "threshold_high=0.8 angle=36 trigger=red sort_key=max reverse=on resolution=50"},
};

std::string Numbered(std::string pattern, int n) { return pattern.replace(pattern.find("%d"), 2, std::to_string(n)); }

class Frei0rHosts : public clitest::CliTest {
protected:
    void SetUp() override {
#ifdef KORVANE_SANITIZED
        GTEST_SKIP() << "the hosts cannot load a sanitized module";
#endif
        if (!Have("ffmpeg")) GTEST_SKIP() << "no ffmpeg to make the clip";
        CliTest::SetUp();
    }
    static bool Have(const std::string& program) { return Shell("command -v " + program) == 0; }

    void Run(const std::string& command) {
        std::string err;
        EXPECT_EQ(Shell("timeout 120 " + command, &err), 0) << command << "\n" << err;
    }
    void Ffmpeg(const std::string& args) { Run("ffmpeg -nostdin -v error -y " + args); }
    // frame0.png... (RGBA crops of the coffee picture at moving offsets, the picture scaled up for
    // wide frames) and clip.mkv (FFV1, BGRA).
    void MakeClip(int width, int height, int count, int fps = 24) {
        const std::string grow = width > 140 ? "scale=iw*5:ih*5," : "";
        Ffmpeg("-loop 1 -i " + clitest::SourceData("tests/data/coffee-small.png") + " -vf " + grow +
               "crop=" + std::to_string(width) + ":" + std::to_string(height) + ":n*7:n*3,format=rgba -frames:v " +
               std::to_string(count) + " -start_number 0 " + Path("frame%d.png"));
        Ffmpeg("-framerate " + std::to_string(fps) + " -start_number 0 -i " + Path("frame%d.png") +
               " -c:v ffv1 -pix_fmt bgra " + Path("clip.mkv"));
    }
    // melt numbers its output frames from 1. Now and then melt 7.12 stops its consumer before the
    // first frame (with any filter, or none) or never stops: such runs are tried again.
    // Returns the last run's standard error.
    std::string Melt(const std::string& args, const std::string& pattern, int frames) {
        const std::string command = "timeout 60 melt -quiet " + args + " -consumer avformat:" + pattern +
                                    " vcodec=png pix_fmt=rgba";
        std::string err;
        for (int attempt = 0; attempt < 4 && !std::filesystem::exists(Numbered(pattern, frames)); ++attempt)
            Shell(command, &err);
        EXPECT_TRUE(std::filesystem::exists(Numbered(pattern, frames))) << command << "\n" << err;
        return err;
    }
    void Cli(const std::string& settings, const std::string& input, const std::string& output,
             const std::string& more = "") {
        std::string command = KORVANE_BINARY_DIR "/bin/korvane render " + input + " -o " + output + " --quiet " + more;
        std::istringstream words(settings);
        for (std::string word; words >> word;) command += " --set " + word;
        Run(command);
    }
    static void ExpectSame(const std::string& got, const std::string& want) {
        const clitest::FileImage a = ReadFile(got), b = ReadFile(want);
        EXPECT_TRUE(a.width == b.width && a.height == b.height && a.values == b.values)
            << got << " differs from " << want;
    }
};

TEST_F(Frei0rHosts, FfmpegMeltAndGstreamerRenderLikeTheCli) {
    MakeClip(96, 64, 2);
    const bool melt = Have("melt"), gstreamer = Have("gst-launch-1.0");
    for (size_t l = 0; l < kLooks.size(); ++l) {
        const std::string tag = std::to_string(l);
        Ffmpeg("-i " + Path("clip.mkv") + " -vf " + Quoted("frei0r=korvane:" + kLooks[l].ffmpeg + ",format=rgba") +
               " -start_number 0 " + Path("ffmpeg" + tag + "-%d.png"));
        if (melt)
            Melt(Path("clip.mkv") + " -filter frei0r.korvane " + kLooks[l].named, Path("melt" + tag + "-%d.png"), 2);
        if (gstreamer) {
            std::string properties = kLooks[l].named;
            std::replace(properties.begin(), properties.end(), '_', '-');
            Run("gst-launch-1.0 -q filesrc location=" + Path("frame0.png") +
                " ! pngdec ! videoconvert ! video/x-raw,format=RGBA ! " + "frei0r-filter-korvane " + properties +
                " ! videoconvert ! video/x-raw,format=RGBA ! pngenc ! filesink location=" + Path("gst" + tag + ".png"));
        }
        for (int n = 0; n < 2; ++n) {
            const std::string want = Path("cli" + tag + "-" + std::to_string(n) + ".png");
            Cli(kLooks[l].cli, Numbered(Path("frame%d.png"), n), want);
            ExpectSame(Numbered(Path("ffmpeg" + tag + "-%d.png"), n), want);
            if (melt) ExpectSame(Numbered(Path("melt" + tag + "-%d.png"), n + 1), want);
            if (gstreamer && n == 0) ExpectSame(Path("gst" + tag + ".png"), want);
        }
    }
}

// ffmpeg passes values by position: the looks, after the registered parameters, take every earlier
// position's default in front of them, and render as the CLI renders the same looks by name (melt,
// by name, too).
TEST_F(Frei0rHosts, FfmpegAndMeltTakeTheLooksAfterTheRegisteredParameters) {
    MakeClip(96, 64, 1);
    const std::vector<FrozenParam> frozen = FrozenParams();
    const std::vector<std::pair<std::string, double>> looks = {
        {"path", 0.25}, {"centre_x", 0.25}, {"interval", 2.0 / 3.0}, {"span_length", 0.25}, {"auto_threshold", 1.0}};
    const std::string cli = "path=circles centre_x=-25 interval=random span_length=1001.5 auto_threshold=on";
    Instance fresh(8, 8);
    std::vector<double> values;
    for (size_t i = 0; i < frozen.size(); ++i) values.push_back(fresh.Get(static_cast<int>(i)));
    std::string named;
    size_t last = 0;
    for (const auto& [name, value] : looks) {
        const auto it = std::find_if(frozen.begin(), frozen.end(),
                                     [&](const FrozenParam& f) { return f.name == name; });
        ASSERT_NE(it, frozen.end()) << name;
        const size_t index = static_cast<size_t>(it - frozen.begin());
        values[index] = value;
        last = std::max(last, index);
        named += " " + name + "=" + std::to_string(value);
    }
    std::string positional;
    for (size_t i = 0; i <= last; ++i) {
        char number[32];
        std::snprintf(number, sizeof number, "%.17g", values[i]);
        positional += (i ? "|" : "") + (frozen[i].type == F0R_PARAM_BOOL ? std::string(values[i] >= 0.5 ? "y" : "n")
                                                                         : std::string(number));
    }
    Ffmpeg("-i " + Path("clip.mkv") + " -vf " + Quoted("frei0r=korvane:" + positional + ",format=rgba") + " " +
           Path("ffmpeg-looks.png"));
    Cli(cli, Path("frame0.png"), Path("cli-looks.png"));
    ExpectSame(Path("ffmpeg-looks.png"), Path("cli-looks.png"));
    if (Have("melt")) {
        Melt(Path("clip.mkv") + " -filter frei0r.korvane" + named, Path("melt-looks-%d.png"), 1);
        ExpectSame(Numbered(Path("melt-looks-%d.png"), 1), Path("cli-looks.png"));
    }
}

// Debian's ffmpeg 5.1 hands frei0r rows padded to 64 bytes when the width is not a multiple of 16.
// The documented chain pads, filters and crops back: the CLI's render of the padded frame, cropped
// (lines that cross the padding sort it too), and exactly the frame's own render for vertical lines.
TEST_F(Frei0rHosts, FfmpegPaddedWidthChainRendersLikeTheCli) {
    MakeClip(90, 48, 1);
    const std::string pad = "pad=ceil(iw/16)*16:ih", crop = "crop=90:ih:0:0";
    Ffmpeg("-i " + Path("frame0.png") + " -vf " + Quoted(pad + ",format=rgba") + " " + Path("padded.png"));
    for (size_t l : {0u, 1u}) {
        const std::string tag = std::to_string(l);
        Ffmpeg("-i " + Path("clip.mkv") + " -vf " +
               Quoted(pad + ",frei0r=korvane:" + kLooks[l].ffmpeg + "," + crop + ",format=rgba") + " " +
               Path("chain" + tag + ".png"));
        Cli(kLooks[l].cli, Path("padded.png"), Path("cli-padded" + tag + ".png"));
        Ffmpeg("-i " + Path("cli-padded" + tag + ".png") + " -vf " + crop + ",format=rgba " +
               Path("cli-cropped" + tag + ".png"));
        ExpectSame(Path("chain" + tag + ".png"), Path("cli-cropped" + tag + ".png"));
    }
    Cli(kLooks[0].cli, Path("frame0.png"), Path("cli-vertical.png"));
    ExpectSame(Path("chain0.png"), Path("cli-vertical.png"));
}

// Keyframes by index and by name change the look frame by frame as the CLI's keyframes do.
TEST_F(Frei0rHosts, MeltKeyframesMatchCliKeyframes) {
    if (!Have("melt")) GTEST_SKIP() << "no melt";
    MakeClip(96, 64, 3);
    Melt(Path("clip.mkv") + " -filter frei0r.korvane 0=0 '1=0=0.1;2=0.9' 'angle=0=0.5;2=0.75'", Path("keyed%d.png"), 3);
    Cli("threshold_low=0 threshold_high=0.1@0,0.9@2 angle=0@0,90@2", Path("frame%d.png"), Path("cli%d.png"),
        "--frames 0-2");
    for (int n = 0; n < 3; ++n) ExpectSame(Numbered(Path("keyed%d.png"), n + 1), Numbered(Path("cli%d.png"), n));
    Cli("threshold_low=0 threshold_high=0.1", Path("frame2.png"), Path("unkeyed2.png"));
    EXPECT_NE(ReadFile(Path("cli2.png")).values, ReadFile(Path("unkeyed2.png")).values);
}

// korvane-source as a melt transition: the upper track is the trigger or the sort source, as the
// CLI's --trigger-source and --sort-source.
TEST_F(Frei0rHosts, MeltTransitionTakesTheUpperTrackAsSource) {
    if (!Have("melt")) GTEST_SKIP() << "no melt";
    MakeClip(96, 64, 1);
    Ffmpeg("-loop 1 -i " + clitest::SourceData("tests/data/coffee-small.png") +
           " -vf crop=96:64:50:30,format=rgba -frames:v 1 " + Path("source.png"));
    Ffmpeg("-i " + Path("source.png") + " -c:v ffv1 -pix_fmt bgra " + Path("source.mkv"));
    for (int sort : {0, 1}) {
        const std::string pattern = Path("mixed" + std::to_string(sort) + "-%d.png");
        Melt(Path("clip.mkv") + " -track " + Path("source.mkv") +
                 " -transition frei0r.korvane-source a_track=0 b_track=1 source=" + std::to_string(sort) +
                 " threshold_low=0.2 threshold_high=0.8",
             pattern, 1);
        Cli("threshold_low=0.2 threshold_high=0.8", Path("frame0.png"), Path("cli-mixed.png"),
            (sort ? "--sort-source " : "--trigger-source ") + Path("source.png"));
        ExpectSame(Numbered(pattern, 1), Path("cli-mixed.png"));
    }
}

// GStreamer over several frames of a clip whose rows are an odd number of pixels (601) long.
TEST_F(Frei0rHosts, GstreamerClipAtAnOddWidthRendersLikeTheCli) {
    if (!Have("gst-launch-1.0")) GTEST_SKIP() << "no gst-launch-1.0";
    if (Shell("gst-inspect-1.0 avdec_ffv1") != 0)
        GTEST_SKIP() << "no avdec_ffv1 to decode the clip (Debian: gstreamer1.0-libav)";
    MakeClip(601, 48, 3);
    for (size_t l : {1u, 2u}) {
        const std::string tag = std::to_string(l);
        std::string properties = kLooks[l].named;
        std::replace(properties.begin(), properties.end(), '_', '-');
        Run("gst-launch-1.0 -q filesrc location=" + Path("clip.mkv") +
            " ! matroskademux ! avdec_ffv1 ! videoconvert ! video/x-raw,format=RGBA ! frei0r-filter-korvane " +
            properties + " ! videoconvert ! video/x-raw,format=RGBA ! pngenc snapshot=false ! multifilesink location=" +
            Path("gst" + tag + "-%d.png"));
        for (int n = 0; n < 3; ++n) {
            const std::string want = Path("cli" + tag + "-" + std::to_string(n) + ".png");
            Cli(kLooks[l].cli, Numbered(Path("frame%d.png"), n), want);
            ExpectSame(Numbered(Path("gst" + tag + "-%d.png"), n), want);
        }
    }
}

// GStreamer's controller (through tests/frei0r/gst-keyframes.py: gst-launch cannot attach one)
// animates properties as the CLI's keyframes do. 25 frames a second keep the clip's millisecond
// timestamps exact.
TEST_F(Frei0rHosts, GstreamerControllerKeyframesMatchCliKeyframes) {
    if (Shell("/usr/bin/python3 -c \"import gi; gi.require_version('GstController', '1.0'); from gi.repository import "
              "GstController\"") != 0)
        GTEST_SKIP() << "no GStreamer controller for Python (Debian: python3-gi gir1.2-gstreamer-1.0)";
    if (Shell("gst-inspect-1.0 avdec_ffv1") != 0)
        GTEST_SKIP() << "no avdec_ffv1 to decode the clip (Debian: gstreamer1.0-libav)";
    MakeClip(96, 64, 3, 25);
    Run("/usr/bin/python3 " + Quoted(std::string(KORVANE_SOURCE_DIR) + "/tests/frei0r/gst-keyframes.py") + " " +
        Path("clip.mkv") + " " + Path("keyed%d.png") +
        " 25 threshold-low=0 threshold-high=0:0.1,2:0.9 angle=0:0.5,2:0.75");
    Cli("threshold_low=0 threshold_high=0.1@0,0.9@2 angle=0@0,90@2", Path("frame%d.png"), Path("cli%d.png"),
        "--frames 0-2 --fps 25");
    for (int n = 0; n < 3; ++n) ExpectSame(Numbered(Path("keyed%d.png"), n), Numbered(Path("cli%d.png"), n));
}

// mpv's encoding mode runs ffmpeg's frei0r filter (a width that is a multiple of 16: the same ffmpeg
// shears others) into a lossless file whose frames are the CLI's.
TEST_F(Frei0rHosts, MpvEncodeRendersLikeTheCli) {
    if (!Have("mpv")) GTEST_SKIP() << "no mpv";
    MakeClip(96, 64, 3);
    const size_t l = 2;
    Run("mpv --no-config --really-quiet --no-audio " + Path("clip.mkv") + " " +
        Quoted("--vf=lavfi=[frei0r=korvane:" + kLooks[l].ffmpeg + "]") + " --o=" + Path("mpv.mkv") + " --ovc=ffv1");
    Ffmpeg("-i " + Path("mpv.mkv") + " -vf format=rgba -start_number 0 " + Path("mpv%d.png"));
    for (int n = 0; n < 3; ++n) {
        Cli(kLooks[l].cli, Numbered(Path("frame%d.png"), n), Numbered(Path("cli%d.png"), n));
        ExpectSame(Numbered(Path("mpv%d.png"), n), Numbered(Path("cli%d.png"), n));
    }
    EXPECT_FALSE(std::filesystem::exists(Path("mpv3.png"))) << "mpv wrote more frames than the clip has";
}

// Projects as Kdenlive 22.12 and Shotcut 22.12 save them (tests/frei0r/projects), rendered by melt:
// the effect's keyframes there are the CLI's keyframes.
TEST_F(Frei0rHosts, KdenliveAndShotcutProjectsRenderLikeTheCli) {
    if (!Have("melt")) GTEST_SKIP() << "no melt";
    MakeClip(96, 64, 3, 25);
    const struct {
        std::string project, cli;
    } projects[] = {
        {"keyframes.kdenlive", "threshold_low=0 threshold_high=0.1@0,0.9@2 angle=0@0,90@2 sort_key=max"},
        {"keyframes-shotcut.mlt", "threshold_low=0.2@0,0.4@2 threshold_high=1 angle=36 trigger=red reverse=on"},
    };
    for (const auto& p : projects) {
        SCOPED_TRACE(p.project);
        std::filesystem::copy_file(std::string(KORVANE_SOURCE_DIR) + "/tests/frei0r/projects/" + p.project,
                                   Path(p.project));
        Melt(Path(p.project), Path(p.project + "%d.png"), 3);
        Cli(p.cli, Path("frame%d.png"), Path(p.project + "-cli%d.png"), "--frames 0-2 --fps 25");
        for (int n = 0; n < 3; ++n)
            ExpectSame(Numbered(Path(p.project + "%d.png"), n + 1), Numbered(Path(p.project + "-cli%d.png"), n));
    }
}

// MLT 7.12 slices a frei0r filter's frame between threads when the filter's `threads` property is
// set (a frei0r plug-in cannot refuse): each slice is sorted alone, so vertical lines break at the
// seams, and the filter warns when the slices' calls overlap. Unset, the frame is whole.
TEST_F(Frei0rHosts, MeltSlicesTheFrameOnlyWhenThreadsIsSet) {
    if (!Have("melt")) GTEST_SKIP() << "no melt";
    MakeClip(240, 160, 3);
    const std::string look = " -filter frei0r.korvane " + kLooks[0].named;
    const std::string whole = Melt(Path("clip.mkv") + look, Path("whole%d.png"), 3);
    EXPECT_EQ(whole.find("overlapping calls"), std::string::npos) << whole;
    Cli(kLooks[0].cli, Path("frame%d.png"), Path("cli%d.png"), "--frames 0-2");
    for (int n = 0; n < 3; ++n) ExpectSame(Numbered(Path("whole%d.png"), n + 1), Numbered(Path("cli%d.png"), n));

    if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "MLT makes one slice per core: one core, one slice";
    // Whether two slices' calls overlap is up to the scheduler: a few renders settle it.
    std::string sliced, pattern;
    for (int attempt = 0; attempt < 4 && sliced.find("overlapping calls on one instance") == std::string::npos;
         ++attempt) {
        pattern = Path("sliced" + std::to_string(attempt) + "-%d.png");
        sliced = Melt(Path("clip.mkv") + look + " threads=2", pattern, 3);
    }
    EXPECT_NE(sliced.find("overlapping calls on one instance"), std::string::npos) << sliced;
    EXPECT_NE(ReadFile(Numbered(pattern, 1)).values, ReadFile(Path("cli0.png")).values) << "no seam: MLT did not slice";
}

}  // namespace
}  // namespace korvane::frei0r_test
