// The base-bit search's lanes: what the one-at-a-time search and the lanes share, and the
// sixteen-lane (AVX-512) functions, which have their own file. Only the search's files use it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base_bits.h"

namespace simulator::lanes {

// The kernel in units of 1, as the encoder weighs a bit's change.
struct KernelUnits {
    float at[5][5];
    KernelUnits() {
        for (int r = 0; r < 5; ++r)
            for (int c = 0; c < 5; ++c) at[r][c] = kKernel[r][c] / 1000.0f;
    }
};

inline const KernelUnits kUnits;

// What an error of the smoothed value still costs once the best correction step is added,
// tabulated in quarter steps, in sixteenths. A cost is (4e + 4 step)^2 / 16 with |4e + 4 step|
// at most 1360, so float held every cost exactly, and every sum of a bit's 25 differences of
// costs too (each difference is under 2720 * 111 sixteenths): integer sums decide alike.
class ResidualCost {
  public:
    static constexpr int kRange = 300, kScale = 4, kLast = 2 * kRange * kScale;
    explicit ResidualCost(std::span<const int> steps) : steps_(steps), table_(kLast + 1) {
        for (int i = 0; i <= kLast; ++i) {
            int best = 1 << 30;
            for (int step : steps) {
                const int quarters = i - kRange * kScale + kScale * step;
                best = std::min(best, quarters * quarters);
            }
            table_[i] = best;
        }
    }
    int operator()(float e) const {
        return table_[std::clamp(RoundHalfAway(e * kScale) + kRange * kScale, 0, kLast)];
    }
    const int* Table() const { return table_.data(); }
    std::span<const int> Steps() const { return steps_; }

  private:
    std::span<const int> steps_;
    std::vector<int> table_;
};

// Lanes of 8 or 16 bits of a row, the first at sample column `column` (its column less the plane's
// offset): kernel rows firstR ... lastR reach samples, and `error` and `cost` point at its
// sample of kernel row firstR, rows `stride` apart. A lane's kernel columns that reach no sample
// add nothing.
struct LaneBits {
    const float* error;
    const int* cost;
    std::ptrdiff_t stride;
    int firstR, lastR, column, samplesX;
    const std::uint8_t* bits;  // the lanes' own bits
    int lanes;                 // lanes of the row; those past it weigh nothing
};

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The residual cost without a table: the table's entry for q (a quarter-step index less the
// centre) is (q - g)^2 for the point g = -4 step nearest q, and the nearest point is the one
// after as many midpoints between neighbouring points as lie below q (a tie costs the same
// either way). Sixteen lanes find that count by a binary search of permutes, quicker than a
// gather. The midpoints are whole, so the search compares the unrounded error e with the least
// value whose 4e rounds past each (divided by 4, exactly), and does not wait for the scaling
// and rounding. Steps symmetric about zero cost the same at q and -q, and half the points take
// one halving less.
struct StepPoints {
    int levels = 0;          // the search's halvings: the midpoints fill at most 2^levels - 1
    float point[16] = {};    // ascending
    float probe[4][16] = {}; // per halving h, at i: the bound of midpoint i + 2^(levels-1-h) - 1
                             // in units of e, or +inf
    int reach[4] = {};       // per halving, 2^(levels-1-h)
    bool folded = false;     // symmetric steps: the points not below zero, searched for |q|

    explicit StepPoints(std::span<const int> steps);
};

// At most 16 distinct steps, whose midpoints a 16-lane permute holds.
inline bool FitsStepPoints(std::span<const int> steps) {
    return !steps.empty() && steps.size() <= 16;
}

// The instances for a plane's steps, chosen once.
struct CostFunctions {
    unsigned (*flips)(const LaneBits&, const StepPoints&);
    void (*costs)(const float*, int*, std::size_t, const StepPoints&);
    void (*change)(float*, int*, std::ptrdiff_t, int, int, int, int, float, const StepPoints&);
};

bool CpuHasAvx512();
// The sixteen-lane SquaredFlips.
unsigned SquaredFlips16(const LaneBits& b);
// The instances for the steps.
CostFunctions CostFunctionsOf(const StepPoints& points);
#endif

}  // namespace simulator::lanes
