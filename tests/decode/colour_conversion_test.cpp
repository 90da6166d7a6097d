#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "decode/colour_conversion.h"
#include "decode/simd.h"
#include "guarded_buffer.h"

namespace {

class ColourConversion : public ::testing::Test {
protected:
    void SetUp() override { BuildColourTables(); }
};

struct NamedColour {
    BYTE y, cr, cb;
    std::array<BYTE, 3> rgb;
    std::uint16_t word;
};

TEST_F(ColourConversion, TablesHoldTheFixedPointTerms)
{
    const ColourTables& t = colourTables;
    EXPECT_EQ(t.LumaTerm[0], -76283);
    EXPECT_EQ(t.LumaTerm[16], 0);
    EXPECT_EQ(t.LumaTerm[235], 1044135);
    EXPECT_EQ(t.LumaTerm[255], 1139490);
    EXPECT_EQ(t.RedFromCr[0], -836763);
    EXPECT_EQ(t.RedFromCr[255], 830226);
    EXPECT_EQ(t.GreenFromCr[0], 426246);
    EXPECT_EQ(t.GreenFromCb[255], -203395);
    EXPECT_EQ(t.BlueFromCb[0], -1058013);
    EXPECT_EQ(t.BlueFromCb[255], 1049747);
}

TEST_F(ColourConversion, NamedColoursInBothDepths)
{
    const NamedColour colours[] = {
        {16, 128, 128, {0, 0, 0}, 0x0000},      {235, 128, 128, {254, 254, 254}, 0x7FFF},
        {236, 128, 128, {255, 255, 255}, 0x7FFF}, {81, 240, 90, {254, 0, 0}, 0x001F},
        {145, 34, 54, {0, 255, 0}, 0x03E0},     {41, 110, 240, {0, 0, 255}, 0x7C00},
    };
    for (const NamedColour& c : colours) {
        const BYTE pair[4] = {c.y, c.cr, c.y, c.cb};
        BYTE rgb[8] = {};
        ConvertToRgb24(2, 2, 1, pair, rgb);
        EXPECT_EQ(std::vector<BYTE>(rgb, rgb + 6), std::vector<BYTE>({c.rgb[0], c.rgb[1], c.rgb[2], c.rgb[0], c.rgb[1], c.rgb[2]}))
            << int(c.y) << " " << int(c.cr) << " " << int(c.cb);
        BYTE words[4] = {};
        ConvertToRgb16(2, 2, 1, pair, words);
        EXPECT_EQ(words[0] | words[1] << 8, c.word);
        EXPECT_EQ(words[2] | words[3] << 8, c.word);
    }
}

// A 6-pixel 24-bit row is 20 bytes; rows go bottom-up; the source stride may exceed the width.
TEST_F(ColourConversion, RowOrderStrideAndPadding)
{
    const BYTE black[4] = {16, 128, 16, 128};
    const BYTE white[4] = {236, 128, 236, 128};
    std::vector<BYTE> source(32);  // row 0 white, row 1 black, each 3 pairs wide plus one unused
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = i < 16 ? white[i % 4] : black[i % 4];
    GuardedOutput out(40);
    ConvertToRgb24(8, 6, 2, source.data(), out.data());
    for (int i = 0; i < 18; ++i) {
        EXPECT_EQ(out[i], 0) << i;
        EXPECT_EQ(out[20 + i], 255) << i;
    }
    EXPECT_EQ(out[18], GuardedOutput::kFill);
    EXPECT_EQ(out[19], GuardedOutput::kFill);
    EXPECT_EQ(out[38], GuardedOutput::kFill);
    EXPECT_EQ(out[39], GuardedOutput::kFill);
    EXPECT_TRUE(out.GuardsIntact());
}

// Every pixel against the arithmetic done directly, on random images of many sizes, at single
// and double size (each source pixel a 2 x 2 block, rows bottom-up); an odd width leaves its
// last pixel unwritten and nothing is read past the source.
TEST_F(ColourConversion, ConvertersMatchDirectArithmetic)
{
    auto channel = [](std::int32_t sum) { return BYTE(std::clamp(sum >> 12, 0, 255)); };
    std::mt19937 random(7);
    for (int trial = 0; trial < 40; ++trial) {
        const int width = 1 + int(random() % 23);
        const int height = 1 + int(random() % 7);
        const int stride = width + 2 * int(random() % 3);
        const auto source = ExactInput(RandomBytes(random, std::size_t(2 * stride * (height - 1) + 2 * (width & ~1))));
        for (int scale = 1; scale <= 2; ++scale) {
            const int w = scale * width;
            const int h = scale * height;
            GuardedOutput rgb(std::size_t(Rgb24RowBytes(w) * h));
            GuardedOutput words(std::size_t(Rgb16RowBytes(w) * h));
            (scale == 1 ? ConvertToRgb24 : ConvertToRgb24Double)(stride, width, height, source.get(), rgb.data());
            (scale == 1 ? ConvertToRgb16 : ConvertToRgb16Double)(stride, width, height, source.get(), words.data());
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    const BYTE* pair = source.get() + 2 * stride * (y / scale) + 4 * (x / scale / 2);
                    BYTE* pixel24 = &rgb[std::size_t(Rgb24RowBytes(w) * (h - 1 - y) + 3 * x)];
                    BYTE* pixel16 = &words[std::size_t(Rgb16RowBytes(w) * (h - 1 - y) + 2 * x)];
                    if (x / scale == (width & ~1)) {
                        EXPECT_EQ(pixel24[0], GuardedOutput::kFill);
                        EXPECT_EQ(pixel16[1], GuardedOutput::kFill);
                        continue;
                    }
                    const std::int32_t l = 1164 * 4096 * (pair[(x / scale) % 2 * 2] - 16) / 1000;
                    const BYTE r = channel(l + 1596 * 4096 * (pair[1] - 128) / 1000);
                    const BYTE g = channel(l + 813 * 4096 * (128 - pair[1]) / 1000 + 391 * 4096 * (128 - pair[3]) / 1000);
                    const BYTE b = channel(l + 2018 * 4096 * (pair[3] - 128) / 1000);
                    ASSERT_EQ(std::vector<BYTE>(pixel24, pixel24 + 3), std::vector<BYTE>({r, g, b}))
                        << width << "x" << height << " scale " << scale << " at " << x << "," << y;
                    ASSERT_EQ(pixel16[0] | pixel16[1] << 8, (r >> 3) | (g >> 3) << 5 | (b >> 3) << 10);
                }
            EXPECT_TRUE(rgb.GuardsIntact());
            EXPECT_TRUE(words.GuardsIntact());
        }
    }
}

struct NamedRows {
    const char* name;
    const ConvertRows* rows;
};

// Every vector variant this build has and this processor runs.
std::vector<NamedRows> VectorRows()
{
    std::vector<NamedRows> variants;
#if LORV_SSE2
    variants.push_back({"sse2", &sse2ConvertRows});
#endif
#if LORV_AVX2
    if (CpuHasAvx2())
        variants.push_back({"avx2", &avx2ConvertRows});
#endif
#if LORV_AVX512
    if (CpuHasAvx512())
        variants.push_back({"avx512", &avx512ConvertRows});
#endif
    return variants;
}

using RowMember = ConvertRow ConvertRows::*;
struct RowKind {
    const char* name;
    RowMember row;
    int bytesPerPair;
};
constexpr RowKind kRowKinds[] = {{"rgb24", &ConvertRows::rgb24, 6},
                                 {"rgb16", &ConvertRows::rgb16, 4},
                                 {"rgb24Double", &ConvertRows::rgb24Double, 12},
                                 {"rgb16Double", &ConvertRows::rgb16Double, 8}};

// Random pairs of every row length a 640-pixel output has, the input ending at a guard page.
TEST_F(ColourConversion, VectorRowsMatchThePlainOnesAtEveryLength)
{
    std::mt19937 random(5);
    for (int pairs = 0; pairs <= 320; ++pairs) {
        const GuardPageInput in(RandomBytes(random, std::size_t(4 * pairs)));
        for (const RowKind& kind : kRowKinds) {
            GuardedOutput plain(std::size_t(kind.bytesPerPair * pairs));
            (plainConvertRows.*kind.row)(in.get(), pairs, plain.data());
            for (const NamedRows& variant : VectorRows()) {
                GuardedOutput fast(std::size_t(kind.bytesPerPair * pairs));
                (variant.rows->*kind.row)(in.get(), pairs, fast.data());
                ASSERT_EQ(fast.contents(), plain.contents()) << variant.name << " " << kind.name << " " << pairs;
                ASSERT_TRUE(fast.GuardsIntact()) << variant.name << " " << kind.name << " " << pairs;
            }
        }
    }
}

// All 2^24 combinations of Y, Cr and Cb: the vector arithmetic stands in for the tables.
TEST_F(ColourConversion, VectorRowsMatchThePlainOnesOnEveryColour)
{
    std::vector<BYTE> in(4 * 256);
    std::vector<BYTE> plain(6 * 256), fast(6 * 256);
    for (int cr = 0; cr < 256; ++cr)
        for (int cb = 0; cb < 256; ++cb) {
            for (int i = 0; i < 256; ++i) {
                in[4 * i] = BYTE(i);
                in[4 * i + 1] = BYTE(cr);
                in[4 * i + 2] = BYTE(255 - i);
                in[4 * i + 3] = BYTE(cb);
            }
            for (const RowKind& kind : {kRowKinds[0], kRowKinds[1]}) {
                (plainConvertRows.*kind.row)(in.data(), 256, plain.data());
                for (const NamedRows& variant : VectorRows()) {
                    (variant.rows->*kind.row)(in.data(), 256, fast.data());
                    ASSERT_EQ(fast, plain) << variant.name << " " << kind.name << " Cr " << cr << " Cb " << cb;
                }
            }
        }
}

}  // namespace
