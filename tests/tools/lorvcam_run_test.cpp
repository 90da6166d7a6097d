// Runs of the lorvcam program on the whole simulated stack: the files it leaves, their
// sizes and contents, and its answer to bad requests.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "image.h"
#include "png_file.h"

namespace lorvcam {
namespace {

namespace fs = std::filesystem;

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

class LorvcamRun : public ::testing::Test {
protected:
    fs::path dir_ = fs::temp_directory_path() /
                    ("lorvcam-run-" + std::to_string(::getpid()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());

    void SetUp() override { fs::create_directories(dir_); }
    void TearDown() override { fs::remove_all(dir_); }

    static std::string Slurp(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    RunResult Lorvcam(const std::string& arguments) const
    {
        const std::string command = std::string("'") + LORVCAM_PATH + "' " + arguments + " >'" +
                                    (dir_ / "stdout").string() + "' 2>'" + (dir_ / "stderr").string() + "'";
        const int raw = std::system(command.c_str());
        RunResult run;
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        run.out = Slurp(dir_ / "stdout");
        run.err = Slurp(dir_ / "stderr");
        return run;
    }

    // A scene of two colours: red above, blue below; or red left, blue right.
    fs::path WriteTwoColourScene(bool sideBySide = false) const
    {
        RgbImage scene{64, 64, {}};
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 64; ++x) {
                const bool red = (sideBySide ? x : y) < 32;
                scene.pixels.insert(scene.pixels.end(), {std::uint8_t(red ? 220 : 20), 20, std::uint8_t(red ? 20 : 220)});
            }
        const fs::path path = dir_ / "scene.png";
        WritePng(path, scene);
        return path;
    }
};

TEST_F(LorvcamRun, WritesPngFilesOfTheAskedSize)
{
    const RunResult run = Lorvcam("capture -q -n 3 --size 160x120 -o '" + (dir_ / "frames").string() + "'");
    ASSERT_EQ(run.status, 0) << run.err;
    for (const char* name : {"frame-0001.png", "frame-0002.png", "frame-0003.png"}) {
        const RgbImage image = ReadPng(dir_ / "frames" / name);
        EXPECT_EQ(image.width, 160) << name;
        EXPECT_EQ(image.height, 120) << name;
    }
    EXPECT_FALSE(fs::exists(dir_ / "frames" / "frame-0004.png"));
    EXPECT_NE(run.err.find("frames per second"), std::string::npos) << run.err;
}

TEST_F(LorvcamRun, DoubleSizeSixteenBitAndCompressedModesKeepTheSize)
{
    const struct {
        std::string options;
        int width, height;
    } cases[] = {
        {"--size 160x120 --double-size --bits 16", 320, 240},
        {"--size 320x240 --mode 3", 320, 240},
        {"--size 160x120 --mode 1 --zoom 40 --crop 100,60 --pan-control 64x32 --pan 20,10", 160, 120},
        {"--size 640x480 --mode 4 --bits 16", 640, 480},
    };
    for (const auto& c : cases) {
        const fs::path out = dir_ / "frames";
        fs::remove_all(out);
        const RunResult run = Lorvcam("capture -q -n 2 " + c.options + " -o '" + out.string() + "'");
        ASSERT_EQ(run.status, 0) << c.options << "\n" << run.err;
        const RgbImage image = ReadPng(out / "frame-0002.png");
        EXPECT_EQ(image.width, c.width) << c.options;
        EXPECT_EQ(image.height, c.height) << c.options;
    }
}

TEST_F(LorvcamRun, RawAndY4mStreamsHaveWholeFrames)
{
    RunResult run = Lorvcam("capture -q -n 4 --size 160x120 --format raw");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.size(), 4u * 160 * 120 * 3);

    run = Lorvcam("capture -q -n 3 --size 160x120 --format y4m --y4m-rate 30");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string header = "YUV4MPEG2 W160 H120 F30:1 Ip A1:1 C420jpeg XCOLORRANGE=LIMITED\n";
    ASSERT_EQ(run.out.compare(0, header.size(), header), 0) << run.out.substr(0, 80);
    const std::size_t frame = 6 + 160 * 120 * 3 / 2;
    EXPECT_EQ(run.out.size(), header.size() + 3 * frame);
    EXPECT_EQ(run.out.compare(header.size() + 2 * frame, 6, "FRAME\n"), 0);
}

// The header carries the camera's own period (on simulated time the camera sends one frame
// every whole number of 20-ms fields), whether the first pictures are held back for it or
// the run ends before enough came; all pictures still follow it.
TEST_F(LorvcamRun, Y4mHeaderGivesTheCameraFrameRate)
{
    const struct {
        std::string options;
        std::string rate;
        int frames;
    } cases[] = {
        {"-m 2", "F50:3", 9},  // 60 ms
        {"-m 0", "F25:3", 3},  // 120 ms
        {"-m 4", "F25:1", 2},  // 40 ms
    };
    for (const auto& c : cases) {
        const RunResult run =
            Lorvcam("capture -q -f y4m --size 320x240 -n " + std::to_string(c.frames) + " " + c.options);
        ASSERT_EQ(run.status, 0) << c.options << "\n" << run.err;
        const std::string header = "YUV4MPEG2 W320 H240 " + c.rate + " ";
        EXPECT_EQ(run.out.compare(0, header.size(), header), 0) << c.options << ": " << run.out.substr(0, 60);
        const std::size_t frame = 6 + 320 * 240 * 3 / 2;
        EXPECT_EQ(run.out.size(), run.out.find('\n') + 1 + c.frames * frame) << c.options;
    }
}

// The wall clock paces the simulated camera like the hardware: a small compressed stream
// comes at about one frame per field, so three frames take a fraction of a second of the
// platform time the program reports (bounded generously for a loaded machine).
TEST_F(LorvcamRun, RealtimeCaptureComesUpAndStreams)
{
    const RunResult run = Lorvcam("capture --realtime -n 3 --size 160x120 --mode 4 --format raw");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.size(), 3u * 160 * 120 * 3);
    const std::size_t at = run.err.find("3 frames in ");
    ASSERT_NE(at, std::string::npos) << run.err;
    EXPECT_LT(std::stod(run.err.substr(at + 12)), 4.0) << run.err;
}

// A camera that goes silent ends the run at the read the library gives up (2 s of platform
// time), with only the pictures taken before it: in mode 0 the library would decode its last
// frame in place again, which is no picture.
TEST_F(LorvcamRun, AStalledCameraEndsTheRunWithOnlyItsGoodPictures)
{
    const RunResult run = Lorvcam("capture -q -n 10 --size 160x120 --stall-after 3 --format raw");
    EXPECT_EQ(run.status, 1);
    const std::string stopped = "lorvcam: the camera stopped answering during the capture; ";
    const std::size_t at = run.err.find(stopped);
    ASSERT_NE(at, std::string::npos) << run.err;
    const int frames = std::stoi(run.err.substr(at + stopped.size()));
    EXPECT_GE(frames, 3) << run.err;
    EXPECT_LT(frames, 10) << run.err;
    EXPECT_EQ(run.out.size(), std::size_t(frames) * 160 * 120 * 3);
}

// The library's rows are bottom-up and red sits first (24-bit) or in the low bits (16-bit):
// a picture upside down or with red and blue exchanged shows here.
TEST_F(LorvcamRun, FilmedSceneKeepsItsOrientationAndColours)
{
    const fs::path scene = WriteTwoColourScene();
    for (const char* bits : {"24", "16"}) {
        const fs::path out = dir_ / (std::string("frames") + bits);
        const RunResult run = Lorvcam("capture -q -n 1 --size 320x240 --bits " + std::string(bits) + " --scene '" +
                                scene.string() + "' -o '" + out.string() + "'");
        ASSERT_EQ(run.status, 0) << run.err;
        const RgbImage image = ReadPng(out / "frame-0001.png");
        const auto top = image.Row(20).subspan(160 * 3, 3);
        const auto bottom = image.Row(220).subspan(160 * 3, 3);
        EXPECT_GT(top[0], 150) << bits;
        EXPECT_LT(top[2], 90) << bits;
        EXPECT_GT(bottom[2], 150) << bits;
        EXPECT_LT(bottom[0], 90) << bits;
    }
}

// Zoomed in, the crop centre's side of the scene fills the middle of the picture.
TEST_F(LorvcamRun, CropCentreIsTheMiddleOfThePicture)
{
    const fs::path scene = WriteTwoColourScene(true);
    for (const auto& [crop, red] : {std::pair{"100,120", true}, std::pair{"360,120", false}}) {
        const fs::path out = dir_ / (std::string("frames") + crop);
        const RunResult run = Lorvcam("capture -q -n 1 --size 160x120 --zoom 48 --crop " + std::string(crop) +
                                      " --scene '" + scene.string() + "' -o '" + out.string() + "'");
        ASSERT_EQ(run.status, 0) << run.err;
        const RgbImage image = ReadPng(out / "frame-0001.png");
        const auto middle = image.Row(60).subspan(80 * 3, 3);
        EXPECT_EQ(middle[0] > 150, red) << crop;
        EXPECT_EQ(middle[2] > 150, !red) << crop;
    }
}

TEST_F(LorvcamRun, InfoReportsIdentificationDescriptorsAndDecoderSettings)
{
    const RunResult run = Lorvcam("info");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Device identification"), std::string::npos);
    EXPECT_NE(run.out.find("idVendor"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" 0: 0xAB"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("17: 0x3C"), std::string::npos) << run.out;
}

TEST_F(LorvcamRun, BadRequestsGiveASentenceAndAFailureStatus)
{
    std::ofstream(dir_ / "text.png") << "not a picture";
    const std::string blocker = (dir_ / "file").string();
    std::ofstream(blocker) << "x";
    const struct {
        std::string arguments;
        int status;
    } cases[] = {
        {"capture --size 321x240", 2},
        {"capture --mode 7", 2},
        {"capture --decoder 40=1", 2},
        {"capture --scene '" + (dir_ / "text.png").string() + "'", 1},
        {"capture -q -n 1 -o '" + blocker + "/frames'", 1},  // a file stands where the folder goes
        {"capture -q -n 1 --format raw -o '" + blocker + "/out.rgb'", 1},
        {"capture -q -n 3 --format raw -o /dev/full", 1},  // fails while streaming: all is stopped and freed
    };
    for (const auto& c : cases) {
        const RunResult run = Lorvcam(c.arguments);
        EXPECT_EQ(run.status, c.status) << c.arguments << "\n" << run.err;
        EXPECT_NE(run.err.find("lorvcam"), std::string::npos) << c.arguments;
        EXPECT_EQ(run.err.find("terminate"), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find("lorvcam"), std::string::npos) << c.arguments;  // errors go to stderr
    }
}

}  // namespace
}  // namespace lorvcam
