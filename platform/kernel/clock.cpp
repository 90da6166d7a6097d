// Virtual time: a clock wait registers the thread as blocked; when every participant is
// blocked, the last one to block moves time to the earliest deadline and wakes the waiters whose
// deadline has come or whose condition now holds. Each waiter sleeps on its own wake-up,
// so that a wake-up reaches only the threads that have something to do: with many
// packets per frame, waking every thread for every step cost far more than the steps. Wall
// time uses the same waiters; one with a deadline sleeps until it. It wakes a little late, which
// the simulated bus and camera make up for, as they do for a thread the machine runs late:
// spinning out the last microseconds instead kept a core busy and, on a loaded machine,
// handed it to other processes.
// Locks: mutex_ (the public one) is taken before book (the bookkeeping), never after.
#include "clock.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace platform {

namespace {

// How deeply the current thread has registered with each clock (nesting counts once).
thread_local std::vector<std::pair<const Clock*, int>> t_participation;

int& DepthFor(const Clock* clock) {
    for (auto& entry : t_participation)
        if (entry.first == clock) return entry.second;
    t_participation.emplace_back(clock, 0);
    return t_participation.back().second;
}

void ForgetIfZero(const Clock* clock) {
    std::erase_if(t_participation,
                  [clock](const auto& entry) { return entry.first == clock && entry.second == 0; });
}

bool IsParticipant(const Clock* clock) {
    for (const auto& entry : t_participation)
        if (entry.first == clock) return entry.second > 0;
    return false;
}

// Linux lets a timed sleep of an ordinary thread run 50 us late by default, which nearly
// doubles the wall time of a 64-us bulk packet retry; a wall-clock waiter asks for punctual
// wake-ups instead, once per thread.
void AskForPunctualWakeUps() {
#ifdef __linux__
    thread_local const bool asked = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
    (void)asked;
#endif
}

// A waiter's wake-up: one pending notice at most, which a later sleep consumes. Not a
// std::counting_semaphore: libstdc++'s timed acquire polls with yields and short sleeps until
// its deadline, so every wall-clock wait of a few tens of microseconds kept a core busy.
class Wakeup {
public:
    void Release() {
        std::lock_guard lock(mutex_);
        notified_ = true;
        arrived_.notify_one();
    }
    void Acquire() {
        std::unique_lock lock(mutex_);
        arrived_.wait(lock, [this] { return notified_; });
        notified_ = false;
    }
    void AcquireUntil(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        if (arrived_.wait_until(lock, deadline, [this] { return notified_; })) notified_ = false;
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    bool notified_ = false;
};

}  // namespace

struct Clock::State {
    struct Waiter {
        std::optional<TimePoint> deadline;
        bool participant;
        const std::function<bool()>* ready;
        // Its own flag, not the clock's mutex and a condition variable: a notice may come
        // without the lock, between the waiter marking itself blocked and going to sleep, and
        // must not be lost then. A stale notice only makes a later sleep end early, which the
        // waiter re-tests.
        Wakeup wakeup{};
        bool blocked = false;
        // Whether the waiter has left the bookkeeping to sleep. A waiter that time moved for
        // while it was still inside re-tests at once; a release for it would be a system
        // call per step of virtual time, for nothing.
        bool mayBeAsleep = false;
    };

    std::chrono::steady_clock::time_point wallStart = std::chrono::steady_clock::now();
    std::atomic<std::int64_t> virtualNow{0};  // microseconds
    std::atomic<std::uint32_t> tickBase{0};

    std::mutex book;
    int participants = 0;
    int blockedInClock = 0;
    int blockedOutside = 0;
    std::vector<Waiter*> waiters;  // a handful of threads: no node to allocate per wait

    // With `book` held: the waiter goes back to re-test its condition.
    void Unblock(Waiter& waiter) {
        waiter.blocked = false;
        if (waiter.participant) --blockedInClock;
        if (waiter.mayBeAsleep) waiter.wakeup.Release();
        waiter.mayBeAsleep = false;
    }

    // With `book` held.
    void UnblockAllLocked() {
        for (Waiter* waiter : waiters)
            if (waiter->blocked) Unblock(*waiter);
    }

    // With mutex_ and `book` held: only the waiters that would get past their test. The
    // conditions read guarded state only, so they may run on the notifying thread.
    void UnblockReadyLocked(TimePoint now) {
        for (Waiter* waiter : waiters)
            if (waiter->blocked && ((waiter->deadline && *waiter->deadline <= now) || (*waiter->ready)()))
                Unblock(*waiter);
    }
};

Clock::Clock(Mode mode) : mode_(mode), state_(new State) {}

Clock::~Clock() { delete state_; }

Clock::TimePoint Clock::Now() const {
    if (mode_ == Mode::Virtual) return TimePoint(state_->virtualNow.load());
    return std::chrono::duration_cast<TimePoint>(std::chrono::steady_clock::now() -
                                                 state_->wallStart);
}

std::uint32_t Clock::TickCount() const {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Now()).count();
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms) + state_->tickBase.load());
}

void Clock::SetTickBase(std::uint32_t base) { state_->tickBase = base; }

// With mutex_ and book held. Time moves only when no participant can move it by running.
void Clock::MaybeAdvanceLocked(bool mayReportDeadlock) {
    State& s = *state_;
    if (mode_ != Mode::Virtual || s.participants == 0) return;
    if (s.blockedInClock + s.blockedOutside < s.participants) return;

    std::optional<TimePoint> earliest;
    for (const State::Waiter* waiter : s.waiters)
        if (waiter->deadline && (!earliest || *waiter->deadline < *earliest))
            earliest = waiter->deadline;

    if (!earliest) {
        if (!mayReportDeadlock) return;
        std::fprintf(stderr, "CLOCK: deadlock: every thread is waiting and no deadline is set\n");
        std::fflush(stderr);
        std::abort();
    }
    if (earliest->count() > s.virtualNow.load()) s.virtualNow = earliest->count();
    s.UnblockReadyLocked(Now());
}

bool Clock::WaitUntil(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready,
                      std::optional<TimePoint> deadline) {
    State& s = *state_;
    const bool wall = mode_ == Mode::Wall;
    if (wall) AskForPunctualWakeUps();
    // Only virtual time counts the blocked participants.
    State::Waiter self{deadline, !wall && IsParticipant(this), &ready};
    {
        std::lock_guard book(s.book);
        s.waiters.push_back(&self);
    }
    bool result = false;
    for (;;) {
        if (ready()) {
            result = true;
            break;
        }
        if (deadline && Now() >= *deadline) break;
        {
            std::lock_guard book(s.book);
            self.blocked = true;
            if (self.participant) ++s.blockedInClock;
            MaybeAdvanceLocked(true);
            if (!self.blocked) continue;  // time moved on our behalf: re-test first
            self.mayBeAsleep = true;
        }
        lock.unlock();
        if (wall && deadline)
            self.wakeup.AcquireUntil(s.wallStart + *deadline);
        else
            self.wakeup.Acquire();
        lock.lock();
        std::lock_guard book(s.book);
        self.mayBeAsleep = false;
        if (self.blocked) {  // a spurious wake-up, or the deadline came
            self.blocked = false;
            if (self.participant) --s.blockedInClock;
        }
    }
    std::lock_guard book(s.book);
    std::erase(s.waiters, &self);
    return result;
}

void Clock::SleepFor(Duration d) {
    std::unique_lock lock(mutex_);
    TimePoint deadline = Now() + d;
    WaitUntil(lock, [] { return false; }, deadline);
}

void Clock::NotifyAll() {
    std::lock_guard book(state_->book);
    state_->UnblockAllLocked();
}

void Clock::NotifyAll(std::unique_lock<std::mutex>& lock) {
    (void)lock;
    std::lock_guard book(state_->book);
    state_->UnblockReadyLocked(Now());
}

Clock::Participant::Participant(Clock& clock) : clock_(clock), counted_(false) {
    int& depth = DepthFor(&clock);
    if (depth++ > 0) return;
    counted_ = true;
    std::lock_guard lock(clock.mutex_);
    std::lock_guard book(clock.state_->book);
    ++clock.state_->participants;
}

Clock::Participant::Participant(Clock& clock, Adopt) : clock_(clock), counted_(true) {
    ++DepthFor(&clock);
}

Clock::Participant::~Participant() {
    --DepthFor(&clock_);
    ForgetIfZero(&clock_);
    if (!counted_) return;
    std::lock_guard lock(clock_.mutex_);
    std::lock_guard book(clock_.state_->book);
    --clock_.state_->participants;
    // Not a deadlock check: a thread that ends during shutdown leaves idle threads behind.
    clock_.MaybeAdvanceLocked(false);
}

Clock::BlockedOutside::BlockedOutside(Clock& clock)
    : clock_(clock), counted_(IsParticipant(&clock)) {
    if (!counted_) return;
    std::lock_guard lock(clock.mutex_);
    std::lock_guard book(clock.state_->book);
    ++clock.state_->blockedOutside;
    // Joining a thread that has already left the clock is no deadlock, so none is reported here.
    clock.MaybeAdvanceLocked(false);
}

Clock::BlockedOutside::~BlockedOutside() {
    if (!counted_) return;
    std::lock_guard lock(clock_.mutex_);
    std::lock_guard book(clock_.state_->book);
    --clock_.state_->blockedOutside;
}

std::thread Clock::StartThread(std::function<void()> body) {
    {
        std::lock_guard lock(mutex_);
        std::lock_guard book(state_->book);
        ++state_->participants;
    }
    return std::thread([this, body = std::move(body)] {
        Participant self(*this, Participant::Adopt{});
        body();
    });
}

}  // namespace platform
