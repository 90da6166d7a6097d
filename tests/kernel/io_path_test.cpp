// The request path end to end: driver loading, names, user requests with each buffering method,
// completion routines, cancellation and removal.
#include <cstring>
#include <string>
#include <vector>

#include "kernel_fixture.h"

namespace kernel_test {
namespace {

using platform::kernel::DebugLog;
using platform::kernel::FileObject;

using IoPathTest = KernelFixture;

TEST_F(IoPathTest, BootNamesTheDeviceAndUnloadLeavesNoPool) {
    Boot();
    EXPECT_NE(kernel.log().Text(DebugLog::Source::Kernel)
                  .find("RegistryPath = \"\\Registry\\Machine\\System\\CurrentControlSet\\"
                        "Services\\KTestFdo\"\n"),
              std::string::npos);
    EXPECT_EQ(kernel.TopOfStack(pdo), World().fdo);
    EXPECT_EQ(World().fdo->StackSize, 2);

    FileObject* file = nullptr;
    EXPECT_EQ(OpenFile(kernel, "\\\\.\\ktest0", &file), STATUS_SUCCESS);  // names ignore case
    EXPECT_EQ(CloseFile(kernel, file), STATUS_SUCCESS);
    EXPECT_EQ(OpenFile(kernel, "\\\\.\\KTEST1", &file), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenFile(kernel, "KTEST0", &file), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(file, nullptr);

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\KTEST0");
    PDEVICE_OBJECT second = nullptr;
    EXPECT_EQ(IoCreateDevice(fdo, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\??\\KTEST0");  // the same link under another spelling
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_OBJECT_NAME_COLLISION);

    // Lines longer than DbgPrint's own buffer arrive whole.
    kernel.log().Clear();
    std::string longText(700, 'y');
    DbgPrint("%08X %d %02X %s|\n", 0xBEEFu, -7, 5u, longText.c_str());
    EXPECT_EQ(kernel.log().Text(DebugLog::Source::Kernel), "0000BEEF -7 05 " + longText + "|\n");

    Shutdown();
    EXPECT_EQ(kernel.verifier().OutstandingAllocations(), 0u);
}

// The log keeps the latest whole lines within its capacity, as the debugger's buffer does.
TEST(DebugLogTest, KeepsOnlyTheLatestLines) {
    DebugLog log;
    log.SetCapacity(100);
    for (int i = 0; i < 1000; ++i) log.Write(DebugLog::Source::Kernel, "line " + std::to_string(i) + "\n");
    std::string text = log.Text(DebugLog::Source::Kernel);
    EXPECT_LE(text.size(), 125u);
    EXPECT_GE(text.size(), 90u);
    EXPECT_EQ(text.substr(0, 5), "line ");
    EXPECT_EQ(text.substr(text.size() - 9), "line 999\n");
    EXPECT_EQ(log.Text(DebugLog::Source::User), "");
}

TEST_F(IoPathTest, BufferedControlCompletedLaterCopiesOnlyTheReportedBytes) {
    Boot();
    FileObject* file = Open();
    const char input[] = {'a', 'b', 'c'};
    char output[8];
    std::memset(output, 'x', sizeof output);
    Outcome outcome;
    EXPECT_EQ(SendDeviceControl(kernel, file, kIoctlReverse, input, sizeof input, output,
                                sizeof output, Into(outcome)),
              STATUS_PENDING);

    PIRP irp = TakeHeldIrp(World().fdoHeld);
    auto* system = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
    ASSERT_NE(system, nullptr);
    EXPECT_NE(static_cast<void*>(system), static_cast<void*>(output));
    EXPECT_EQ(std::string(system, 3), "abc");
    std::memcpy(system, "cba", 3);
    EXPECT_EQ(outcome.calls, 0);
    CompleteFromAnotherThread(irp, STATUS_SUCCESS, 3);

    WaitFor(outcome);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(outcome.information, 3u);
    EXPECT_EQ(std::string(output, sizeof output), "cbaxxxxx");

    // A length without its buffer is refused before any IRP exists.
    Outcome refused;
    EXPECT_EQ(SendDeviceControl(kernel, file, kIoctlReverse, input, sizeof input, nullptr, 8,
                                Into(refused)),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SendRead(kernel, file, nullptr, 8, Into(refused)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(refused.calls, 0);
    EXPECT_EQ(CloseFile(kernel, file), STATUS_SUCCESS);
    Shutdown();
}

TEST_F(IoPathTest, DirectReadIsFilledInPlaceThroughTheLowerDriver) {
    Boot();
    FileObject* file = Open();
    std::vector<unsigned char> buffer(100, 0);
    Outcome outcome;
    EXPECT_EQ(SendRead(kernel, file, buffer.data(), 64, Into(outcome)), STATUS_PENDING);

    PIRP irp = TakeHeldIrp(World().busHeld);  // the function driver passed it down
    ASSERT_NE(irp->MdlAddress, nullptr);
    EXPECT_EQ(MmGetMdlByteCount(irp->MdlAddress), 64u);
    EXPECT_EQ(MmGetMdlVirtualAddress(irp->MdlAddress), buffer.data());
    auto* target = static_cast<unsigned char*>(
        MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    EXPECT_EQ(target, buffer.data());
    for (int i = 0; i < 64; ++i) target[i] = static_cast<unsigned char>(i + 1);
    CompleteFromAnotherThread(irp, STATUS_SUCCESS, 64);

    WaitFor(outcome);
    EXPECT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(outcome.information, 64u);
    EXPECT_EQ(buffer[63], 64);
    EXPECT_EQ(buffer[64], 0);
    EXPECT_EQ(CloseFile(kernel, file), STATUS_SUCCESS);
    Shutdown();
}

TEST_F(IoPathTest, CancelReachesTheHolderAndCompletesTheRequest) {
    Boot();
    FileObject* file = Open();
    unsigned char buffer[8];
    Outcome outcome;
    SendRead(kernel, file, buffer, sizeof buffer, Into(outcome));
    PIRP irp = TakeHeldIrp(World().busHeld);
    static PIRP cancelled;
    cancelled = nullptr;
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP held) {
        IoReleaseCancelSpinLock(held->CancelIrql);
        cancelled = held;
        held->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(held, IO_NO_INCREMENT);
    });
    CancelFileIo(kernel, file);
    EXPECT_EQ(cancelled, irp);
    WaitFor(outcome);
    EXPECT_EQ(outcome.status, STATUS_CANCELLED);
    EXPECT_EQ(CloseFile(kernel, file), STATUS_SUCCESS);
    Shutdown();
}

// ---- completion routines on a stack of two devices

std::vector<std::string> g_order;
bool g_filterOnSuccess = true;

NTSTATUS FilterRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(context);
    g_order.push_back(device == static_cast<PDEVICE_OBJECT>(nullptr) ? "filter?" : "filter");
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS CallerRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    g_order.push_back(device == nullptr ? "caller" : "caller?");
    *static_cast<bool*>(context) = irp->PendingReturned;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, FilterRoutine, nullptr, g_filterOnSuccess, TRUE, TRUE);
    auto* lower = *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension);
    return IoCallDriver(lower, irp);
}

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) dispatch = FilterDispatch;
    return STATUS_SUCCESS;
}

TEST_F(IoPathTest, CompletionRoutinesRunBottomUpByTheirFlagsAndStopAtMoreProcessing) {
    ASSERT_EQ(kernel.LoadDriver(L"KTestBus", BusDriverEntry, &bus), STATUS_SUCCESS);
    PDRIVER_OBJECT filterDriver = nullptr;
    ASSERT_EQ(kernel.LoadDriver(L"KTestFilter", FilterEntry, &filterDriver), STATUS_SUCCESS);
    pdo = CreatePdo();
    PDEVICE_OBJECT filter = nullptr;
    ASSERT_EQ(IoCreateDevice(filterDriver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN,
                             0, FALSE, &filter),
              STATUS_SUCCESS);
    *static_cast<PDEVICE_OBJECT*>(filter->DeviceExtension) =
        IoAttachDeviceToDeviceStack(filter, pdo);

    for (bool onSuccess : {true, false}) {
        g_order.clear();
        g_filterOnSuccess = onSuccess;
        PIRP irp = IoAllocateIrp(filter->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        bool pendingReturned = false;
        IoSetCompletionRoutine(irp, CallerRoutine, &pendingReturned, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(filter, irp), STATUS_PENDING);

        CompleteFromAnotherThread(TakeHeldIrp(World().busHeld), STATUS_SUCCESS, 0);
        std::vector<std::string> expected = {"filter", "caller"};
        if (!onSuccess) expected = {"caller"};  // registered for errors only
        EXPECT_EQ(g_order, expected);
        EXPECT_TRUE(pendingReturned);  // the bus driver's pending mark travelled up
        IoFreeIrp(irp);  // still ours: the caller's routine stopped the completion
    }

    IoDetachDevice(pdo);
    IoDeleteDevice(filter);
    IoDeleteDevice(pdo);
    kernel.UnloadDriver(filterDriver);
    kernel.UnloadDriver(bus);
}

TEST_F(IoPathTest, BuiltRequestReportsThroughItsStatusBlockAndEvent) {
    Boot();
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, pdo, nullptr, 0, nullptr, 0, TRUE, &done,
                                             &iosb);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
    CompleteFromAnotherThread(TakeHeldIrp(World().busHeld), STATUS_SUCCESS, 5);
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 5u);
    Shutdown();  // the kernel freed the IRP: none is left at shutdown
}

TEST_F(IoPathTest, RemovalWaitsWhileAHandleIsOpenAndFinishesWhenItCloses) {
    Boot();
    FileObject* file = Open();
    auto ticket = kernel.RequestRemoval(pdo, false);
    EXPECT_FALSE(ticket.Wait(std::chrono::seconds(30)));  // virtual seconds
    EXPECT_NE(World().fdo, nullptr);

    EXPECT_EQ(CloseFile(kernel, file), STATUS_SUCCESS);
    EXPECT_TRUE(ticket.Wait());
    EXPECT_EQ(World().fdo, nullptr);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    EXPECT_EQ(OpenFile(kernel, kDevicePath, &file), STATUS_OBJECT_NAME_NOT_FOUND);
    Shutdown();
    EXPECT_EQ(kernel.verifier().OutstandingAllocations(), 0u);
}

TEST_F(IoPathTest, FailedAttachCanBeInjected) {
    ASSERT_EQ(kernel.LoadDriver(L"KTestBus", BusDriverEntry, &bus), STATUS_SUCCESS);
    ASSERT_EQ(kernel.LoadDriver(L"KTestFdo", FunctionDriverEntry, &fdo), STATUS_SUCCESS);
    pdo = CreatePdo();
    kernel.FailNextAttach();
    EXPECT_EQ(kernel.DeviceArrived(pdo, fdo), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(fdo->DeviceObject, nullptr);  // the driver undid its device
    // The name is free again for a second arrival.
    EXPECT_EQ(kernel.DeviceArrived(pdo, fdo), STATUS_SUCCESS);
    Shutdown();
}

// Boots that follow one another, even at the same address, each get a serial of their own.
TEST(KernelBoot, EveryBootHasANewSerial) {
    platform::Clock clock(platform::Clock::Mode::Virtual);
    std::optional<platform::kernel::Kernel> kernel;
    kernel.emplace(clock);
    const platform::kernel::Kernel* first = &*kernel;
    const std::uint64_t firstSerial = kernel->BootSerial();
    kernel.reset();
    kernel.emplace(clock);
    EXPECT_EQ(&*kernel, first);
    EXPECT_GT(kernel->BootSerial(), firstSerial);
}

}  // namespace
}  // namespace kernel_test
