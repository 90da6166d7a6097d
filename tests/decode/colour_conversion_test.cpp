#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "decode/colour_conversion.h"
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

// The fast rows against the plain ones on random pairs of every row length up to 40 pairs.
TEST_F(ColourConversion, FastRowsMatchThePlainOnes)
{
    std::mt19937 random(5);
    for (int pairs = 0; pairs <= 40; ++pairs)
        for (int trial = 0; trial < 4; ++trial) {
            const auto in = ExactInput(RandomBytes(random, std::size_t(4 * pairs)));
            GuardedOutput fast24(std::size_t(6 * pairs)), plain24(std::size_t(6 * pairs));
            GuardedOutput fast16(std::size_t(4 * pairs)), plain16(std::size_t(4 * pairs));
            ConvertRowToRgb24(in.get(), pairs, fast24.data());
            ConvertRowToRgb24Plain(in.get(), pairs, plain24.data());
            ConvertRowToRgb16(in.get(), pairs, fast16.data());
            ConvertRowToRgb16Plain(in.get(), pairs, plain16.data());
            ASSERT_EQ(fast24.contents(), plain24.contents()) << pairs;
            ASSERT_EQ(fast16.contents(), plain16.contents()) << pairs;
            ASSERT_TRUE(fast24.GuardsIntact() && fast16.GuardsIntact()) << pairs;
        }
}

}  // namespace
