// A booted machine with lorvusb loaded and the simulated camera plugged in, and the library
// back in its state at load. Each test gets its own machine; the library's process-wide
// records are reset before it and its open handles released after it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture_api.h"
#include "machine.h"
#include "simulator/camera.h"

class CameraFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Override to change the camera; PlugCamera() false leaves the bus empty.
    virtual simulator::CameraOptions CameraSettings() { return {}; }
    virtual bool PlugCamera() { return true; }

    platform::Machine& machine() { return *machine_; }
    simulator::Probe& probe() { return camera_->probe(); }
    std::string UserLog() const;

    // A started context with an output image of its own; null (and a test failure) when the
    // capture did not start.
    CaptureContext* StartContext(int width, int height, int mode, int bitsPerPixel = 24);
    void StopContext(CaptureContext* context);
    std::vector<std::uint8_t>& OutputOf(const CaptureContext* context);

    std::vector<simulator::LineEvent> TraceOf(simulator::LineEvent::Kind kind) const;

    std::unique_ptr<platform::Machine> machine_;
    std::unique_ptr<simulator::Camera> camera_;
    platform::Machine::DeviceId deviceId_ = 0;

private:
    struct Output {
        const CaptureContext* context;
        std::vector<std::uint8_t> pixels;
    };
    std::vector<std::unique_ptr<Output>> outputs_;
};

// A smooth still scene: gradients and soft discs, so that resampling errors stay small.
simulator::RgbImage SmoothScene();
