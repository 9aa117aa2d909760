// Clips through `korvane render`: small clips made by ffmpeg here, read back with ffmpeg and
// ffprobe, and compared with the image path frame by frame.
#include <nlohmann/json.hpp>

#include "CliSupport.h"

namespace korvane::clitest {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

RunResult Ffmpeg(const std::vector<std::string>& args) {
    return RunProgram("ffmpeg", Concat({"-nostdin", "-hide_banner", "-v", "error", "-y"}, args));
}

nlohmann::json Probe(const std::string& path) {
    const RunResult r = RunProgram("ffprobe", {"-v", "error", "-of", "json", "-show_streams", "-show_format", path});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return nlohmann::json::parse(r.out, nullptr, false);
}

nlohmann::json Stream(const nlohmann::json& probe, const std::string& type) {
    for (const auto& s : probe["streams"])
        if (s["codec_type"] == type) return s;
    return {};
}

// Frame `n` of a clip (or an image file) as raw pixels.
std::string Frame(const std::string& path, int n, const std::string& pixel_format) {
    const RunResult r = RunProgram("ffmpeg", {"-nostdin", "-v", "error", "-i", path, "-vf", "select=eq(n\\," + std::to_string(n) + ")",
                                       "-fps_mode", "passthrough", "-frames:v", "1", "-f", "rawvideo", "-pix_fmt",
                                       pixel_format, "-"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.out;
}

class CliVideoTest : public CliTest {
protected:
    // A lossless clip of moving colour bars: 12 frames at 24 fps.
    std::string MakeClip(const std::string& name, const std::string& pixel_format = "bgr0",
                         const std::string& size = "40x30", const std::vector<std::string>& extra = {}) {
        const std::string path = Path(name);
        const RunResult r = Ffmpeg(Concat(Concat({"-f", "lavfi", "-i", "testsrc2=size=" + size + ":rate=24:duration=0.5"}, extra),
                                          {"-c:v", "ffv1", "-pix_fmt", pixel_format, path}));
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return path;
    }
    // Names in the test's folder other than `known`: what a failed run left behind.
    std::vector<std::string> Leftovers(const std::vector<std::string>& known) {
        std::vector<std::string> extra;
        for (const std::string& name : FolderEntries(dir().string()))
            if (std::find(known.begin(), known.end(), name) == known.end()) extra.push_back(name);
        return extra;
    }
};

// With a lossless clip in and .mkv out, every frame equals the image path's render of that frame
// at the same time; keyframes in seconds land where the same keyframes in frames do.
TEST_F(CliVideoTest, LosslessClipMatchesTheImagePathFrameByFrame) {
    struct Case {
        const char* pixel_format;  // of the source clip
        const char* frame_format;  // of the frames compared
        const char* image;         // extracted frame
    };
    for (const Case c : {Case{"bgr0", "rgba", "png"}, Case{"rgba64le", "rgba64le", "png"}}) {
        SCOPED_TRACE(c.pixel_format);
        const std::string clip = MakeClip(std::string("in-") + c.pixel_format + ".mkv", c.pixel_format);
        const std::string out = Path(std::string("out-") + c.pixel_format + ".mkv");
        const RunResult video = Korvane({"render", clip, "-o", out, "--set", "threshold_low=0.1@0s,0.6@0.25s",
                                         "--set", "angle=0@0,90@11", "--set", "threshold_high=0.9"});
        ASSERT_EQ(video.exit_code, 0) << video.err;
        EXPECT_EQ(Stream(Probe(out), "video")["codec_name"], "ffv1");
        for (const int n : {0, 3, 6, 11}) {
            const std::string still = Path("frame" + std::to_string(n) + "." + c.image);
            const std::string sorted = Path("sorted" + std::to_string(n) + "." + c.image);
            ASSERT_EQ(Ffmpeg({"-i", clip, "-vf", "select=eq(n\\," + std::to_string(n) + ")", "-fps_mode", "passthrough",
                              "-frames:v", "1", "-pix_fmt", std::string(c.frame_format) == "rgba" ? "rgba" : "rgba64be", still})
                          .exit_code,
                      0);
            const RunResult image = Korvane({"render", still, "-o", sorted, "--frames", std::to_string(n), "--set",
                                             "threshold_low=0.1@0,0.6@6", "--set", "angle=0@0,90@11", "--set",
                                             "threshold_high=0.9", "-q"});
            ASSERT_EQ(image.exit_code, 0) << image.err;
            EXPECT_EQ(Frame(out, n, c.frame_format), Frame(sorted, 0, c.frame_format)) << "frame " << n;
        }
    }
}

// Sound, rate, colour tags and rotation survive; odd sides and alpha get what the codec can hold.
TEST_F(CliVideoTest, KeepsAudioRateColourAndTurnsRotatedClipsUpright) {
    const std::string clip = Path("tagged.mp4");
    ASSERT_EQ(Ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=48x32:rate=25:duration=1", "-f", "lavfi", "-i",
                      "sine=frequency=440:duration=1", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-colorspace", "bt709",
                      "-color_primaries", "bt709", "-color_trc", "bt709", "-c:a", "aac", "-shortest", clip})
                  .exit_code,
              0);
    const std::string rotated = Path("rotated.mp4");
    ASSERT_EQ(Ffmpeg({"-i", clip, "-c", "copy", "-metadata:s:v:0", "rotate=90", rotated}).exit_code, 0);

    const RunResult r = Korvane({"render", rotated, "-o", Path("out.mp4"), "--set", "threshold_low=0.2"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const nlohmann::json in = Probe(rotated), out = Probe(Path("out.mp4"));
    const nlohmann::json video = Stream(out, "video"), audio = Stream(out, "audio");
    EXPECT_EQ(video["width"], 32);
    EXPECT_EQ(video["height"], 48);
    EXPECT_FALSE(video.contains("side_data_list")) << "written upright, without a display matrix";
    EXPECT_EQ(video["r_frame_rate"], "25/1");
    EXPECT_EQ(video["nb_frames"], Stream(in, "video")["nb_frames"]);
    EXPECT_EQ(video["color_space"], "bt709");
    EXPECT_EQ(video["color_primaries"], "bt709");
    ASSERT_FALSE(audio.is_null()) << "audio stream copied";
    EXPECT_EQ(audio["codec_name"], "aac");
    EXPECT_NEAR(std::stod(audio["duration"].get<std::string>()), std::stod(Stream(in, "audio")["duration"].get<std::string>()), 0.05);

    // Odd sides cannot be 4:2:0 in H.264: 4:4:4 with a note.
    const std::string odd = MakeClip("odd.mkv", "bgr0", "40x30", {"-vf", "scale=33:25"});
    const RunResult odd_run = Korvane({"render", odd, "-o", Path("odd.mp4")});
    ASSERT_EQ(odd_run.exit_code, 0) << odd_run.err;
    EXPECT_THAT(odd_run.err, HasSubstr("4:4:4"));
    EXPECT_EQ(Stream(Probe(Path("odd.mp4")), "video")["pix_fmt"], "yuv444p");

    // Alpha through ProRes 4444, and from a clip to an image sequence with the alpha intact.
    const std::string alpha = MakeClip("alpha.mkv", "bgra", "40x30", {"-vf", "format=rgba,colorchannelmixer=aa=0.5"});
    ASSERT_EQ(Korvane({"render", alpha, "-o", Path("alpha.mov"), "-q"}).exit_code, 0);
    EXPECT_THAT(Stream(Probe(Path("alpha.mov")), "video")["pix_fmt"].get<std::string>(), HasSubstr("yuva444p"));
    ASSERT_EQ(Korvane({"render", alpha, "--frames", "2-3", "-o", Path("a_##.png"), "-q"}).exit_code, 0);
    const FileImage frame = ReadFile(Path("a_03.png"));
    ASSERT_EQ(frame.channels, 4);
    EXPECT_NEAR(frame.at(0, 0, 3), 128 / 255.0f, 1.0f / 255);

    // And an image sequence into a clip at --fps.
    ASSERT_EQ(Korvane({"render", Path("a_##.png"), "--frames", "2-3", "--fps", "12", "-o", Path("seq.mkv"), "-q"}).exit_code, 0);
    EXPECT_EQ(Stream(Probe(Path("seq.mkv")), "video")["r_frame_rate"], "12/1");
}

// Every failure: one line, non-zero exit, nothing left beside the input, no ffmpeg left running.
TEST_F(CliVideoTest, FailuresLeaveNothingBehind) {
    const std::string clip = MakeClip("clip.mkv");
    ASSERT_EQ(Ffmpeg({"-f", "lavfi", "-i", "sine=duration=0.5", Path("sound.wav")}).exit_code, 0);
    const std::string whole = Path("whole.mp4");
    ASSERT_EQ(Ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=24:duration=2", "-c:v", "libx264",
                      "-movflags", "+faststart", whole})
                  .exit_code,
              0);
    const std::string bytes = ReadBytes(whole);
    std::ofstream(Path("cut.mp4"), std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 2));
    const std::vector<std::string> inputs = {"clip.mkv", "cut.mp4", "sound.wav", "whole.mp4"};

    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> env;
        int exit_code;
        const char* message;
    };
    const std::vector<Case> cases = {
        {{"render", clip, "-o", Path("a.mp4")}, {"PATH=/nonexistent"}, 2, "Debian package 'ffmpeg'"},
        {{"render", Path("sound.wav"), "-o", Path("a.mp4")}, {}, 2, "has no video stream"},
        {{"render", Path("cut.mp4"), "-o", Path("a.mkv")}, {}, 2, "cannot decode"},
        {{"render", clip, "-o", Path("a.mp4"), "--codec", "no-such-encoder"}, {}, 2, "Unknown encoder 'no-such-encoder'"},
        {{"render", clip, "-o", dir().string() + "/./clip.mkv"}, {}, 2, "would replace an input"},
        {{"render", clip, "--frames", "5-40", "-o", Path("a.mkv")}, {}, 2, "ends at frame 11"},
        {{"render", clip, "-o", Path("a.webm")}, {"KORVANE_TEST_SIGINT_AT_PROGRESS=20"}, 130, "cancelled"},
        {{"render", clip, "-o", Path("a.webm")}, {"KORVANE_TEST_SIGINT_AT_PROGRESS=20", "KORVANE_TEST_SIGNAL=15"}, 143, "cancelled"},
        {{"render", clip, "-o", Path("a_##.png")}, {"KORVANE_TEST_SIGINT_AT_PROGRESS=20", "KORVANE_TEST_SIGNAL=1"}, 129, "cancelled"},
        // While a frame is decoded, handed to the encoder, and while the encoder finishes the file.
        {{"render", clip, "-o", Path("a.webm")}, {"KORVANE_TEST_SIGNAL_AT=read:3"}, 130, "cancelled"},
        {{"render", clip, "-o", Path("a.webm")}, {"KORVANE_TEST_SIGNAL_AT=write:3", "KORVANE_TEST_SIGNAL=15"}, 143, "cancelled"},
        {{"render", clip, "-o", Path("a.webm")}, {"KORVANE_TEST_SIGNAL_AT=write:13"}, 130, "cancelled"},
    };
    const std::string before = ReadBytes(clip);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1] + " -> " + c.args[3]);
        const RunResult r = Korvane(c.args, c.env);
        EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
        EXPECT_THAT(r.err, HasSubstr(c.message));
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        if (c.exit_code < 128) {
            EXPECT_THAT(Leftovers(inputs), IsEmpty());
        }
    }
    // A signal may land after some frames of a sequence were written; never a temporary file.
    for (const std::string& name : Leftovers(inputs)) EXPECT_THAT(name, ::testing::StartsWith("a_")) << name;
    EXPECT_EQ(ReadBytes(clip), before);
    EXPECT_EQ(RunProgram("pgrep", {"-f", "ffmpeg.*" + dir().filename().string()}).exit_code, 1) << "an ffmpeg child still runs";
}

}  // namespace
}  // namespace korvane::clitest
