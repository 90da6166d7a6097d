// What the kernel stand-in keeps about its objects. Internal to platform/kernel.
//
// Locking: `lock` guards every container here and the bookkeeping in the records; it is never
// held while driver code runs, nor while waiting. Event state is guarded by the clock's mutex.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kernel.h"
#include "user_io.h"

namespace platform::kernel {

struct DeviceRecord {
    PDEVICE_OBJECT device = nullptr;
    std::unique_ptr<std::byte[]> memory;  // the object and its extension
    std::wstring name;                    // upper-cased, empty when unnamed
    PDEVICE_OBJECT lower = nullptr;       // what this device is attached to
    LONG openFiles = 0;
    bool removePending = false;  // the PnP manager has begun its removal: no new opens
    bool deleted = false;
};

struct DriverRecord {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::wstring driverName;
    std::wstring registryPath;
    std::set<ULONG> tags;  // pool tags allocated while its code ran
};

enum class IrpOrigin {
    User,       // OpenFile, SendRead ...: completes to an IoCompletion, freed by the kernel
    Built,      // IoBuildDeviceIoControlRequest: UserIosb and UserEvent, freed by the kernel
    Allocated,  // IoAllocateIrp: the driver frees it with IoFreeIrp
};

struct IrpRecord {
    IrpOrigin origin = IrpOrigin::Allocated;
    std::unique_ptr<std::byte[]> memory;  // IRP followed by its stack locations
    PIRP irp = nullptr;

    // Where a thread is running driver code for this IRP: a dispatch routine at `location`,
    // or a completion routine of the driver whose location is `location`.
    struct Frame {
        std::thread::id thread;
        int location;
    };
    std::vector<Frame> frames;
    int holds = 0;         // kernel calls in flight on this IRP; memory stays until 0
    bool completed = false;
    bool freed = false;
    // A completion routine returned STATUS_MORE_PROCESSING_REQUIRED: its driver owns the IRP
    // again and must complete, send, reuse or free it before its device or itself goes.
    bool halted = false;
    PDRIVER_OBJECT allocatedBy = nullptr;  // Origin::Allocated: whose code called IoAllocateIrp
    // Pending marks of stack locations already unwound by completion (index = location), and
    // the locations whose dispatch returned STATUS_PENDING before completion reached them:
    // their mark may still come from a completion routine below, so it is checked on unwinding.
    std::vector<bool> unwound;
    std::vector<bool> pendingMarked;
    std::vector<bool> returnedPending;

    // Origin::User
    FileObject* file = nullptr;
    IoCompletion done;
    std::unique_ptr<std::byte[]> systemBuffer;
    void* copyOutTo = nullptr;  // buffered output goes here at completion
    ULONG copyOutLimit = 0;
    PMDL userMdl = nullptr;
};

struct FileObject {
    FILE_OBJECT object{};
    PDEVICE_OBJECT device = nullptr;  // the named device that was opened
    PDEVICE_OBJECT top = nullptr;     // where requests go
    int references = 1;               // the handle, plus one per outstanding IRP
    std::set<PIRP> outstanding;
};

struct RemovalTicket::State {
    bool finished = false;
};

struct KernelState {
    std::mutex lock;
    std::map<PDEVICE_OBJECT, std::unique_ptr<DeviceRecord>> devices;
    std::map<std::wstring, PDEVICE_OBJECT> deviceNames;  // upper-cased
    std::map<std::wstring, std::wstring> links;          // \??\NAME -> target, upper-cased
    std::map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>> drivers;
    std::map<PIRP, std::unique_ptr<IrpRecord>> irps;
    std::set<PMDL> mdls;
    std::set<FileObject*> files;
    std::vector<std::thread> pnpThreads;
    std::atomic<int> createsInFlight = 0;  // opens past the removal check, on their way to the driver
    std::mutex cancelLock;  // IoAcquireCancelSpinLock
    bool failNextAttach = false;

    DeviceRecord* FindDevice(PDEVICE_OBJECT device);  // with `lock` held; null if unknown
    IrpRecord* FindIrp(PIRP irp);                     // with `lock` held; null if not live
};

// The kernel that the driver-facing C functions work on; aborts when none is booted.
Kernel& CurrentKernel();

// Names compare case-insensitively; "\DosDevices\" and "\GLOBAL??\" mean "\??\".
std::wstring CanonicalName(const UNICODE_STRING* name);
std::wstring CanonicalName(std::wstring_view name);

// Which driver's code the calling thread runs, so that pool tags can be charged to it.
class DriverCodeScope {
public:
    explicit DriverCodeScope(PDRIVER_OBJECT driver);
    ~DriverCodeScope();
    DriverCodeScope(const DriverCodeScope&) = delete;
    DriverCodeScope& operator=(const DriverCodeScope&) = delete;
    static PDRIVER_OBJECT Current();
};

// IRPs the kernel builds for itself and for user mode (io_manager.cpp).
IrpRecord& CreateIrp(Kernel& kernel, IrpOrigin origin, CCHAR stackSize);
// Frees the IRP's memory once no kernel call holds it any more. With `lock` held.
void ReleaseIrpLocked(KernelState& state, PIRP irp);
// Sends `irp` to `device` and waits on the clock until the IRP completed (its IoCompletion
// runs). Returns the final status.
NTSTATUS CallAndWait(Kernel& kernel, PDEVICE_OBJECT device, IrpRecord& record);

PMDL CreateMdl(KernelState& state, void* address, ULONG length);
void DestroyMdl(KernelState& state, PMDL mdl);

// For verifier messages.
std::string Hex(const void* pointer);

}  // namespace platform::kernel
