// The one-bit base layer of the compressed formats: the planes of bits and how the encoder
// chooses them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace simulator {

// The decoder's smoothing kernel (thousandths; total 255475, so a full window reads 255).
inline constexpr int kKernel[5][5] = {{3942, 10001, 11519, 6516, 1550},
                                      {7587, 20234, 24242, 14849, 4030},
                                      {7399, 21318, 27329, 17137, 4861},
                                      {4650, 13790, 19016, 12622, 3636},
                                      {1211, 4623, 7126, 4973, 1314}};

// std::lround of a float of moderate size, without the library call: the truncation and the
// fraction left are exact, and halves go away from zero. Without branches: the picture's
// fractions are as good as random.
inline int RoundHalfAway(float v) {
    const int i = static_cast<int>(v);
    const float fraction = v - static_cast<float>(i);
    return i + (fraction >= 0.5f) - (fraction <= -0.5f);
}

// One plane of base bits and the samples that the decoder smooths from it. Sample (x, y)
// reads plane columns x + offset ... x + offset + 4 and rows y ... y + 4, and stands for plane
// position (x + offset + 2, y + 2).
struct BasePlane {
    int width = 0, height = 0;  // plane
    int offset = 0;             // 2 for luma, 0 for chroma
    int samplesX = 0, samplesY = 0;
    std::vector<std::uint8_t> bits;

    bool Bit(int col, int row) const { return bits[static_cast<std::size_t>(row) * width + col]; }
};

// How the search weighs the bits: one at a time, or 8 (AVX2) or 16 (AVX-512) of a row at once,
// each falling back to the next narrower way the processor has. All choose the same bits.
enum class Weighing { OneByOne, Lanes8, Lanes16 };

// Error diffusion of the density `target` / 255.475, then greedy bit flips: first toward the
// target itself, then toward what leaves the least error after the best of `steps` is added.
void ChooseBaseBits(BasePlane& p, const std::vector<float>& target, std::span<const int> steps,
                    Weighing weighing = Weighing::Lanes16);
// The same for two planes (a frame's chroma), whose error diffusions, one chain of dependent
// steps each, run side by side when the planes have one shape.
void ChooseBaseBits(BasePlane& a, const std::vector<float>& targetA, BasePlane& b,
                    const std::vector<float>& targetB, std::span<const int> steps,
                    Weighing weighing = Weighing::Lanes16);

}  // namespace simulator
