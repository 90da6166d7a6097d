// The choice is greedy and in scan order, and the camera's bytes depend on every float
// decision of it, so the fast search makes exactly the same decisions in the same order. It
// weighs 8 or 16 bits of a row at once against the same errors; only the first of them that
// flips is taken, and the search goes on just after it.

#include "base_bits.h"
#include "base_bits_lanes.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define SIMULATOR_AVX2 1
#define SIMULATOR_AVX2_FUNCTION __attribute__((target("avx2")))
#endif

namespace simulator {
namespace {

using namespace lanes;

constexpr int kLanes = 8;


#if SIMULATOR_AVX2
bool CpuHasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

// Per kernel column c, the lanes that reach a sample through it.
struct Reaches {
    __m256i through[5];
};

SIMULATOR_AVX2_FUNCTION inline Reaches ReachesOf(const LaneBits& b) {
    Reaches out;
    for (int c = 0; c < 5; ++c) {
        const __m256i sample = _mm256_add_epi32(_mm256_set1_epi32(b.column - c),
                                                _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        out.through[c] =
            _mm256_andnot_si256(_mm256_cmpgt_epi32(_mm256_setzero_si256(), sample),
                                _mm256_cmpgt_epi32(_mm256_set1_epi32(b.samplesX), sample));
    }
    return out;
}

// +1 for a clear bit, -1 for a set one.
SIMULATOR_AVX2_FUNCTION inline __m256 SignsOf(const LaneBits& b) {
    std::uint8_t bits[kLanes] = {};
    std::copy_n(b.bits, b.lanes, bits);
    __m128i packed;
    std::memcpy(&packed, bits, sizeof bits);
    const __m256 set = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(packed));
    return _mm256_sub_ps(_mm256_set1_ps(1.0f), _mm256_add_ps(set, set));
}

// The lanes whose bit would flip (lane j at bit j). A zero term leaves a float sum as it was
// (but for the sign of a zero), so the lanes' sums are the plain path's, term for term.
SIMULATOR_AVX2_FUNCTION unsigned SquaredFlips(const LaneBits& b) {
    const __m256 signs = SignsOf(b), two = _mm256_set1_ps(2.0f);
    const Reaches reaches = ReachesOf(b);
    __m256 total = _mm256_setzero_ps();
    for (int r = b.firstR; r <= b.lastR; ++r) {
        const float* e = b.error - (r - b.firstR) * b.stride;
        for (int c = 0; c < 5; ++c) {
            const __m256 d = _mm256_and_ps(_mm256_mul_ps(signs, _mm256_set1_ps(kUnits.at[r][c])),
                                           _mm256_castsi256_ps(reaches.through[c]));
            total = _mm256_add_ps(
                total,
                _mm256_mul_ps(d, _mm256_add_ps(_mm256_mul_ps(two, _mm256_loadu_ps(e - c)), d)));
        }
    }
    return _mm256_movemask_ps(_mm256_cmp_ps(total, _mm256_setzero_ps(), _CMP_NGE_UQ));
}

// Where the cost of errors `e` lies in the table, as ResidualCost does it.
SIMULATOR_AVX2_FUNCTION inline __m256i CostIndex(__m256 e) {
    const __m256 v = _mm256_mul_ps(e, _mm256_set1_ps(static_cast<float>(ResidualCost::kScale)));
    __m256i i = _mm256_cvttps_epi32(v);
    const __m256 fraction = _mm256_sub_ps(v, _mm256_cvtepi32_ps(i));
    // A true comparison is -1.
    i = _mm256_sub_epi32(
        i, _mm256_castps_si256(_mm256_cmp_ps(fraction, _mm256_set1_ps(0.5f), _CMP_GE_OQ)));
    i = _mm256_add_epi32(
        i, _mm256_castps_si256(_mm256_cmp_ps(fraction, _mm256_set1_ps(-0.5f), _CMP_LE_OQ)));
    i = _mm256_add_epi32(i, _mm256_set1_epi32(ResidualCost::kRange * ResidualCost::kScale));
    return _mm256_min_epi32(_mm256_max_epi32(i, _mm256_setzero_si256()),
                            _mm256_set1_epi32(ResidualCost::kLast));
}

// With a few steps, the table's entry is quicker worked out than gathered: the least
// (i - centre + 4 step)^2, each under 2^24 and so exact in float.
struct FewSteps {
    int count = 0;
    float quarters[4];  // 4 step - centre
};

template <int kSteps>
SIMULATOR_AVX2_FUNCTION inline __m256i CostOf(__m256i index, const int* table,
                                              const FewSteps& few) {
    if constexpr (kSteps == 0) {
        return _mm256_i32gather_epi32(table, index, 4);
    } else {
        const __m256 i = _mm256_cvtepi32_ps(index);
        __m256 best = _mm256_set1_ps(1e30f);
        for (int k = 0; k < kSteps; ++k) {
            const __m256 q = _mm256_add_ps(i, _mm256_set1_ps(few.quarters[k]));
            best = _mm256_min_ps(best, _mm256_mul_ps(q, q));
        }
        return _mm256_cvtps_epi32(best);
    }
}

// The lanes whose bit would flip (lane j at bit j). kSteps: the count of steps worked out, or
// 0 to gather the costs from the table.
template <int kSteps>
SIMULATOR_AVX2_FUNCTION unsigned ResidualFlips(const LaneBits& b, const int* table,
                                               const FewSteps& few) {
    const __m256 signs = SignsOf(b);
    const Reaches reaches = ReachesOf(b);
    __m256i total = _mm256_setzero_si256();
    for (int r = b.firstR; r <= b.lastR; ++r) {
        const float* e = b.error - (r - b.firstR) * b.stride;
        const int* now = b.cost - (r - b.firstR) * b.stride;
        for (int c = 0; c < 5; ++c) {
            const __m256 d = _mm256_mul_ps(signs, _mm256_set1_ps(kUnits.at[r][c]));
            const __m256i i = CostIndex(_mm256_add_ps(_mm256_loadu_ps(e - c), d));
            const __m256i step =
                _mm256_sub_epi32(CostOf<kSteps>(i, table, few),
                                 _mm256_loadu_si256(reinterpret_cast<const __m256i*>(now - c)));
            total = _mm256_add_epi32(total, _mm256_and_si256(step, reaches.through[c]));
        }
    }
    return _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_setzero_si256(), total)));
}

unsigned ResidualFlips(const LaneBits& b, const int* table, const FewSteps& few) {
    switch (few.count) {
        case 1:
            return ResidualFlips<1>(b, table, few);
        case 2:
            return ResidualFlips<2>(b, table, few);
        case 3:
            return ResidualFlips<3>(b, table, few);
        case 4:
            return ResidualFlips<4>(b, table, few);
        default:
            return ResidualFlips<0>(b, table, few);
    }
}

// A flip's change to the errors of its samples (and their costs, given the table), a kernel
// row at a time: `error` and `cost` point at the sample of kernel row firstR and column 0,
// rows `stride` apart; lane l holds kernel column 4 - l.
SIMULATOR_AVX2_FUNCTION void ChangeSamples(float* error, int* cost, std::ptrdiff_t stride,
                                           int firstR, int lastR, int firstC, int lastC, float sign,
                                           const int* table) {
    const __m256i lane = _mm256_setr_epi32(4, 3, 2, 1, 0, -1, -2, -3);  // kernel column
    const __m256i reaches =
        _mm256_andnot_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(firstC), lane),
                            _mm256_cmpgt_epi32(_mm256_set1_epi32(lastC + 1), lane));
    for (int r = firstR; r <= lastR; ++r) {
        float* e = error - (r - firstR) * stride - 4;
        const __m256 d = _mm256_mul_ps(
            _mm256_set1_ps(sign), _mm256_setr_ps(kUnits.at[r][4], kUnits.at[r][3], kUnits.at[r][2],
                                                 kUnits.at[r][1], kUnits.at[r][0], 0, 0, 0));
        const __m256 changed = _mm256_add_ps(_mm256_maskload_ps(e, reaches), d);
        _mm256_maskstore_ps(e, reaches, changed);
        if (table) {
            int* now = cost - (r - firstR) * stride - 4;
            _mm256_maskstore_epi32(now, reaches,
                                   _mm256_i32gather_epi32(table, CostIndex(changed), 4));
        }
    }
}
#endif


std::uint64_t LoadWord(const std::uint8_t* at) {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// One flag per bit of a plane, 64 to a word, each row in whole words and one spare. The flags
// of up to 16 bits are read, cleared or set a word or two at a time, every access aligned and
// of one size: a read across an unaligned store of another size waits for the store.
class BitFlags {
  public:
    void SetAll(int width, int height) {
        wordsPerRow_ = width / 64 + 2;
        words_.assign(static_cast<std::size_t>(wordsPerRow_) * height, ~std::uint64_t{0});
    }
    // Bits col ... col + 63 of the row, bit j at bit j.
    std::uint64_t Get(int row, int col) const {
        const std::uint64_t* word = &words_[WordAt(row, col)];
        const int shift = col & 63;
        return shift == 0 ? word[0] : word[0] >> shift | word[1] << (64 - shift);
    }
    // Bits col ... col + n - 1 (n at most 64) set or cleared.
    void Set(int row, int col, int n, bool on) {
        std::uint64_t* word = &words_[WordAt(row, col)];
        const int shift = col & 63;
        const std::uint64_t ones = n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
        Apply(word[0], ones << shift, on);
        if (shift + n > 64) Apply(word[1], ones >> (64 - shift), on);
    }

  private:
    static void Apply(std::uint64_t& word, std::uint64_t mask, bool on) {
        word = on ? word | mask : word & ~mask;
    }
    std::size_t WordAt(int row, int col) const {
        return static_cast<std::size_t>(row) * wordsPerRow_ + (col >> 6);
    }
    int wordsPerRow_ = 0;
    std::vector<std::uint64_t> words_;
};

// The search's buffers, kept on each thread from frame to frame: fresh ones for every frame,
// freed back to the system in between, cost more in page faults than the search itself.
struct Buffers {
    std::array<std::vector<float>, 2> densities;
    std::vector<float> error;
    std::vector<int> cost, sums;
    std::vector<std::uint8_t> pattern;
    BitFlags stale;
};

Buffers& ThreadBuffers() {
    thread_local Buffers buffers;
    return buffers;
}

// Kernel rows r and columns c through which bit (row, col) reaches sample
// (row - r, col - offset - c).
struct Reach {
    int firstR, lastR, firstC, lastC;
};

class Search {
  public:
    Search(BasePlane& p, const std::vector<float>& target, Weighing weighing);

    void FindErrors();
    void SquaredPass();
    void ResidualPasses(const ResidualCost& residual);

  private:
    // Lanes read up to 6 samples before the first and 22 after the last.
    static constexpr int kPadding = 32;

    std::size_t BitAt(int row, int col) const {
        return static_cast<std::size_t>(row) * p_.width + col;
    }
    std::ptrdiff_t SampleAt(int row, int col) const {
        return kPadding + static_cast<std::ptrdiff_t>(row) * p_.samplesX + (col - p_.offset);
    }
    Reach ReachOf(int row, int col) const {
        return {std::max(0, row - p_.samplesY + 1), std::min(4, row),
                std::max(0, col - p_.offset - p_.samplesX + 1), std::min(4, col - p_.offset)};
    }
    float SignOf(int row, int col) const { return p_.Bit(col, row) ? -1.0f : 1.0f; }
    LaneBits LanesAt(int row, int col, int lanes) const;
    unsigned SquaredFlipsAt(int row, int col, int lanes) const;
    unsigned ResidualFlipsAt(int row, int col, int lanes) const;

    float SquaredChange(int row, int col) const;
    int ResidualChange(int row, int col) const;
    void Flip(int row, int col);
    void MarkAround(int row, int col, const Reach& reach);

    BasePlane& p_;
    const std::vector<float>& target_;
    int lanes_ = 1;  // bits weighed at once
    Buffers& buffers_ = ThreadBuffers();
    std::vector<float>& error_ =
        buffers_.error;  // per sample: smoothed value - target, unrounded; padded
    const ResidualCost* residual_ = nullptr;
#if SIMULATOR_AVX2
    FewSteps few_;
    std::optional<StepPoints> points_;
    CostFunctions costFunctions_{};
#endif
    std::vector<int>& cost_ =
        buffers_.cost;  // per sample: residual(error), kept in step with error; padded
    // A bit whose samples have not changed since it was last weighed would weigh the same
    // and again keep still: only bits near a flip are weighed again.
    BitFlags& stale_ = buffers_.stale;
};

Search::Search(BasePlane& p, const std::vector<float>& target, Weighing weighing)
    : p_(p), target_(target) {
#if SIMULATOR_AVX2
    if (weighing == Weighing::Lanes16 && CpuHasAvx512()) lanes_ = 16;
    else if (weighing != Weighing::OneByOne && CpuHasAvx2()) lanes_ = 8;
#else
    (void)weighing;
#endif
}

// The bit for a density, what is left of it, and the share of that passed on along the row.
// The chain from pixel to pixel is the cost: the share is worked out for both bits while the
// bit is chosen, and picked without a branch (the bits of a picture are as good as random).
struct Thresholded {
    bool on;
    float error, passed;
};

inline Thresholded Threshold(float value) {
    constexpr float kPassed = 7.0f / 16;
#if SIMULATOR_AVX2
    const __m128 v = _mm_set_ss(value), less = _mm_sub_ss(v, _mm_set_ss(1.0f));
    const __m128 on = _mm_cmpge_ss(v, _mm_set_ss(0.5f));
    auto pick = [&](__m128 ifOn, __m128 ifOff) {
        return _mm_cvtss_f32(_mm_or_ps(_mm_and_ps(on, ifOn), _mm_andnot_ps(on, ifOff)));
    };
    return {_mm_cvtsi128_si32(_mm_castps_si128(on)) != 0, pick(less, v),
            pick(_mm_mul_ss(less, _mm_set_ss(kPassed)), _mm_mul_ss(v, _mm_set_ss(kPassed)))};
#else
    const bool on = value >= 0.5f;
    const float error = value - static_cast<float>(on);
    return {on, error, error * kPassed};
#endif
}

// Error diffusion of planes of one shape side by side: each plane's is one chain of dependent
// steps, which is the whole cost, and the processor runs two chains in the time of one.
template <std::size_t N>
void Diffuse(const std::array<BasePlane*, N>& planes, const std::array<const std::vector<float>*, N>& targets) {
    const int w = planes[0]->width, h = planes[0]->height;
    const std::size_t n = static_cast<std::size_t>(w) * h;
    std::array<std::vector<float>, 2>& densities = ThreadBuffers().densities;
    for (std::size_t i = 0; i < N; ++i) {
        planes[i]->bits.resize(n);
        // One row more than the plane, which the last row spreads its errors into unread.
        densities[i].resize(n + w);
        const std::vector<float>& target = *targets[i];
        for (std::size_t j = 0; j < n; ++j) densities[i][j] = std::clamp(target[j] / 255.475f, 0.0f, 1.0f);
    }
    if (n == 0) return;
    for (int y = 0; y < h; ++y) {
        const int dir = y % 2 == 1 ? -1 : 1;
        const int first = dir < 0 ? w - 1 : 0;
        const std::size_t at = static_cast<std::size_t>(y) * w;
        // What the pixel before passes on, and the next row's two sums still open (below the
        // pixel, and below the pixel before), stay out of memory. Each sum takes its three
        // shares in the same order as pixel by pixel.
        float carried[N] = {}, below[N], belowBehind[N] = {};
        // Plain pointers: a store of a bit may alias anything, and would have the vectors'
        // own pointers read again at every step.
        float* rows[N];
        std::uint8_t* bits[N];
        for (std::size_t i = 0; i < N; ++i) {
            rows[i] = &densities[i][at];
            bits[i] = &planes[i]->bits[at];
            below[i] = rows[i][w + first];
        }
        for (int k = 0, x = first; k < w; ++k, x += dir) {
            for (std::size_t i = 0; i < N; ++i) {
                float* next = rows[i] + w;
                const float value = k == 0 ? rows[i][x] : rows[i][x] + carried[i];
                const auto [on, error, passed] = Threshold(value);
                bits[i][x] = on;
                carried[i] = passed;
                if (k > 0) next[x - dir] = belowBehind[i] + error * (3.0f / 16);
                belowBehind[i] = below[i] + error * (5.0f / 16);
                if (k + 1 < w) below[i] = next[x + dir] + error * (1.0f / 16);
            }
        }
        for (std::size_t i = 0; i < N; ++i) rows[i][w + first + (w - 1) * dir] = belowBehind[i];
    }
}

void Search::FindErrors() {
    const int w = p_.width, h = p_.height;
    // Per bit, the five bits of its row from it rightward; per kernel row, the weight of each
    // such pattern.
    std::vector<std::uint8_t>& pattern = buffers_.pattern;
    pattern.resize(static_cast<std::size_t>(w) * h);
    for (int row = 0; row < h; ++row) {
        const std::uint8_t* bits = &p_.bits[BitAt(row, 0)];
        std::uint8_t* out = &pattern[BitAt(row, 0)];
        // Where the row goes on for eight bytes, one word: the multiply moves byte k's bit to
        // bit 56 + k, and no two of its products meet. Near the row's end, bit by bit.
        int col = 0;
        if constexpr (std::endian::native == std::endian::little)
            for (; col + 8 <= w; ++col) out[col] = static_cast<std::uint8_t>((LoadWord(bits + col) * 0x0102040810204080u) >> 56 & 31);
        int m = 0;
        for (int c = w - 1; c >= col; --c) {
            m = (m << 1 | bits[c]) & 31;
            out[c] = static_cast<std::uint8_t>(m);
        }
    }
    int weight[5][32] = {};
    for (int r = 0; r < 5; ++r)
        for (int m = 0; m < 32; ++m)
            for (int c = 0; c < 5; ++c)
                if (m >> c & 1) weight[r][m] += kKernel[r][c];

    error_.assign(static_cast<std::size_t>(p_.samplesX) * p_.samplesY + 2 * kPadding, 0.0f);
    // A row's sums first, then its errors in a loop the compiler makes vector divisions of.
    std::vector<int>& sums = buffers_.sums;
    sums.resize(p_.samplesX);
    for (int y = 0; y < p_.samplesY; ++y) {
        const std::uint8_t* at = &pattern[BitAt(y, p_.offset)];
        for (int x = 0; x < p_.samplesX; ++x)
            sums[x] = weight[0][at[x]] + weight[1][at[x + w]] + weight[2][at[x + 2 * w]] +
                      weight[3][at[x + 3 * w]] + weight[4][at[x + 4 * w]];
        float* error = &error_[SampleAt(y, p_.offset)];
        const float* target = &target_[BitAt(y + 2, p_.offset + 2)];
        for (int x = 0; x < p_.samplesX; ++x) error[x] = sums[x] / 1000.0f - target[x];
    }
}

LaneBits Search::LanesAt(int row, int col, int lanes) const {
    const Reach reach = ReachOf(row, col);
    const std::ptrdiff_t at = SampleAt(row - std::min(reach.firstR, reach.lastR), col);
    return {&error_[at], residual_ ? &cost_[at] : nullptr,
            p_.samplesX, reach.firstR,
            reach.lastR, col - p_.offset,
            p_.samplesX, &p_.bits[BitAt(row, col)],
            lanes};
}

// The change of the squared error if the bit flipped, summed in the kernel's order.
float Search::SquaredChange(int row, int col) const {
    const Reach reach = ReachOf(row, col);
    const float sign = SignOf(row, col);
    float change = 0;
    for (int r = reach.firstR; r <= reach.lastR; ++r) {
        const std::ptrdiff_t at = SampleAt(row - r, col);
        for (int c = reach.firstC; c <= reach.lastC; ++c) {
            const float d = sign * kUnits.at[r][c];
            change += d * (2 * error_[at - c] + d);
        }
    }
    return change;
}

// The change of the residual cost if the bit flipped, in sixteenths.
int Search::ResidualChange(int row, int col) const {
    const Reach reach = ReachOf(row, col);
    const float sign = SignOf(row, col);
    int change = 0;
    for (int r = reach.firstR; r <= reach.lastR; ++r) {
        const std::ptrdiff_t at = SampleAt(row - r, col);
        for (int c = reach.firstC; c <= reach.lastC; ++c)
            change += (*residual_)(error_[at - c] + sign * kUnits.at[r][c]) - cost_[at - c];
    }
    return change;
}

void Search::Flip(int row, int col) {
    const float sign = SignOf(row, col);
    p_.bits[BitAt(row, col)] ^= 1;
    const Reach reach = ReachOf(row, col);
#if SIMULATOR_AVX2
    if (lanes_ > 1 && reach.firstR <= reach.lastR && reach.firstC <= reach.lastC) {
        const std::ptrdiff_t at = SampleAt(row - reach.firstR, col);
        if (points_ && residual_)
            costFunctions_.change(&error_[at], &cost_[at], p_.samplesX, reach.firstR, reach.lastR,
                                  reach.firstC, reach.lastC, sign, *points_);
        else
            ChangeSamples(&error_[at], residual_ ? &cost_[at] : nullptr, p_.samplesX, reach.firstR,
                      reach.lastR, reach.firstC, reach.lastC, sign,
                      residual_ ? residual_->Table() : nullptr);
        if (residual_) MarkAround(row, col, reach);
        return;
    }
#endif
    for (int r = reach.firstR; r <= reach.lastR; ++r) {
        const std::ptrdiff_t at = SampleAt(row - r, col);
        for (int c = reach.firstC; c <= reach.lastC; ++c) {
            error_[at - c] += sign * kUnits.at[r][c];
            if (residual_) cost_[at - c] = (*residual_)(error_[at - c]);
        }
    }
    if (residual_) MarkAround(row, col, reach);
}

// Every bit that reads a sample the flip changed.
void Search::MarkAround(int row, int col, const Reach& reach) {
    if (reach.firstR > reach.lastR || reach.firstC > reach.lastC) return;
    const int lastRow = std::min(row - reach.firstR + 4, p_.height - 1);
    const int firstCol = col - reach.lastC,
              lastCol = std::min(col - reach.firstC + 4, p_.width - 1);
    for (int y = row - reach.lastR; y <= lastRow; ++y) stale_.Set(y, firstCol, lastCol - firstCol + 1, true);
}

// The flags of bits (row, col) ... (row, col + lanes - 1) that would flip: lane j at bit j.
// Without lanes (lanes_ is 1) they are not asked for.
unsigned Search::SquaredFlipsAt([[maybe_unused]] int row, [[maybe_unused]] int col,
                                [[maybe_unused]] int lanes) const {
#if SIMULATOR_AVX2
    if (lanes_ == 16) return SquaredFlips16(LanesAt(row, col, lanes));
    return SquaredFlips(LanesAt(row, col, lanes)) & ((1u << lanes) - 1);
#else
    return 0;
#endif
}

unsigned Search::ResidualFlipsAt([[maybe_unused]] int row, [[maybe_unused]] int col,
                                 [[maybe_unused]] int lanes) const {
#if SIMULATOR_AVX2
    if (lanes_ == 16) return costFunctions_.flips(LanesAt(row, col, lanes), *points_);
    return ResidualFlips(LanesAt(row, col, lanes), residual_->Table(), few_);
#else
    return 0;
#endif
}

void Search::SquaredPass() {
    for (int row = 0; row < p_.height; ++row) {
        for (int col = 0; col < p_.width;) {
            if (lanes_ > 1) {
                const int lanes = std::min(lanes_, p_.width - col);
                const unsigned flips = SquaredFlipsAt(row, col, lanes);
                const int j = flips ? std::countr_zero(flips) : lanes;
                if (j < lanes) Flip(row, col + j);
                col += std::min(j + 1, lanes);
                continue;
            }
            if (!(SquaredChange(row, col) >= 0)) Flip(row, col);
            ++col;
        }
    }
}

void Search::ResidualPasses(const ResidualCost& residual) {
    residual_ = &residual;
    cost_.resize(error_.size());
    stale_.SetAll(p_.width, p_.height);
    bool costed = false;
#if SIMULATOR_AVX2
    if (lanes_ == 16 && FitsStepPoints(residual.Steps())) {
        points_.emplace(residual.Steps());
        costFunctions_ = CostFunctionsOf(*points_);
        costFunctions_.costs(error_.data(), cost_.data(), error_.size(), *points_);
        costed = true;
    } else {
        lanes_ = std::min(lanes_, 8);
        if (residual.Steps().size() <= 4)
            for (int step : residual.Steps())
                few_.quarters[few_.count++] = static_cast<float>(
                    ResidualCost::kScale * step - ResidualCost::kRange * ResidualCost::kScale);
    }
#endif
    if (!costed)
        for (std::size_t s = 0; s < error_.size(); ++s) cost_[s] = residual(error_[s]);
    for (int pass = 0; pass < 3; ++pass) {
        for (int row = 0; row < p_.height; ++row) {
            for (int col = 0; col < p_.width;) {
                if (lanes_ > 1) {
                    const int lanes = std::min(lanes_, p_.width - col);
                    // A lane not stale would keep still; its figure is not looked at.
                    const unsigned staleLanes = static_cast<unsigned>(stale_.Get(row, col)) & ((1u << lanes) - 1);
                    if (staleLanes == 0) {
                        col += lanes;
                        continue;
                    }
                    const unsigned flips = ResidualFlipsAt(row, col, lanes) & staleLanes;
                    const int j = flips ? std::countr_zero(flips) : lanes;
                    stale_.Set(row, col, std::min(j + 1, lanes), false);
                    if (j < lanes) Flip(row, col + j);
                    col += std::min(j + 1, lanes);
                    continue;
                }
                if (stale_.Get(row, col) & 1) {
                    stale_.Set(row, col, 1, false);
                    if (ResidualChange(row, col) < 0) Flip(row, col);
                }
                ++col;
            }
        }
    }
}

// Everything after the diffusion.
void SearchBits(BasePlane& p, const std::vector<float>& target, std::span<const int> steps,
                Weighing weighing) {
    Search search(p, target, weighing);
    search.FindErrors();
    search.SquaredPass();
    search.ResidualPasses(ResidualCost(steps));
}

}  // namespace

void ChooseBaseBits(BasePlane& p, const std::vector<float>& target, std::span<const int> steps,
                    Weighing weighing) {
    Diffuse<1>({&p}, {&target});
    SearchBits(p, target, steps, weighing);
}

void ChooseBaseBits(BasePlane& a, const std::vector<float>& targetA, BasePlane& b,
                    const std::vector<float>& targetB, std::span<const int> steps, Weighing weighing) {
    if (a.width == b.width && a.height == b.height) {
        Diffuse<2>({&a, &b}, {&targetA, &targetB});
    } else {
        Diffuse<1>({&a}, {&targetA});
        Diffuse<1>({&b}, {&targetB});
    }
    SearchBits(a, targetA, steps, weighing);
    SearchBits(b, targetB, steps, weighing);
}

}  // namespace simulator
