// The library's bottom-up images turned into top-down RGB, and PNG files in and out.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "image.h"
#include "png_file.h"

namespace lorvcam {
namespace {

TEST(LibraryImage, StridesPadTwentyFourBitRowsToFourBytes)
{
    EXPECT_EQ(LibraryRowStride(6, 24), 20u);
    EXPECT_EQ(LibraryRowStride(4, 24), 12u);
    EXPECT_EQ(LibraryRowStride(5, 16), 10u);
    EXPECT_EQ(LibraryImageBytes(6, 3, 24), 60u);
}

TEST(LibraryImage, TwentyFourBitRowsComeOutTopDownWithoutPadding)
{
    // 2 x 2 pixels, stride 8: the first image row is the last in memory.
    const std::vector<std::uint8_t> library = {
        7, 8, 9, 10, 11, 12, 0xEE, 0xEE,  // bottom row
        1, 2, 3, 4, 5, 6, 0xEE, 0xEE,     // top row
    };
    const RgbImage image = FromLibraryImage(library, 2, 2, 24);
    EXPECT_EQ(image.pixels, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
}

TEST(LibraryImage, SixteenBitWordsHaveRedInTheLowBits)
{
    // Top row: pure red (0x001F), pure blue (0x7C00); bottom row: green 0x03E0, white 0x7FFF.
    const std::vector<std::uint8_t> library = {0xE0, 0x03, 0xFF, 0x7F, 0x1F, 0x00, 0x00, 0x7C};
    const RgbImage image = FromLibraryImage(library, 2, 2, 16);
    EXPECT_EQ(image.pixels, (std::vector<std::uint8_t>{255, 0, 0, 0, 0, 255, 0, 255, 0, 255, 255, 255}));
}

TEST(LibraryImage, RefusesShortBuffersAndUnknownDepths)
{
    const std::vector<std::uint8_t> library(59);
    EXPECT_THROW(FromLibraryImage(library, 6, 3, 24), std::invalid_argument);
    EXPECT_THROW(FromLibraryImage(library, 2, 2, 32), std::invalid_argument);
}

class PngFile : public ::testing::Test {
protected:
    std::filesystem::path dir_ = std::filesystem::temp_directory_path() /
                                 ("lorvcam-png-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                  "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    void SetUp() override { std::filesystem::create_directories(dir_); }
    void TearDown() override { std::filesystem::remove_all(dir_); }
};

TEST_F(PngFile, RoundTripKeepsEveryByte)
{
    RgbImage image{5, 3, {}};
    for (int i = 0; i < 5 * 3 * 3; ++i)
        image.pixels.push_back(static_cast<std::uint8_t>(i * 17));
    WritePng(dir_ / "a.png", image);
    const RgbImage back = ReadPng(dir_ / "a.png");
    EXPECT_EQ(back.width, 5);
    EXPECT_EQ(back.height, 3);
    EXPECT_EQ(back.pixels, image.pixels);
}

TEST_F(PngFile, UnreadableFilesGiveSentencesNamingThem)
{
    std::ofstream(dir_ / "not.png") << "this is text";
    for (const auto& path : {dir_ / "missing.png", dir_ / "not.png"}) {
        try {
            ReadPng(path);
            ADD_FAILURE() << "read " << path;
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find(path.string()), std::string::npos) << error.what();
        }
    }
    EXPECT_THROW(WritePng(dir_ / "no-such-folder" / "a.png", RgbImage{1, 1, {0, 0, 0}}), std::runtime_error);
}

}  // namespace
}  // namespace lorvcam
