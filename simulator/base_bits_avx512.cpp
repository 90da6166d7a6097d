// The base-bit search's sixteen lanes, on AVX-512 (F, BW, VL): the same sums as the
// one-at-a-time search, and the residual costs found by a search of the steps instead of a
// table.
// GCC 12 takes the undefined pass-through operand inside its own 512-bit intrinsics for an
// uninitialized variable.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "base_bits_lanes.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

#include <cmath>

#define SIMULATOR_AVX512_FUNCTION __attribute__((target("avx512f,avx512bw,avx512vl")))

namespace simulator::lanes {

bool CpuHasAvx512() {
    static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("avx512vl");
    return has;
}

StepPoints::StepPoints(std::span<const int> steps) {
    std::vector<float> points;
    for (int step : steps) points.push_back(static_cast<float>(-ResidualCost::kScale * step));
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    if (std::equal(points.begin(), points.end(), points.rbegin(), [](float a, float b) { return a == -b; })) {
        std::erase_if(points, [](float g) { return g < 0; });
        folded = true;
    }
    const int count = static_cast<int>(points.size());
    while ((1 << levels) < count) ++levels;
    for (int i = 0; i < 16; ++i) point[i] = points[std::min(i, count - 1)];
    // RoundHalfAway(v) > m exactly when v > the bound: m + 1/2, or just below it for m >= 0
    // (where a half rounds up).
    auto bound = [&](int i) {
        if (i + 1 >= count) return HUGE_VALF;
        const float m = (points[i] + points[i + 1]) / 2;
        return (m >= 0 ? std::nextafter(m + 0.5f, -HUGE_VALF) : m + 0.5f) / ResidualCost::kScale;
    };
    for (int h = 0; h < levels; ++h) {
        reach[h] = 1 << (levels - 1 - h);
        for (int i = 0; i < 16; ++i) probe[h][i] = bound(i + reach[h] - 1);
    }
}

namespace {

// ResidualCost of each lane's error, as an integer in a float (every cost is under 2^24).
template <int kLevels, bool kFolded>
SIMULATOR_AVX512_FUNCTION inline __m512 CostOf16(__m512 e, const StepPoints& s) {
    constexpr int kTruncate = _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC;
    const __m512 scale = _mm512_set1_ps(static_cast<float>(ResidualCost::kScale));
    const __m512 v = _mm512_mul_ps(e, scale);
    const __m512 edge = _mm512_set1_ps(static_cast<float>(ResidualCost::kRange * ResidualCost::kScale));
    __m512 q, searched;
    if constexpr (kFolded) {
        // |RoundHalfAway(v)| clamped is RoundHalfAway(|v| clamped): the truncation, and one
        // more for a fraction (exact) of a half or more.
        searched = _mm512_min_ps(_mm512_abs_ps(e), _mm512_set1_ps(static_cast<float>(ResidualCost::kRange)));
        const __m512 a = _mm512_mul_ps(searched, scale);
        const __m512 whole = _mm512_roundscale_ps(a, kTruncate);
        q = _mm512_mask_add_ps(whole, _mm512_cmp_ps_mask(_mm512_sub_ps(a, whole), _mm512_set1_ps(0.5f), _CMP_GE_OQ),
                               whole, _mm512_set1_ps(1.0f));
    } else {
        // RoundHalfAway(v): twice the exact fraction left by truncation has the carry as its
        // whole part. The midpoints lie well inside the clamp: the search takes e unclamped.
        searched = e;
        const __m512 whole = _mm512_roundscale_ps(v, kTruncate);
        const __m512 fraction = _mm512_sub_ps(v, whole);
        q = _mm512_add_ps(whole, _mm512_roundscale_ps(_mm512_add_ps(fraction, fraction), kTruncate));
        q = _mm512_min_ps(_mm512_max_ps(q, _mm512_sub_ps(_mm512_setzero_ps(), edge)), edge);
    }
    __m512i nearest = _mm512_setzero_si512();
    for (int h = 0; h < kLevels; ++h) {
        const __m512 probe = _mm512_permutexvar_ps(nearest, _mm512_loadu_ps(s.probe[h]));
        nearest = _mm512_mask_add_epi32(nearest, _mm512_cmp_ps_mask(probe, searched, _CMP_LT_OQ), nearest,
                                        _mm512_set1_epi32(s.reach[h]));
    }
    const __m512 r = _mm512_sub_ps(q, _mm512_permutexvar_ps(nearest, _mm512_loadu_ps(s.point)));
    return _mm512_mul_ps(r, r);
}

// Per kernel column c, the lanes that reach a sample through it (and lie within the row).
struct Reaches16 {
    __mmask16 through[5];
};

SIMULATOR_AVX512_FUNCTION inline Reaches16 ReachesOf16(const LaneBits& b) {
    Reaches16 out;
    const __mmask16 lanes = static_cast<__mmask16>((1u << b.lanes) - 1);
    const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    for (int c = 0; c < 5; ++c) {
        const __m512i sample = _mm512_add_epi32(_mm512_set1_epi32(b.column - c), lane);
        out.through[c] = lanes & _mm512_cmpge_epi32_mask(sample, _mm512_setzero_si512()) &
                         _mm512_cmplt_epi32_mask(sample, _mm512_set1_epi32(b.samplesX));
    }
    return out;
}

// +1 for a clear bit, -1 for a set one.
SIMULATOR_AVX512_FUNCTION inline __m512 SignsOf16(const LaneBits& b) {
    const __m128i bits = _mm_maskz_loadu_epi8(static_cast<__mmask16>((1u << b.lanes) - 1), b.bits);
    const __m512 set = _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(bits));
    return _mm512_sub_ps(_mm512_set1_ps(1.0f), _mm512_add_ps(set, set));
}

}  // namespace

// As SquaredFlips, sixteen lanes. A lane that a term does not reach keeps its sum.
SIMULATOR_AVX512_FUNCTION unsigned SquaredFlips16(const LaneBits& b) {
    const __m512 signs = SignsOf16(b), two = _mm512_set1_ps(2.0f);
    const Reaches16 reaches = ReachesOf16(b);
    __m512 total = _mm512_setzero_ps();
    for (int r = b.firstR; r <= b.lastR; ++r) {
        const float* e = b.error - (r - b.firstR) * b.stride;
        for (int c = 0; c < 5; ++c) {
            const __m512 d = _mm512_mul_ps(signs, _mm512_set1_ps(kUnits.at[r][c]));
            const __m512 term =
                _mm512_mul_ps(d, _mm512_add_ps(_mm512_mul_ps(two, _mm512_loadu_ps(e - c)), d));
            total = _mm512_mask_add_ps(total, reaches.through[c], total, term);
        }
    }
    return _mm512_cmp_ps_mask(total, _mm512_setzero_ps(), _CMP_NGE_UQ) & ((1u << b.lanes) - 1);
}

namespace {

template <int kLevels, bool kFolded>
SIMULATOR_AVX512_FUNCTION unsigned ResidualFlips16(const LaneBits& b, const StepPoints& points) {
    const __m512 signs = SignsOf16(b);
    const Reaches16 reaches = ReachesOf16(b);
    __m512i total = _mm512_setzero_si512();
    for (int r = b.firstR; r <= b.lastR; ++r) {
        const float* e = b.error - (r - b.firstR) * b.stride;
        const int* now = b.cost - (r - b.firstR) * b.stride;
        for (int c = 0; c < 5; ++c) {
            const __m512 d = _mm512_mul_ps(signs, _mm512_set1_ps(kUnits.at[r][c]));
            const __m512i cost =
                _mm512_cvtps_epi32(CostOf16<kLevels, kFolded>(_mm512_add_ps(_mm512_loadu_ps(e - c), d), points));
            total = _mm512_mask_add_epi32(total, reaches.through[c], total,
                                          _mm512_sub_epi32(cost, _mm512_loadu_si512(now - c)));
        }
    }
    return _mm512_cmplt_epi32_mask(total, _mm512_setzero_si512());
}

// Every sample's cost, sixteen at a time.
template <int kLevels, bool kFolded>
SIMULATOR_AVX512_FUNCTION void CostsOf16(const float* error, int* cost, std::size_t n, const StepPoints& points) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16)
        _mm512_storeu_si512(cost + i, _mm512_cvtps_epi32(CostOf16<kLevels, kFolded>(_mm512_loadu_ps(error + i), points)));
    if (i < n) {
        const __mmask16 rest = static_cast<__mmask16>((1u << (n - i)) - 1);
        _mm512_mask_storeu_epi32(cost + i, rest,
                                 _mm512_cvtps_epi32(CostOf16<kLevels, kFolded>(_mm512_maskz_loadu_ps(rest, error + i), points)));
    }
}

// As ChangeSamples, with the costs worked out as the lanes work them out.
template <int kLevels, bool kFolded>
SIMULATOR_AVX512_FUNCTION void ChangeSamples16(float* error, int* cost, std::ptrdiff_t stride, int firstR, int lastR,
                                               int firstC, int lastC, float sign, const StepPoints& points) {
    const __mmask16 reaches = static_cast<__mmask16>(((1u << (lastC - firstC + 1)) - 1) << (4 - lastC));
    for (int r = firstR; r <= lastR; ++r) {
        float* e = error - (r - firstR) * stride - 4;
        int* now = cost - (r - firstR) * stride - 4;
        const float* k = kUnits.at[r];
        const __m512 d = _mm512_mul_ps(_mm512_set1_ps(sign), _mm512_setr_ps(k[4], k[3], k[2], k[1], k[0], 0, 0, 0,
                                                                             0, 0, 0, 0, 0, 0, 0, 0));
        const __m512 changed = _mm512_add_ps(_mm512_maskz_loadu_ps(reaches, e), d);
        _mm512_mask_storeu_ps(e, reaches, changed);
        _mm512_mask_storeu_epi32(now, reaches, _mm512_cvtps_epi32(CostOf16<kLevels, kFolded>(changed, points)));
    }
}

template <int kLevels, bool kFolded>
constexpr CostFunctions kCostFunctions{ResidualFlips16<kLevels, kFolded>, CostsOf16<kLevels, kFolded>,
                                       ChangeSamples16<kLevels, kFolded>};

template <bool kFolded>
CostFunctions CostFunctionsOf(int levels) {
    switch (levels) {
        case 0: return kCostFunctions<0, kFolded>;
        case 1: return kCostFunctions<1, kFolded>;
        case 2: return kCostFunctions<2, kFolded>;
        case 3: return kCostFunctions<3, kFolded>;
        default: return kCostFunctions<4, kFolded>;
    }
}

}  // namespace

CostFunctions CostFunctionsOf(const StepPoints& points) {
    return points.folded ? CostFunctionsOf<true>(points.levels) : CostFunctionsOf<false>(points.levels);
}

}  // namespace simulator::lanes
#endif
