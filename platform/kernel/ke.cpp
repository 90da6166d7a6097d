// The kernel's dispatcher: events and waits on the one clock, tick counts, spin locks, IRQL.
#include <chrono>
#include <thread>

#include "kernel_state.h"

namespace platform::kernel {

namespace {

thread_local int t_spinLocksHeld = 0;

// Windows time-outs: negative = relative, positive = absolute, in 100 ns units; here absolute
// times count from boot.
std::optional<Clock::TimePoint> DeadlineOf(Clock& clock, const LARGE_INTEGER* timeout) {
    if (timeout == nullptr) return std::nullopt;
    LONGLONG units = timeout->QuadPart;
    if (units <= 0) return clock.Now() + Clock::Duration(-units / 10);
    return Clock::TimePoint(units / 10);
}

}  // namespace

}  // namespace platform::kernel

using namespace platform::kernel;
using platform::Clock;

extern "C" {

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Clock& clock = CurrentKernel().clock();
    std::lock_guard lock(clock.mutex());
    Event->Header = DISPATCHER_HEADER{};
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = Event->Header.WaitListHead.Blink =
        &Event->Header.WaitListHead;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    Clock& clock = CurrentKernel().clock();
    LONG previous;
    {
        std::lock_guard lock(clock.mutex());
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
    }
    clock.NotifyAll();
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

LONG KeResetEvent(PRKEVENT Event) {
    Clock& clock = CurrentKernel().clock();
    std::lock_guard lock(clock.mutex());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    Clock& clock = CurrentKernel().clock();
    std::lock_guard lock(clock.mutex());
    return Event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    Kernel& kernel = CurrentKernel();
    if (t_spinLocksHeld > 0 && (Timeout == nullptr || Timeout->QuadPart != 0))
        kernel.verifier().Fail("KeWaitForSingleObject at DISPATCH_LEVEL (a spin lock is held)");
    auto* event = static_cast<PRKEVENT>(Object);
    if (event == nullptr || (event->Header.Type != NotificationEvent &&
                             event->Header.Type != SynchronizationEvent)) {
        kernel.verifier().Fail("KeWaitForSingleObject on " + Hex(Object) +
                               ", which is not an initialized event");
    }
    Clock& clock = kernel.clock();
    std::unique_lock lock(clock.mutex());
    bool signalled = clock.WaitUntil(
        lock, [event] { return event->Header.SignalState != 0; }, DeadlineOf(clock, Timeout));
    if (!signalled) return STATUS_TIMEOUT;
    if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
    return STATUS_SUCCESS;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval) {
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    Clock& clock = CurrentKernel().clock();
    std::unique_lock lock(clock.mutex());
    clock.WaitUntil(lock, [] { return false; }, DeadlineOf(clock, Interval));
    return STATUS_SUCCESS;
}

// One tick per millisecond; KeQueryTimeIncrement says so in 100 ns units.
VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
    Clock& clock = CurrentKernel().clock();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock.Now()).count();
    // The low 32 bits follow TickCount(), so a wrap test sees both wrap together.
    std::uint32_t low = clock.TickCount();
    std::uint64_t base = static_cast<std::uint32_t>(low - static_cast<std::uint32_t>(ms));
    CurrentCount->QuadPart = static_cast<LONGLONG>(base + static_cast<std::uint64_t>(ms));
}

ULONG KeQueryTimeIncrement(VOID) { return 10000; }

ULONGLONG KeQueryInterruptTime(VOID) {
    return static_cast<ULONGLONG>(CurrentKernel().clock().Now().count()) * 10;
}

KIRQL KeGetCurrentIrql(VOID) { return t_spinLocksHeld > 0 ? DISPATCH_LEVEL : PASSIVE_LEVEL; }

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    *OldIrql = KeGetCurrentIrql();
    while (__atomic_exchange_n(SpinLock, 1, __ATOMIC_ACQUIRE) != 0) std::this_thread::yield();
    ++t_spinLocksHeld;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    UNREFERENCED_PARAMETER(NewIrql);
    --t_spinLocksHeld;
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    char text[160];
    std::snprintf(text, sizeof text, "bug check 0x%08X (%zX, %zX, %zX, %zX)",
                  static_cast<unsigned>(BugCheckCode), static_cast<std::size_t>(P1),
                  static_cast<std::size_t>(P2), static_cast<std::size_t>(P3),
                  static_cast<std::size_t>(P4));
    CurrentKernel().verifier().Fail(text);
}

}  // extern "C"
