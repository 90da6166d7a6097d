// A camera on a virtual clock with a host wired straight to its USB device.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "camera.h"
#include "clock.h"
#include "usb_host.h"

namespace simtest {

class CameraTest : public ::testing::Test {
protected:
    void Make(simulator::CameraOptions options = {}) {
        camera_ = std::make_unique<simulator::Camera>(clock_, std::move(options));
        device_ = camera_->usbDevice();
        host_ = std::make_unique<UsbHost>(clock_, *device_);
    }
    void SetUp() override { Make(); }

    // Configured, negotiated into ECP and with a capture window programmed.
    void ReadyToStream(const Geometry& geometry) {
        ASSERT_TRUE(host_->Configure());
        ASSERT_TRUE(host_->SetReg(7, 0xF8));
        ASSERT_TRUE(host_->SetReg(6, 0x03));
        ASSERT_EQ(host_->NegotiateEcp(), 0);
        WriteGeometry(*host_, geometry);
    }

    simulator::Probe& probe() { return camera_->probe(); }
    UsbHost& host() { return *host_; }
    platform::usb::UsbDevice& device() { return *device_; }

    platform::Clock clock_{platform::Clock::Mode::Virtual};
    platform::Clock::Participant participant_{clock_};
    std::unique_ptr<simulator::Camera> camera_;
    std::shared_ptr<platform::usb::UsbDevice> device_;
    std::unique_ptr<UsbHost> host_;
};

}  // namespace simtest
