// The base bits weighed 8 or 16 at a time against one at a time: the same bits on every plane
// shape the encoder makes (rows shorter than the lanes, edges, widths off the lanes' grid) and
// on pictures that flip bits in every pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <span>

#include "base_bits.h"
#include "scene.h"

namespace simtest {
namespace {

constexpr int kLuma4[] = {2, 6, 10, 14, 18, 24, 32, 40, -2, -6, -10, -14, -18, -24, -32, -40};
constexpr int kLuma3[] = {2, 7, 14, 25, -3, -8, -15, -26};
constexpr int kLuma2[] = {4, 12, -4, -12};
constexpr int kChroma1[] = {4, -4};
// Not symmetric about zero, unsorted, with a zero step: the deepest search of the 16 lanes.
constexpr int kUneven[] = {3, -1, 8, -7, 15, 22, -30, 41, -2, 5, -12, 19, -25, 33, 0, -44};

std::vector<float> Picture(int width, int height, std::mt19937& random) {
    std::uniform_real_distribution<float> noise(-30.0f, 30.0f);
    std::vector<float> target(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const float smooth = 128 + 100 * std::sin(x / 7.0f) * std::cos(y / 5.0f);
            // Hard edges and out-of-range values as well as noise, and a few far out of range,
            // past the residual costs' table.
            const float v =
                (x / 9 + y / 6) % 5 == 0 ? (x % 2 ? 0.0f : 255.0f) : smooth + noise(random);
            const float far = (x * 7 + y * 3) % 41 == 0 ? (x % 2 ? -700.0f : 900.0f) : 0.0f;
            target[static_cast<std::size_t>(y) * width + x] = far != 0.0f ? far : std::clamp(v, -10.0f, 265.0f);
        }
    return target;
}

TEST(BaseBits, LanesChooseTheBitsOneAtATimeChooses) {
    std::mt19937 random(14);
    // Step lists of 16 and 8 steps, whose costs 8 lanes look up, and of 4 and 2, which they
    // work out; 16 lanes search them, symmetric ones folded.
    const std::span<const int> stepLists[] = {kLuma4, kLuma3, kLuma2, kChroma1, kUneven};
    // Plane widths: the compressed frame's (luma PW, chroma PW / 2) for PW 16 ... 104.
    for (int pw = 16; pw <= 104; pw += 8) {
        for (int ph : {8, 12, 24}) {
            for (const bool luma : {true, false}) {
                const int width = luma ? pw : pw / 2;
                const simulator::BasePlane shape{
                    width, ph, luma ? 2 : 0, luma ? pw - 8 : pw / 2 - 4, ph - 4, {}};
                const std::vector<float> target = Picture(width, ph, random);
                for (const auto steps : stepLists) {
                    simulator::BasePlane plain = shape;
                    simulator::ChooseBaseBits(plain, target, steps, simulator::Weighing::OneByOne);
                    for (const auto weighing : {simulator::Weighing::Lanes8, simulator::Weighing::Lanes16}) {
                        simulator::BasePlane lanes = shape;
                        simulator::ChooseBaseBits(lanes, target, steps, weighing);
                        ASSERT_EQ(plain.bits, lanes.bits)
                            << "plane " << width << " x " << ph << (luma ? " luma" : " chroma") << ", "
                            << steps.size() << " steps, " << (weighing == simulator::Weighing::Lanes8 ? 8 : 16)
                            << " lanes";
                    }
                }
            }
        }
    }
}

// A camera's picture: its errors meet the rounding's ties, which random ones do not.
TEST(BaseBits, LanesChooseTheBitsOneAtATimeChoosesForAPicture) {
    const simulator::Scene scene(std::nullopt);
    const auto picture = scene.Sample({8, 2, 480, 244, 32, 64}, 123, {0x50, 0x20, 0xC0, 0x10});
    const simulator::BasePlane shape{240, 244, 2, 232, 240, {}};
    simulator::BasePlane plain = shape;
    simulator::ChooseBaseBits(plain, picture.y, kLuma4, simulator::Weighing::OneByOne);
    for (const auto weighing : {simulator::Weighing::Lanes8, simulator::Weighing::Lanes16}) {
        simulator::BasePlane lanes = shape;
        simulator::ChooseBaseBits(lanes, picture.y, kLuma4, weighing);
        EXPECT_EQ(plain.bits, lanes.bits) << (weighing == simulator::Weighing::Lanes8 ? 8 : 16) << " lanes";
    }
}

}  // namespace
}  // namespace simtest
