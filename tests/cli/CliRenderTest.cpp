// Renders through the effect: sequences, masks and sources from the command line, both hosts,
// effect errors and cancellation that never leave a half-written or replaced output.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "CliSupport.h"

extern char** environ;

namespace korvane::clitest {
namespace {

using OIIO::TypeDesc;
using ::testing::HasSubstr;

class CliRender : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        WriteFile(Path("in.png"), RandomImage(24, 16, 4, TypeDesc::UINT8, 1));
    }
    RunResult Render(const std::vector<std::string>& extra, const std::string& out = "out.png",
                     const std::vector<std::string>& env = {}) {
        return Korvane(Concat({"render", Path("in.png"), "-o", Path(out)}, extra), env);
    }
    std::vector<float> Pixels(const std::string& name) { return ReadFile(Path(name)).values; }
};

TEST_F(CliRender, ASortingLookChangesThePictureAndOneThreadMatchesMany) {
    ASSERT_EQ(Render(Concat(kSortMost, {"--threads", "1"}), "one.png").exit_code, 0);
    ASSERT_EQ(Render(Concat(kSortMost, {"--threads", "4"}), "four.png").exit_code, 0);
    EXPECT_NE(Pixels("one.png"), Pixels("in.png"));
    EXPECT_EQ(ReadBytes(Path("one.png")), ReadBytes(Path("four.png")));
}

// CPU time (user + system, in clock ticks) of each thread of process `pid` now, by thread id.
std::map<std::string, long> ThreadTicks(pid_t pid) {
    std::map<std::string, long> ticks;
    std::error_code error;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (std::filesystem::directory_iterator it(tasks, error), end; !error && it != end; it.increment(error)) {
        // A thread may end between the listing and the read (ESRCH): its file then reads as empty.
        std::string text(512, '\0');
        const int fd = open((it->path() / "stat").c_str(), O_RDONLY | O_CLOEXEC);
        const ssize_t got = fd < 0 ? -1 : read(fd, text.data(), text.size());
        if (fd >= 0) ::close(fd);
        text.resize(got > 0 ? size_t(got) : 0);
        // Fields after the command's closing parenthesis: state is the 3rd, utime the 14th, stime the 15th.
        const size_t close = text.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) utime = std::stol(field);
            if (i == 15) stime = std::stol(field);
        }
        ticks[it->path().filename().string()] = utime + stime;
    }
    return ticks;
}

// --threads 1 holds for every pass of the effect and the host: a turned, scaled frame with a blur
// (the record path, whose grid is built and taken back on the effect's own loops) runs on one
// thread of the process, watched from /proc while it renders. Threads that run nothing (a library
// pool started as the program loads, idle throughout) are not counted: only those given CPU time.
TEST_F(CliRender, OneThreadRendersATurnedScaledFrameOnOneThread) {
    WriteFile(Path("large.png"), RandomImage(1920, 1080, 3, TypeDesc::UINT8, 4));
    const std::string program = std::string(KORVANE_BINARY_DIR) + "/bin/korvane";
    const std::vector<std::string> args = {program,
                                           "render",
                                           Path("large.png"),
                                           "-o",
                                           Path("large-out.png"),
                                           "--set",
                                           "angle=33",
                                           "--set",
                                           "resolution=80",
                                           "--set",
                                           "blur=4",
                                           "--set",
                                           "threshold_high=0.8",
                                           "--threads",
                                           "1",
                                           "--quiet"};
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ), 0);
    std::map<std::string, long> busiest;
    int samples = 0;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        for (const auto& [tid, ticks] : ThreadTicks(pid)) busiest[tid] = std::max(busiest[tid], ticks);
        ++samples;
        usleep(2000);
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_GT(samples, 10) << "the render ended before it could be watched";
    int working = 0;
    for (const auto& [tid, ticks] : busiest) working += ticks > 0 ? 1 : 0;
    EXPECT_EQ(working, 1) << busiest.size() << " threads seen";
    EXPECT_NE(ReadFile(Path("large-out.png")).values, ReadFile(Path("large.png")).values);
}

TEST_F(CliRender, AThreeFrameSequenceRendersEachFrameAtItsTime) {
    for (int f = 1; f <= 3; ++f)
        WriteFile(Path("in_000" + std::to_string(f) + ".png"), RandomImage(12, 8, 4, TypeDesc::UINT8, f));
    // Thresholds keyed so that frame 1 selects nothing and frames 2 and 3 sort.
    const RunResult r = Korvane({"render", Path("in_####.png"), "-o", Path("out_%03d.png"), "--frames", "1-3", "--set",
                                 "threshold_low=0", "--set", "threshold_high=0@1,1@2"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("wrote 3 frames"));
    EXPECT_EQ(Pixels("out_001.png"), Pixels("in_0001.png"));
    EXPECT_NE(Pixels("out_002.png"), Pixels("in_0002.png"));
    EXPECT_NE(Pixels("out_003.png"), Pixels("in_0003.png"));

    // A still input animates into a sequence.
    ASSERT_EQ(
        Korvane(Concat({"render", Path("in.png"), "-o", Path("still_#.png"), "--frames", "0-1"}, kSortMost)).exit_code,
        0);
    EXPECT_TRUE(std::filesystem::exists(Path("still_0.png")));
    EXPECT_TRUE(std::filesystem::exists(Path("still_1.png")));
    // A missing frame stops the run with the frame's name.
    const RunResult missing = Korvane({"render", Path("in_####.png"), "-o", Path("m_####.png"), "--frames", "2-4"});
    EXPECT_EQ(missing.exit_code, 2);
    EXPECT_THAT(missing.err, HasSubstr("cannot read '" + Path("in_0004.png") + "': no such file"));
}

TEST_F(CliRender, MasksFromTheCommandLineLimitWhereSpansStart) {
    ASSERT_EQ(Render(kSortMost, "plain.png").exit_code, 0);
    // A closed mask beside the picture: no span can start, nothing changes.
    ASSERT_EQ(
        Render(Concat(kSortMost, {"--mask", "M -20 -20 h 5 v 5 h -5 Z", "--set", "mask=1"}), "outside.png").exit_code,
        0);
    EXPECT_EQ(Pixels("outside.png"), Pixels("in.png"));
    // The same outline left open does not constrain.
    ASSERT_EQ(Render(Concat(kSortMost, {"--mask", "M -20 -20 h 5 v 5 h -5", "--set", "mask=1"}), "open.png").exit_code,
              0);
    EXPECT_EQ(Pixels("open.png"), Pixels("plain.png"));
    // use_all_masks collects every closed mask: one covering the right half differs from both.
    ASSERT_EQ(Render(Concat(kSortMost, {"--mask", "M -20 -20 h 5 v 5 h -5 Z", "--mask", "M 12 0 H 24 V 16 H 12 Z",
                                        "--set", "use_all_masks=on"}),
                     "half.png")
                  .exit_code,
              0);
    EXPECT_NE(Pixels("half.png"), Pixels("in.png"));
    EXPECT_NE(Pixels("half.png"), Pixels("plain.png"));
}

TEST_F(CliRender, SourcesFromTheCommandLineDecideSpansAndOrder) {
    FileImage black = RandomImage(10, 10, 4, TypeDesc::UINT8, 2);
    for (std::size_t i = 0; i < black.values.size(); ++i) black.values[i] = i % 4 == 3 ? 1.0f : 0.0f;
    WriteFile(Path("black.png"), black);
    WriteFile(Path("noise.png"), RandomImage(24, 16, 4, TypeDesc::UINT8, 3));
    const std::vector<std::string> bright = {"--set", "threshold_low=0.5", "--set", "threshold_high=1"};

    ASSERT_EQ(Render(bright, "self.png").exit_code, 0);
    EXPECT_NE(Pixels("self.png"), Pixels("in.png"));
    // A black trigger source (luminance 0, another size) selects nothing.
    ASSERT_EQ(Render(Concat(bright, {"--trigger-source", Path("black.png")}), "triggered.png").exit_code, 0);
    EXPECT_EQ(Pixels("triggered.png"), Pixels("in.png"));
    // A sort source changes the order of the same spans.
    ASSERT_EQ(Render(Concat(kSortMost, {"--sort-source", Path("noise.png"), "--set", "priority=source"}), "sourced.png")
                  .exit_code,
              0);
    ASSERT_EQ(Render(kSortMost, "sorted.png").exit_code, 0);
    EXPECT_NE(Pixels("sourced.png"), Pixels("sorted.png"));
}

TEST_F(CliRender, PremiereRendersEightBitBgraAndGivesBackTheSameValues) {
    RunResult r = Render(Concat(kNothingSelected, {"--host", "premiere"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(Pixels("out.png"), Pixels("in.png"));
    ASSERT_EQ(Render(Concat(kSortMost, {"--host", "premiere"}), "sorted.png").exit_code, 0);
    EXPECT_NE(Pixels("sorted.png"), Pixels("in.png"));

    WriteFile(Path("in16.png"), RandomImage(8, 8, 4, TypeDesc::UINT16, 4));
    r = Korvane(Concat({"render", Path("in16.png"), "-o", Path("p16.png"), "--host", "premiere"}, kNothingSelected));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("note: --host premiere renders 8-bit frames only"));
}

TEST_F(CliRender, EffectErrorsExitWithThreeAndLeaveTheOutputAlone) {
    std::ofstream(Path("out.png")) << "an earlier good render";
    const RunResult r = Render(kSortMost, "out.png", {"KORVANE_TEST_FAIL_CALL=checkout_param:1:4"});
    EXPECT_EQ(r.exit_code, 3) << r.err;
    EXPECT_THAT(r.err, HasSubstr("effect error during the render of frame 0: PF_Err_OUT_OF_MEMORY (4)"));
    EXPECT_THAT(r.err, HasSubstr("com.tsy.Korvane.log"));
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(ReadBytes(Path("out.png")), "an earlier good render");
    EXPECT_EQ(FolderEntries(dir().string()), (std::vector<std::string>{"in.png", "out.png"}));
}

// Ctrl-C, SIGTERM and SIGHUP while the input is read, during the render, while the file is being
// written and once it is written: the exit code names the signal, the earlier output stays and no
// temporary file is left.
TEST_F(CliRender, SignalsCancelExitWithTheirCodeAndLeaveTheOutputAlone) {
    std::ofstream(Path("out.png")) << "an earlier good render";
    for (const auto& [signal_number, exit_code] : {std::pair{"2", 130}, {"15", 143}, {"1", 129}}) {
        for (const char* when :
             {"KORVANE_TEST_SIGNAL_AT=read:1", "KORVANE_TEST_SIGINT_AT_PROGRESS=1", "KORVANE_TEST_SIGNAL_AT=render:2",
              "KORVANE_TEST_SIGNAL_AT=write:1", "KORVANE_TEST_SIGNAL_AFTER_WRITE=1"}) {
            SCOPED_TRACE(std::string(when) + " signal " + signal_number);
            const RunResult r = Render(kSortMost, "out.png",
                                       {when, std::string("KORVANE_TEST_SIGNAL=") + signal_number});
            EXPECT_EQ(r.exit_code, exit_code) << r.err;
            EXPECT_THAT(r.err, HasSubstr("cancelled"));
            EXPECT_EQ(ReadBytes(Path("out.png")), "an earlier good render");
            EXPECT_EQ(FolderEntries(dir().string()), (std::vector<std::string>{"in.png", "out.png"}));
        }
    }
}

// A sequence stopped at any stage of its first frame writes nothing; stopped while its second frame
// is read or written, it keeps the first frame it finished and leaves every later file as it was.
TEST_F(CliRender, SignalsDuringASequenceKeepFinishedFramesAndLeaveTheRestAlone) {
    for (int f = 1; f <= 3; ++f)
        WriteFile(Path("in_" + std::to_string(f) + ".png"), RandomImage(12, 8, 4, TypeDesc::UINT8, f));
    const std::vector<std::string> inputs = {"in.png", "in_1.png", "in_2.png", "in_3.png"};
    const auto old_outputs = [&] {
        for (int f = 1; f <= 3; ++f) std::ofstream(Path("out_" + std::to_string(f) + ".png")) << "old frame " << f;
    };
    struct Case {
        const char* when;
        const char* signal_number;
        int exit_code;
        int frames_done;
    };
    for (const Case& c : {Case{"read:1", "2", 130, 0}, Case{"render:1", "15", 143, 0}, Case{"write:1", "2", 130, 0},
                          Case{"read:2", "15", 143, 1}, Case{"write:2", "2", 130, 1}}) {
        SCOPED_TRACE(std::string(c.when) + " signal " + c.signal_number);
        old_outputs();
        const RunResult r = Korvane(Concat({"render", Path("in_#.png"), "-o", Path("out_#.png"), "--frames", "1-3"},
                                           kSortMost),
                                    {std::string("KORVANE_TEST_SIGNAL_AT=") + c.when,
                                     std::string("KORVANE_TEST_SIGNAL=") + c.signal_number});
        EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
        EXPECT_THAT(r.err, HasSubstr("cancelled"));
        for (int f = 1; f <= 3; ++f) {
            const std::string old = "old frame " + std::to_string(f);
            if (f <= c.frames_done)
                EXPECT_NE(ReadBytes(Path("out_" + std::to_string(f) + ".png")), old) << "frame " << f;
            else
                EXPECT_EQ(ReadBytes(Path("out_" + std::to_string(f) + ".png")), old) << "frame " << f;
        }
        EXPECT_EQ(FolderEntries(dir().string()), Concat(inputs, {"out_1.png", "out_2.png", "out_3.png"}));
    }
}

// Settings that cannot change a pixel still render, with one note each (none with --quiet).
TEST_F(CliRender, LooksThatChangeNothingSayWhy) {
    const RunResult r = Render({"--set", "threshold_low=0.7", "--mask", "M 0 0 L 5 5", "--set", "mask=1"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("note: --mask 1 is open (no Z at its end); open masks limit nothing"));
    EXPECT_THAT(r.err, HasSubstr("note: threshold_low 0.7 is not below threshold_high 0.5"));
    EXPECT_TRUE(ReadFile(Path("out.png")).values == ReadFile(Path("in.png")).values);
    const RunResult quiet = Render({"--set", "threshold_low=0.7", "-q"});
    EXPECT_EQ(quiet.err, "");
    EXPECT_THAT(Render({"--set", "threshold_low=0.7", "--set", "effect=outside"}).err,
                ::testing::Not(HasSubstr("note")));
}

// An output that is an input of the run, by any name, is refused before anything is written.
TEST_F(CliRender, OutputsThatWouldReplaceAnInputAreRefused) {
    WriteFile(Path("f_01.png"), RandomImage(8, 6, 4, OIIO::TypeDesc::UINT8, 3));
    WriteFile(Path("f_02.png"), RandomImage(8, 6, 4, OIIO::TypeDesc::UINT8, 4));
    const std::string before = ReadBytes(Path("in.png"));
    const std::string same_folder = dir().string() + "/../" + dir().filename().string();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"render", Path("in.png"), "-o", same_folder + "/in.png"},
          {"render", Path("f_##.png"), "-o", Path("f_##.png")},
          {"render", Path("f_##.png"), "--frames", "1-2", "-o", Path("g_##.png"), "--start-number", "0",
           "--sort-source", Path("g_00.png")},
          {"render", Path("in.png"), "-o", Path("out.png"), "--sort-source", Path("out.png")}}) {
        if (args.back() == Path("g_00.png")) std::filesystem::copy_file(Path("in.png"), Path("g_00.png"));
        if (args.back() == Path("out.png")) std::filesystem::copy_file(Path("in.png"), Path("out.png"));
        const RunResult r = Korvane(args);
        EXPECT_EQ(r.exit_code, 2) << args[3] << ": " << r.err;
        EXPECT_THAT(r.err, HasSubstr("would replace an input"));
    }
    EXPECT_EQ(ReadBytes(Path("in.png")), before);
    EXPECT_EQ(FolderEntries(dir().string()),
              (std::vector<std::string>{"f_01.png", "f_02.png", "g_00.png", "in.png", "out.png"}));
}

TEST_F(CliRender, ASuccessfulRenderReplacesTheOutputAndLeavesNoTemporaryFile) {
    std::ofstream(Path("out.png")) << "old";
    const RunResult r = Render(kSortMost);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("wrote '" + Path("out.png") + "'"));
    EXPECT_EQ(ReadFile(Path("out.png")).width, 24);
    EXPECT_EQ(FolderEntries(dir().string()), (std::vector<std::string>{"in.png", "out.png"}));
}

// A sequence whose second frame cannot be written, at its bytes or at its close: the first frame
// is kept, the second and third old files stay as they were, and the run says which file and why.
TEST_F(CliRender, AFailedWriteInASequenceKeepsFinishedFramesAndLeavesTheRestAlone) {
    const std::vector<std::string> turning = Concat({"render", Path("in.png"), "--frames", "0-2", "-o",
                                                     Path("f_####.png"), "--set", "angle=0@0,90@2"},
                                                    kSortMost);
    for (const char* nth : {"3", "4"}) {
        SCOPED_TRACE(std::string("failing write ") + nth);
        ASSERT_EQ(Korvane(
                      Concat({"render", Path("in.png"), "--frames", "0-2", "-o", Path("f_####.png")}, kNothingSelected))
                      .exit_code,
                  0);
        const std::string old = ReadBytes(Path("f_0001.png"));
        ASSERT_EQ(ReadBytes(Path("f_0002.png")), old);
        const RunResult r = Korvane(turning, {std::string("KORVANE_TEST_FAIL_WRITE=") + nth});
        ExpectNoSpace(r, Path("f_0001.png"));
        EXPECT_NE(ReadBytes(Path("f_0000.png")), old);
        EXPECT_TRUE(ReadBytes(Path("f_0001.png")) == old);
        EXPECT_TRUE(ReadBytes(Path("f_0002.png")) == old);
        EXPECT_EQ(FolderEntries(dir().string()),
                  (std::vector<std::string>{"f_0000.png", "f_0001.png", "f_0002.png", "in.png"}));
    }
}

// The same on a disk with room for the first frame only (and the page its old file gives back).
TEST_F(CliRender, AFullDiskInASequenceKeepsFinishedFramesAndLeavesTheRestAlone) {
    WriteFile(Path("big.png"), RandomImage(64, 48, 4, TypeDesc::UINT8, 5));
    SmallFilesystem disk(Path("disk"), 256 * 1024);
    if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
    const auto turning = [&](const std::string& pattern) {
        return Korvane(
            Concat({"render", Path("big.png"), "--frames", "0-2", "-o", Path(pattern), "--set", "angle=0@0,90@2"},
                   kSortMost));
    };
    ASSERT_EQ(turning("ref_####.png").exit_code, 0);
    const std::string frame0 = ReadBytes(Path("ref_0000.png"));
    ASSERT_GT(SmallFilesystem::Pages(ReadBytes(Path("ref_0001.png")).size()), 1u) << "too small to fill a page";
    for (int f = 0; f <= 2; ++f)
        WriteFile(Path("disk/f_000" + std::to_string(f) + ".png"), RandomImage(4, 4, 4, TypeDesc::UINT8, f));
    const std::string old1 = ReadBytes(Path("disk/f_0001.png")), old2 = ReadBytes(Path("disk/f_0002.png"));
    ASSERT_EQ(SmallFilesystem::Pages(old1.size()), 1u);

    disk.FillLeaving(SmallFilesystem::Pages(frame0.size()));
    const RunResult r = turning("disk/f_####.png");
    ExpectNoSpace(r, Path("disk/f_0001.png"));
    EXPECT_TRUE(ReadBytes(Path("disk/f_0000.png")) == frame0);
    EXPECT_TRUE(ReadBytes(Path("disk/f_0001.png")) == old1);
    EXPECT_TRUE(ReadBytes(Path("disk/f_0002.png")) == old2);
    EXPECT_EQ(FolderEntries(Path("disk")),
              (std::vector<std::string>{".filler", "f_0000.png", "f_0001.png", "f_0002.png"}));
}

// Every kind of output gets the permissions the user's umask gives a new file, not the private mode
// its temporary file was made with.
TEST_F(CliRender, OutputsGetThePermissionsOfTheUmask) {
    const std::string clip = Path("clip.mkv");
    const RunResult made = RunProgram("ffmpeg", {"-nostdin", "-v", "error", "-f", "lavfi", "-i",
                                                 "testsrc2=size=16x12:rate=24:duration=0.25", "-f", "lavfi", "-i",
                                                 "sine=duration=0.25", "-c:v", "ffv1", "-c:a", "flac", clip});
    ASSERT_EQ(made.exit_code, 0) << made.err;
    const ScopedUmask mask(027);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"render", Path("in.png"), "-o", Path("still.png")},
          {"render", Path("in.png"), "--frames", "0-1", "-o", Path("seq_#.png")},
          {"render", clip, "-o", Path("sorted.mkv")},
          {"render", clip, "--frames", "0-5", "-o", Path("chunk.mkv")},
          {"join", Path("chunk.mkv"), "-o", Path("joined.mkv"), "--audio-from", clip}}) {
        const RunResult r = Korvane(Concat(args, {"-q"}));
        ASSERT_EQ(r.exit_code, 0) << args[0] << " " << args.back() << ": " << r.err;
    }
    for (const char* name : {"still.png", "seq_0.png", "seq_1.png", "sorted.mkv", "chunk.mkv", "joined.mkv"})
        EXPECT_EQ(PermissionBits(Path(name)), 0640u) << name;
}

}  // namespace
}  // namespace korvane::clitest
