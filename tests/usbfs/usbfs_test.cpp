// The whole stack on a bridge reached through unmodified libusb: lorvcam, the driver, the
// libusb host controller and libusb against usbfs as umockdev emulates it, with the simulated
// camera behind the emulated device node.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "camera.h"  // simulator
#include "emulated_usbfs.h"
#include "libusb_host.h"  // platform/libusb
#include "png_file.h"  // lorvcam

namespace usbfs_test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Outcome {
    int status = -1;
    std::string err;
};

class UsbfsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(dir_);
        fs::permissions(dir_, fs::perms::all);  // the run without privileges writes here too
        lorvcam::RgbImage scene{96, 64, {}};
        for (int y = 0; y < scene.height; ++y)
            for (int x = 0; x < scene.width; ++x)
                scene.pixels.insert(scene.pixels.end(), {std::uint8_t(x * 2), std::uint8_t(y * 3), std::uint8_t(x + y)});
        lorvcam::WritePng(scenePath_, scene);
        options_.picture = simulator::RgbImage{scene.width, scene.height, scene.pixels};
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::shared_ptr<simulator::Camera> AddCamera(const EmulatedDeviceOptions& options)
    {
        auto camera = std::make_shared<simulator::Camera>(clock_, options_);
        usbfs_.Add(camera->usbDevice(), options);
        cameras_.push_back(camera);
        return camera;
    }

    static std::string Slurp(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    std::string Command(const std::string& arguments, const std::string& prefix = "") const
    {
        // Every run is bounded: a stuck child fails its test instead of hanging the suite.
        return prefix + "timeout -k 5 60 '" + LORVCAM_PATH + "' " + arguments + " 2>'" + (dir_ / "stderr").string() + "'";
    }

    Outcome Finish(int raw) const
    {
        Outcome run;
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        run.err = Slurp(dir_ / "stderr");
        return run;
    }

    Outcome Lorvcam(const std::string& arguments, const std::string& prefix = "") const
    {
        return Finish(std::system(Command(arguments, prefix).c_str()));
    }

    std::string Capture(const std::string& device, const std::string& options, Outcome* run = nullptr) const
    {
        const fs::path out = dir_ / "frames.raw";
        fs::remove(out);
        const std::string scene = device == "sim" ? " --scene '" + scenePath_.string() + "'" : "";
        Outcome result =
            Lorvcam("capture -q --device " + device + scene + " " + options + " --format raw -o '" + out.string() + "'");
        if (run != nullptr) *run = result;
        EXPECT_EQ(result.status, 0) << device << " " << options << "\n" << result.err;
        return Slurp(out);
    }

    fs::path dir_ = fs::temp_directory_path() /
                    ("lorvcam-usbfs-" + std::to_string(::getpid()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::path scenePath_ = dir_ / "scene.png";
    simulator::CameraOptions options_;
    platform::Clock clock_{platform::Clock::Mode::Wall};
    std::vector<std::shared_ptr<simulator::Camera>> cameras_;
    EmulatedUsbfs usbfs_{clock_};
};

// The same still scene gives the same bytes on both buses, frame for frame, in every mode;
// the usblp driver that held the bridge is detached for the run and given back afterwards.
TEST_F(UsbfsTest, PicturesMatchTheSimulatedBusInEveryModeAndTheKernelDriverComesBack)
{
    AddCamera({.bus = 1, .address = 2, .kernelDriver = "usblp"});
    const char* modes[] = {"--mode 0 --size 160x120", "--mode 1 --size 160x120", "--mode 2 --size 320x240",
                           "--mode 3 --size 160x120 --bits 16", "--mode 4 --size 160x120 --double-size"};
    for (const char* mode : modes) {
        const std::string options = std::string("-n 2 ") + mode;
        const std::string simulated = Capture("sim", options);
        Outcome run;
        const std::string real = Capture("usb", options, &run);
        ASSERT_FALSE(simulated.empty()) << mode;
        EXPECT_TRUE(real == simulated) << mode << ": " << real.size() << " bytes against " << simulated.size();
        EXPECT_NE(run.err.find("the kernel driver 'usblp' held interface 0 of the bridge; it was detached"),
                  std::string::npos) << run.err;
        EXPECT_TRUE(usbfs_.kernelDriverBound(2)) << "not given back after " << mode;
    }
    EXPECT_EQ(usbfs_.detaches(2), 5);
}

// Pulling the cable mid-stream: the program ends within a bound, says so, and its platform
// finds nothing leaked (a leak fails the run loudly).
TEST_F(UsbfsTest, UnplugMidStreamEndsTheRunWithAClearMessage)
{
    auto camera = AddCamera({.bus = 1, .address = 2});
    const std::string command = Command("capture -q --device usb:1:2 -n 100000 --format raw -o /dev/null");
    FILE* child = ::popen(command.c_str(), "r");
    ASSERT_NE(child, nullptr);
    const auto deadline = clock_.Now() + 30s;
    while (camera->probe().framesStarted() < 3 && clock_.Now() < deadline) clock_.SleepFor(20ms);
    ASSERT_GE(camera->probe().framesStarted(), 3u);
    const auto pulled = clock_.Now();
    camera->probe().Unplug();
    usbfs_.Unplug(2);
    const Outcome run = Finish(::pclose(child));
    EXPECT_LT(clock_.Now() - pulled, 10s);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("lorvcam: the camera's bridge was unplugged during the capture; "), std::string::npos)
        << run.err;
}

// With no transfer in flight nothing but udev tells that the bridge left; the bus must still
// hear of it, or the stack would run on against a cable that is gone.
TEST_F(UsbfsTest, AnUnplugWithNothingInFlightReachesTheBus)
{
    AddCamera({.bus = 1, .address = 2});
    platform::libusb::LibusbHost host;
    auto connection = host.Open({}, {});
    std::atomic<int> unplugs = 0;
    connection->Attach([](platform::usb::UsbTransfer&) {}, [&] { ++unplugs; });
    usbfs_.Unplug(2);
    const auto deadline = clock_.Now() + 10s;
    while (unplugs == 0 && clock_.Now() < deadline) clock_.SleepFor(10ms);
    EXPECT_EQ(unplugs, 1);
    connection->Attach({}, {});
}

TEST_F(UsbfsTest, NoPermissionToOpenTheBridgeSaysWhatToDo)
{
    AddCamera({.bus = 1, .address = 2, .ownerOnly = true});
    const std::string nobody = ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    const Outcome run = Lorvcam("capture -q -n 1 --device usb --format raw -o /dev/null", nobody);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "lorvcam: no permission to open the bridge at 001:002: install the udev rule "
                       "(udev/70-lorvcam.rules, see the README) or run as root.\n");
}

// A device whose ID is not one of the bridge's is listed apart and never opened.
TEST_F(UsbfsTest, ADeviceWithAnotherIdIsNotPicked)
{
    AddCamera({.bus = 1, .address = 2, .vendor = 0x1234, .product = 0x5678});
    AddCamera({.bus = 1, .address = 3, .vendor = 0x0557, .product = 0x2001});
    Outcome run = Lorvcam("list > '" + (dir_ / "list").string() + "'");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(Slurp(dir_ / "list"), "sim          the simulated camera\n"
                                    "usb:001:003  USB-to-parallel bridge 001:003 0557:2001 Lorv parallel camera bridge\n"
                                    "(1 other USB device present)\n");

    run = Lorvcam("capture -q -n 1 --device usb:1:2 --format raw -o /dev/null");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("is 1234:5678, not a USB-to-parallel bridge"), std::string::npos) << run.err;

    Capture("usb", "-n 1 --size 160x120", &run);
    EXPECT_NE(run.err.find("using the bridge 001:003 0557:2001"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace usbfs_test
