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

// The reference gradient, u = h < 8 ? x : y; v = h < 4 ? y : (h is 12 or 14 ? x : z); result
// ±u ± v by the two low bits, written with tables so that the random hash costs no branches.
// Multiplying by ±1 is an exact negation, so the values are the reference's bit for bit.
inline double Grad(int hash, double x, double y, double z) {
    static constexpr uint8_t kU[16] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1};
    static constexpr uint8_t kV[16] = {1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 0, 2, 0, 2};
    static constexpr double kSign[4][2] = {{1.0, 1.0}, {-1.0, 1.0}, {1.0, -1.0}, {-1.0, -1.0}};
    const int h = hash & 15;
    const double coords[3] = {x, y, z};
    const double* sign = kSign[h & 3];
    return coords[kU[h]] * sign[0] + coords[kV[h]] * sign[1];
}

// floor(v) as an integer, exact for |v| < 2^62 (without a library call on baseline x86-64);
// coordinates beyond that, never reached by grids that fit in memory, fall into cell 0.
inline int64_t FloorToInt(double v) {
    if (!(v > -4.0e18 && v < 4.0e18)) {
        return 0;
    }
    int64_t i = static_cast<int64_t>(v);
    if (v < static_cast<double>(i)) {
        --i;
    }
    return i;
}

}  // namespace noise_detail

inline double ImprovedNoise(double x, double y, double z, const std::array<uint8_t, 256>& table) {
    using namespace noise_detail;
    const auto p = [&table](int i) { return static_cast<int>(table[static_cast<size_t>(i & 255)]); };
    const int64_t ix = FloorToInt(x);
    const int64_t iy = FloorToInt(y);
    const int64_t iz = FloorToInt(z);
    const int X = static_cast<int>(ix & 255);
    const int Y = static_cast<int>(iy & 255);
    const int Z = static_cast<int>(iz & 255);
    x -= static_cast<double>(ix);
    y -= static_cast<double>(iy);
    z -= static_cast<double>(iz);
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

// ImprovedNoise at (x, y, z) for many x with y and z fixed, as along one line of the grid: what
// depends on y and z alone is computed once, and the eight corner hashes once per cell of x. The
// arithmetic of each value is ImprovedNoise's, so the values are the same bit for bit.
class NoiseAlongX {
public:
    NoiseAlongX() = default;
    NoiseAlongX(double y, double z, const std::array<uint8_t, 256>& table) : table_(&table) {
        using namespace noise_detail;
        const int64_t iy = FloorToInt(y);
        const int64_t iz = FloorToInt(z);
        cellY_ = static_cast<int>(iy & 255);
        cellZ_ = static_cast<int>(iz & 255);
        y_ = y - static_cast<double>(iy);
        z_ = z - static_cast<double>(iz);
        v_ = Fade(y_);
        w_ = Fade(z_);
    }

    double At(double x) {
        using namespace noise_detail;
        const int64_t ix = FloorToInt(x);
        const int X = static_cast<int>(ix & 255);
        x -= static_cast<double>(ix);
        const double u = Fade(x);
        if (X != cellX_) {
            Hash(X);
        }
        const double y = y_;
        const double z = z_;
        return Lerp(w_,
                    Lerp(v_, Lerp(u, Grad(h_[0], x, y, z), Grad(h_[1], x - 1, y, z)),
                         Lerp(u, Grad(h_[2], x, y - 1, z), Grad(h_[3], x - 1, y - 1, z))),
                    Lerp(v_, Lerp(u, Grad(h_[4], x, y, z - 1), Grad(h_[5], x - 1, y, z - 1)),
                         Lerp(u, Grad(h_[6], x, y - 1, z - 1), Grad(h_[7], x - 1, y - 1, z - 1))));
    }

    // What the lanes of NoiseLineValues take from one octave: the fractions and fades of y and z,
    // and the corner hashes of cell X (kept for the next call, as At keeps them).
    double FractionY() const { return y_; }
    double FractionZ() const { return z_; }
    double FadeY() const { return v_; }
    double FadeZ() const { return w_; }
    int CachedCell() const { return cellX_; }
    int CellY() const { return cellY_; }
    int CellZ() const { return cellZ_; }
    const std::array<uint8_t, 256>& Table() const { return *table_; }
    const int* CornerHashes(int X) {
        if (X != cellX_) {
            Hash(X);
        }
        return h_;
    }

private:
    void Hash(int X) {
        const auto p = [this](int i) { return static_cast<int>((*table_)[static_cast<size_t>(i & 255)]); };
        const int A = p(X) + cellY_;
        const int AA = p(A) + cellZ_;
        const int AB = p(A + 1) + cellZ_;
        const int B = p(X + 1) + cellY_;
        const int BA = p(B) + cellZ_;
        const int BB = p(B + 1) + cellZ_;
        h_[0] = p(AA);
        h_[1] = p(BA);
        h_[2] = p(AB);
        h_[3] = p(BB);
        h_[4] = p(AA + 1);
        h_[5] = p(BA + 1);
        h_[6] = p(AB + 1);
        h_[7] = p(BB + 1);
        cellX_ = X;
    }

    const std::array<uint8_t, 256>* table_ = nullptr;
    int cellX_ = -1;
    int cellY_ = 0;
    int cellZ_ = 0;
    double y_ = 0.0;
    double z_ = 0.0;
    double v_ = 0.0;
    double w_ = 0.0;
    int h_[8] = {};
};

// The instructions that evaluate the noise along a line: plain doubles, or four (AVX2) or eight
// (AVX-512) columns at once, every lane doing the scalar operations in the scalar order, so that
// all three give the same bits.
enum class NoiseLanes { kScalar, kAvx2, kAvx512 };

// The widest lanes this processor runs, found once.
NoiseLanes WidestNoiseLanes();

// Whether this processor runs the given lanes.
bool NoiseLanesRun(NoiseLanes lanes);

// The noise along a line for columns [0, count): per column x, the sum over the octaves o of
// octaves[o].At(double(frequency · x) · 2^o) · 2^-o, clamped to [-1, 1] and scaled by amount, as a
// float. The octaves keep their cell caches for the next call. Lanes the processor does not run
// fall back to the scalar ones.
void NoiseLineValues(NoiseLanes lanes, NoiseAlongX* octaves, int32_t octaveCount, float frequency, float amount,
                     int64_t count, float* out);

}  // namespace korvane::utils
