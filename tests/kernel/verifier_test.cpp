// The verifier catches each fault with a clear message, and makes allocations fail on demand.
#include "kernel_fixture.h"

namespace kernel_test {
namespace {

using platform::kernel::FileObject;

class VerifierTest : public KernelFixture {
protected:
    // Boots, opens the device and has the function driver commit `fault`.
    NTSTATUS Commit(Fault fault, FileObject** file = nullptr) {
        Boot();
        FileObject* opened = Open();
        if (file != nullptr) *file = opened;
        auto code = static_cast<unsigned char>(fault);
        return SendDeviceControl(kernel, opened, kIoctlFault, &code, 1, nullptr, 0, {});
    }
};

using VerifierDeathTest = VerifierTest;

TEST_F(VerifierDeathTest, CatchesMisuseOfRequests) {
    EXPECT_DEATH(Commit(Fault::CompleteTwice), "VERIFIER: IRP 0x[0-9a-f]+ completed twice");
    EXPECT_DEATH(Commit(Fault::CompleteWhileLowerOwns),
                 "VERIFIER: IRP .* completed while owned by a lower driver");
    EXPECT_DEATH(Commit(Fault::PendingWithoutMark),
                 "VERIFIER: STATUS_PENDING returned without the pending mark");
    EXPECT_DEATH(
        {
            Commit(Fault::PendingPassedDownWithoutMark);
            CompleteFromAnotherThread(TakeHeldIrp(World().busHeld), STATUS_SUCCESS, 0);
        },
        "VERIFIER: STATUS_PENDING returned without the pending mark");
    EXPECT_DEATH(
        {
            Boot();
            char input = 'a';
            char output[8];
            SendDeviceControl(kernel, Open(), kIoctlReverse, &input, 1, output, sizeof output, {});
            CompleteFromAnotherThread(TakeHeldIrp(World().fdoHeld), STATUS_SUCCESS, 100);
        },
        "VERIFIER: IRP .* completed with Information 100, more than its buffer of 8 bytes");
    EXPECT_DEATH(Commit(Fault::MarkPendingReturnSuccess),
                 "VERIFIER: IoMarkIrpPending and then status 0x00000000 returned, not "
                 "STATUS_PENDING: IRP 0x[0-9a-f]+ at device");
    EXPECT_DEATH(Commit(Fault::CompleteWithPending),
                 "VERIFIER: IRP 0x[0-9a-f]+ completed with STATUS_PENDING");
    EXPECT_DEATH(Commit(Fault::StackOverrun),
                 "VERIFIER: IRP stack location overrun: IoCallDriver .* no stack location left");
}

TEST_F(VerifierDeathTest, CatchesMisuseOfPool) {
    EXPECT_DEATH(Commit(Fault::FreeTwice), "VERIFIER: pool freed twice or not allocated");
    EXPECT_DEATH(Commit(Fault::FreeForeign), "VERIFIER: pool freed twice or not allocated");
    EXPECT_DEATH(Commit(Fault::FreeWithWrongTag),
                 "VERIFIER: pool freed with wrong tag 'Wdm ', allocated with 'Test'");
}

TEST_F(VerifierDeathTest, CatchesLeaksAtRemovalAndUnload) {
    EXPECT_DEATH(
        {
            FileObject* file = nullptr;
            Commit(Fault::LeakPoolAtUnload, &file);
            CloseFile(kernel, file);
            Shutdown();
        },
        "VERIFIER: pool leaked by \\\\Driver\\\\KTestFdo: tag 'Test', 24 bytes");
    EXPECT_DEATH(
        {
            FileObject* file = nullptr;
            Commit(Fault::LeakIrpAtRemoval, &file);
            CloseFile(kernel, file);
            kernel.RequestRemoval(pdo, false).Wait();
        },
        "VERIFIER: IRP leaked at removal: IRP .* \\(major 14\\) of device .* not completed");
    EXPECT_DEATH(
        {
            FileObject* file = nullptr;
            Commit(Fault::HaltAndForget, &file);
            CompleteFromAnotherThread(TakeHeldIrp(World().busHeld), STATUS_SUCCESS, 0);
            CloseFile(kernel, file);
            Shutdown();
        },
        "VERIFIER: IRP .* from IoAllocateIrp of \\\\Driver\\\\KTestFdo never freed when the "
        "driver unloaded \\(its completion routine returned STATUS_MORE_PROCESSING_REQUIRED");
    EXPECT_DEATH(Commit(Fault::UnbalancedReference),
                 "VERIFIER: unbalanced reference: ObDereferenceObject");
}

NTSTATUS FailingEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_INSUFFICIENT_RESOURCES; }

NTSTATUS FailingEntryThatLeaks(PDRIVER_OBJECT, PUNICODE_STRING) {
    ExAllocatePoolWithTag(NonPagedPool, 12, kPoolTag);
    return STATUS_INSUFFICIENT_RESOURCES;
}

TEST_F(VerifierDeathTest, AFailedDriverEntryMustGiveItsPoolBack) {
    auto driver = reinterpret_cast<PDRIVER_OBJECT>(this);  // must come back null
    EXPECT_EQ(kernel.LoadDriver(L"KFails", FailingEntry, &driver), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(driver, nullptr);
    EXPECT_DEATH(kernel.LoadDriver(L"KLeaks", FailingEntryThatLeaks, &driver),
                 "VERIFIER: pool leaked by \\\\Driver\\\\KLeaks: tag 'Test', 12 bytes");
}

TEST_F(VerifierTest, CommittingNoFaultPasses) {
    FileObject* file = nullptr;
    EXPECT_EQ(Commit(Fault::None, &file), STATUS_SUCCESS);
    CloseFile(kernel, file);
    Shutdown();
}

TEST_F(VerifierTest, AllocationFailuresCanBeInjectedByCountOrTag) {
    auto& verifier = kernel.verifier();
    verifier.FailNthAllocation(2);
    PVOID first = ExAllocatePoolWithTag(NonPagedPool, 10, kPoolTag);
    PVOID second = ExAllocatePoolWithTag(NonPagedPool, 10, kPoolTag);
    PVOID third = ExAllocatePoolWithTag(NonPagedPool, 20, kPoolTag);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(verifier.OutstandingBytes(kPoolTag), 30u);
    EXPECT_EQ(verifier.OutstandingAllocations(kPoolTag), 2u);

    verifier.FailAllocationsWithTag(kPoolTag);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 1, kPoolTag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 1, kPoolTag), nullptr);
    PVOID other = ExAllocatePoolWithTag(NonPagedPool, 1, 0x206D6457);
    EXPECT_NE(other, nullptr);
    verifier.StopFailingAllocations();
    PVOID again = ExAllocatePoolWithTag(NonPagedPool, 1, kPoolTag);
    EXPECT_NE(again, nullptr);

    for (PVOID block : {first, third, other, again}) ExFreePool(block);
    EXPECT_EQ(verifier.OutstandingAllocations(), 0u);
}

TEST_F(VerifierTest, DriverEntrySurvivesAFailedStringAllocation) {
    kernel.verifier().FailAllocationsWithTag(0x67727453);  // "Strg", the run-time library's
    Boot();
    kernel.verifier().StopFailingAllocations();
    EXPECT_EQ(kernel.log().Text(platform::kernel::DebugLog::Source::Kernel).find("RegistryPath"),
              std::string::npos);
    Shutdown();
}

}  // namespace
}  // namespace kernel_test
