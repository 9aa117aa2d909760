// Clips through `korvane render`: small clips made by ffmpeg here, read back with ffmpeg and
// ffprobe, and compared with the image path frame by frame.
#include <nlohmann/json.hpp>

#include <cmath>
#include <sstream>

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
    const RunResult r = RunProgram("ffmpeg", {"-nostdin", "-v", "error", "-i", path, "-vf",
                                              "select=eq(n\\," + std::to_string(n) + ")", "-fps_mode", "passthrough",
                                              "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", pixel_format, "-"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.out;
}

// Presentation times of a clip's video frames, in seconds.
std::vector<double> FrameTimes(const std::string& path) {
    const RunResult r = RunProgram("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                               "frame=pts_time", "-of", "csv=p=0", path});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<double> times;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) times.push_back(std::stod(line));
    return times;
}

// When the first bright frame is shown, and when the first loud sample sounds.
double FlashTime(const std::string& path) {
    const RunResult r = RunProgram("ffprobe", {"-v", "error", "-f", "lavfi",
                                               "movie=" + path + ",format=gray,signalstats", "-show_entries",
                                               "frame=pts_time:frame_tags=lavfi.signalstats.YAVG", "-of", "csv=p=0"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        if (const std::size_t comma = line.find(',');
            comma != std::string::npos && std::stod(line.substr(comma + 1)) > 100)
            return std::stod(line.substr(0, comma));
    return -1;
}
double BeepTime(const std::string& path, const nlohmann::json& audio_stream) {
    const RunResult r = RunProgram("ffmpeg", {"-nostdin", "-v", "error", "-i", path, "-map", "0:a:0", "-f", "f32le",
                                              "-ac", "1", "-ar", "48000", "-"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const auto* samples = reinterpret_cast<const float*>(r.out.data());
    for (std::size_t i = 0; i < r.out.size() / sizeof(float); ++i)
        if (std::fabs(samples[i]) > 0.1f)
            return std::stod(audio_stream.value("start_time", "0")) + static_cast<double>(i) / 48000;
    return -1;
}

class CliVideoTest : public CliTest {
protected:
    // A lossless clip of moving colour bars: 12 frames at 24 fps.
    std::string MakeClip(const std::string& name, const std::string& pixel_format = "bgr0",
                         const std::string& size = "40x30", const std::vector<std::string>& extra = {}) {
        const std::string path = Path(name);
        const RunResult r = Ffmpeg(
            Concat(Concat({"-f", "lavfi", "-i", "testsrc2=size=" + size + ":rate=24:duration=0.5"}, extra),
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
        const RunResult video = Korvane({"render", clip, "-o", out, "--set", "threshold_low=0.1@0s,0.6@0.25s", "--set",
                                         "angle=0@0,90@11", "--set", "threshold_high=0.9"});
        ASSERT_EQ(video.exit_code, 0) << video.err;
        EXPECT_EQ(Stream(Probe(out), "video")["codec_name"], "ffv1");
        for (const int n : {0, 3, 6, 11}) {
            const std::string still = Path("frame" + std::to_string(n) + "." + c.image);
            const std::string sorted = Path("sorted" + std::to_string(n) + "." + c.image);
            ASSERT_EQ(Ffmpeg({"-i", clip, "-vf", "select=eq(n\\," + std::to_string(n) + ")", "-fps_mode", "passthrough",
                              "-frames:v", "1", "-pix_fmt", std::string(c.frame_format) == "rgba" ? "rgba" : "rgba64be",
                              still})
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
    ASSERT_EQ(Ffmpeg({"-f",
                      "lavfi",
                      "-i",
                      "testsrc2=size=48x32:rate=25:duration=1",
                      "-f",
                      "lavfi",
                      "-i",
                      "sine=frequency=440:duration=1",
                      "-c:v",
                      "libx264",
                      "-pix_fmt",
                      "yuv420p",
                      "-colorspace",
                      "bt709",
                      "-color_primaries",
                      "bt709",
                      "-color_trc",
                      "bt709",
                      "-c:a",
                      "aac",
                      "-shortest",
                      clip})
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
    EXPECT_NEAR(std::stod(audio["duration"].get<std::string>()),
                std::stod(Stream(in, "audio")["duration"].get<std::string>()), 0.05);

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
    ASSERT_EQ(
        Korvane({"render", Path("a_##.png"), "--frames", "2-3", "--fps", "12", "-o", Path("seq.mkv"), "-q"}).exit_code,
        0);
    EXPECT_EQ(Stream(Probe(Path("seq.mkv")), "video")["r_frame_rate"], "12/1");
}

// Every failure: one line, non-zero exit, nothing left beside the input, no ffmpeg left running.
TEST_F(CliVideoTest, FailuresLeaveNothingBehind) {
    const std::string clip = MakeClip("clip.mkv");
    ASSERT_EQ(Ffmpeg({"-f", "lavfi", "-i", "sine=duration=0.5", Path("sound.wav")}).exit_code, 0);
    const std::string whole = Path("whole.mp4");
    ASSERT_EQ(Ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=24:duration=2", "-c:v", "libx264", "-movflags",
                      "+faststart", whole})
                  .exit_code,
              0);
    const std::string bytes = ReadBytes(whole);
    std::ofstream(Path("cut.mp4"), std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 2));
    const std::vector<std::string> inputs = {"clip.mkv", "cut.mp4", "sound.wav", "whole.mp4"};

    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> env;
        int exit_code;
        const char* message;
    };
    const std::vector<Case> cases = {
        {{"render", Path("sound.wav"), "-o", Path("a.mp4")}, {}, 2, "has no video stream"},
        {{"render", Path("cut.mp4"), "-o", Path("a.mkv")}, {}, 2, "cannot decode"},
        {{"render", clip, "-o", Path("a.mp4"), "--codec", "no-such-encoder"},
         {},
         2,
         "Unknown encoder 'no-such-encoder'"},
        {{"render", clip, "-o", dir().string() + "/./clip.mkv"}, {}, 2, "would replace an input"},
        {{"render", clip, "--frames", "5-40", "-o", Path("a.mkv")}, {}, 2, "ends at frame 11"},
        {{"render", clip, "-o", Path("a.mp4"), "--encoder-args", "-no-such-option 1"},
         {},
         2,
         "no option '-no-such-option'"},
        // While the render waits for a frame the decoder cannot read: a stalled disk or pipe.
        {{"render", clip, "-o", Path("a.webm")}, {"KORVANE_TEST_STALL_DECODE_AT=4"}, 130, "cancelled"},
        {{"render", clip, "-o", Path("a.mkv")},
         {"KORVANE_TEST_STALL_DECODE_AT=1", "KORVANE_TEST_SIGNAL=15"},
         143,
         "cancelled"},
        {{"render", clip, "-o", Path("a.webm")}, {"KORVANE_TEST_SIGINT_AT_PROGRESS=20"}, 130, "cancelled"},
        {{"render", clip, "-o", Path("a.webm")},
         {"KORVANE_TEST_SIGINT_AT_PROGRESS=20", "KORVANE_TEST_SIGNAL=15"},
         143,
         "cancelled"},
        {{"render", clip, "-o", Path("a_##.png")},
         {"KORVANE_TEST_SIGINT_AT_PROGRESS=20", "KORVANE_TEST_SIGNAL=1"},
         129,
         "cancelled"},
        // While a frame is decoded, handed to the encoder, and while the encoder finishes the file.
        {{"render", clip, "-o", Path("a.webm")}, {"KORVANE_TEST_SIGNAL_AT=read:3"}, 130, "cancelled"},
        {{"render", clip, "-o", Path("a.webm")},
         {"KORVANE_TEST_SIGNAL_AT=write:3", "KORVANE_TEST_SIGNAL=15"},
         143,
         "cancelled"},
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
    EXPECT_EQ(RunProgram("pgrep", {"-f", "ffmpeg.*" + dir().filename().string()}).exit_code, 1)
        << "an ffmpeg child still runs";
}

}  // namespace
}  // namespace korvane::clitest

namespace korvane::clitest {
namespace {

// Phones record at a variable rate: each output frame keeps its input frame's time, so a flash and
// a beep that coincide in the input coincide in every container and after a chunked join; --fps
// asks for a constant rate instead.
TEST_F(CliVideoTest, VariableRateClipsKeepTheirTimesAndTheirSync) {
    const std::string clip = Path("phone.mp4");
    // 30 fps for two seconds, then 10 fps; the frame at 3 s is white and a beep starts at 3 s.
    ASSERT_EQ(Ffmpeg({"-f", "lavfi", "-i",
                      "color=black:s=64x48:r=30:d=4,setpts='if(lt(N\\,60)\\,N/30\\,2+(N-60)/10)/TB',"
                      "geq=lum='if(eq(N\\,70)\\,255\\,16)':cb=128:cr=128",
                      "-f", "lavfi", "-i", "aevalsrc='if(between(t\\,3\\,3.1)\\,sin(2*PI*1000*t)\\,0)':d=8",
                      "-fps_mode", "passthrough", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest",
                      clip})
                  .exit_code,
              0);
    ASSERT_NEAR(FlashTime(clip), 3.0, 1e-6);
    const std::vector<double> in_times = FrameTimes(clip);
    ASSERT_EQ(in_times.size(), 120u);

    const std::vector<std::string> look = {"--set", "threshold_low=0.5"};
    for (const char* extension : {"mp4", "mkv", "mov", "webm"}) {
        SCOPED_TRACE(extension);
        const std::string out = Path(std::string("out.") + extension);
        const RunResult r = Korvane(Concat({"render", clip, "-o", out, "-q"}, look));
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const std::vector<double> times = FrameTimes(out);
        ASSERT_EQ(times.size(), in_times.size());
        for (std::size_t n = 0; n < times.size(); n += 7)
            EXPECT_NEAR(times[n] - times[0], in_times[n] - in_times[0], 0.002) << "frame " << n;
        // Within one frame of the slow part (0.1 s): the constant-rate writing put them 0.73 s apart.
        EXPECT_NEAR(FlashTime(out), BeepTime(out, Stream(Probe(out), "audio")), 0.1);
    }

    // Chunks rendered apart and joined make the one-piece file, times and sound included.
    ASSERT_EQ(Korvane(Concat({"render", clip, "--frames", "0-64", "-o", Path("c0.mkv"), "-q"}, look)).exit_code, 0);
    ASSERT_EQ(Korvane(Concat({"render", clip, "--frames", "65-119", "-o", Path("c1.mkv"), "-q"}, look)).exit_code, 0);
    const RunResult joined = Korvane(
        {"join", Path("c1.mkv"), Path("c0.mkv"), "-o", Path("joined.mp4"), "--audio-from", clip, "-q"});
    ASSERT_EQ(joined.exit_code, 0) << joined.err;
    EXPECT_EQ(ReadBytes(Path("joined.mp4")), ReadBytes(Path("out.mp4")));

    // Asked for, a constant rate: frames repeated or dropped, still in sync.
    const RunResult constant = Korvane(Concat({"render", clip, "-o", Path("cfr.mp4"), "--fps", "30"}, look));
    ASSERT_EQ(constant.exit_code, 0) << constant.err;
    EXPECT_THAT(constant.err, HasSubstr("constant 30 fps"));
    const nlohmann::json cfr = Stream(Probe(Path("cfr.mp4")), "video");
    EXPECT_EQ(cfr["avg_frame_rate"], "30/1");
    EXPECT_GE(FrameTimes(Path("cfr.mp4")).size(), 235u);
    EXPECT_NEAR(FlashTime(Path("cfr.mp4")), BeepTime(Path("cfr.mp4"), Stream(Probe(Path("cfr.mp4")), "audio")),
                1.0 / 30);
}

// The automatic band smoothed over frames on a clip whose brightness flickers: a chunk's frames
// (at the clip's start, in its middle, at its end) are those of the whole render, byte for byte,
// as is an image sequence of the same frames; one thread gives what two give; auto_smooth=0 gives
// the bytes of the band without it, and smoothing moves the band of some frame. An output that
// would replace a neighbour it reads is refused.
TEST_F(CliVideoTest, SmoothedAutomaticBandDependsOnlyOnTheSourceFrames) {
    const std::string clip = MakeClip("flicker.mkv", "bgr0", "40x30",
                                      {"-vf", "eq=brightness=0.4*mod(n\\,2)-0.2:eval=frame"});
    const std::vector<std::string> look = {"--set", "auto_threshold=on", "--set", "auto_low=40",
                                           "--set", "auto_high=90",      "-q"};
    const std::vector<std::string> smooth = Concat(look, {"--set", "auto_smooth=2"});
    const auto render = [&](const std::string& input, const std::string& out, const std::vector<std::string>& args) {
        const RunResult r = Korvane(Concat({"render", input, "-o", Path(out)}, args));
        EXPECT_EQ(r.exit_code, 0) << r.err;
    };
    const auto frame = [&](const std::string& stem, int n) {
        const std::string number = std::to_string(n);
        return ReadFile(Path(stem + std::string(4 - number.size(), '0') + number + ".png")).values;
    };
    render(clip, "whole_####.png", smooth);
    render(clip, "plain_####.png", look);
    render(clip, "zero_####.png", Concat(look, {"--set", "auto_smooth=0"}));
    render(clip, "one_####.png", Concat(smooth, {"--threads", "1"}));
    for (const char* chunk : {"0-1", "4-7", "10-11"})
        render(clip, std::string("chunk_") + chunk + "_####.png", Concat(smooth, {"--frames", chunk}));
    ASSERT_EQ(Ffmpeg({"-i", clip, "-start_number", "0", Path("seq_%04d.png")}).exit_code, 0);
    render(Path("seq_####.png"), "seqout_####.png", smooth);
    render(Path("seq_####.png"), "seqchunk_####.png", Concat(smooth, {"--frames", "4-7"}));

    int moved = 0;
    for (int n = 0; n < 12; ++n) {
        SCOPED_TRACE("frame " + std::to_string(n));
        const std::vector<float> whole = frame("whole_", n);
        ASSERT_FALSE(whole.empty());
        const std::string chunk = n < 2              ? "chunk_0-1_"
                                  : n >= 4 && n <= 7 ? "chunk_4-7_"
                                  : n >= 10          ? "chunk_10-11_"
                                                     : "";
        if (!chunk.empty()) {
            EXPECT_EQ(frame(chunk, n), whole);
        }
        if (n >= 4 && n <= 7) {
            EXPECT_EQ(frame("seqchunk_", n), whole);
        }
        EXPECT_EQ(frame("seqout_", n), whole);
        EXPECT_EQ(frame("one_", n), whole);
        const std::string number = std::string(n < 10 ? "000" : "00") + std::to_string(n) + ".png";
        EXPECT_EQ(ReadBytes(Path("zero_" + number)), ReadBytes(Path("plain_" + number)));
        moved += frame("plain_", n) != whole ? 1 : 0;
    }
    EXPECT_GT(moved, 0);
    // An output that would replace a frame the smoothing reads is refused.
    const RunResult over = Korvane(
        Concat({"render", Path("seq_####.png"), "--frames", "2-5", "--start-number", "6", "-o", Path("seq_####.png")},
               smooth));
    EXPECT_EQ(over.exit_code, 2) << over.err;
    EXPECT_THAT(over.err, HasSubstr("would replace an input"));
}

// A clip holds the frames a decoder gives, not its packets: a stream-copy cut (an edit list over
// packets decoded only for reference) and a transport stream cut mid-way (packets before its first
// keyframe, and the leading frames of an open group of pictures) render every frame, and --frames
// reaches the last.
TEST_F(CliVideoTest, CutsRenderEveryDecodableFrame) {
    const std::string whole = Path("long.mp4");
    ASSERT_EQ(Ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25:duration=10", "-f", "lavfi", "-i",
                      "sine=duration=10", "-c:v", "libx264", "-g", "50", "-bf", "3", "-c:a", "aac", whole})
                  .exit_code,
              0);
    ASSERT_EQ(Ffmpeg({"-ss", "1.5", "-i", whole, "-t", "6", "-c", "copy", Path("cut.mp4")}).exit_code, 0);
    ASSERT_EQ(Ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25:duration=10", "-c:v", "libx264", "-bf", "3",
                      "-x264-params", "open-gop=1:keyint=50:min-keyint=50", Path("long.ts")})
                  .exit_code,
              0);
    const std::string ts = ReadBytes(Path("long.ts"));
    const std::size_t from = ts.size() / 188 / 3 * 188;
    std::ofstream(Path("mid.ts"), std::ios::binary)
        .write(ts.data() + from, static_cast<std::streamsize>(ts.size() - from));

    for (const char* name : {"cut.mp4", "mid.ts"}) {
        SCOPED_TRACE(name);
        const long frames = static_cast<long>(FrameTimes(Path(name)).size());  // as ffmpeg decodes it
        const RunResult r = Korvane({"render", Path(name), "-o", Path("sorted.mkv"), "-q"});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(FrameTimes(Path("sorted.mkv")).size(), static_cast<std::size_t>(frames));
        const std::string last = std::to_string(frames - 2) + "-" + std::to_string(frames - 1);
        const RunResult tail = Korvane({"render", Path(name), "--frames", last, "-o", Path("tail_####.png"), "-q"});
        EXPECT_EQ(tail.exit_code, 0) << tail.err;
        EXPECT_TRUE(std::filesystem::exists(Path("tail_" + std::string(4 - std::to_string(frames - 1).size(), '0') +
                                                 std::to_string(frames - 1) + ".png")));
    }
    const nlohmann::json cut = nlohmann::json::parse(
        RunProgram("ffprobe", {"-v", "quiet", "-count_packets", "-show_entries", "stream=nb_read_packets",
                               "-select_streams", "v:0", "-of", "json", Path("cut.mp4")})
            .out);
    const nlohmann::json& packets = cut["streams"][0]["nb_read_packets"];
    EXPECT_GT(packets.is_string() ? std::stol(packets.get<std::string>()) : packets.get<long>(), 152)
        << "the cut holds packets it does not show";
}

// What the output container can carry survives: colour tags in every container, timecode,
// subtitles (converted to the container's text format where it needs one), attachments, alpha;
// an encoder named gets the pixel format it is made for; every conversion or drop is said once.
TEST_F(CliVideoTest, StreamsTagsAndFormatsSurviveOrAreSaid) {
    const std::string hd = Path("bt709.mp4");
    ASSERT_EQ(Ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25:duration=1", "-colorspace", "bt709",
                      "-color_primaries", "bt709", "-color_trc", "bt709", "-c:v", "libx264", "-pix_fmt", "yuv420p", hd})
                  .exit_code,
              0);
    for (const char* extension : {"mp4", "mov", "webm", "mkv"}) {
        SCOPED_TRACE(extension);
        const std::string out = Path(std::string("hd.") + extension);
        ASSERT_EQ(Korvane({"render", hd, "-o", out, "-q"}).exit_code, 0);
        const nlohmann::json video = Stream(Probe(out), "video");
        EXPECT_EQ(video["color_primaries"], "bt709");
        EXPECT_EQ(video["color_transfer"], "bt709");
        if (std::string(extension) != "mkv") {  // FFV1 holds RGB, which has no matrix
            EXPECT_EQ(video["color_space"], "bt709");
            EXPECT_EQ(video["color_range"], "tv");
        }
    }

    // Encoders by name: 4:2:0 at the source's depth.
    ASSERT_EQ(Korvane({"render", hd, "-o", Path("hevc.mp4"), "--codec", "libx265", "-q"}).exit_code, 0);
    EXPECT_EQ(Stream(Probe(Path("hevc.mp4")), "video")["pix_fmt"], "yuv420p");
    const std::string deep = MakeClip("deep.mkv", "yuv420p10le");
    ASSERT_EQ(Korvane({"render", deep, "-o", Path("deep264.mkv"), "--codec", "libx264", "-q"}).exit_code, 0);
    EXPECT_EQ(Stream(Probe(Path("deep264.mkv")), "video")["pix_fmt"], "yuv420p10le");
    const RunResult eight = Korvane({"render", deep, "-o", Path("deep.mp4")});
    ASSERT_EQ(eight.exit_code, 0) << eight.err;
    EXPECT_THAT(eight.err, HasSubstr("10-bit pixels are written at 8 bits"));

    // Timecode, kept by the containers that hold one, and moved on with the first frame written.
    const std::string prores = Path("tc.mov");
    ASSERT_EQ(Ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25:duration=2", "-c:v", "prores_ks", "-timecode",
                      "01:02:03:04", prores})
                  .exit_code,
              0);
    for (const auto& [out, frames, timecode] :
         {std::tuple{"tc-out.mov", "", "01:02:03:04"}, std::tuple{"tc-out.mp4", "", "01:02:03:04"},
          std::tuple{"tc-part.mov", "25-49", "01:02:04:04"}}) {
        SCOPED_TRACE(out);
        std::vector<std::string> args = {"render", prores, "-o", Path(out), "-q"};
        if (*frames) args = Concat(args, {"--frames", frames});
        ASSERT_EQ(Korvane(args).exit_code, 0);
        EXPECT_EQ(Stream(Probe(Path(out)), "video")["tags"].value("timecode", ""), timecode);
    }

    // Subtitles with a language, FLAC sound and an attachment.
    std::ofstream(Path("words.srt")) << "1\n00:00:00,200 --> 00:00:00,400\nHello\n";
    const std::string styled = Path("styled.mkv");
    ASSERT_EQ(Ffmpeg({"-f",
                      "lavfi",
                      "-i",
                      "testsrc2=size=64x48:rate=25:duration=1",
                      "-f",
                      "lavfi",
                      "-i",
                      "sine=duration=1",
                      "-i",
                      Path("words.srt"),
                      "-map",
                      "0",
                      "-map",
                      "1",
                      "-map",
                      "2",
                      "-c:v",
                      "ffv1",
                      "-c:a",
                      "flac",
                      "-c:s",
                      "srt",
                      "-metadata:s:s:0",
                      "language=fra",
                      "-attach",
                      Path("words.srt"),
                      "-metadata:s:t",
                      "mimetype=text/plain",
                      styled})
                  .exit_code,
              0);
    ASSERT_EQ(Korvane({"render", styled, "-o", Path("styled-out.mkv"), "-q"}).exit_code, 0);
    const nlohmann::json kept = Probe(Path("styled-out.mkv"));
    EXPECT_EQ(Stream(kept, "audio")["codec_name"], "flac");
    EXPECT_EQ(Stream(kept, "subtitle")["codec_name"], "subrip");
    EXPECT_EQ(Stream(kept, "subtitle")["tags"]["language"], "fra");
    EXPECT_FALSE(Stream(kept, "attachment").is_null());
    const RunResult mp4 = Korvane({"render", styled, "-o", Path("styled.mp4")});
    ASSERT_EQ(mp4.exit_code, 0) << mp4.err;
    EXPECT_THAT(mp4.err, HasSubstr("cannot hold flac audio; re-encoded to AAC"));
    EXPECT_THAT(mp4.err, HasSubstr("subrip subtitles; converted to mov_text"));
    EXPECT_THAT(mp4.err, HasSubstr("attachment stream 3 (words.srt); dropped"));
    const nlohmann::json converted = Probe(Path("styled.mp4"));
    EXPECT_EQ(Stream(converted, "audio")["codec_name"], "aac");
    EXPECT_EQ(Stream(converted, "subtitle")["tags"]["language"], "fra");
    EXPECT_THAT(RunProgram("ffmpeg", {"-v", "error", "-i", Path("styled.mp4"), "-map", "0:s", "-f", "srt", "-"}).out,
                HasSubstr("Hello"));

    // Alpha into VP9 (its decoder reads it back); a chunk says it holds no sound.
    const std::string alpha = Path("alpha.mov");
    ASSERT_EQ(Ffmpeg({"-f", "lavfi", "-i",
                      "testsrc2=size=64x48:rate=25:duration=1,format=rgba,colorchannelmixer=aa=0.5", "-c:v",
                      "prores_ks", "-profile:v", "4444", "-pix_fmt", "yuva444p10le", alpha})
                  .exit_code,
              0);
    ASSERT_EQ(Korvane({"render", alpha, "-o", Path("alpha.webm"), "-q"}).exit_code, 0);
    const RunResult rgba = RunProgram("ffmpeg", {"-v", "error", "-c:v", "libvpx-vp9", "-i", Path("alpha.webm"),
                                                 "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgba", "-"});
    ASSERT_FALSE(rgba.out.empty());
    EXPECT_NEAR(static_cast<unsigned char>(rgba.out[3]), 128, 3);
    const RunResult chunk = Korvane({"render", styled, "--frames", "0-4", "-o", Path("part.mkv")});
    ASSERT_EQ(chunk.exit_code, 0) << chunk.err;
    EXPECT_THAT(chunk.err, HasSubstr("without sound"));
}

// A clip or a join that runs out of space, injected anywhere or on a full file system: exit 2 with
// one line naming the file and the reason, the old file byte for byte, no temporary file.
TEST_F(CliVideoTest, AFullDiskKeepsTheOldClipAndSaysWhy) {
    const std::string clip = MakeClip("clip.mkv", "bgr0", "160x120");
    ASSERT_EQ(Korvane({"render", clip, "--frames", "0-11", "-o", Path("chunk.mkv"), "-q"}).exit_code, 0);
    auto outputs = [&](const std::string& folder) {
        return std::vector<std::vector<std::string>>{{"render", clip, "-o", Path(folder + "out.mp4")},
                                                     {"render", clip, "-o", Path(folder + "out.mkv")},
                                                     {"join", Path("chunk.mkv"), "--audio-from", clip, "-o",
                                                      Path(folder + "joined.mov")}};
    };
    for (const std::vector<std::string>& args : outputs("")) {
        const std::string out = args[args.size() - 1];
        ASSERT_EQ(Korvane(Concat(args, {"-q"})).exit_code, 0);
        const std::string old = ReadBytes(out);
        for (const char* nth : {"1", "3"}) {
            SCOPED_TRACE(out + ", failing write " + nth);
            ExpectNoSpace(Korvane(args, {std::string("KORVANE_TEST_FAIL_WRITE=") + nth}), out);
            EXPECT_TRUE(ReadBytes(out) == old);
            EXPECT_THAT(FolderEntries(dir().string()), ::testing::Each(::testing::Not(::testing::StartsWith("."))));
        }
    }

    SmallFilesystem disk(Path("disk"), 1024 * 1024);
    if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
    for (const std::vector<std::string>& args : outputs("disk/")) {
        const std::string out = args[args.size() - 1];
        ASSERT_EQ(Korvane(Concat(args, {"-q"})).exit_code, 0);
        const std::string old = ReadBytes(out);
        ASSERT_GT(SmallFilesystem::Pages(old.size()), 1u);
        for (const std::size_t free_pages : {0u, 1u}) {
            SCOPED_TRACE(out + " with " + std::to_string(free_pages) + " pages free");
            disk.FillLeaving(free_pages);
            ExpectNoSpace(Korvane(args), out);
            EXPECT_TRUE(ReadBytes(out) == old);
            EXPECT_EQ(FolderEntries(Path("disk")).size(), 2u) << "the filler and the old file only";
        }
        std::filesystem::remove(out);
        std::filesystem::remove(Path("disk/.filler"));
    }
}

// Images and clips are read and written in process: with ffmpeg and ffprobe on PATH replaced by
// programs that note being run, neither a still nor a clip nor a join starts one.
TEST_F(CliVideoTest, NoRenderStartsAProgram) {
    const std::string clip = MakeClip("clip.mkv");
    WriteFile(Path("still.png"), RandomImage(40, 30, 3, OIIO::TypeDesc::UINT8, 5));
    std::filesystem::create_directory(Path("bin"));
    for (const char* program : {"ffmpeg", "ffprobe"}) {
        const std::string fake = Path(std::string("bin/") + program);
        std::ofstream(fake) << "#!/bin/sh\ntouch '" << Path("ran") << "'\nexit 1\n";
        std::filesystem::permissions(fake, std::filesystem::perms::owner_all);
    }
    const std::string path = "PATH=" + Path("bin") + ":" + std::getenv("PATH");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"render", Path("still.png"), "-o", Path("still-out.png")},
          {"render", clip, "-o", Path("out.mp4")},
          {"render", clip, "--frames", "0-5", "-o", Path("part.mkv")},
          {"join", Path("part.mkv"), "--audio-from", clip, "-o", Path("short.mkv")}}) {
        SCOPED_TRACE(args[1]);
        const RunResult r = Korvane(Concat(args, {"-q"}), {path});
        // The join refuses the short chunk; what matters is that nothing was started on the way.
        if (args[0] == "render") {
            EXPECT_EQ(r.exit_code, 0) << r.err;
        }
        EXPECT_FALSE(std::filesystem::exists(Path("ran")));
    }
}

}  // namespace
}  // namespace korvane::clitest
