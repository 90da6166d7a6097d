// The one clock of the stand-in: every tick count, sleep and timed wait of the platform and
// the simulator goes through it.
//
// Virtual mode: time stands still while any participating thread runs, and jumps to the
// earliest deadline once every participating thread is blocked in a clock wait. Simulated
// hardware charges its costs by waiting, so a 2000 ms time-out costs no real time and comes
// out the same on every run. If every participant is blocked with no deadline at all, the
// clock reports the deadlock (a hang becomes a loud failure).
// Wall mode: the same calls on the real steady clock, for demos paced like the hardware.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace platform {

class Clock {
public:
    enum class Mode { Virtual, Wall };
    using Duration = std::chrono::microseconds;
    using TimePoint = std::chrono::microseconds;  // since boot

    explicit Clock(Mode mode);
    Clock(const Clock&) = delete;
    Clock& operator=(const Clock&) = delete;
    ~Clock();

    Mode mode() const { return mode_; }

    TimePoint Now() const;
    // Milliseconds since boot plus the tick base, wrapping at 2^32 like GetTickCount.
    std::uint32_t TickCount() const;
    // Tests of wrap-around start the tick counter just below 2^32.
    void SetTickBase(std::uint32_t base);

    // Every state that a clock wait tests (events, queues, device state) is guarded by this
    // mutex, so that a change and the wake-up it causes cannot cross.
    std::mutex& mutex() { return mutex_; }

    // With `lock` held on mutex(): blocks until ready() is true or `deadline` passes.
    // Returns ready() as last evaluated. ready() runs with the lock held.
    bool WaitUntil(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready,
                   std::optional<TimePoint> deadline);
    // Sleeps the calling thread for `d` of clock time (takes the lock itself).
    void SleepFor(Duration d);
    // Wakes every waiter to re-test its condition; call after changing guarded state.
    // May be called with or without the lock held.
    void NotifyAll();
    // The same with `lock` held on mutex(): the conditions are tested here, and only the
    // waiters whose condition holds are woken.
    void NotifyAll(std::unique_lock<std::mutex>& lock);

    // A thread that takes part in virtual time. Threads that the platform starts register
    // themselves; the application thread registers when it boots the Machine. Nested
    // registration of the same thread is counted once.
    class Participant {
    public:
        explicit Participant(Clock& clock);
        // Takes over a place reserved by StartThread for the new thread.
        struct Adopt {};
        Participant(Clock& clock, Adopt);
        ~Participant();
        Participant(const Participant&) = delete;
        Participant& operator=(const Participant&) = delete;

    private:
        Clock& clock_;
        bool counted_;
    };

    // Marks a participant as blocked outside the clock (joining a thread, waiting on a
    // std::future) so that virtual time may advance meanwhile.
    class BlockedOutside {
    public:
        explicit BlockedOutside(Clock& clock);
        ~BlockedOutside();
        BlockedOutside(const BlockedOutside&) = delete;
        BlockedOutside& operator=(const BlockedOutside&) = delete;

    private:
        Clock& clock_;
        bool counted_;
    };

    // Starts a thread that takes part in virtual time from its first instant: its place is
    // reserved before this returns, so time cannot jump while it is still starting.
    std::thread StartThread(std::function<void()> body);

private:
    struct State;
    void MaybeAdvanceLocked(bool mayReportDeadlock);
    Mode mode_;
    std::mutex mutex_;
    State* state_;
};

}  // namespace platform
