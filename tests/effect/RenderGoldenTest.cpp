// Golden digests: the output bytes of many looks, at 8, 16 and 32 bits, in both hosts, with the
// random offset off and on, on two small synthetic frames, compared with the table in
// tests/data/render-digests.txt. Any change to the render's arithmetic or step order that moves
// one output byte shows here by the name of the case.
//
// KORVANE_UPDATE_DIGESTS=1 writes the table instead of comparing (only for a deliberate change of
// the effect's output).
#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>

#include "RenderSupport.h"
#include "korvane/host/Masks.h"

namespace korvane::render_test {
namespace {

class RenderGolden : public RenderTest {};

struct Setting {
    int param;
    double value;
};

struct GoldenLook {
    std::string name;
    std::vector<Setting> settings;
    bool with_mask = false;     // a closed mask on the layer, chosen by the mask parameter
    bool with_sources = false;  // trigger and sort source layers of other sizes
};

uint64_t Fnv1a(const std::string& bytes) {
    uint64_t h = 1469598103934665603ull;
    for (const char c : bytes) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    return h;
}

// Parameter sets drawn from a fixed generator over the whole range of every scalar parameter, so
// that rarely combined options (stretch with feathers, pop with mirror, outside thresholds, ...)
// meet.
std::vector<GoldenLook> RandomLooks() {
    std::mt19937 rng(20261208u);
    auto unit = [&] { return static_cast<double>(rng()) / 4294967296.0; };
    auto pick = [&](int low, int high) {
        return low + static_cast<int>(rng() % static_cast<uint32_t>(high - low + 1));
    };
    auto on = [&](double p) { return unit() < p ? 1.0 : 0.0; };
    std::vector<GoldenLook> looks;
    for (int i = 0; i < 8; ++i) {
        const double low = std::floor(unit() * 60.0) / 100.0;
        std::vector<Setting> s = {
            {P::KRVN_THRESHOLD_LOW, low},
            {P::KRVN_THRESHOLD_HIGH, low + std::floor(unit() * 60.0 + 5.0) / 100.0},
            {P::KRVN_EFFECT, static_cast<double>(pick(1, 2))},
            {P::KRVN_ANGLE, i % 3 == 0 ? 0.0 : static_cast<double>(pick(-180, 180))},
            {P::KRVN_STRETCH, on(0.3)},
            {P::KRVN_STRETCH_FACTOR, std::floor(unit() * 400.0) / 100.0},
            {P::KRVN_PRIORITY, static_cast<double>(pick(1, 2))},
            {P::KRVN_TRIGGER, static_cast<double>(pick(1, 9))},
            {P::KRVN_SORT_KEY, static_cast<double>(pick(1, 10))},
            {P::KRVN_FILL, on(0.5)},
            {P::KRVN_POP, on(0.3) * std::floor(unit() * 100.0)},
            {P::KRVN_BLUR, on(0.3) * pick(1, 12)},
            {P::KRVN_BLOCK_WIDTH, 100.0 - on(0.3) * std::floor(unit() * 90.0)},
            {P::KRVN_BLOCK_HEIGHT, on(0.3) * std::floor(unit() * 40.0)},
            {P::KRVN_REVERSE, on(0.5)},
            {P::KRVN_MIRROR, on(0.25)},
            {P::KRVN_RESOLUTION, i % 4 == 1 ? 100.0 : std::floor(30.0 + unit() * 70.0)},
            {P::KRVN_AFFECT_BACKGROUND, on(0.7)},
            {P::KRVN_LOOP, on(0.3) * pick(-300, 300)},
            {P::KRVN_ANIMATE_GROWTH, 100.0 + on(0.4) * std::floor(unit() * 200.0 - 100.0)},
            {P::KRVN_OFFSET, on(0.3) * std::floor(unit() * 60.0)},
            {P::KRVN_RANDOM_SEED, static_cast<double>(pick(0, 1000))},
            {P::KRVN_FEATHER_START, on(0.3) * std::floor(unit() * 100.0)},
            {P::KRVN_FEATHER_END, on(0.3) * std::floor(unit() * 100.0)},
            {P::KRVN_NOISE_AMOUNT, on(0.4) * std::floor(unit() * 80.0)},
            {P::KRVN_NOISE_SIZE, std::floor(1.0 + unit() * 30.0)},
            {P::KRVN_NOISE_COMPLEXITY, static_cast<double>(pick(1, 6))},
            {P::KRVN_NOISE_SEED, static_cast<double>(pick(1, 500))},
            {P::KRVN_MODE, static_cast<double>(pick(1, 7))},
            {P::KRVN_PRESERVE_ALPHA, on(0.3)},
        };
        looks.push_back({"random" + std::to_string(i), std::move(s)});
    }
    return looks;
}

std::vector<GoldenLook> Looks() {
    std::vector<GoldenLook> looks = {
        // The whole-frame benchmark's matrix.
        {"defaults", {}},
        {"angle33", {{P::KRVN_ANGLE, 33}}},
        {"hue", {{P::KRVN_SORT_KEY, 10}, {P::KRVN_TRIGGER, 9}}},
        {"gradient", {{P::KRVN_MODE, 2}}},
        {"noise", {{P::KRVN_NOISE_AMOUNT, 50}}},
        {"res50", {{P::KRVN_RESOLUTION, 50}}},
        {"blur10", {{P::KRVN_BLUR, 10}}},
        {"random", {{P::KRVN_RANDOM_OFFSET, 50}}},
        // The reference looks of the CLI's image tests and the README.
        {"ref-classic", {{P::KRVN_THRESHOLD_LOW, 0.25}, {P::KRVN_THRESHOLD_HIGH, 0.8}}},
        {"ref-melt",
         {{P::KRVN_ANGLE, 90}, {P::KRVN_THRESHOLD_LOW, 0.3}, {P::KRVN_THRESHOLD_HIGH, 1}, {P::KRVN_REVERSE, 1}}},
        {"ref-hue-mosaic",
         {{P::KRVN_ANGLE, 30},
          {P::KRVN_TRIGGER, 8},
          {P::KRVN_THRESHOLD_LOW, 0.2},
          {P::KRVN_THRESHOLD_HIGH, 1},
          {P::KRVN_SORT_KEY, 10},
          {P::KRVN_RESOLUTION, 50}}},
        {"ref-gradient",
         {{P::KRVN_MODE, 2}, {P::KRVN_THRESHOLD_LOW, 0.1}, {P::KRVN_THRESHOLD_HIGH, 0.6}, {P::KRVN_ANGLE, -20}}},
        // Options the looks above leave off.
        {"mask-map", {{P::KRVN_MODE, 7}, {P::KRVN_BLOCK_HEIGHT, 30}, {P::KRVN_ANGLE, 45}}},
        {"stretch-feather",
         {{P::KRVN_STRETCH, 1},
          {P::KRVN_STRETCH_FACTOR, 2.5},
          {P::KRVN_FEATHER_START, 40},
          {P::KRVN_FEATHER_END, 30},
          {P::KRVN_PRESERVE_ALPHA, 1},
          {P::KRVN_FILL, 0}}},
        {"masked", {{P::KRVN_THRESHOLD_HIGH, 0.8}, {P::KRVN_ANGLE, 10}}, true},
        {"sources", {{P::KRVN_THRESHOLD_HIGH, 0.7}, {P::KRVN_SORT_KEY, 9}, {P::KRVN_ANGLE, -60}}, false, true},
    };
    for (GoldenLook& look : RandomLooks()) looks.push_back(std::move(look));
    return looks;
}

// The frame: a photo-like picture with varying alpha, and at 32 bits some values outside [0, 1]
// (negative and above full) as float footage has them.
World Frame(A_long width, A_long height, int depth, host::ChannelOrder order) {
    World w = PhotoLike(width, height, depth, 17);
    for (A_long y = 0; y < height; ++y) {
        for (A_long x = 0; x < width; ++x) {
            Color c = w.Get(x, y);
            if ((x / 8 + y / 8) % 5 == 0) c.alpha = static_cast<float>((x * 3 + y * 5) % 256) / 255.0f;
            if (depth == 32 && (x * 7 + y * 3) % 53 == 0) {
                c.red = c.red * 1.5f - 0.2f;
                c.blue = c.blue * 1.25f - 0.3f;
            }
            w.Set(x, y, c);
        }
    }
    return order == host::ChannelOrder::ARGB ? std::move(w) : w.Converted(depth, order);
}

std::string DigestText(uint64_t digest) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(digest));
    return text;
}

fs::path TablePath() { return fs::path(KORVANE_SOURCE_DIR) / "tests" / "data" / "render-digests.txt"; }

std::map<std::string, std::string> ReadTable() {
    std::map<std::string, std::string> table;
    std::ifstream in(TablePath());
    std::string name, digest;
    while (in >> name >> digest) table[name] = digest;
    return table;
}

TEST_F(RenderGolden, OutputBytesMatchTheDigestTable) {
    Host& ae = NewHost();
    Host& pr = NewHost(Personality::Premiere);
    const int trigger_layer = ae.AddLayer(PhotoLike(120, 90, 8, 23));
    const int sort_layer = ae.AddLayer(PhotoLike(200, 100, 16, 29));

    std::map<std::string, std::string> computed;
    for (const GoldenLook& look : Looks()) {
        for (const bool random_offset : {false, true}) {
            for (const auto& [width, height] : std::vector<std::pair<A_long, A_long>>{{160, 120}, {97, 61}}) {
                const std::string stem = look.name + (random_offset ? "/rand1/" : "/rand0/") + std::to_string(width) +
                                         "x" + std::to_string(height) + "/";
                for (Host* h : {&ae, &pr}) {
                    const bool premiere = h == &pr;
                    if (premiere && (look.with_mask || look.with_sources)) continue;
                    h->ResetParams();
                    h->ClearMasks();
                    for (const Setting& s : look.settings) h->Set(s.param, s.value);
                    const bool own_offset = std::any_of(look.settings.begin(), look.settings.end(),
                                                        [](const Setting& s) {
                                                            return s.param == P::KRVN_RANDOM_OFFSET;
                                                        });
                    if (random_offset) {
                        if (!own_offset) h->Set(P::KRVN_RANDOM_OFFSET, 40);
                        h->Set(P::KRVN_RANDOM_SEED, 7);
                    } else {
                        h->Set(P::KRVN_RANDOM_OFFSET, 0);
                    }
                    if (look.with_mask) {
                        const AEGP_MaskIDVal id = h->AddMask(
                            {0, host::Path::Rectangle(width * 0.2, height * 0.15, width * 0.8, height * 0.7)});
                        h->Set(P::KRVN_MASK, id);
                    }
                    if (look.with_sources) {
                        h->Set(P::KRVN_TRIGGER_SOURCE, trigger_layer);
                        h->Set(P::KRVN_SORT_SOURCE, sort_layer);
                    }
                    if (premiere) {
                        World in = Frame(width, height, 8, host::ChannelOrder::BGRA);
                        in.SetPremiereFormat(host::PremiereFormat("bgra"));
                        computed[stem + "pr8"] = DigestText(Fnv1a(RenderLegacy(*h, in).PackedBytes()));
                        continue;
                    }
                    for (const int depth : {8, 16, 32}) {
                        const World in = Frame(width, height, depth, host::ChannelOrder::ARGB);
                        computed[stem + "ae" + std::to_string(depth)] = DigestText(
                            Fnv1a(RenderAe(*h, in).PackedBytes()));
                    }
                }
            }
        }
    }
    ae.ClearMasks();

    if (std::getenv("KORVANE_UPDATE_DIGESTS") != nullptr) {
        std::ofstream out(TablePath());
        for (const auto& [name, digest] : computed) out << name << " " << digest << "\n";
        GTEST_SKIP() << "wrote " << computed.size() << " digests to " << TablePath();
    }
    const std::map<std::string, std::string> table = ReadTable();
    EXPECT_EQ(table.size(), computed.size()) << "the table and the cases differ in number";
    int differing = 0;
    for (const auto& [name, digest] : computed) {
        const auto it = table.find(name);
        if (it == table.end()) {
            ADD_FAILURE() << name << ": not in the table";
        } else if (it->second != digest) {
            ++differing;
            ADD_FAILURE() << name << ": output digest " << digest << ", table " << it->second;
        }
    }
    EXPECT_EQ(differing, 0);
}

}  // namespace
}  // namespace korvane::render_test
