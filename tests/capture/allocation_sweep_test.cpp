// Allocation failure at every allocation of a whole session, in the driver's pool and in the
// library's heap: each session ends within a bound, leaves nothing open or allocated (the
// kernel's verifier checks the pool at every shutdown), and the next bring-up captures.
// A sample of the pool's points runs by default; LORV_ALLOCATION_SWEEP=all runs every one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "bridge/device_channel.h"
#include "camera_fixture.h"
#include "engine/capture_context.h"
#include "heap.h"
#include "kernel.h"

namespace {

constexpr DWORD kSessionBoundMilliseconds = 20000;
constexpr std::uint64_t kSampledPoints = 12;

enum class Memory { DriverPool, LibraryHeap };

bool FullSweep()
{
    const char* value = std::getenv("LORV_ALLOCATION_SWEEP");
    return value != nullptr && std::strcmp(value, "all") == 0;
}

// The first and last few points, and evenly spaced ones between.
std::set<std::uint64_t> Sample(std::uint64_t points)
{
    std::set<std::uint64_t> chosen;
    for (std::uint64_t n = 1; n <= std::min<std::uint64_t>(points, 3); ++n) {
        chosen.insert(n);
        chosen.insert(points + 1 - n);
    }
    for (std::uint64_t i = 1; i <= kSampledPoints; ++i)
        chosen.insert(std::max<std::uint64_t>(1, points * i / (kSampledPoints + 1)));
    return chosen;
}

class AllocationSweep : public CameraFixture {
protected:
    std::uint64_t Allocations(Memory memory)
    {
        return memory == Memory::DriverPool ? machine().kernel().verifier().AllocationCount()
                                            : platform::win32::HeapAllocationCount();
    }

    void FailNth(Memory memory, std::uint64_t n)
    {
        if (memory == Memory::DriverPool)
            machine().kernel().verifier().FailNthAllocation(static_cast<unsigned>(n));
        else
            platform::win32::FailNthHeapAllocation(n);
    }

    void StopFailing()
    {
        machine().kernel().verifier().StopFailingAllocations();
        platform::win32::StopFailingHeapAllocations();
    }

    void Reboot()
    {
        TearDown();
        SetUp();
    }

    // A whole session, cleaning up whatever the calls return.
    void Session()
    {
        int entered = Enter_USS720_W9966_SAA7111();
        CaptureContext* c = AllocCaptureContext(64, 48, 1);
        if (c != nullptr) {
            c->outputImage = image_;
            c->outputBitsPerPixel = 24;
            if (entered && StartCapture(c)) {
                StartStreaming(c);
                for (int i = 0; i < 2; ++i)
                    CaptureFrame(c);
                StopCapture(c);
            }
            FreeCaptureContext(c);
        }
        if (!Leave_USS720_W9966_SAA7111())
            Leave_USS720_W9966_SAA7111();
    }

    void ExpectCaptureWorks(const char* after)
    {
        ASSERT_EQ(Enter_USS720_W9966_SAA7111(), 1) << after;
        CaptureContext* c = StartContext(64, 48, 1);
        ASSERT_NE(c, nullptr) << after;
        ASSERT_EQ(StartStreaming(c), 1) << after;
        for (int i = 0; i < 2; ++i)
            ASSERT_EQ(CaptureFrame(c), 1) << after;
        EXPECT_EQ(deviceChannel.failed, 0) << after;
        EXPECT_EQ(StopCapture(c), 1) << after;
        EXPECT_EQ(Leave_USS720_W9966_SAA7111(), 1) << after;
    }

    void Sweep(Memory memory, const char* name)
    {
        testing::internal::CaptureStdout();
        std::uint64_t before = Allocations(memory);
        Session();
        std::uint64_t points = Allocations(memory) - before;
        testing::internal::GetCapturedStdout();
        ASSERT_GT(points, 0u);
        std::set<std::uint64_t> chosen;
        if (FullSweep() || memory == Memory::LibraryHeap) {
            for (std::uint64_t n = 1; n <= points; ++n)
                chosen.insert(n);
        } else {
            chosen = Sample(points);
        }
        for (std::uint64_t n : chosen) {
            Reboot();
            char after[64];
            std::snprintf(after, sizeof after, "%s allocation %llu of %llu", name,
                          static_cast<unsigned long long>(n), static_cast<unsigned long long>(points));
            size_t localBaseline = platform::win32::LiveLocalBlocks();
            size_t globalBaseline = platform::win32::LiveGlobalBlocks();
            testing::internal::CaptureStdout();
            DWORD start = GetTickCount();
            FailNth(memory, n);
            Session();
            StopFailing();
            DWORD elapsed = GetTickCount() - start;
            testing::internal::GetCapturedStdout();
            EXPECT_LE(elapsed, kSessionBoundMilliseconds) << after;
            EXPECT_EQ(deviceChannel.handle, nullptr) << after;
            EXPECT_EQ(platform::win32::LiveLocalBlocks(), localBaseline) << after;
            EXPECT_EQ(platform::win32::LiveGlobalBlocks(), globalBaseline) << after;
            testing::internal::CaptureStdout();
            ExpectCaptureWorks(after);
            testing::internal::GetCapturedStdout();
            if (HasFailure())
                return;
        }
        std::fprintf(stderr, "%s: %llu allocation points in a session, %zu failed one at a time\n", name,
                     static_cast<unsigned long long>(points), chosen.size());
    }

    BYTE image_[64 * 48 * 3 * 4] = {};
};

TEST_F(AllocationSweep, DriverPool) { Sweep(Memory::DriverPool, "driver pool"); }

TEST_F(AllocationSweep, LibraryHeap) { Sweep(Memory::LibraryHeap, "library heap"); }

}  // namespace
