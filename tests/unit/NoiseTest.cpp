// Improved noise against a plain transcription of the reference algorithm (256-entry table,
// lookups modulo 256), bit for bit.
#include <cmath>
#include <cstring>
#include <random>

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
            const double x = i < 2000 ? static_cast<double>(static_cast<float>(0.1f * static_cast<float>(i))) * step * 10.0
                                      : coordinate(g);
            const double ours = along.At(x);
            const double reference = ImprovedNoise(x, y, z, table);
            ASSERT_EQ(std::memcmp(&ours, &reference, sizeof ours), 0) << x << ", " << y << ", " << z;
        }
    }
}

}  // namespace
}  // namespace korvane::utils::test
