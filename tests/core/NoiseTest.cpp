// Improved noise against a plain transcription of the reference algorithm (256-entry table,
// lookups modulo 256), bit for bit.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "sorting/Info.h"
#include "sorting/Noise.h"

namespace korvane::utils::test {
namespace {

double ReferenceNoise(double x, double y, double z, const std::array<uint8_t, 256>& table) {
    const auto p = [&table](int i) { return static_cast<int>(table[static_cast<size_t>(i & 255)]); };
    const auto fade = [](double t) { return t * t * t * (t * (t * 6 - 15) + 10); };
    const auto lerp = [](double t, double a, double b) { return a + t * (b - a); };
    const auto grad = [](int hash, double gx, double gy, double gz) {
        const int h = hash & 15;
        const double u = h < 8 ? gx : gy;
        const double v = h < 4 ? gy : h == 12 || h == 14 ? gx : gz;
        return ((h & 1) == 0 ? u : -u) + ((h & 2) == 0 ? v : -v);
    };
    const int X = static_cast<int>(std::floor(x)) & 255;
    const int Y = static_cast<int>(std::floor(y)) & 255;
    const int Z = static_cast<int>(std::floor(z)) & 255;
    x -= std::floor(x);
    y -= std::floor(y);
    z -= std::floor(z);
    const double u = fade(x), v = fade(y), w = fade(z);
    const int A = p(X) + Y, AA = p(A) + Z, AB = p(A + 1) + Z;
    const int B = p(X + 1) + Y, BA = p(B) + Z, BB = p(B + 1) + Z;
    return lerp(w,
                lerp(v, lerp(u, grad(p(AA), x, y, z), grad(p(BA), x - 1, y, z)),
                     lerp(u, grad(p(AB), x, y - 1, z), grad(p(BB), x - 1, y - 1, z))),
                lerp(v, lerp(u, grad(p(AA + 1), x, y, z - 1), grad(p(BA + 1), x - 1, y, z - 1)),
                     lerp(u, grad(p(AB + 1), x, y - 1, z - 1), grad(p(BB + 1), x - 1, y - 1, z - 1))));
}

TEST(ImprovedNoise, MatchesTheReferenceBitForBit) {
    std::mt19937 g(77);
    std::uniform_real_distribution<double> coordinate(-300.0, 3000.0);
    for (const int32_t seed : {0, 9, 65536}) {
        const auto table = ShuffleNoiseTable(seed);
        for (int i = 0; i < 20000; ++i) {
            const double x = coordinate(g);
            const double y = coordinate(g);
            const double z = i % 2 == 0 ? 0.34567 : coordinate(g);
            const double ours = ImprovedNoise(x, y, z, table);
            const double reference = ReferenceNoise(x, y, z, table);
            ASSERT_EQ(std::memcmp(&ours, &reference, sizeof ours), 0) << x << ", " << y << ", " << z;
        }
        EXPECT_EQ(ImprovedNoise(3.0, 7.0, 0.0, table), 0.0);  // zero on the lattice
    }
}

// Along a line: steps of a grid's noise frequency at every octave scale, then jumps back and forth
// across cells and the 256 wrap, each value the same bits as ImprovedNoise's.
TEST(ImprovedNoise, AlongXMatchesPointByPoint) {
    std::mt19937 g(78);
    std::uniform_real_distribution<double> coordinate(-300.0, 3000.0);
    const auto table = ShuffleNoiseTable(41);
    for (int line = 0; line < 40; ++line) {
        const double y = line < 4 ? static_cast<double>(line) : coordinate(g);
        const double z = line % 3 == 0 ? coordinate(g) : 0.34567;
        NoiseAlongX along(y, z, table);
        const double step = 0.001 * static_cast<double>(1 << (line % 9));
        for (int i = 0; i < 3000; ++i) {
            const double x = i < 2000
                                 ? static_cast<double>(static_cast<float>(0.1f * static_cast<float>(i))) * step * 10.0
                                 : coordinate(g);
            const double ours = along.At(x);
            const double reference = ImprovedNoise(x, y, z, table);
            ASSERT_EQ(std::memcmp(&ours, &reference, sizeof ours), 0) << x << ", " << y << ", " << z;
        }
    }
}

// One line's noise as the line kernel defines it, column by column from ImprovedNoise alone.
float ReferenceLineValue(const std::array<uint8_t, 256>& table, float frequency, double y, double z, int32_t octaves,
                         float amount, int64_t x) {
    const float nx = frequency * static_cast<float>(x);
    double sum = 0.0;
    double scale = 1.0;
    double weight = 1.0;
    for (int32_t o = 0; o < octaves; ++o) {
        sum += ImprovedNoise(static_cast<double>(nx) * scale, y * scale, z, table) * weight;
        scale *= 2.0;
        weight *= 0.5;
    }
    sum = std::clamp(sum, -1.0, 1.0);
    return static_cast<float>(static_cast<double>(amount) * sum);
}

std::vector<NoiseLanes> LanesThisProcessorRuns() {
    std::vector<NoiseLanes> lanes;
    for (const NoiseLanes l : {NoiseLanes::kScalar, NoiseLanes::kAvx2, NoiseLanes::kAvx512}) {
        if (NoiseLanesRun(l)) lanes.push_back(l);
    }
    return lanes;
}

TEST(NoiseLanes, ScalarAlwaysRunsAndTheWidestIsAmongThoseThatRun) {
    EXPECT_TRUE(NoiseLanesRun(NoiseLanes::kScalar));
    EXPECT_TRUE(NoiseLanesRun(WidestNoiseLanes()));
    if (NoiseLanesRun(NoiseLanes::kAvx512)) {
        EXPECT_TRUE(NoiseLanesRun(NoiseLanes::kAvx2));
    }
}

// Every lane width against the point-by-point definition, bit for bit: lines at random heights and
// depths (negative and far ones too), frequencies from a grid's smallest to ones that put several
// cells between neighbouring columns or land every column on a cell boundary, all octave counts,
// and lengths that leave every possible tail after the last full group of lanes.
TEST(NoiseLanes, EveryWidthMatchesTheDefinitionBitForBit) {
    std::mt19937 g(79);
    std::uniform_real_distribution<double> coordinate(-3000.0, 3000.0);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const float frequencies[] = {0.001f, 0.1f, 0.25f, 0.5f, 1.0f, 3.0f, -0.1f, -1.0f, 1.0e-7f, 7.3e4f, 1.0e9f};
    const auto table = ShuffleNoiseTable(5);
    const std::vector<NoiseLanes> lanes = LanesThisProcessorRuns();
    int64_t compared = 0;
    for (int line = 0; line < 300; ++line) {
        const float frequency = line % 3 == 0 ? std::ldexp(unit(g), -(line % 12)) : frequencies[line % 11];
        const double y = line % 5 == 0 ? std::floor(coordinate(g)) : coordinate(g);
        const double z = line % 4 == 0 ? 0.34567 : (line % 4 == 1 ? std::floor(coordinate(g)) : coordinate(g));
        const int32_t octaves = 1 + line % 8;
        const float amount = line % 7 == 0 ? 1.0f : 200.0f * unit(g) - 100.0f;
        const int64_t count = 1 + (line * 37) % 700;
        std::vector<float> want(static_cast<size_t>(count));
        for (int64_t x = 0; x < count; ++x) {
            want[static_cast<size_t>(x)] = ReferenceLineValue(table, frequency, y, z, octaves, amount, x);
        }
        for (const NoiseLanes l : lanes) {
            NoiseAlongX along[8];
            double scale = 1.0;
            for (int32_t o = 0; o < octaves; ++o) {
                along[o] = NoiseAlongX(y * scale, z, table);
                scale *= 2.0;
            }
            std::vector<float> got(static_cast<size_t>(count), -12345.0f);
            // Twice over the same octaves: what the first pass leaves cached changes nothing.
            for (int pass = 0; pass < 2; ++pass) {
                NoiseLineValues(l, along, octaves, frequency, amount, count, got.data());
                ASSERT_EQ(std::memcmp(got.data(), want.data(), want.size() * sizeof(float)), 0)
                    << "lanes " << static_cast<int>(l) << ", line " << line << ", frequency " << frequency << ", y "
                    << y << ", z " << z << ", octaves " << octaves << ", pass " << pass;
            }
            compared += count;
        }
    }
    EXPECT_GT(compared, 100000);
}

// Columns far out along the line, where the coordinates reach 2^31 (just below and just beyond,
// where the floors stop fitting 32 bits), 2^40 and more: the cells wrap modulo 256 the same way
// in every width.
TEST(NoiseLanes, FarCoordinatesMatchBitForBit) {
    const auto table = ShuffleNoiseTable(6);
    for (const float frequency : {8.2e4f, -8.2e4f, 8.4e4f, -8.4e4f, 1.0e6f, 3.3e8f, 6.0e12f, -2.5e10f}) {
        const int32_t octaves = 8;
        const int64_t count = 203;
        std::vector<float> want(static_cast<size_t>(count));
        for (int64_t x = 0; x < count; ++x) {
            want[static_cast<size_t>(x)] = ReferenceLineValue(table, frequency, -77.25, 0.34567, octaves, 50.0f, x);
        }
        for (const NoiseLanes l : LanesThisProcessorRuns()) {
            NoiseAlongX along[8];
            double scale = 1.0;
            for (int32_t o = 0; o < octaves; ++o) {
                along[o] = NoiseAlongX(-77.25 * scale, 0.34567, table);
                scale *= 2.0;
            }
            std::vector<float> got(static_cast<size_t>(count));
            NoiseLineValues(l, along, octaves, frequency, 50.0f, count, got.data());
            ASSERT_EQ(std::memcmp(got.data(), want.data(), want.size() * sizeof(float)), 0)
                << "lanes " << static_cast<int>(l) << ", frequency " << frequency;
        }
    }
}

// Lanes a processor lacks fall back to the scalar ones rather than failing.
TEST(NoiseLanes, NoOctavesGiveZeroAndUnrunnableLanesFallBack) {
    const auto table = ShuffleNoiseTable(7);
    NoiseAlongX along[1] = {NoiseAlongX(3.5, 0.34567, table)};
    std::vector<float> got(19, 1.0f);
    for (const NoiseLanes l : {NoiseLanes::kScalar, NoiseLanes::kAvx2, NoiseLanes::kAvx512}) {
        NoiseLineValues(l, along, 0, 0.1f, 50.0f, 19, got.data());
        for (const float v : got) EXPECT_EQ(v, 0.0f);
        NoiseLineValues(l, along, 1, 0.1f, 50.0f, 19, got.data());
        for (int64_t x = 0; x < 19; ++x) {
            EXPECT_EQ(got[static_cast<size_t>(x)], ReferenceLineValue(table, 0.1f, 3.5, 0.34567, 1, 50.0f, x));
        }
    }
}

}  // namespace
}  // namespace korvane::utils::test
