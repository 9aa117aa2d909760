// Parameters by name: presets and --set in command-line order, keyframes, and the listing of what
// the effect registered.
#include "CliSupport.h"

#include <map>
#include <sstream>

namespace korvane::clitest {
namespace {

using ::testing::HasSubstr;

class CliParams : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        WriteFile(Path("in.png"), RandomImage(4, 4, 4, OIIO::TypeDesc::UINT8, 1));
    }
    // Resolved values per frame from --dump-params: frame -> name -> value.
    std::map<long, std::map<std::string, std::string>> Dump(const std::vector<std::string>& extra) {
        const RunResult r = Korvane(Concat({"render", Path("in.png"), "--dump-params"}, extra));
        EXPECT_EQ(r.exit_code, 0) << r.err;
        std::map<long, std::map<std::string, std::string>> frames;
        std::istringstream lines(r.out);
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream words(line);
            std::string word;
            words >> word >> word;  // "frame" "N:"
            const long frame = std::stol(word);
            while (words >> word) {
                const std::size_t eq = word.find('=');
                frames[frame][word.substr(0, eq)] = word.substr(eq + 1);
            }
        }
        return frames;
    }
};

TEST_F(CliParams, DefaultsComeFromTheTable) {
    auto values = Dump({})[0];
    EXPECT_EQ(values["threshold_low"], "0");
    EXPECT_EQ(values["threshold_high"], "0.5");
    EXPECT_EQ(values["trigger"], "luminance");
    EXPECT_EQ(values["sort_key"], "luminance");
    EXPECT_EQ(values["priority"], "source");
    EXPECT_EQ(values["fill"], "on");
    EXPECT_EQ(values["resolution"], "100");
    EXPECT_EQ(values["noise_seed"], "0");
    EXPECT_EQ(values["mask"], "0");
    EXPECT_EQ(values["interval"], "threshold");
    EXPECT_EQ(values["path"], "lines");
    EXPECT_EQ(values["centre_x"], "50");
    EXPECT_EQ(values["auto_threshold"], "off");
    EXPECT_EQ(values["auto_smooth"], "0");
    EXPECT_EQ(values.size(), 33u + 16u);  // every settable parameter, then every look
}

TEST_F(CliParams, PresetsAndSetApplyInCommandLineOrder) {
    std::ofstream(Path("look.json"))
        << R"({"angle": 90, "mode": "gradient", "reverse": true, "resolution": "50", "trigger": 9})";
    auto values = Dump({"--set", "angle=10", "--preset", Path("look.json"), "--set", "mode=map"})[0];
    EXPECT_EQ(values["angle"], "90");  // the preset came after --set angle
    EXPECT_EQ(values["mode"], "map");  // --set mode came after the preset
    EXPECT_EQ(values["reverse"], "on");
    EXPECT_EQ(values["resolution"], "50");
    EXPECT_EQ(values["trigger"], "hue");  // popups by 1-based value
    EXPECT_EQ(Dump({"--preset", R"( {"angle": 33, "noise_seed": 0})"})[0]["angle"],
              "33");  // inline; a default is accepted
    values = Dump({"--set", "angle=10", "--set", "angle=-45", "--set", "sort_key=XOR", "--set", "pop=12.5"})[0];
    EXPECT_EQ(values["angle"], "-45");
    EXPECT_EQ(values["sort_key"], "xor");
    EXPECT_EQ(values["pop"], "12.5");
}

TEST_F(CliParams, KeyframesInterpolateNumbersAndHoldChoices) {
    const auto frames = Dump({"--frames", "0-4", "--set", "angle=0@0,90@2,-30@4", "--set", "random_seed=0@0,10@3",
                              "--set", "trigger=red@0,hue@2", "--set", "reverse=off@0,on@3", "--set", "resolution=50"});
    ASSERT_EQ(frames.size(), 5u);
    const std::vector<std::string> angle = {"0", "45", "90", "30", "-30"};
    const std::vector<std::string> seed = {"0", "3", "7", "10", "10"};  // 3.33 and 6.67 rounded to nearest
    const std::vector<std::string> trigger = {"red", "red", "hue", "hue", "hue"};
    const std::vector<std::string> reverse = {"off", "off", "off", "on", "on"};
    for (long f = 0; f < 5; ++f) {
        auto values = frames.at(f);
        EXPECT_EQ(values["angle"], angle[f]) << f;
        EXPECT_EQ(values["random_seed"], seed[f]) << f;
        EXPECT_EQ(values["trigger"], trigger[f]) << f;
        EXPECT_EQ(values["reverse"], reverse[f]) << f;
        EXPECT_EQ(values["resolution"], "50") << f;
    }
    // Looks take keys the same way, at frames or in seconds, from --set and from presets.
    std::ofstream(Path("look.json")) << R"({"path": "circles", "interval": "random@0,waves@2"})";
    const auto looks = Dump({"--frames", "0-4", "--preset", Path("look.json"), "--set", "wave_phase=0@0,360@4", "--set",
                             "centre_x=20@0,80@0.125s", "--set", "auto_threshold=off@0,on@3"});
    const std::vector<std::string> phase = {"0", "90", "180", "270", "360"};
    const std::vector<std::string> centre = {"20", "40", "60", "80", "80"};  // 0.125 s is frame 3 at 24 fps
    const std::vector<std::string> interval = {"random", "random", "waves", "waves", "waves"};
    for (long f = 0; f < 5; ++f) {
        auto values = looks.at(f);
        EXPECT_EQ(values["wave_phase"], phase[f]) << f;
        EXPECT_EQ(values["centre_x"], centre[f]) << f;
        EXPECT_EQ(values["interval"], interval[f]) << f;
        EXPECT_EQ(values["auto_threshold"], f < 3 ? "off" : "on") << f;
        EXPECT_EQ(values["path"], "circles") << f;
    }
    // Before the first and after the last key the end values hold; --fps changes nothing in frames.
    const auto later = Dump({"--frames", "6-6", "--fps", "30", "--set", "offset=10@2,20@4"});
    EXPECT_EQ(later.at(6).at("offset"), "20");
}

// Columns a line takes on a terminal: CJK characters (three bytes and more in UTF-8) take two.
std::size_t Columns(const std::string& line) {
    std::size_t columns = 0;
    for (std::size_t i = 0; i < line.size();) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        const std::size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        columns += length >= 3 ? 2 : 1;
        i += length;
    }
    return columns;
}

// Each parameter on a line of facts, with its values and what it does wrapped beneath it, in 100
// columns.
TEST_F(CliParams, ParamsListsWhatTheEffectRegistered) {
    RunResult r = Korvane({"params"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line, words;
    int parameters = 0, looks = 0;
    while (std::getline(lines, line)) {
        EXPECT_LE(Columns(line), 100u) << line;
        if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0])))
            ++(std::stoi(line) < 100 ? parameters : looks);
        // The listing as words, a wrapped line joined to the one it continues.
        words += line.rfind("          ", 0) == 0 ? "" : "\n";
        std::istringstream split(line);
        for (std::string word; split >> word;) words += " " + word;
    }
    EXPECT_EQ(parameters, 48);
    EXPECT_EQ(looks, 22);  // every row of the look table, groups included, after the registered ones
    // Index, disk id, CLI name, type, default, visibility and the UI name decoded from GBK; then
    // the range and the whole description.
    EXPECT_THAT(words,
                HasSubstr("\n 2 2 threshold_low float 0 visible 阈值 < values: 0 to 1 lower end of the trigger band"));
    EXPECT_THAT(
        words,
        HasSubstr("\n 3 59 threshold_high float 0.5 visible 阈值 > values: 0 to 1 upper end of the band, exclusive - "
                  "a trigger equal to it is outside; to include pure white, use effect=outside with the band below\n"));
    EXPECT_THAT(words,
                HasSubstr("\n 15 61 trigger_source layer visible 触发器来源 values: --trigger-source another image"));
    EXPECT_THAT(words, HasSubstr("values: red|green|blue|alpha|min|max|xor|luminance|saturation|hue value each span"));
    EXPECT_THAT(words, HasSubstr("values: 0 to 100 percent"));
    EXPECT_THAT(words, ::testing::Not(HasSubstr("hidden")));
    EXPECT_THAT(words, HasSubstr("\n 120 - centre_x float 50 look Centre X values: -100 to 200 percent circles, rays "
                                 "and spiral: the centre's x"));
    EXPECT_THAT(words, HasSubstr("\n 116 - auto_smooth integer 0 look Smoothing values: 0 to 12 automatic: frames on "
                                 "each side"));
    EXPECT_THAT(words, HasSubstr("\n 102 - interval popup threshold look Interval values: "
                                 "threshold|edges|random|waves how lines are cut"));
    EXPECT_LT(words.find("preserve_alpha"), words.find(" interval "));

    r = Korvane({"params", "--host", "premiere"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::istringstream premiere(r.out);
    int hidden = 0;
    while (std::getline(premiere, line)) hidden += line.find("hidden") != std::string::npos;
    EXPECT_EQ(hidden, 2);  // the mask placeholders
}

}  // namespace
}  // namespace korvane::clitest
