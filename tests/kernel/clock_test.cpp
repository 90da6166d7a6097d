// The virtual clock under kernel waits: time-outs cost no real time, time stands still while
// a thread runs, a wait nobody can end is reported, and the tick counter wraps like Windows'.
#include <chrono>
#include <thread>

#include "kernel_fixture.h"

namespace kernel_test {
namespace {

using namespace std::chrono_literals;
using platform::Clock;

using ClockTest = KernelFixture;
using ClockDeathTest = KernelFixture;

LARGE_INTEGER Relative(std::chrono::milliseconds ms) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(ms.count()) * 10000;
    return timeout;
}

TEST_F(ClockTest, TimedWaitEndsAtItsDeadlineInNoRealTime) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Relative(2000ms);
    auto realStart = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(clock.Now(), Clock::TimePoint(2000ms));
    EXPECT_LT(std::chrono::steady_clock::now() - realStart, 1s);

    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(clock.Now(), Clock::TimePoint(2000ms));
}

TEST_F(ClockTest, EventSetByAnotherThreadEndsTheWaitAtThatThreadsTime) {
    for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
        KEVENT event;
        KeInitializeEvent(&event, type, FALSE);
        Clock::TimePoint start = clock.Now();
        std::thread setter = clock.StartThread([&] {
            clock.SleepFor(300ms);
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        });
        LARGE_INTEGER timeout = Relative(5000ms);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
                  STATUS_SUCCESS);
        EXPECT_EQ(clock.Now() - start, 300ms);
        {
            Clock::BlockedOutside blocked(clock);
            setter.join();
        }
        // A synchronization event lets one waiter through; a notification event stays set.
        EXPECT_EQ(KeReadStateEvent(&event), type == NotificationEvent ? 1 : 0);
    }
}

TEST_F(ClockTest, PollingChargedToTheClockReachesItsTimeOut) {
    // A device that never answers: each poll costs one 1 ms frame of bus time.
    std::uint32_t start = clock.TickCount();
    int polls = 0;
    while (clock.TickCount() - start < 100) {
        clock.SleepFor(1ms);
        ++polls;
    }
    EXPECT_EQ(polls, 100);
}

// A thread waiting for a read must not run once per bus packet: steps of time and notices
// given under the lock wake only the waiters whose deadline has come or whose condition holds.
TEST_F(ClockTest, WaitersSleepThroughStepsAndNoticesThatLeaveThemWaiting) {
    bool done = false;
    int ownTests = 0;  // condition tests run on the waiting thread itself
    std::thread::id waiterId;
    std::thread waiter = clock.StartThread([&] {
        std::unique_lock lock(clock.mutex());
        waiterId = std::this_thread::get_id();
        clock.WaitUntil(
            lock,
            [&] {
                ownTests += std::this_thread::get_id() == waiterId;
                return done;
            },
            std::nullopt);
    });
    for (int packet = 0; packet < 100; ++packet) {
        clock.SleepFor(1ms);
        std::unique_lock lock(clock.mutex());
        clock.NotifyAll(lock);
    }
    {
        std::unique_lock lock(clock.mutex());
        done = true;
        clock.NotifyAll(lock);
    }
    {
        Clock::BlockedOutside blocked(clock);
        waiter.join();
    }
    EXPECT_LE(ownTests, 3);  // its first test, one on blocking, the last: none per packet
}

TEST_F(ClockTest, TickCountWrapsAt32BitsWhileTheKernelCountGoesOn) {
    clock.SetTickBase(0xFFFFFFFFu - 99);
    std::uint32_t before = clock.TickCount();
    LARGE_INTEGER ticksBefore;
    KeQueryTickCount(&ticksBefore);
    LARGE_INTEGER delay = Relative(250ms);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    std::uint32_t after = clock.TickCount();
    LARGE_INTEGER ticksAfter;
    KeQueryTickCount(&ticksAfter);

    EXPECT_EQ(before, 0xFFFFFFFFu - 99);
    EXPECT_EQ(after, 150u);
    EXPECT_EQ(after - before, 250u);  // unsigned differences survive the wrap
    EXPECT_EQ(ticksAfter.QuadPart - ticksBefore.QuadPart, 250);
    EXPECT_EQ(static_cast<std::uint32_t>(ticksAfter.LowPart), after);
    EXPECT_EQ(KeQueryTimeIncrement(), 10000u);  // one tick per millisecond
}

TEST_F(ClockDeathTest, AWaitThatNobodyCanEndIsADeadlock) {
    EXPECT_DEATH(
        {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        },
        "CLOCK: deadlock: every thread is waiting and no deadline is set");
}

TEST_F(ClockDeathTest, RemovalBlockedForeverByAnOpenHandleIsADeadlock) {
    EXPECT_DEATH(
        {
            Boot();
            Open();
            kernel.RequestRemoval(pdo, false).Wait();
        },
        "CLOCK: deadlock");
}

}  // namespace
}  // namespace kernel_test

namespace kernel_test {
namespace {

TEST(WallClockTest, WaitsTakeRealTimeAndEndEarlyWhenWoken) {
    platform::Clock clock(platform::Clock::Mode::Wall);
    platform::Clock::Participant self(clock);
    auto start = std::chrono::steady_clock::now();
    clock.SleepFor(std::chrono::milliseconds(30));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_GE(clock.Now(), platform::Clock::TimePoint(std::chrono::milliseconds(30)));

    bool ready = false;
    std::thread waker = clock.StartThread([&] {
        {
            std::lock_guard lock(clock.mutex());
            ready = true;
        }
        clock.NotifyAll();
    });
    std::unique_lock lock(clock.mutex());
    EXPECT_TRUE(clock.WaitUntil(lock, [&] { return ready; },
                                clock.Now() + std::chrono::seconds(60)));
    lock.unlock();
    waker.join();

    // A notice given under the lock tests the conditions itself and must reach the waiter.
    bool done = false;
    std::thread notifier = clock.StartThread([&] {
        std::unique_lock guard(clock.mutex());
        done = true;
        clock.NotifyAll(guard);
    });
    start = std::chrono::steady_clock::now();
    lock.lock();
    EXPECT_TRUE(clock.WaitUntil(lock, [&] { return done; },
                                clock.Now() + std::chrono::seconds(60)));
    lock.unlock();
    notifier.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

}  // namespace
}  // namespace kernel_test
