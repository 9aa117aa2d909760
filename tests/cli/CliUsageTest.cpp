// Usage errors and their messages: every one is a single line and exits with 2 before any output
// is touched.
#include "CliSupport.h"

namespace korvane::clitest {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class CliUsage : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        WriteFile(Path("in.png"), RandomImage(8, 6, 4, OIIO::TypeDesc::UINT8, 1));
    }
    // Runs a render of in.png to out.png with extra arguments.
    RunResult Render(const std::vector<std::string>& extra) {
        return Korvane(Concat({"render", Path("in.png"), "-o", Path("out.png")}, extra));
    }
    static void ExpectOneLineError(const RunResult& r, const std::string& text) {
        EXPECT_EQ(r.exit_code, 2) << r.err;
        EXPECT_THAT(r.err, HasSubstr(text));
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
};

TEST_F(CliUsage, HelpExplainsEveryOptionWithExamples) {
    const RunResult top = Korvane({"--help"});
    EXPECT_EQ(top.exit_code, 0);
    EXPECT_THAT(top.out, HasSubstr("render"));
    EXPECT_THAT(top.out, HasSubstr("params"));
    EXPECT_THAT(top.out, HasSubstr("Examples"));

    const RunResult version = Korvane({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_THAT(version.out, HasSubstr("korvane 3.1.0"));

    const RunResult render = Korvane({"render", "--help"});
    EXPECT_EQ(render.exit_code, 0);
    for (const char* option : {"--output", "--set", "--preset", "--trigger-source", "--sort-source", "--mask", "--host",
                               "--threads", "--depth", "--effect", "--frames", "--fps", "--quiet", "--dump-params",
                               "threshold_low", "preserve_alpha", "VALUE@FRAME", "Examples", "130"})
        EXPECT_THAT(render.out, HasSubstr(option)) << option;
}

TEST_F(CliUsage, BadCommandLinesExitWithTwo) {
    EXPECT_EQ(Korvane({}).exit_code, 2);
    EXPECT_EQ(Korvane({"sort"}).exit_code, 2);
    EXPECT_EQ(Korvane({"render", Path("in.png")}).exit_code, 2);  // no output
    EXPECT_EQ(Render({"--depth", "12"}).exit_code, 2);
    EXPECT_EQ(Render({"--host", "nuke"}).exit_code, 2);
    EXPECT_EQ(Render({"--fps", "0"}).exit_code, 2);
    EXPECT_EQ(Render({"--bogus"}).exit_code, 2);
    EXPECT_FALSE(std::filesystem::exists(Path("out.png")));
}

TEST_F(CliUsage, UnreadableInputsAreNamed) {
    ExpectOneLineError(Korvane({"render", Path("missing.png"), "-o", Path("out.png")}),
                       "cannot read '" + Path("missing.png") + "': no such file");
    std::ofstream(Path("junk.png")) << "not an image";
    ExpectOneLineError(Korvane({"render", Path("junk.png"), "-o", Path("out.png")}),
                       "cannot read '" + Path("junk.png") + "': ");
    ExpectOneLineError(Render({"--trigger-source", Path("nope.png")}),
                       "cannot read trigger source '" + Path("nope.png") + "'");
    ExpectOneLineError(Render({"--sort-source", Path("junk.png")}),
                       "cannot read sort source '" + Path("junk.png") + "'");
    ExpectOneLineError(Render({"--preset", Path("nope.json")}), "cannot read preset '" + Path("nope.json") + "'");
    std::ofstream(Path("bad.json")) << "{\"angle\": 90,,}";
    ExpectOneLineError(Render({"--preset", Path("bad.json")}), "parse error at line 1, column 14");
    // Text that names no file is a preset when it is JSON, which must be an object; text that opens
    // as JSON does and fails to parse says where.
    ExpectOneLineError(Render({"--preset", "[1,2]"}), "--preset: a JSON array is not a JSON object of NAME: VALUE");
    ExpectOneLineError(Render({"--preset", "42"}), "--preset: a JSON number is not a JSON object");
    std::ofstream(Path("list.json")) << R"([{"angle": 90}])";
    ExpectOneLineError(Render({"--preset", Path("list.json")}),
                       "preset '" + Path("list.json") + "': a JSON array is not a JSON object");
    ExpectOneLineError(Render({"--preset", "[1,2"}), "--preset: not valid JSON: parse error at line 1, column 5");
    ExpectOneLineError(Render({"--preset", R"("angle": 90)"}),
                       "--preset: not valid JSON: parse error at line 1, column 8");
    std::filesystem::create_directory(Path("looks"));
    ExpectOneLineError(Render({"--preset", Path("looks")}),
                       "cannot read preset '" + Path("looks") + "': it is a folder");
    // A header that claims more pixels than memory can hold is refused before decoding.
    const std::string huge_png(
        "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\x75\x30\0\0\x75\x30\x08\x06\0\0\0\x66\x27\xf8\xba"
        "\0\0\0\x0cIDAT\x78\x9c\x63\x60\xa0\x3d\0\0\0\x64\0\x01\x86\x64\x3c\x35"
        "\0\0\0\0IEND\xae\x42\x60\x82",
        69);
    std::ofstream(Path("huge.png"), std::ios::binary) << huge_png;
    ExpectOneLineError(Korvane({"render", Path("huge.png"), "-o", Path("out.png")}), "a 30000x30000 image needs about");
    // A cut file: the codec's complaint once, not again inside the reader's.
    const std::string whole = ReadBytes(SourceData("data/coffee.png"));
    std::ofstream(Path("cut.png"), std::ios::binary).write(whole.data(), 20000);
    const RunResult cut = Korvane({"render", Path("cut.png"), "-o", Path("out.png")});
    ExpectOneLineError(cut, "cannot read '" + Path("cut.png") + "'");
    EXPECT_EQ(cut.err.find("hit end of file"), cut.err.rfind("hit end of file")) << cut.err;
    ExpectOneLineError(Render({"--effect", Path("nope.so")}), "cannot load effect '" + Path("nope.so") + "'");
    ExpectOneLineError(Render({"--effect", Path("in.png")}), "cannot load effect '" + Path("in.png") + "'");
}

TEST_F(CliUsage, UnknownParametersSuggestTheClosestNames) {
    ExpectOneLineError(Render({"--set", "treshold_low=0.2"}),
                       "unknown parameter 'treshold_low'; closest: threshold_low");
    ExpectOneLineError(Render({"--set", "threshold=0.2"}), "closest: threshold_low, threshold_high");
    ExpectOneLineError(Render({"--set", "zzzzzzzz=1"}), "unknown parameter 'zzzzzzzz' (see 'korvane params')");
    ExpectOneLineError(Render({"--set", "centre=20"}), "closest: centre_x, centre_y");  // looks are names too
    ExpectOneLineError(Render({"--set", "wave_lenght=50"}), "closest: wave_length");
    ExpectOneLineError(Render({"--set", "angle"}), "expected NAME=VALUE");
    ExpectOneLineError(Render({"--set", "trigger_source=1"}), "'trigger_source' is chosen with --trigger-source IMAGE");
    std::ofstream(Path("typo.json")) << "{\"blurr\": 3}";
    ExpectOneLineError(Render({"--preset", Path("typo.json")}),
                       "preset '" + Path("typo.json") + "': unknown parameter 'blurr'; closest: blur");
}

TEST_F(CliUsage, ValuesOutOfRangeNameTheRange) {
    ExpectOneLineError(Render({"--set", "threshold_low=1.5"}), "threshold_low takes 0 to 1");
    ExpectOneLineError(Render({"--set", "resolution=150"}), "resolution takes 0 to 100 percent");
    ExpectOneLineError(Render({"--set", "noise_seed=-1"}), "noise_seed takes 0 to 65536");
    ExpectOneLineError(Render({"--set", "noise_complexity=2.5"}), "not a whole number");
    ExpectOneLineError(Render({"--set", "angle=40000"}), "angle takes -32768 to 32767 degrees");
    ExpectOneLineError(Render({"--set", "blur=abc"}), "'abc' is not a number");
    ExpectOneLineError(Render({"--set", "reverse=maybe"}), "not a checkbox value");
    ExpectOneLineError(Render({"--set", "trigger=xor"}),
                       "'xor' is not one of red, green, blue, alpha, min, max, luminance, saturation, hue");
    ExpectOneLineError(Render({"--set", "mode=5"}),
                       "5 is the separator line of the list, not a choice; mode takes sort, gradient");
    ExpectOneLineError(Render({"--set", "centre_x=250"}), "centre_x takes -100 to 200 percent");
    ExpectOneLineError(Render({"--set", "span_seed=1.5"}), "not a whole number");
    ExpectOneLineError(Render({"--set", "path=square"}),
                       "'square' is not one of lines, circles, rays, spiral, hilbert");
    ExpectOneLineError(Render({"--preset", R"({"interval": "edges", "auto_threshold": "maybe"})"}),
                       "not a checkbox value");
    ExpectOneLineError(Render({"--set", "wave_phase=0@0,90"}), "keyframe '90' is not VALUE@FRAME");
    ExpectOneLineError(Render({"--fps", "0"}), "--fps: must be greater than 0");
    ExpectOneLineError(Render({"--preset", R"({"angle": 1e400})"}),
                       "--preset: the value of 'angle' is too large a number");
    ExpectOneLineError(Render({"--set", "angle=1", "angle=2"}), "not expected: angle=2");  // one value per --set
    ExpectOneLineError(Render({"--set", "angle=0@0,90"}), "keyframe '90' is not VALUE@FRAME");
    ExpectOneLineError(Render({"--set", "angle=0@0,90@1e300"}), "keyframe '90@1e300' is not VALUE@FRAME");
    ExpectOneLineError(Render({"--set", "affect_background=on@0,off@4"}), "cannot change over time");
    ExpectOneLineError(Render({"--set", "mask=2", "--mask", "M0 0 H4 V4 Z"}), "there is 1 --mask");
    ExpectOneLineError(Render({"--host", "premiere", "--set", "use_all_masks=on"}), "needs --host ae");
    ExpectOneLineError(Render({"--host", "premiere", "--mask", "M0 0 H4 V4 Z"}), "--mask needs --host ae");
}

TEST_F(CliUsage, MaskPathErrorsGiveThePosition) {
    ExpectOneLineError(Render({"--mask", "M 0 0 L 10"}),
                       "--mask 1: cannot parse path at character 11: 'L' needs 2 numbers, got 1");
    ExpectOneLineError(Render({"--mask", "M0 0 Z", "--mask", "M 1 1 A 5 5 0 0 1 9 9"}),
                       "--mask 2: cannot parse path at character 7: unsupported command 'A'");
    ExpectOneLineError(Render({"--mask", "L 1 1"}), "at character 1: a path must start with M or m");
    ExpectOneLineError(Render({"--mask", "M 1 1 Z 4"}), "at character 9: expected a command letter");
    ExpectOneLineError(Render({"--mask", "M 1 1 C 2 2 3 x"}),
                       "at character 15: 'C' needs 6 numbers, got 3 (found 'x')");
    ExpectOneLineError(Render({"--mask", "   "}), "the path is empty");
    // The SVG number grammar: signs and dots separate numbers, exponents are part of them.
    EXPECT_EQ(Render(Concat({"--mask", "m1-2.5.5.5l3e1,4E-1h-1v.5q1 2 3 4c1,2,3,4,5,6z"}, kNothingSelected)).exit_code,
              0);
}

TEST_F(CliUsage, SequencesNeedFramesAndPlaceholders) {
    ExpectOneLineError(Korvane({"render", Path("in_####.png"), "-o", Path("out_####.png")}),
                       "give the frames with --frames");
    // Without --frames the files on disk give the range; a gap is named.
    for (const char* name : {"s_07.png", "s_08.png", "s_10.png"})
        std::filesystem::copy_file(Path("in.png"), Path(name));
    ExpectOneLineError(Korvane({"render", Path("s_##.png"), "-o", Path("o_##.png")}),
                       "'" + Path("s_09.png") + "' is missing");
    std::filesystem::remove(Path("s_10.png"));
    const RunResult found = Korvane(
        Concat({"render", Path("s_##.png"), "-o", Path("o_###.png"), "--start-number", "1"}, kNothingSelected));
    EXPECT_EQ(found.exit_code, 0) << found.err;
    EXPECT_THAT(found.err, HasSubstr("frames 7-8 found"));
    EXPECT_TRUE(std::filesystem::exists(Path("o_001.png")) && std::filesystem::exists(Path("o_002.png")));
    ExpectOneLineError(Render({"--frames", "0-2"}), "needs a frame placeholder");
    ExpectOneLineError(Render({"--frames", "5-2"}), "LAST must not be below FIRST");
    ExpectOneLineError(Render({"--frames", "a-b"}), "expected FIRST-LAST");
    ExpectOneLineError(Korvane({"render", Path("in_##_%02d.png"), "-o", Path("o_##.png"), "--frames", "1"}),
                       "more than one frame placeholder");
}

TEST_F(CliUsage, UnwritableOutputsFailBeforeRendering) {
    ExpectOneLineError(Korvane({"render", Path("in.png"), "-o", Path("no/such/out.png")}), "no such folder");
    ExpectOneLineError(Korvane({"render", Path("in.png"), "-o", Path("out.unknownformat")}), "unknown image format");
    // SGI's encoder writes only to a file it opens itself, where the CLI cannot check the writes.
    ExpectOneLineError(Korvane({"render", Path("in.png"), "-o", Path("out.sgi")}),
                       "SGI files are not supported for output");
}

}  // namespace
}  // namespace korvane::clitest
