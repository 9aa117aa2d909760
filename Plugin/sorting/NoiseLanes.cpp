// The noise along a line, column by column or four or eight columns at once. The vector lanes
// repeat NoiseAlongX::At and the octave sum operation for operation (multiplications, additions,
// subtractions, comparisons and conversions are exact per lane, and the build never contracts
// them into fused ones), so every path gives the scalar path's bits.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "sorting/Noise.h"

// The vector lanes are x86-64's; other processors take the scalar path.
#if defined(__x86_64__)
#define KORVANE_NOISE_LANES 1
#include <immintrin.h>
#else
#define KORVANE_NOISE_LANES 0
#endif

namespace korvane::utils {

namespace {

// At most as many octaves as the preparation allows.
constexpr int32_t kMaxOctaves = 8;

float ScalarValue(NoiseAlongX* octaves, int32_t octaveCount, float frequency, float amount, int64_t x) {
    const float nx = frequency * static_cast<float>(x);
    double sum = 0.0;
    double scale = 1.0;
    double weight = 1.0;
    for (int32_t o = 0; o < octaveCount; ++o) {
        sum += octaves[o].At(static_cast<double>(nx) * scale) * weight;
        scale *= 2.0;
        weight *= 0.5;
    }
    sum = std::clamp(sum, -1.0, 1.0);
    return static_cast<float>(static_cast<double>(amount) * sum);
}

void ScalarValues(NoiseAlongX* octaves, int32_t octaveCount, float frequency, float amount, int64_t from, int64_t count,
                  float* out) {
    for (int64_t x = from; x < count; ++x) {
        out[x] = ScalarValue(octaves, octaveCount, frequency, amount, x);
    }
}

#if KORVANE_NOISE_LANES

// The eight corner hashes of a cell, four bits each (all the gradient uses), in one word; cells
// of a line not yet hashed hold kUnhashed.
constexpr uint64_t kUnhashed = uint64_t{1} << 32;

uint64_t PackedHashes(NoiseAlongX& octave, int cell) {
    const int* hashes = octave.CornerHashes(cell);
    uint64_t packed = 0;
    for (int k = 0; k < 8; ++k) {
        packed |= static_cast<uint64_t>(hashes[k] & 15) << (4 * k);
    }
    return packed;
}

uint64_t HashedCell(uint64_t* cells, NoiseAlongX& octave, int cell) {
    if (cells[cell] == kUnhashed) {
        cells[cell] = PackedHashes(octave, cell);
    }
    return cells[cell];
}

// The packed hashes of cells low to high (each modulo 256) in turn. A cell's corners at x + 1 are
// the next cell's at x, so each cell looks up only the four hashes of its upper face, as
// NoiseAlongX's hash of the cell does: A = p(X) + Y, then p(p(A) + Z), p(p(A + 1) + Z) and the
// same plus one.
void HashCells(uint64_t* cells, const NoiseAlongX& octave, int64_t low, int64_t high) {
    const std::array<uint8_t, 256>& table = octave.Table();
    const auto p = [&table](int i) { return static_cast<uint64_t>(table[static_cast<size_t>(i & 255)]); };
    const int cellY = octave.CellY();
    const int cellZ = octave.CellZ();
    // A face's four hashes in the nibbles its corners take at the cell's lower x (0, 2, 4, 6).
    const auto face = [&](int64_t X) {
        const int A = static_cast<int>(p(static_cast<int>(X & 255))) + cellY;
        const int AA = static_cast<int>(p(A)) + cellZ;
        const int AB = static_cast<int>(p(A + 1)) + cellZ;
        return (p(AA) & 15) | (p(AB) & 15) << 8 | (p(AA + 1) & 15) << 16 | (p(AB + 1) & 15) << 24;
    };
    uint64_t lower = face(low);
    for (int64_t cell = low; cell <= high; ++cell) {
        const uint64_t upper = face(cell + 1);
        cells[cell & 255] = lower | upper << 4;
        lower = upper;
    }
}

// A corner's gradient is x·M + C for the lane's x, with C the part in y and z alone: for hashes
// whose gradient takes no x, M is 0 and the gradient is C itself. C is computed here once per
// octave of a line with the scalar gradient's own products and sum, so x·M + C (or C) is the
// scalar gradient bit for bit (the sum of the two terms commutes exactly).
constexpr double GradientX(int h) {
    if (h < 8) {
        return (h & 1) != 0 ? -1.0 : 1.0;
    }
    if (h == 12 || h == 14) {
        return (h & 2) != 0 ? -1.0 : 1.0;
    }
    return 0.0;
}

constexpr double kGradientX[16] = {GradientX(0),  GradientX(1),  GradientX(2),  GradientX(3),
                                   GradientX(4),  GradientX(5),  GradientX(6),  GradientX(7),
                                   GradientX(8),  GradientX(9),  GradientX(10), GradientX(11),
                                   GradientX(12), GradientX(13), GradientX(14), GradientX(15)};

// What an octave of a line contributes that is the same for every column.
struct OctaveConstants {
    double scale, weight;  // 2^o and 2^-o, as the octave sum builds them
    double y, y1, z, z1, v, w;
    alignas(64) double gradient[8][16];  // C of corner k for hash h
};

void PrepareOctave(OctaveConstants& c, const NoiseAlongX& octave, double scale, double weight) {
    c.scale = scale;
    c.weight = weight;
    c.y = octave.FractionY();
    c.y1 = octave.FractionY() - 1;
    c.z = octave.FractionZ();
    c.z1 = octave.FractionZ() - 1;
    c.v = octave.FadeY();
    c.w = octave.FadeZ();
    for (int k = 0; k < 8; ++k) {
        const double y = (k & 2) != 0 ? c.y1 : c.y;
        const double z = (k & 4) != 0 ? c.z1 : c.z;
        for (int h = 0; h < 16; ++h) {
            const double signU = (h & 1) != 0 ? -1.0 : 1.0;
            const double signV = (h & 2) != 0 ? -1.0 : 1.0;
            if (h < 8) {
                c.gradient[k][h] = (h < 4 ? y : z) * signV;
            } else if (h == 12 || h == 14) {
                c.gradient[k][h] = y * signU;
            } else {
                c.gradient[k][h] = y * signU + z * signV;
            }
        }
    }
}

// The cells of a line's octaves hashed so far, as PackedHashes.
using HashedCells = uint64_t[kMaxOctaves][256];

// floor(v) as FloorToInt gives it (0 beyond ±4e18 and for NaN, +0 for -0), its cell (the
// integer modulo 256, exact in doubles: every step is a power-of-two scaling, a floor or a
// subtraction with a representable result) and the fraction v − floor.
constexpr double kFloorLimit = 4.0e18;

// ---- four lanes ----

// A corner whose hash is the same in all four lanes, as x·M + C.
struct SameCorner4 {
    __m256d m, c, noX;
};

struct Octave4 {
    __m256d scale, weight, v, w;
    int cell;  // the cell all four lanes were in last, whose corners are kept
    SameCorner4 corners[8];
};

__attribute__((target("avx2"))) inline __m256d Fade4(__m256d t) {
    const __m256d t3 = _mm256_mul_pd(_mm256_mul_pd(t, t), t);
    const __m256d inner = _mm256_sub_pd(_mm256_mul_pd(t, _mm256_set1_pd(6.0)), _mm256_set1_pd(15.0));
    return _mm256_mul_pd(t3, _mm256_add_pd(_mm256_mul_pd(t, inner), _mm256_set1_pd(10.0)));
}

__attribute__((target("avx2"))) inline __m256d Lerp4(__m256d t, __m256d a, __m256d b) {
    return _mm256_add_pd(a, _mm256_mul_pd(t, _mm256_sub_pd(b, a)));
}

__attribute__((target("avx2"))) inline __m256d SameGrad4(const SameCorner4& c, __m256d x) {
    return _mm256_blendv_pd(_mm256_add_pd(c.c, _mm256_mul_pd(x, c.m)), c.c, c.noX);
}

template <bool kNear>
__attribute__((target("avx2"))) void LineValuesAvx2(NoiseAlongX* octaves, const OctaveConstants* constants,
                                                    HashedCells& hashed, int32_t octaveCount, float frequency,
                                                    float amount, int64_t from, int64_t count, float* out) {
    Octave4 lanes[kMaxOctaves];
    for (int32_t o = 0; o < octaveCount; ++o) {
        Octave4& l = lanes[o];
        const OctaveConstants& c = constants[o];
        l.scale = _mm256_set1_pd(c.scale);
        l.weight = _mm256_set1_pd(c.weight);
        l.v = _mm256_set1_pd(c.v);
        l.w = _mm256_set1_pd(c.w);
        l.cell = -1;
    }
    const __m256d lowLimit = _mm256_set1_pd(-kFloorLimit);
    const __m256d highLimit = _mm256_set1_pd(kFloorLimit);
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d minusOne = _mm256_set1_pd(-1.0);
    const __m256d zero = _mm256_setzero_pd();
    int64_t x = from;
    for (; x + 4 <= count; x += 4) {
        alignas(16) float nx[4];
        for (int i = 0; i < 4; ++i) {
            nx[i] = frequency * static_cast<float>(x + i);
        }
        const __m256d base = _mm256_cvtps_pd(_mm_load_ps(nx));
        __m256d sum = zero;
        for (int32_t o = 0; o < octaveCount; ++o) {
            Octave4& l = lanes[o];
            const __m256d at = _mm256_mul_pd(base, l.scale);
            __m256d floor;
            __m128i cells;
            if constexpr (kNear) {
                const __m128i whole = _mm256_cvttpd_epi32(_mm256_floor_pd(at));
                floor = _mm256_cvtepi32_pd(whole);
                cells = _mm_and_si128(whole, _mm_set1_epi32(255));
            } else {
                const __m256d inRange = _mm256_and_pd(_mm256_cmp_pd(at, lowLimit, _CMP_GT_OQ),
                                                      _mm256_cmp_pd(at, highLimit, _CMP_LT_OQ));
                floor = _mm256_add_pd(_mm256_and_pd(_mm256_floor_pd(at), inRange), zero);
                cells = _mm256_cvttpd_epi32(
                    _mm256_sub_pd(floor,
                                  _mm256_mul_pd(_mm256_floor_pd(_mm256_mul_pd(floor, _mm256_set1_pd(1.0 / 256.0))),
                                                _mm256_set1_pd(256.0))));
            }
            const __m256d fx = _mm256_sub_pd(at, floor);
            const __m256d fx1 = _mm256_sub_pd(fx, one);
            const __m256d u = Fade4(fx);

            __m256d g[8];
            const int first = _mm_cvtsi128_si32(cells);
            if (_mm_movemask_epi8(_mm_cmpeq_epi32(cells, _mm_set1_epi32(first))) == 0xFFFF) {
                if (first != l.cell) {
                    const uint64_t packed = HashedCell(hashed[o], octaves[o], first);
                    for (int k = 0; k < 8; ++k) {
                        const int h = static_cast<int>((packed >> (4 * k)) & 15);
                        const double m = kGradientX[h];
                        l.corners[k] = {_mm256_set1_pd(m), _mm256_set1_pd(constants[o].gradient[k][h]),
                                        _mm256_set1_pd(m == 0.0 ? -1.0 : 1.0)};
                    }
                    l.cell = first;
                }
                for (int k = 0; k < 8; ++k) {
                    g[k] = SameGrad4(l.corners[k], (k & 1) != 0 ? fx1 : fx);
                }
            } else {
                // The lanes straddle a cell boundary: each lane's own corner hashes, M and C.
                const auto* table = reinterpret_cast<const long long*>(hashed[o]);
                __m256i packed = _mm256_i32gather_epi64(table, cells, 8);
                if (!_mm256_testz_si256(packed, _mm256_set1_epi64x(static_cast<long long>(kUnhashed)))) {
                    alignas(16) int cell[4];
                    _mm_store_si128(reinterpret_cast<__m128i*>(cell), cells);
                    for (int i = 0; i < 4; ++i) {
                        HashedCell(hashed[o], octaves[o], cell[i]);
                    }
                    packed = _mm256_i32gather_epi64(table, cells, 8);
                }
                for (int k = 0; k < 8; ++k) {
                    const __m256i h = _mm256_and_si256(_mm256_srl_epi64(packed, _mm_cvtsi32_si128(4 * k)),
                                                       _mm256_set1_epi64x(15));
                    const __m256d m = _mm256_i64gather_pd(kGradientX, h, 8);
                    const __m256d c = _mm256_i64gather_pd(constants[o].gradient[k], h, 8);
                    const __m256d noX = _mm256_cmp_pd(m, zero, _CMP_EQ_OQ);
                    g[k] = _mm256_blendv_pd(_mm256_add_pd(c, _mm256_mul_pd((k & 1) != 0 ? fx1 : fx, m)), c, noX);
                }
            }
            const __m256d value = Lerp4(l.w, Lerp4(l.v, Lerp4(u, g[0], g[1]), Lerp4(u, g[2], g[3])),
                                        Lerp4(l.v, Lerp4(u, g[4], g[5]), Lerp4(u, g[6], g[7])));
            sum = _mm256_add_pd(sum, _mm256_mul_pd(value, l.weight));
        }
        // std::clamp: below the low bound gives it, else above the high bound gives that.
        __m256d clamped = _mm256_blendv_pd(sum, one, _mm256_cmp_pd(one, sum, _CMP_LT_OQ));
        clamped = _mm256_blendv_pd(clamped, minusOne, _mm256_cmp_pd(sum, minusOne, _CMP_LT_OQ));
        const __m256d scaled = _mm256_mul_pd(_mm256_set1_pd(static_cast<double>(amount)), clamped);
        _mm_storeu_ps(out + x, _mm256_cvtpd_ps(scaled));
    }
    ScalarValues(octaves, octaveCount, frequency, amount, x, count, out);
}

// ---- eight lanes ----

// GCC's AVX-512 intrinsics start some results from a deliberately undefined register, which its
// flow analysis reports as maybe uninitialized once they are inlined here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

struct Octave8 {
    __m512d scale, weight, v, w;
    __m512d gradientLow[8], gradientHigh[8];  // C of corner k for hashes 0-7 and 8-15
};

__attribute__((target("avx512f"))) inline __m512d Fade8(__m512d t) {
    const __m512d t3 = _mm512_mul_pd(_mm512_mul_pd(t, t), t);
    const __m512d inner = _mm512_sub_pd(_mm512_mul_pd(t, _mm512_set1_pd(6.0)), _mm512_set1_pd(15.0));
    return _mm512_mul_pd(t3, _mm512_add_pd(_mm512_mul_pd(t, inner), _mm512_set1_pd(10.0)));
}

__attribute__((target("avx512f"))) inline __m512d Lerp8(__m512d t, __m512d a, __m512d b) {
    return _mm512_add_pd(a, _mm512_mul_pd(t, _mm512_sub_pd(b, a)));
}

__attribute__((target("avx512f"))) inline __m512d Floor8(__m512d v) {
    return _mm512_roundscale_pd(v, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
}

// One octave's noise at the eight columns whose coordinates at the first octave are base.
template <bool kNear>
__attribute__((target("avx512f"), always_inline)) inline __m512d OctaveValue8(const Octave8& l, __m512d base,
                                                                              uint64_t* hashed, NoiseAlongX& octave) {
    const __m512d zero = _mm512_setzero_pd();
    const __m512d at = _mm512_mul_pd(base, l.scale);
    __m512d floor;
    __m256i cells;
    if constexpr (kNear) {
        const __m256i whole = _mm512_cvttpd_epi32(Floor8(at));
        floor = _mm512_cvtepi32_pd(whole);
        cells = _mm256_and_si256(whole, _mm256_set1_epi32(255));
    } else {
        const __mmask8 inRange = _mm512_cmp_pd_mask(at, _mm512_set1_pd(-kFloorLimit), _CMP_GT_OQ) &
                                 _mm512_cmp_pd_mask(at, _mm512_set1_pd(kFloorLimit), _CMP_LT_OQ);
        floor = _mm512_add_pd(_mm512_maskz_mov_pd(inRange, Floor8(at)), zero);
        cells = _mm512_cvttpd_epi32(
            _mm512_sub_pd(floor, _mm512_mul_pd(Floor8(_mm512_mul_pd(floor, _mm512_set1_pd(1.0 / 256.0))),
                                               _mm512_set1_pd(256.0))));
    }
    const __m512d fx = _mm512_sub_pd(at, floor);
    const __m512d fx1 = _mm512_sub_pd(fx, _mm512_set1_pd(1.0));
    const __m512d u = Fade8(fx);

    const auto* table = reinterpret_cast<const long long*>(hashed);
    __m512i packed = _mm512_i32gather_epi64(cells, table, 8);
    if (_mm512_test_epi64_mask(packed, _mm512_set1_epi64(static_cast<long long>(kUnhashed))) != 0) {
        alignas(32) int cell[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(cell), cells);
        for (int i = 0; i < 8; ++i) {
            HashedCell(hashed, octave, cell[i]);
        }
        packed = _mm512_i32gather_epi64(cells, table, 8);
    }
    const __m512d gradientXLow = _mm512_loadu_pd(&kGradientX[0]);
    const __m512d gradientXHigh = _mm512_loadu_pd(&kGradientX[8]);
    __m512d g[8];
    for (int k = 0; k < 8; ++k) {
        // The permutations read the low four bits of each lane: corner k's hash.
        const __m512i h = _mm512_srl_epi64(packed, _mm_cvtsi32_si128(4 * k));
        const __m512d m = _mm512_permutex2var_pd(gradientXLow, h, gradientXHigh);
        const __m512d c = _mm512_permutex2var_pd(l.gradientLow[k], h, l.gradientHigh[k]);
        const __mmask8 hasX = _mm512_cmp_pd_mask(m, zero, _CMP_NEQ_OQ);
        g[k] = _mm512_mask_add_pd(c, hasX, c, _mm512_mul_pd((k & 1) != 0 ? fx1 : fx, m));
    }
    return Lerp8(l.w, Lerp8(l.v, Lerp8(u, g[0], g[1]), Lerp8(u, g[2], g[3])),
                 Lerp8(l.v, Lerp8(u, g[4], g[5]), Lerp8(u, g[6], g[7])));
}

// The clamped, scaled sum as floats, as std::clamp then the scalar products and conversion.
__attribute__((target("avx512f"), always_inline)) inline void Store8(float* out, __m512d sum, float amount) {
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d minusOne = _mm512_set1_pd(-1.0);
    // std::clamp: below the low bound gives it, else above the high bound gives that.
    __m512d clamped = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(one, sum, _CMP_LT_OQ), sum, one);
    clamped = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(sum, minusOne, _CMP_LT_OQ), clamped, minusOne);
    const __m512d scaled = _mm512_mul_pd(_mm512_set1_pd(static_cast<double>(amount)), clamped);
    _mm256_storeu_ps(out, _mm512_cvtpd_ps(scaled));
}

__attribute__((target("avx512f"), always_inline)) inline __m512d Base8(float frequency, int64_t x) {
    alignas(32) float nx[8];
    for (int i = 0; i < 8; ++i) {
        nx[i] = frequency * static_cast<float>(x + i);
    }
    return _mm512_cvtps_pd(_mm256_load_ps(nx));
}

template <bool kNear>
__attribute__((target("avx512f"))) void LineValuesAvx512(NoiseAlongX* octaves, const OctaveConstants* constants,
                                                         HashedCells& hashed, int32_t octaveCount, float frequency,
                                                         float amount, int64_t count, float* out) {
    Octave8 lanes[kMaxOctaves];
    for (int32_t o = 0; o < octaveCount; ++o) {
        Octave8& l = lanes[o];
        const OctaveConstants& c = constants[o];
        l.scale = _mm512_set1_pd(c.scale);
        l.weight = _mm512_set1_pd(c.weight);
        l.v = _mm512_set1_pd(c.v);
        l.w = _mm512_set1_pd(c.w);
        for (int k = 0; k < 8; ++k) {
            l.gradientLow[k] = _mm512_load_pd(&c.gradient[k][0]);
            l.gradientHigh[k] = _mm512_load_pd(&c.gradient[k][8]);
        }
    }
    int64_t x = 0;
    // Two groups of eight at a time: their octaves are independent, so one fills the other's waits.
    for (; x + 16 <= count; x += 16) {
        const __m512d baseA = Base8(frequency, x);
        const __m512d baseB = Base8(frequency, x + 8);
        __m512d sumA = _mm512_setzero_pd();
        __m512d sumB = _mm512_setzero_pd();
        for (int32_t o = 0; o < octaveCount; ++o) {
            const Octave8& l = lanes[o];
            const __m512d valueA = OctaveValue8<kNear>(l, baseA, hashed[o], octaves[o]);
            const __m512d valueB = OctaveValue8<kNear>(l, baseB, hashed[o], octaves[o]);
            sumA = _mm512_add_pd(sumA, _mm512_mul_pd(valueA, l.weight));
            sumB = _mm512_add_pd(sumB, _mm512_mul_pd(valueB, l.weight));
        }
        Store8(out + x, sumA, amount);
        Store8(out + x + 8, sumB, amount);
    }
    for (; x + 8 <= count; x += 8) {
        const __m512d base = Base8(frequency, x);
        __m512d sum = _mm512_setzero_pd();
        for (int32_t o = 0; o < octaveCount; ++o) {
            const Octave8& l = lanes[o];
            sum = _mm512_add_pd(sum, _mm512_mul_pd(OctaveValue8<kNear>(l, base, hashed[o], octaves[o]), l.weight));
        }
        Store8(out + x, sum, amount);
    }
    LineValuesAvx2<kNear>(octaves, constants, hashed, octaveCount, frequency, amount, x, count, out);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif  // KORVANE_NOISE_LANES

}  // namespace

NoiseLanes WidestNoiseLanes() {
    static const NoiseLanes widest = [] {
#if KORVANE_NOISE_LANES
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f")) {
            return NoiseLanes::kAvx512;
        }
        if (__builtin_cpu_supports("avx2")) {
            return NoiseLanes::kAvx2;
        }
#endif
        return NoiseLanes::kScalar;
    }();
    return widest;
}

bool NoiseLanesRun(NoiseLanes lanes) {
    switch (WidestNoiseLanes()) {
        case NoiseLanes::kAvx512: return true;
        case NoiseLanes::kAvx2: return lanes != NoiseLanes::kAvx512;
        case NoiseLanes::kScalar: return lanes == NoiseLanes::kScalar;
    }
    return false;
}

void NoiseLineValues(NoiseLanes lanes, NoiseAlongX* octaves, int32_t octaveCount, float frequency, float amount,
                     int64_t count, float* out) {
    octaveCount = std::clamp(octaveCount, 0, kMaxOctaves);
    if (!NoiseLanesRun(lanes) || octaveCount == 0) {
        lanes = NoiseLanes::kScalar;
    }
    if (lanes == NoiseLanes::kScalar) {
        ScalarValues(octaves, octaveCount, frequency, amount, 0, count, out);
        return;
    }
#if KORVANE_NOISE_LANES
    OctaveConstants constants[kMaxOctaves];
    HashedCells hashed;
    double scale = 1.0;
    double weight = 1.0;
    for (int32_t o = 0; o < octaveCount; ++o) {
        PrepareOctave(constants[o], octaves[o], scale, weight);
        std::fill_n(hashed[o], 256, kUnhashed);
        scale *= 2.0;
        weight *= 0.5;
    }
    // Whether every coordinate of the line, the last column's at the last octave the farthest,
    // lies within ±2^31, where the floor and its cell come straight from a 32-bit conversion.
    const double farthest = std::abs(static_cast<double>(frequency * static_cast<float>(count - 1))) *
                            std::ldexp(1.0, octaveCount - 1);
    const bool near = farthest < 2147483648.0;
    // The cells each octave's columns fall in, hashed ahead of the lanes so that they seldom stop
    // to hash one: the coordinate grows (or shrinks) with x, so the first and last columns bound
    // them. Far lines, and lines that cross every cell, hash all 256.
    const float lastColumn = frequency * static_cast<float>(std::max<int64_t>(count - 1, 0));
    for (int32_t o = 0; o < octaveCount; ++o) {
        const double first = static_cast<double>(frequency * 0.0f) * constants[o].scale;
        const double last = static_cast<double>(lastColumn) * constants[o].scale;
        int64_t low = 0;
        int64_t high = 255;
        if (near) {
            low = noise_detail::FloorToInt(std::min(first, last));
            high = noise_detail::FloorToInt(std::max(first, last));
        }
        if (high - low >= 255) {
            low = 0;
            high = 255;
        }
        HashCells(hashed[o], octaves[o], low, high);
    }
    if (lanes == NoiseLanes::kAvx512) {
        (near ? LineValuesAvx512<true> : LineValuesAvx512<false>)(octaves, constants, hashed, octaveCount, frequency,
                                                                  amount, count, out);
    } else {
        (near ? LineValuesAvx2<true> : LineValuesAvx2<false>)(octaves, constants, hashed, octaveCount, frequency,
                                                              amount, 0, count, out);
    }
#endif
}

}  // namespace korvane::utils
