// Improved gradient noise (fade 6t⁵ − 15t⁴ + 10t³, twelve gradient directions, linear
// interpolation) over a 256-entry permutation table, every lookup taken modulo 256.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

namespace korvane::utils {

namespace noise_detail {

inline double Fade(double t) { return t * t * t * (t * (t * 6.0 - 15.0) + 10.0); }

inline double Lerp(double t, double a, double b) { return a + t * (b - a); }

inline double Grad(int hash, double x, double y, double z) {
    const int h = hash & 15;
    const double u = h < 8 ? x : y;
    const double v = h < 4 ? y : (h == 12 || h == 14 ? x : z);
    return ((h & 1) == 0 ? u : -u) + ((h & 2) == 0 ? v : -v);
}

// The integer cell of a coordinate, modulo 256; coordinates too large for a 64-bit cell (never
// reached by grids that fit in memory) fall into cell 0.
inline int Cell(double floored) {
    if (!(floored > -9.0e18 && floored < 9.0e18)) {
        return 0;
    }
    return static_cast<int>(static_cast<int64_t>(floored) & 255);
}

}  // namespace noise_detail

inline double ImprovedNoise(double x, double y, double z, const std::array<uint8_t, 256>& table) {
    using namespace noise_detail;
    const auto p = [&table](int i) { return static_cast<int>(table[static_cast<size_t>(i & 255)]); };
    const double fx = std::floor(x);
    const double fy = std::floor(y);
    const double fz = std::floor(z);
    const int X = Cell(fx);
    const int Y = Cell(fy);
    const int Z = Cell(fz);
    x -= fx;
    y -= fy;
    z -= fz;
    const double u = Fade(x);
    const double v = Fade(y);
    const double w = Fade(z);
    const int A = p(X) + Y;
    const int AA = p(A) + Z;
    const int AB = p(A + 1) + Z;
    const int B = p(X + 1) + Y;
    const int BA = p(B) + Z;
    const int BB = p(B + 1) + Z;
    return Lerp(w,
                Lerp(v, Lerp(u, Grad(p(AA), x, y, z), Grad(p(BA), x - 1, y, z)),
                     Lerp(u, Grad(p(AB), x, y - 1, z), Grad(p(BB), x - 1, y - 1, z))),
                Lerp(v, Lerp(u, Grad(p(AA + 1), x, y, z - 1), Grad(p(BA + 1), x - 1, y, z - 1)),
                     Lerp(u, Grad(p(AB + 1), x, y - 1, z - 1), Grad(p(BB + 1), x - 1, y - 1, z - 1))));
}

}  // namespace korvane::utils
