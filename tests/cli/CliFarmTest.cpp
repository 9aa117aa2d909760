// Long clips in chunks: `korvane render --frames` chunks, `korvane join`, scripts/farm-render on
// GNU parallel and the Slurm template, against the same clip rendered in one piece.
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "CliSupport.h"

namespace korvane::clitest {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAreArray;

constexpr int kFrames = 48;  // the clip: 2 seconds at 24 fps, 40x30
constexpr std::size_t kFrameBytes = 40 * 30 * 4;

RunResult Ffmpeg(const std::vector<std::string>& args) {
    return RunProgram("ffmpeg", Concat({"-nostdin", "-hide_banner", "-v", "error", "-y"}, args));
}

nlohmann::json Probe(const std::string& path, const std::vector<std::string>& extra = {}) {
    const RunResult r = RunProgram(
        "ffprobe", Concat(Concat({"-v", "error", "-of", "json", "-show_streams", "-show_format"}, extra), {path}));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return nlohmann::json::parse(r.out, nullptr, false);
}

// Every frame of a clip as raw RGBA, in order.
std::vector<std::string> Frames(const std::string& path) {
    const RunResult r = RunProgram("ffmpeg", {"-nostdin", "-v", "error", "-i", path, "-map", "0:v:0", "-fps_mode",
                                              "passthrough", "-f", "rawvideo", "-pix_fmt", "rgba", "-"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out.size() % kFrameBytes, 0u);
    std::vector<std::string> frames;
    for (std::size_t at = 0; at + kFrameBytes <= r.out.size(); at += kFrameBytes)
        frames.push_back(r.out.substr(at, kFrameBytes));
    return frames;
}

std::string Samples(const std::string& path) {
    const RunResult r = RunProgram("ffmpeg",
                                   {"-nostdin", "-v", "error", "-i", path, "-map", "0:a:0", "-f", "s16le", "-"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.out;
}

void WriteScript(const std::string& path, const std::string& text) {
    std::ofstream(path) << "#!/usr/bin/env bash\n" << text;
    ::chmod(path.c_str(), 0755);
}

// A process that is neither gone nor a zombie waiting to be reaped.
bool Running(const std::string& pid) {
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const std::size_t paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] != 'Z';
}

const std::string kKorvane = std::string(KORVANE_BINARY_DIR) + "/bin/korvane";

class CliFarmTest : public CliTest {
protected:
    // Moving colour bars with sound, keyframed so that every frame's look depends on its number.
    void SetUp() override {
        CliTest::SetUp();
        clip_ = Path("clip.mkv");
        const RunResult r = Ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=40x30:rate=24:duration=2", "-f", "lavfi", "-i",
                                    "sine=frequency=440:duration=2", "-c:v", "ffv1", "-pix_fmt", "bgr0", "-c:a", "flac",
                                    clip_});
        ASSERT_EQ(r.exit_code, 0) << r.err;
    }
    const std::vector<std::string> look_ = Concat(kSortMost, {"--set", "angle=0@0,90@47"});

    void ExpectSameClip(const std::string& joined, const std::string& whole) {
        const std::vector<std::string> a = Frames(joined), b = Frames(whole);
        ASSERT_EQ(a.size(), static_cast<std::size_t>(kFrames));
        ASSERT_EQ(b.size(), a.size());
        for (std::size_t n = 0; n < a.size(); ++n) EXPECT_TRUE(a[n] == b[n]) << "frame " << n << " differs";
        EXPECT_EQ(Samples(joined), Samples(whole)) << "the sound differs";
        EXPECT_EQ(Probe(joined)["format"]["duration"], Probe(whole)["format"]["duration"]);
    }
    std::vector<std::string> Entries() { return FolderEntries(dir().string()); }
    std::string clip_;
};

// Two job slots, a chunk that fails once and is re-run: the join equals one machine's render.
TEST_F(CliFarmTest, FarmRenderOnTwoSlotsWithAFailingChunkMatchesOneMachine) {
    const std::string whole = Path("whole.mkv");
    RunResult r = Korvane(Concat({"render", clip_, "-o", whole, "-q"}, look_));
    ASSERT_EQ(r.exit_code, 0) << r.err;

    // The chunk of frames 10-19 fails the first time, as on a machine that went away.
    const std::string& korvane = kKorvane;
    WriteScript(Path("flaky"),
                "case \" $* \" in *' --frames 10-19 '*)\n"
                "  [ -e '" +
                    Path("failed-once") + "' ] || { touch '" + Path("failed-once") +
                    "'; exit 1; } ;;\n"
                    "esac\nexec '" +
                    korvane + "' \"$@\"\n");
    const std::string farm = SourceData("scripts/farm-render");
    const std::vector<std::string> args = Concat({clip_, Path("joined.mkv"), "--jobs", "2", "--chunk-frames", "10",
                                                  "--korvane", Path("flaky"), "-q"},
                                                 look_);

    r = RunProgram(farm, Concat(args, {"--dry-run"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("--frames 40-47 -o "));
    EXPECT_THAT(r.out, HasSubstr(" join -o " + Path("joined.mkv")));
    EXPECT_THAT(Entries(), UnorderedElementsAreArray({"clip.mkv", "whole.mkv", "flaky"}));

    r = RunProgram(farm, args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ExpectSameClip(Path("joined.mkv"), whole);
    // The failure happened, and the chunks went with the run.
    EXPECT_THAT(Entries(), UnorderedElementsAreArray({"clip.mkv", "whole.mkv", "flaky", "failed-once", "joined.mkv"}));

    // A chunk that never renders: nothing joined, nothing left behind.
    WriteScript(Path("broken"), "case \" $* \" in *' --dump-params '*) exit 0 ;; esac\nexit 3\n");
    r = RunProgram(farm, {clip_, Path("never.mkv"), "--jobs", "2", "--korvane", Path("broken"), "--retries", "1"});
    EXPECT_NE(r.exit_code, 0);
    EXPECT_THAT(Entries(),
                UnorderedElementsAreArray({"clip.mkv", "whole.mkv", "flaky", "failed-once", "joined.mkv", "broken"}));
}

// Ctrl-C (to the whole process group, as a terminal sends it), SIGTERM and SIGHUP to the script
// stop every running chunk at once, remove the chunks and exit with the signal's code.
TEST_F(CliFarmTest, FarmRenderStopsEveryChunkOnASignal) {
    // Each chunk notes its process; the first to start sends the signal, then works on for long.
    WriteScript(Path("slow"),
                "case \" $* \" in *' -o '*/chunk_*)\n"
                "  echo $$ >> '" +
                    Path("pids") +
                    "'\n"
                    "  mkdir '" +
                    Path("signalled") +
                    "' 2> /dev/null && kill -s \"$SIG\" -- \"$GROUP$FARM_PID\"\n"
                    "  sleep 30; touch '" +
                    Path("survived") +
                    "'; exit 0 ;;\n"
                    "esac\nexec '" +
                    kKorvane + "' \"$@\"\n");
    const std::string launch = "export FARM_PID=$$; exec \"$0\" \"$@\"";
    const std::vector<std::string> args = {
        "--wait", "bash",          "-c",        launch, SourceData("scripts/farm-render"),
        clip_,    Path("out.mkv"), "--jobs",    "2",    "--chunk-frames",
        "24",     "--korvane",     Path("slow")};
    for (const auto& [signal, group, code] : {std::tuple{"INT", "-", 130}, {"TERM", "", 143}, {"HUP", "", 129}}) {
        SCOPED_TRACE(signal);
        const RunResult r = RunProgram("setsid", args, {std::string("SIG=") + signal, std::string("GROUP=") + group});
        EXPECT_EQ(r.exit_code, code) << r.err;
        EXPECT_THAT(r.err,
                    HasSubstr(std::string("farm-render: interrupted by SIG") + signal + "; every chunk stopped"));
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;  // the plan, then that
        EXPECT_THAT(Entries(), UnorderedElementsAreArray({"clip.mkv", "slow", "pids", "signalled"}));
        std::istringstream pids(ReadBytes(Path("pids")));
        int chunks = 0;
        for (std::string pid; pids >> pid; ++chunks) EXPECT_FALSE(Running(pid)) << "chunk process " << pid;
        EXPECT_GE(chunks, 1);
        std::filesystem::remove(Path("pids"));
        std::filesystem::remove(Path("signalled"));
    }
}

// What the join would refuse, and a bad option for the join's encoder, stop the run before any
// chunk is rendered: exit 2, one line naming OUT, nothing left behind.
TEST_F(CliFarmTest, FarmRenderRefusesWhatTheJoinWouldBeforeRendering) {
    WriteScript(Path("noting"), "case \" $* \" in *' -o '*/chunk_*) echo \"$*\" >> '" + Path("rendered") +
                                    "' ;; esac\n"
                                    "exec '" +
                                    kKorvane + "' \"$@\"\n");
    std::filesystem::create_directory(Path("sub"));
    std::filesystem::create_hard_link(clip_, Path("hard.mkv"));
    std::filesystem::create_symlink(clip_, Path("soft.mkv"));
    const std::vector<std::string> inputs = Entries();
    struct Case {
        std::string out;
        std::vector<std::string> options;
        std::string message;
    };
    const std::vector<Case> cases = {
        {clip_, {"--dry-run"}, "output '" + clip_ + "' is the source clip"},
        {Path("sub/../clip.mkv"), {}, "is the source clip"},
        {Path("hard.mkv"), {}, "is the source clip"},
        {Path("soft.mkv"), {}, "is the source clip"},
        {Path("sorted.png"), {"--dry-run"}, "output '" + Path("sorted.png") + "' is no video file"},
        {Path("sorted"), {}, "is no video file"},
        {Path("sub"), {}, "cannot write '" + Path("sub") + "': it is a folder"},
        {"/proc/sorted.mkv", {}, "cannot write '/proc/sorted.mkv': no file can be made in '/proc'"},
        {Path("sorted.mkv"),
         {"--codec", "nosuchencoder"},
         "farm-render: cannot write '" + Path("sorted.mkv") + "': Unknown encoder 'nosuchencoder'"},
        {Path("sorted.webm"), {"--crf", "64"}, "--crf: Value 64 not in range 0 to 63"},
        {Path("sorted.webm"),
         {"--encoder-args", "-nosuchoption 1"},
         "libvpx-vp9 and .webm have no option '-nosuchoption'"},
        {Path("sorted.webm"), {"--encoder-args", "-deadline 'good"}, "a quote is not closed"},
        {Path("sub/chunk_000000.mkv"), {"--chunk-dir", Path("sub")}, "where a chunk would have its name"},
        {Path("sorted\n.mkv"), {}, "OUT has a line break in its name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out + " " + (c.options.empty() ? "" : c.options[0]));
        const RunResult r = RunProgram(
            SourceData("scripts/farm-render"),
            Concat({clip_, c.out, "--jobs", "2", "--chunk-frames", "12", "--korvane", Path("noting")}, c.options));
        EXPECT_EQ(r.exit_code, 2) << r.err;
        EXPECT_THAT(r.err, HasSubstr(c.message));
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_THAT(Entries(), UnorderedElementsAreArray(inputs));
    }
}

// Frames are counted as a decoder gives them: a stream-copy cut's packets before its start are
// marked for discard and hold no frame of the clip. The plan says what it does in the user's terms.
TEST_F(CliFarmTest, FarmRenderCountsFramesAsDecodedAndSaysItsPlan) {
    ASSERT_EQ(Ffmpeg(
                  {"-f", "lavfi", "-i", "testsrc2=size=40x30:rate=24:duration=10", "-c:v", "libx264", Path("long.mp4")})
                  .exit_code,
              0);
    ASSERT_EQ(Ffmpeg({"-ss", "1.5", "-i", Path("long.mp4"), "-t", "6", "-c", "copy", Path("cut.mp4")}).exit_code, 0);
    const nlohmann::json counted = Probe(Path("cut.mp4"), {"-count_packets", "-count_frames"});
    const long packets = std::stol(counted["streams"][0]["nb_read_packets"].get<std::string>());
    const long frames = std::stol(counted["streams"][0]["nb_read_frames"].get<std::string>());
    ASSERT_GT(packets, frames) << "the cut should carry packets marked for discard";
    ASSERT_GT(frames, 100);

    const std::string farm = SourceData("scripts/farm-render");
    RunResult r = RunProgram(farm, {Path("cut.mp4"), Path("sorted.mkv"), "--chunk-frames", "100", "--jobs", "0",
                                    "--korvane", kKorvane, "--dry-run"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("--frames 0-99 -o "));
    EXPECT_THAT(r.out, HasSubstr("--frames 100-" + std::to_string(frames - 1) + " -o "));
    EXPECT_EQ(r.err, "farm-render: " + std::to_string(frames) + " frames in 2 chunks of 100 (the last " +
                         std::to_string(frames - 100) + "), as many at once as possible\n");

    ASSERT_EQ(Ffmpeg({"-i", clip_, "-frames:v", "1", "-c", "copy", Path("one.mkv")}).exit_code, 0);
    r = RunProgram(farm, {Path("one.mkv"), Path("one-sorted.mkv"), "--jobs", "0", "--korvane", kKorvane});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("farm-render: 1 frame in one chunk\n"));
    for (const auto& [jobs, plan] : {std::pair{"1", "one at a time"},
                                     {"3", "3 at once"},
                                     {"50%", "50% of the cores at once"},
                                     {"+1", "one per core and 1 more at once"},
                                     {"-1", "one per core, less 1, at once"}}) {
        r = RunProgram(farm, {clip_, Path("sorted.mkv"), "--chunk-frames", "24", "--jobs", jobs, "--korvane", kKorvane,
                              "--dry-run"});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, std::string("farm-render: 48 frames in 2 chunks of 24, ") + plan + "\n");
    }
    r = RunProgram(farm, {clip_, Path("sorted.mkv"), "--jobs", "many", "--korvane", kKorvane, "--dry-run"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_THAT(r.err, HasSubstr("--jobs 'many' is not a number"));
}

// Chunks are self-describing and join in any order; a gap, a short chunk or an overlap is refused
// in one line naming the frames, and leaves nothing behind.
TEST_F(CliFarmTest, JoinChecksTheChunksAndRefusesGaps) {
    for (const char* range : {"0-11", "12-23", "24-35", "36-47", "6-17", "25-35"}) {
        const RunResult r = Korvane(
            Concat({"render", clip_, "--frames", range, "-o", Path(std::string("c") + range + ".mkv"), "-q"}, look_));
        ASSERT_EQ(r.exit_code, 0) << r.err;
    }
    const nlohmann::json chunk = Probe(Path("c12-23.mkv"), {"-count_packets"});
    EXPECT_EQ(chunk["format"]["tags"]["KORVANE_FIRST_FRAME"], "12");
    EXPECT_EQ(chunk["format"]["tags"]["KORVANE_FRAME_COUNT"], "12");
    EXPECT_EQ(chunk["streams"][0]["pix_fmt"], "bgr0");
    EXPECT_EQ(chunk["streams"].size(), 1u) << "a chunk holds no sound; the join takes the source's";
    ASSERT_EQ(Ffmpeg({"-i", Path("c12-23.mkv"), "-frames:v", "6", "-c", "copy", Path("short.mkv")}).exit_code, 0);
    const std::vector<std::string> inputs = Entries();

    struct Case {
        std::vector<std::string> chunks;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"c0-11.mkv", "c24-35.mkv", "c36-47.mkv"}, "missing frames 12-23 (no chunk)"},
        {{"c36-47.mkv", "c0-11.mkv", "c12-23.mkv"}, "missing frames 24-35 (no chunk)"},
        {{"c0-11.mkv", "c12-23.mkv", "c24-35.mkv"}, "missing frames 36-47 (no chunk)"},
        {{"c0-11.mkv", "c12-23.mkv", "c25-35.mkv", "c36-47.mkv"}, "cannot join: missing frame 24 (no chunk)\n"},
        {{"c0-11.mkv", "short.mkv", "c24-35.mkv"},
         "frames 18-23 ('" + Path("short.mkv") + "' ends early), frames 36-47 (no chunk)"},
        {{"c0-11.mkv", "c6-17.mkv", "c12-23.mkv"}, "both hold frames 6-11"},
        {{"c0-11.mkv", "c0-11.mkv"}, "both hold frames 0-11"},
        {{"clip.mkv"}, "is no chunk of a clip"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"join", "-o", Path("out.mkv"), "--audio-from", clip_};
        for (const std::string& name : c.chunks) args.push_back(Path(name));
        SCOPED_TRACE(c.message);
        const RunResult r = Korvane(args);
        EXPECT_EQ(r.exit_code, 2) << r.err;
        EXPECT_THAT(r.err, HasSubstr(c.message));
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_THAT(Entries(), UnorderedElementsAreArray(inputs));
    }
    RunResult r = Korvane({"join", Path("c0-11.mkv"), "-o", Path("c0-11.mkv"), "--audio-from", clip_});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_THAT(r.err, HasSubstr("would replace an input"));

    r = Korvane(Concat({"render", clip_, "-o", Path("whole.mkv"), "-q"}, look_));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    r = Korvane({"join", Path("c36-47.mkv"), Path("c12-23.mkv"), Path("c0-11.mkv"), Path("c24-35.mkv"), "-o",
                 Path("joined.mkv"), "--audio-from", clip_, "-q"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ExpectSameClip(Path("joined.mkv"), Path("whole.mkv"));
    // The final codec, pixel format and sound are chosen as render chooses them.
    r = Korvane(Concat({"render", clip_, "-o", Path("whole.webm"), "-q"}, look_));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    r = Korvane({"join", Path("c0-11.mkv"), Path("c12-23.mkv"), Path("c24-35.mkv"), Path("c36-47.mkv"), "-o",
                 Path("joined.webm"), "--audio-from", clip_, "-q"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const nlohmann::json joined = Probe(Path("joined.webm")), rendered = Probe(Path("whole.webm"));
    for (const char* key : {"codec_name", "pix_fmt", "color_space", "sample_rate"})
        for (int stream : {0, 1})
            EXPECT_EQ(joined["streams"][stream].value(key, ""), rendered["streams"][stream].value(key, "")) << key;
    EXPECT_EQ(joined["streams"][1]["codec_name"], "opus");
}

// The Slurm template parses, and each array task renders its own frames.
TEST_F(CliFarmTest, SlurmTemplateRendersItsChunkAndJoins) {
    const std::string sbatch = SourceData("scripts/farm/korvane.sbatch");
    ASSERT_EQ(RunProgram("bash", {"-n", sbatch}).exit_code, 0);
    WriteScript(Path("echo-korvane"), "printf '%s|' \"$@\"\n");
    const std::vector<std::string> env = {"SOURCE=/clips/a b.mov",
                                          "OUT=/out/sorted.mov",
                                          "CHUNK_DIR=" + Path("chunks"),
                                          "FRAMES=100",
                                          "CHUNK_FRAMES=48",
                                          "KORVANE=" + Path("echo-korvane"),
                                          "RENDER_ARGS=--set angle=90 --mask 'M 0 0 H 9 V 9 Z'",
                                          "SLURM_CPUS_PER_TASK=4"};
    RunResult r = RunProgram("bash", {sbatch}, Concat(env, {"SLURM_ARRAY_TASK_ID=1"}));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "render|/clips/a b.mov|--frames|48-95|-o|" + Path("chunks") +
                         "/chunk_000048.mkv|-q|--threads|4|--set|angle=90|--mask|M 0 0 H 9 V 9 Z|");
    r = RunProgram("bash", {sbatch}, Concat(env, {"SLURM_ARRAY_TASK_ID=2"}));
    EXPECT_THAT(r.out, HasSubstr("|--frames|96-99|"));
    r = RunProgram("bash", {sbatch}, Concat(env, {"SLURM_ARRAY_TASK_ID=3"}));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_THAT(r.err, HasSubstr("past the clip's 100 frames"));
    r = RunProgram("bash", {sbatch}, Concat(env, {"STEP=join", "JOIN_ARGS=--crf 20"}));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("|-o|/out/sorted.mov|--audio-from|/clips/a b.mov|--crf|20|"));
}

}  // namespace
}  // namespace korvane::clitest
