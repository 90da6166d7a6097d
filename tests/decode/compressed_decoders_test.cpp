#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "decode/compressed_decoders.h"
#include "decode/decoder_tables.h"
#include "decode/simd.h"
#include "guarded_buffer.h"

namespace {

enum Plane { kY, kCr, kCb };

// The reference's own copy of the smoothing weights and the correction steps, so that a wrong
// constant in the library cannot agree with itself.
constexpr int kKernel[5][5] = {
    {3942, 10001, 11519, 6516, 1550},
    {7587, 20234, 24242, 14849, 4030},
    {7399, 21318, 27329, 17137, 4861},
    {4650, 13790, 19016, 12622, 3636},
    {1211, 4623, 7126, 4973, 1314},
};
constexpr int kLuma4[16] = {2, 6, 10, 14, 18, 24, 32, 40, -2, -6, -10, -14, -18, -24, -32, -40};
constexpr int kChroma2[4] = {2, 6, -2, -6};
constexpr int kLuma3[8] = {2, 7, 14, 25, -3, -8, -15, -26};
constexpr int kLuma2[4] = {4, 12, -4, -12};
constexpr int kChroma1[2] = {4, -4};

// The decoder written straight from the frame layout and the kernel, one sample at a time.
struct ReferenceDecoder {
    int mode, w, h;
    const std::vector<BYTE>& base;
    const std::vector<BYTE>& codes;

    int Bit(Plane plane, int column, int row) const
    {
        const int group = plane == kY ? column / 8 : column / 4;
        const int byte = plane == kY ? (column % 8 < 4 ? 0 : 4) : plane == kCr ? 2 : 6;
        const int k = column % 4;
        const int inBand = row % 4;
        const BYTE value = base[std::size_t((row / 4) * (w + 8) + 8 * group + byte + (inBand < 2 ? 1 : 0))];
        return (value >> (2 * k + (inBand % 2 == 0 ? 1 : 0))) & 1;
    }
    int Base(Plane plane, int x, int y) const
    {
        const int x0 = x & ~1, y0 = y & ~1, dx = x & 1, dy = y & 1;
        const int window = plane == kY ? x0 + 2 : x0;
        const int cut = window % 4 == 0 ? 4 : 2;
        int value = 0;
        for (int rowPair = 0; rowPair < 3; ++rowPair)
            for (const auto& [from, to] : {std::pair{0, cut}, std::pair{cut, 6}}) {
                int sum = 0;
                for (int r = 2 * rowPair; r < 2 * rowPair + 2; ++r)
                    for (int c = from; c < to; ++c)
                        if (r - dy >= 0 && r - dy < 5 && c - dx >= 0 && c - dx < 5 && Bit(plane, window + c, y0 + r))
                            sum += kKernel[r - dy][c - dx];
                value += (sum + 360) / 1000;
            }
        return value;
    }
    int Step(Plane plane, int x, int y) const
    {
        const BYTE* row = codes.data() + std::size_t(y * CorrectionRowBytes(mode, w));
        const int cbShift = plane == kCb ? 4 : 0;
        if (mode == 2)
            return plane == kY ? kLuma4[(row[x / 4 * 3 + x % 4 / 2] >> (4 * (x % 2))) & 15]
                               : kChroma2[(row[x / 2 * 3 + 2] >> (cbShift + 2 * (x % 2))) & 3];
        if (mode == 3)
            return plane == kY ? kLuma3[(row[x / 2] >> (4 * (x % 2))) & 7] : kChroma1[(row[x] >> (plane == kCr ? 3 : 7)) & 1];
        return plane == kY ? kLuma2[(row[x / 8 * 3 + x % 8 / 4] >> (2 * (x % 4))) & 3]
                           : kChroma1[(row[x / 4 * 3 + 2] >> (cbShift + x % 4)) & 1];
    }
    std::vector<BYTE> Decode() const
    {
        std::vector<BYTE> out(std::size_t(2 * w * h));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                out[std::size_t(2 * (y * w + x))] = BYTE(std::clamp(Base(kY, x, y) + Step(kY, x, y), 0, 255));
                const Plane chroma = x % 2 == 0 ? kCr : kCb;
                out[std::size_t(2 * (y * w + x) + 1)] = BYTE(Base(chroma, x / 2, y) + Step(chroma, x / 2, y));
            }
        return out;
    }
};

using Decoder = void (*)(int, int, const BYTE*, const BYTE*, BYTE*);
constexpr Decoder kDecoders[] = {DecodeMode2Frame, DecodeMode3Frame, DecodeMode4Frame};

class CompressedDecoders : public ::testing::Test {
protected:
    void SetUp() override { BuildDecoderTables(); }

    // Decodes with both layers in exact heap blocks and the destination between guards.
    static std::vector<BYTE> Run(int mode, int w, int h, const std::vector<BYTE>& base, const std::vector<BYTE>& codes)
    {
        const auto baseBlock = ExactInput(base);
        const auto codeBlock = ExactInput(codes);
        GuardedOutput out(std::size_t(2 * w * h));
        kDecoders[mode - 2](w + 8, h + 4, baseBlock.get(), codeBlock.get(), out.data());
        EXPECT_TRUE(out.GuardsIntact());
        return out.contents();
    }
    static std::size_t BaseBytes(int w, int h) { return std::size_t((w + 8) * (h + 4) / 4); }
    static std::size_t CodeBytes(int mode, int w, int h) { return std::size_t(h * CorrectionRowBytes(mode, w)); }
};

TEST_F(CompressedDecoders, BaseLayerTablesForAFullByte)
{
    const BYTE expected[3][4][4] = {
        {{99, 77, 32, 25}, {5, 27, 1, 8}, {42, 11, 14, 4}, {63, 93, 19, 29}},
        {{123, 93, 140, 108}, {8, 38, 9, 41}, {47, 12, 56, 15}, {84, 120, 92, 134}},
        {{18, 13, 68, 50}, {1, 6, 5, 22}, {6, 1, 24, 6}, {13, 18, 49, 67}},
    };
    for (int rowPair = 0; rowPair < 3; ++rowPair)
        for (int part = 0; part < 4; ++part)
            for (int sample = 0; sample < 4; ++sample)
                EXPECT_EQ((BaseLayerTables[rowPair][part][255] >> (8 * sample)) & 0xFF, expected[rowPair][part][sample])
                    << rowPair << " " << part << " " << sample;
}

TEST_F(CompressedDecoders, ZeroLayersGiveTheSmallestSteps)
{
    const int expected[3][2] = {{2, 2}, {2, 4}, {4, 4}};  // luma, chroma for modes 2, 3, 4
    for (int mode = 2; mode <= 4; ++mode) {
        const auto out = Run(mode, 16, 8, std::vector<BYTE>(BaseBytes(16, 8)), std::vector<BYTE>(CodeBytes(mode, 16, 8)));
        for (std::size_t i = 0; i < out.size(); ++i)
            ASSERT_EQ(out[i], expected[mode - 2][i % 2]) << "mode " << mode << " byte " << i;
    }
}

TEST_F(CompressedDecoders, FullBaseLayerClampsLumaAndWrapsChroma)
{
    const auto out = Run(2, 16, 4, std::vector<BYTE>(BaseBytes(16, 4), 0xFF), std::vector<BYTE>(CodeBytes(2, 16, 4)));
    for (std::size_t i = 0; i < out.size(); i += 2)
        ASSERT_EQ(out[i], 255);
    const int cr[2][8] = {{0, 0, 1, 1, 0, 0, 1, 1}, {1, 0, 0, 1, 1, 0, 0, 1}};
    for (int row = 0; row < 2; ++row)
        for (int pair = 0; pair < 8; ++pair)
            EXPECT_EQ(out[std::size_t(row * 32 + 4 * pair + 1)], cr[row][pair]) << row << " " << pair;
}

TEST_F(CompressedDecoders, OneLumaBitSpreadsOverItsNeighbourhood)
{
    std::vector<BYTE> base(BaseBytes(16, 8));
    base[4] = 1 << 4;  // plane column 6, row 3
    const auto out = Run(2, 16, 8, base, std::vector<BYTE>(CodeBytes(2, 16, 8)));
    const int expected[4][5] = {{5, 14, 21, 16, 7}, {7, 19, 29, 23, 9}, {6, 17, 26, 22, 9}, {3, 8, 13, 12, 6}};
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x)
            EXPECT_EQ(out[std::size_t(2 * (16 * y + x))], y < 4 && x < 5 ? expected[y][x] : 2) << x << "," << y;
}

TEST_F(CompressedDecoders, LumaClampsAtZeroAndChromaWraps)
{
    std::vector<BYTE> codes(CodeBytes(2, 8, 4));
    codes[0] = 8;  // -2 on pixel 0
    EXPECT_EQ(Run(2, 8, 4, std::vector<BYTE>(BaseBytes(8, 4)), codes)[0], 0);
    codes.assign(CodeBytes(3, 8, 4), 0);
    codes[0] = 1 << 3;  // Cr code 1, -4, on pair 0
    EXPECT_EQ(Run(3, 8, 4, std::vector<BYTE>(BaseBytes(8, 4)), codes)[1], 252);
}

// Random layers of several sizes against the reference; then one changed code changes exactly
// one output sample.
TEST_F(CompressedDecoders, MatchTheReferenceAndKeepCodesLocal)
{
    std::mt19937 random(11);
    const int sizes[][2] = {{8, 4}, {24, 12}, {40, 8}, {16, 20}};
    for (int mode = 2; mode <= 4; ++mode)
        for (const auto [w, h] : sizes) {
            const auto base = RandomBytes(random, BaseBytes(w, h));
            auto codes = RandomBytes(random, CodeBytes(mode, w, h));
            const auto out = Run(mode, w, h, base, codes);
            ASSERT_EQ(out, (ReferenceDecoder{mode, w, h, base, codes}.Decode())) << "mode " << mode << " " << w << "x" << h;

            const std::size_t byte = random() % codes.size();
            codes[byte] ^= BYTE(1 << (random() % 8));  // every bit belongs to exactly one code
            const auto changed = Run(mode, w, h, base, codes);
            int differences = 0;
            for (std::size_t i = 0; i < out.size(); ++i)
                differences += out[i] != changed[i];
            EXPECT_EQ(differences, 1) << "mode " << mode << " byte " << byte;
        }
}

// The vector decoders against the plain ones on random layers of every frame width the engine
// makes (multiples of 8 up to 640) and of every height (multiples of 4 up to 480), each layer
// ending at a guard page.
TEST_F(CompressedDecoders, VectorDecodersMatchThePlainOnesAtEverySize)
{
#if LORV_SSE2
    std::mt19937 random(13);
    const ::CompressedDecoders& plain = plainCompressedDecoders;
    std::vector<std::pair<const char*, const ::CompressedDecoders*>> variants = {{"sse2", &sse2CompressedDecoders}};
#if LORV_AVX2
    if (CpuHasAvx2())
        variants.push_back({"avx2", &avx2CompressedDecoders});
#endif
    const CompressedDecoder ::CompressedDecoders::*const modes[] = {&::CompressedDecoders::mode2,
                                                                    &::CompressedDecoders::mode3,
                                                                    &::CompressedDecoders::mode4};
    std::vector<std::pair<int, int>> sizes;
    for (int w = 8; w <= 640; w += 8)
        sizes.push_back({w, 4 + 4 * int(random() % 3)});
    for (int h = 4; h <= 480; h += 4)
        sizes.push_back({8 + 8 * int(random() % 3), h});
    for (int mode = 2; mode <= 4; ++mode)
        for (const auto& [w, h] : sizes) {
            const GuardPageInput base(RandomBytes(random, BaseBytes(w, h)));
            const GuardPageInput codes(RandomBytes(random, CodeBytes(mode, w, h)));
            GuardedOutput expected(std::size_t(2 * w * h));
            (plain.*modes[mode - 2])(w + 8, h + 4, base.get(), codes.get(), expected.data());
            for (const auto& [name, decoders] : variants) {
                GuardedOutput fast(std::size_t(2 * w * h));
                (decoders->*modes[mode - 2])(w + 8, h + 4, base.get(), codes.get(), fast.data());
                ASSERT_EQ(fast.contents(), expected.contents()) << name << " mode " << mode << " " << w << "x" << h;
                ASSERT_TRUE(fast.GuardsIntact()) << name << " mode " << mode << " " << w << "x" << h;
            }
        }
#else
    GTEST_SKIP() << "no vector decoders in this build";
#endif
}

TEST_F(CompressedDecoders, MisshapenSizesWriteNothing)
{
    const std::vector<BYTE> layer(256);
    GuardedOutput out(512);
    DecodeMode2Frame(20, 12, layer.data(), layer.data(), out.data());  // width not a multiple of 8
    DecodeMode3Frame(16, 6, layer.data(), layer.data(), out.data());   // height not a multiple of 4
    DecodeMode4Frame(8, 8, layer.data(), layer.data(), out.data());    // no block at all
    EXPECT_EQ(out.contents(), std::vector<BYTE>(512, GuardedOutput::kFill));
}

}  // namespace
