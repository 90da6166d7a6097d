// The command line: good options reach the capture, bad ones stop with status 2.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "options.h"

namespace lorvcam {
namespace {

std::variant<Command, int> Parse(std::initializer_list<const char*> arguments)
{
    std::vector<const char*> argv = {"lorvcam"};
    argv.insert(argv.end(), arguments);
    return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, CaptureOptionsReachTheCommand)
{
    const auto parsed = Parse({"capture", "-n", "7", "--size", "160x120", "--mode", "3", "--bits", "16",
                               "--double-size", "--zoom", "48", "--crop", "400,-5", "--pan", "50,25",
                               "--pan-control", "100x50", "--decoder", "12=0x40", "--decoder", "0=171",
                               "--format", "y4m", "--quiet"});
    ASSERT_TRUE(std::holds_alternative<Command>(parsed));
    const CaptureOptions& c = std::get<Command>(parsed).capture;
    EXPECT_EQ(c.frames, 7);
    EXPECT_EQ(c.width, 160);
    EXPECT_EQ(c.height, 120);
    EXPECT_EQ(c.OutputWidth(), 320);
    EXPECT_EQ(c.OutputHeight(), 240);
    EXPECT_EQ(c.mode, 3);
    EXPECT_EQ(c.bitsPerPixel, 16);
    EXPECT_EQ(c.zoom, 48);
    ASSERT_TRUE(c.cropCenter && c.panCenter);
    EXPECT_EQ(c.cropCenter->y, -5);
    EXPECT_EQ(c.panCenter->x, 50);
    EXPECT_EQ(c.panControl.x, 100);
    ASSERT_EQ(c.decoderSettings.size(), 2u);
    EXPECT_EQ(c.decoderSettings[0].index, 12);
    EXPECT_EQ(c.decoderSettings[0].value, 0x40);
    EXPECT_EQ(c.format, OutputFormat::Y4m);
    EXPECT_EQ(c.output, "-");
    EXPECT_FALSE(c.progress);
}

TEST(CommandLine, DefaultsCaptureTenPngPictures)
{
    const auto parsed = Parse({"capture"});
    ASSERT_TRUE(std::holds_alternative<Command>(parsed));
    const CaptureOptions& c = std::get<Command>(parsed).capture;
    EXPECT_EQ(c.frames, 10);
    EXPECT_EQ(c.format, OutputFormat::Png);
    EXPECT_EQ(c.output, "lorvcam-frames");
    EXPECT_FALSE(c.zoom || c.cropCenter || c.panCenter);
}

TEST(CommandLine, BadOptionsStopWithStatusTwo)
{
    const std::vector<std::vector<const char*>> bad = {
        {},                                     // no command
        {"film"},                               // unknown command
        {"capture", "--frames", "0"},
        {"capture", "--frames", "ten"},
        {"capture", "--size", "320"},
        {"capture", "--size", "321x240"},       // odd width
        {"capture", "--size", "642x240"},
        {"capture", "--size", "320x0"},
        {"capture", "--size", "320x481"},
        {"capture", "--mode", "5"},
        {"capture", "--bits", "32"},
        {"capture", "--crop", "3"},
        {"capture", "--pan-control", "0x10"},
        {"capture", "--decoder", "18=1"},
        {"capture", "--decoder", "3=256"},
        {"capture", "--decoder", "3"},
        {"capture", "--format", "gif"},
        {"capture", "--scene", "/no/such/scene.png"},
        {"info", "--frames", "3"},              // info takes no capture options
    };
    for (const auto& arguments : bad) {
        std::vector<const char*> argv = {"lorvcam"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        testing::internal::CaptureStderr();
        const auto parsed = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
        const std::string message = testing::internal::GetCapturedStderr();
        std::string line;
        for (const char* a : arguments)
            line += std::string(a) + " ";
        ASSERT_TRUE(std::holds_alternative<int>(parsed)) << line;
        EXPECT_EQ(std::get<int>(parsed), 2) << line;
        EXPECT_FALSE(message.empty()) << line;
    }
}

TEST(CommandLine, HelpIsNotAnError)
{
    testing::internal::CaptureStdout();
    const auto parsed = Parse({"capture", "--help"});
    EXPECT_NE(testing::internal::GetCapturedStdout().find("--double-size"), std::string::npos);
    ASSERT_TRUE(std::holds_alternative<int>(parsed));
    EXPECT_EQ(std::get<int>(parsed), 0);
}

}  // namespace
}  // namespace lorvcam
