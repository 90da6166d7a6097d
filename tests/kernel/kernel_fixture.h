// One booted kernel with the test bus driver, the test function driver and one device, as a
// Machine would set them up, on the virtual clock.
#pragma once

#include <gtest/gtest.h>

#include <optional>

#include "test_drivers.h"
#include "user_io.h"

namespace kernel_test {

class KernelFixture : public ::testing::Test {
protected:
    KernelFixture() : clock(platform::Clock::Mode::Virtual), self(clock), kernel(clock) {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        Reset(clock);
    }

    void Boot() {
        ASSERT_EQ(kernel.LoadDriver(L"KTestBus", BusDriverEntry, &bus), STATUS_SUCCESS);
        ASSERT_EQ(kernel.LoadDriver(L"KTestFdo", FunctionDriverEntry, &fdo), STATUS_SUCCESS);
        pdo = CreatePdo();
        ASSERT_EQ(kernel.DeviceArrived(pdo, fdo), STATUS_SUCCESS);
    }

    // Removal, PDO deletion and both unloads, as a machine's shutdown does.
    void Shutdown() {
        if (World().fdo != nullptr) {
            ASSERT_TRUE(kernel.RequestRemoval(pdo, true).Wait());
        }
        IoDeleteDevice(pdo);
        kernel.UnloadDriver(fdo);
        kernel.UnloadDriver(bus);
    }

    platform::kernel::FileObject* Open() {
        platform::kernel::FileObject* file = nullptr;
        EXPECT_EQ(platform::kernel::OpenFile(kernel, kDevicePath, &file), STATUS_SUCCESS);
        return file;
    }

    // The result of a user request, delivered by its IoCompletion on any thread.
    struct Outcome {
        int calls = 0;
        NTSTATUS status = STATUS_PENDING;
        ULONG_PTR information = 0;
    };
    platform::kernel::IoCompletion Into(Outcome& outcome) {
        return [this, &outcome](NTSTATUS status, ULONG_PTR information) {
            {
                std::lock_guard lock(clock.mutex());
                ++outcome.calls;
                outcome.status = status;
                outcome.information = information;
            }
            clock.NotifyAll();
        };
    }
    void WaitFor(const Outcome& outcome) {
        std::unique_lock lock(clock.mutex());
        clock.WaitUntil(lock, [&] { return outcome.calls > 0; }, std::nullopt);
    }

    // Completes `irp` from another clock thread, as a bus driver's completion thread would.
    void CompleteFromAnotherThread(PIRP irp, NTSTATUS status, ULONG_PTR information) {
        std::thread thread = clock.StartThread([=] {
            irp->IoStatus.Status = status;
            irp->IoStatus.Information = information;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        });
        platform::Clock::BlockedOutside blocked(clock);
        thread.join();
    }

    platform::Clock clock;
    platform::Clock::Participant self;
    platform::kernel::Kernel kernel;
    PDRIVER_OBJECT bus = nullptr;
    PDRIVER_OBJECT fdo = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
};

}  // namespace kernel_test
