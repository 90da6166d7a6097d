// `lorvcam view` used as a person would: under a virtual X server (Xvfb), with mouse and keys
// from xdotool and screenshots taken from the X server with ImageMagick's import. The
// program's --trace lines say which picture shows which settings; every wait is bounded.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

#include "image.h"
#include "png_file.h"
#include "scene.h"  // simulator: the ground truth

namespace lorvcam {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kBound = std::chrono::seconds(30);  // generous: the machine may be loaded
constexpr int kWidth = 320, kHeight = 240;

std::string Slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string Shell(const std::string& command)
{
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe))
            out += buffer;
        ::pclose(pipe);
    }
    return out;
}

// Polls `done` until it holds or the bound passes; the polls are what is waited for.
bool WaitFor(const std::function<bool()>& done)
{
    const auto deadline = Clock::now() + kBound;
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

pid_t Spawn(const std::string& command, const fs::path& err)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        const std::string line = "exec " + command + " >/dev/null 2>'" + err.string() + "'";
        ::execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

// A smooth scene: red rises to the right, green downwards, so where the window looks shows
// in the means; blue holds a soft disc.
RgbImage SmoothScene()
{
    RgbImage scene{360, 144, {}};
    for (int y = 0; y < scene.height; ++y)
        for (int x = 0; x < scene.width; ++x) {
            const double d = std::hypot(x - 180.0, y - 72.0) / 60.0;
            scene.pixels.push_back(static_cast<std::uint8_t>(30 + 190 * x / (scene.width - 1)));
            scene.pixels.push_back(static_cast<std::uint8_t>(30 + 190 * y / (scene.height - 1)));
            scene.pixels.push_back(static_cast<std::uint8_t>(60 + 120 * std::exp(-d * d)));
        }
    return scene;
}

// The scene through the default 320 x 240 window (source 460 x 240 from column 2, line 10,
// halved across), stretched to the picture the way the decoder stretches.
RgbImage Truth(const RgbImage& scene)
{
    const simulator::Scene lens(simulator::RgbImage{scene.width, scene.height, scene.pixels});
    const simulator::Window window{2, 10, 460, 240, 32, 64};
    const simulator::RgbImage seen = simulator::ToRgb(lens.Sample(window, 0, {}));
    RgbImage truth{kWidth, kHeight, {}};
    for (int y = 0; y < kHeight; ++y) {
        const double sy = std::min(double(y), seen.height - 1.0);
        const int y0 = int(sy);
        for (int x = 0; x < kWidth; ++x) {
            const double sx = double(x) * (seen.width - 1) / (kWidth - 1);
            const int x0 = std::min(int(sx), seen.width - 1), x1 = std::min(x0 + 1, seen.width - 1);
            const double fx = sx - x0;
            for (int k = 0; k < 3; ++k) {
                const double a = seen.pixels[(size_t(y0) * seen.width + x0) * 3 + k];
                const double b = seen.pixels[(size_t(y0) * seen.width + x1) * 3 + k];
                truth.pixels.push_back(static_cast<std::uint8_t>(std::lround(a + (b - a) * fx)));
            }
        }
    }
    return truth;
}

double Psnr(const RgbImage& a, const RgbImage& b)
{
    double squared = 0;
    for (std::size_t i = 0; i < a.pixels.size(); ++i)
        squared += std::pow(double(a.pixels[i]) - b.pixels[i], 2);
    const double mse = squared / a.pixels.size();
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

// Mean of one channel over columns [x0, x1) of the picture.
double Mean(const RgbImage& image, int channel, int x0 = 0, int x1 = kWidth)
{
    double sum = 0;
    for (int y = 0; y < image.height; ++y)
        for (int x = x0; x < x1; ++x)
            sum += image.pixels[(size_t(y) * image.width + x) * 3 + channel];
    return sum / (double(image.height) * (x1 - x0));
}

class ViewUnderX : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // -displayfd picks a free display and writes its number once the server listens.
        const fs::path number = fs::temp_directory_path() / ("lorvcam-xvfb-" + std::to_string(::getpid()));
        xvfb_ = Spawn("Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>'" + number.string() + "'",
                      "/dev/null");
        std::string text;
        WaitFor([&] { return !(text = Slurp(number)).empty() && text.back() == '\n'; });
        fs::remove(number);
        display_ = std::string(":").append(text, 0, text.find('\n'));
        ::setenv("DISPLAY", display_.c_str(), 1);
    }

    static void TearDownTestSuite()
    {
        if (xvfb_ > 0) {
            ::kill(xvfb_, SIGTERM);
            ::waitpid(xvfb_, nullptr, 0);
        }
    }

    void SetUp() override
    {
        ASSERT_NE(display_, ":") << "Xvfb did not start (scripts/setup installs it)";
        fs::create_directories(dir_);
        scene_ = SmoothScene();
        WritePng(dir_ / "scene.png", scene_);
    }

    void TearDown() override
    {
        if (view_ > 0) {
            ::kill(view_, SIGKILL);
            ::waitpid(view_, nullptr, 0);
        }
        fs::remove_all(dir_);
    }

    void Start(const std::string& options)
    {
        // Under LeakSanitizer the program's own blocks count, not the libraries': the session
        // bus library that SDL loads keeps a buffer to the end, and Mesa's GL driver (of no
        // use on Xvfb, which has no GPU) leaves blocks behind when it is unloaded.
        std::ofstream(dir_ / "lsan") << "leak:libdbus-1.so\n";
        ::setenv("LSAN_OPTIONS", ("suppressions=" + (dir_ / "lsan").string() + ":print_suppressions=0").c_str(), 1);
        ::setenv("SDL_RENDER_DRIVER", "software", 1);
        ::setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 1);
        view_ = Spawn(std::string("'") + LORVCAM_PATH + "' view --trace --scene '" + (dir_ / "scene.png").string() +
                          "' --snapshots '" + (dir_ / "snaps").string() + "' " + options,
                      dir_ / "trace");
        window_ = Shell("timeout 30 xdotool search --sync --name '^lorvcam view'");
        window_ = window_.substr(0, window_.find('\n'));
        ASSERT_FALSE(window_.empty()) << Trace();
        Xdo("windowfocus --sync " + window_);
    }

    std::string Trace() const { return Slurp(dir_ / "trace"); }
    void Xdo(const std::string& arguments) const { Shell("timeout 10 xdotool " + arguments); }

    // Waits for a picture on screen whose trace line holds all of `parts`.
    bool Shown(std::initializer_list<std::string> parts) const
    {
        return WaitFor([&] {
            const std::string trace = Trace();
            for (std::size_t at = trace.find(" shown: "); at != std::string::npos; at = trace.find(" shown: ", at + 1)) {
                const std::string line = trace.substr(at, trace.find('\n', at) - at);
                bool all = true;
                for (const auto& part : parts)
                    all = all && line.find(part) != std::string::npos;
                if (all)
                    return true;
            }
            return false;
        });
    }

    // The picture part of the window, as the X server has it.
    RgbImage Screenshot() const
    {
        const fs::path path = dir_ / "shot.png";
        Shell("timeout 10 import -window " + window_ + " '" + path.string() + "'");
        const RgbImage window = ReadPng(path);
        RgbImage picture{kWidth, kHeight, {}};
        for (int y = 0; y < kHeight; ++y) {
            const auto row = window.Row(y).subspan(0, kWidth * 3);
            picture.pixels.insert(picture.pixels.end(), row.begin(), row.end());
        }
        return picture;
    }

    // The screen catches up with the trace within the bound; `holds` says when it has.
    RgbImage ScreenshotWhen(const std::function<bool(const RgbImage&)>& holds) const
    {
        RgbImage shot;
        WaitFor([&] { return holds(shot = Screenshot()); });
        return shot;
    }

    // Closes the window with its key; the status once the program has ended, or -1.
    int Close()
    {
        Xdo("key Escape");
        int status = -1;
        WaitFor([&] { return ::waitpid(view_, &status, WNOHANG) == view_; });
        view_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    inline static pid_t xvfb_ = 0;
    inline static std::string display_ = ":";
    fs::path dir_ = fs::temp_directory_path() /
                    ("lorvcam-view-" + std::to_string(::getpid()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    RgbImage scene_;
    pid_t view_ = 0;
    std::string window_;
};

TEST_F(ViewUnderX, ShowsTheSceneAndFollowsWheelDragKeysAndSaves)
{
    Start("");
    ASSERT_TRUE(Shown({"320x240 mode 0 24-bit, zoom 32 "})) << Trace();
    const RgbImage truth = Truth(scene_);
    const RgbImage first = ScreenshotWhen([&](const RgbImage& shot) { return Psnr(shot, truth) > 33.0; });
    EXPECT_GT(Psnr(first, truth), 33.0);  // the capture tests' floor for mode 0

    // Brighter: two steps up reach the camera, and the screen follows.
    Xdo("key shift+b shift+b");
    ASSERT_TRUE(Shown({"brightness 0x46"})) << Trace();
    const RgbImage bright = ScreenshotWhen([&](const RgbImage& shot) { return Mean(shot, 1) > Mean(first, 1) + 10; });
    EXPECT_GT(Mean(bright, 1), Mean(first, 1) + 10);
    Xdo("key 0");
    ASSERT_TRUE(Shown({"brightness 0x36"})) << Trace();

    // Four wheel steps zoom in: the red ramp across the picture gets flatter.
    auto ramp = [](const RgbImage& image) { return Mean(image, 0, 280, 320) - Mean(image, 0, 0, 40); };
    Xdo("mousemove --window " + window_ + " 160 120 click 4 click 4 click 4 click 4");
    ASSERT_TRUE(Shown({"zoom 48 ", "brightness 0x36"})) << Trace();
    const RgbImage zoomed = ScreenshotWhen([&](const RgbImage& shot) { return ramp(shot) < 0.8 * ramp(first); });
    EXPECT_LT(ramp(zoomed), 0.8 * ramp(first));
    EXPECT_GT(ramp(zoomed), 0.5 * ramp(first));

    // Dragging right and down: the picture follows the hand, so the window looks further
    // left and up, where the scene has less red and less green.
    Xdo("mousemove --window " + window_ + " 100 100 mousedown 1 mousemove --window " + window_ +
        " 130 120 mousemove --window " + window_ + " 160 140 mouseup 1");
    // 60 and 40 pixels at zoom 48 are 28 and 13 pan-control units from the view at 39,20.
    ASSERT_TRUE(Shown({", view 11,7 to 164,87"})) << Trace();
    const RgbImage dragged = ScreenshotWhen(
        [&](const RgbImage& shot) { return Mean(shot, 0) < Mean(zoomed, 0) - 8 && Mean(shot, 1) < Mean(zoomed, 1) - 8; });
    EXPECT_LT(Mean(dragged, 0), Mean(zoomed, 0) - 8);
    EXPECT_LT(Mean(dragged, 1), Mean(zoomed, 1) - 8);
    // The whole window as it stands, for the README's picture of it.
    fs::copy_file(dir_ / "shot.png", "lorvcam-view-window.png", fs::copy_options::overwrite_existing);

    // s saves the picture on screen.
    Xdo("key s");
    const fs::path saved = dir_ / "snaps" / "lorvcam-0001.png";
    ASSERT_TRUE(WaitFor([&] { return Trace().find("saved ") != std::string::npos; })) << Trace();
    const RgbImage file = ReadPng(saved);
    ASSERT_EQ(file.width, kWidth);
    ASSERT_EQ(file.height, kHeight);
    EXPECT_GT(Psnr(file, Screenshot()), 30.0);

    EXPECT_EQ(Close(), 0) << Trace();
    EXPECT_NE(Trace().find("the library holds 0 memory blocks"), std::string::npos) << Trace();
}

// 16-bit pictures go to the screen as the library wrote them; then the camera goes silent:
// the window says so in one line and still answers, and closing frees what the library held.
TEST_F(ViewUnderX, SixteenBitPicturesThenAStallShownInOneLine)
{
    Start("--bits 16 --stall-after 20");
    ASSERT_TRUE(Shown({"320x240 mode 0 16-bit"})) << Trace();
    const RgbImage truth = Truth(scene_);
    const RgbImage first = ScreenshotWhen([&](const RgbImage& shot) { return Psnr(shot, truth) > 31.5; });
    EXPECT_GT(Psnr(first, truth), 31.5);  // mode 0 less the 16-bit allowance

    ASSERT_TRUE(WaitFor([&] { return Trace().find("error: The camera stopped answering") != std::string::npos; }))
        << Trace();
    EXPECT_GT(Psnr(Screenshot(), truth), 31.5);  // the last good picture stays
    Xdo("key s");
    EXPECT_TRUE(WaitFor([&] { return Trace().find("saved ") != std::string::npos; })) << Trace();
    EXPECT_EQ(Close(), 0) << Trace();
    EXPECT_NE(Trace().find("the library holds 0 memory blocks"), std::string::npos) << Trace();
}

}  // namespace
}  // namespace lorvcam
