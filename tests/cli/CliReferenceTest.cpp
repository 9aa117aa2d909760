// A few looks on a small crop of the sample, compared with reference renders in tests/data with a
// small tolerance. A failure writes a diff image (differences times 8) next to the test's output.
// To accept new renders after a deliberate change of the effect, run the test with
// KORVANE_UPDATE_REFERENCES=1: it then writes tests/data/ref-*.png instead of comparing.
#include "CliSupport.h"

#include <cmath>
#include <cstdlib>

namespace korvane::clitest {
namespace {

struct Look {
    const char* name;
    std::vector<std::string> args;
};

// The README's looks, on the 150x100 sample.
const std::vector<Look> kLooks = {
    {"classic", {"--set", "threshold_low=0.25", "--set", "threshold_high=0.8"}},
    {"melt", {"--set", "angle=90", "--set", "threshold_low=0.3", "--set", "threshold_high=1", "--set", "reverse=on"}},
    {"hue-mosaic",
     {"--set", "angle=30", "--set", "trigger=saturation", "--set", "threshold_low=0.2", "--set", "threshold_high=1",
      "--set", "sort_key=hue", "--set", "resolution=50"}},
    {"gradient",
     {"--set", "mode=gradient", "--set", "threshold_low=0.1", "--set", "threshold_high=0.6", "--set", "angle=-20"}},
};

// Limits: a channel value may differ by 2/255; at most 1% of values may differ by more; none by
// more than half the range.
constexpr double kValueLimit = 2.0 / 255.0;
constexpr double kFailFraction = 0.01;
constexpr double kHardLimit = 0.5;

class CliReference : public CliTest, public ::testing::WithParamInterface<Look> {};

TEST_P(CliReference, MatchesTheReferenceRender) {
    const Look& look = GetParam();
    const std::string reference = SourceData(std::string("tests/data/ref-") + look.name + ".png");
    const std::string rendered = Path(std::string(look.name) + ".png");
    const RunResult r = Korvane(
        Concat({"render", SourceData("tests/data/coffee-small.png"), "-o", rendered, "--quiet"}, look.args));
    ASSERT_EQ(r.exit_code, 0) << r.err;

    if (const char* update = std::getenv("KORVANE_UPDATE_REFERENCES"); update && *update == '1') {
        std::filesystem::copy_file(rendered, reference, std::filesystem::copy_options::overwrite_existing);
        GTEST_SKIP() << "wrote " << reference;
    }
    const FileImage want = ReadFile(reference);
    const FileImage got = ReadFile(rendered);
    ASSERT_EQ(got.width, want.width);
    ASSERT_EQ(got.height, want.height);
    ASSERT_EQ(got.channels, want.channels);

    FileImage diff = got;
    std::size_t over = 0;
    double worst = 0;
    for (std::size_t i = 0; i < got.values.size(); ++i) {
        const double d = std::fabs(static_cast<double>(got.values[i]) - want.values[i]);
        worst = std::max(worst, d);
        over += d > kValueLimit;
        diff.values[i] = static_cast<float>(std::min(1.0, d * 8));
    }
    const double fraction = static_cast<double>(over) / static_cast<double>(got.values.size());
    if (fraction > kFailFraction || worst > kHardLimit) {
        const std::string diff_path = Path(std::string("diff-") + look.name + ".png");
        WriteFile(diff_path, diff);
        ADD_FAILURE() << look.name << ": " << fraction * 100 << "% of values differ by more than 2/255 (largest "
                      << worst << "); diff image: " << diff_path << ", render: " << rendered;
    }
}

INSTANTIATE_TEST_SUITE_P(Looks, CliReference, ::testing::ValuesIn(kLooks),
                         [](const ::testing::TestParamInfo<Look>& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
}  // namespace korvane::clitest
