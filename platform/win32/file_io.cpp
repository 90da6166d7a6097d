// CreateFileA and the I/O calls on an open device, over the kernel's user I/O entry points.
// A call without an OVERLAPPED record, or on a handle opened without FILE_FLAG_OVERLAPPED,
// waits for the request's completion as Windows does. With both, a pending request returns
// FALSE with ERROR_IO_PENDING and completes into the record: Internal = status,
// InternalHigh = bytes, hEvent (or the file when there is none) signalled.
#include <functional>
#include <mutex>

#include "errors.h"
#include "heap.h"
#include "session.h"
#include "windows.h"

namespace {

using platform::Clock;
using platform::win32::CurrentSession;
using platform::win32::Event;
using platform::win32::File;
using platform::win32::Session;
using platform::win32::SetLastNtError;
using platform::win32::Waitable;

// The completion of one request, guarded by the clock's mutex.
struct Completion {
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

using Submit = std::function<NTSTATUS(platform::kernel::IoCompletion)>;

// The low bit of hEvent only keeps a completion port away; the event is the rest.
HANDLE EventOf(const OVERLAPPED& overlapped) {
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped.hEvent) & ~ULONG_PTR{1});
}

void ReportBytes(LPDWORD bytes, ULONG_PTR information) {
    if (bytes != nullptr) *bytes = static_cast<DWORD>(information);
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// Sends one request and reports it the Win32 way. `buffer` is what the request may use until
// it completes.
BOOL Issue(Session& session, File& file, LPOVERLAPPED overlapped, LPDWORD bytes,
           const void* buffer, std::size_t bufferBytes, const char* api, const Submit& submit) {
    std::shared_ptr<Waitable> eventSignal;
    if (overlapped != nullptr && EventOf(*overlapped) != nullptr) {
        eventSignal = platform::win32::UseHandleAs<Event>(&session.handles, EventOf(*overlapped),
                                                         api, "an event")
                          ->signal();
    }
    if (overlapped != nullptr) platform::win32::BeginInFlight(overlapped, buffer, bufferBytes);
    Clock& clock = file.kernel().clock();
    const std::shared_ptr<Waitable> fileSignal = file.signal();
    const auto completion = std::make_shared<Completion>();

    if (bytes != nullptr) *bytes = 0;
    {
        std::lock_guard lock(clock.mutex());
        if (overlapped != nullptr) {
            overlapped->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
            overlapped->InternalHigh = 0;
        }
    }
    if (eventSignal) eventSignal->Reset();
    fileSignal->Reset();

    auto done = [completion, overlapped, eventSignal, fileSignal, &clock](NTSTATUS status,
                                                                         ULONG_PTR information) {
        {
            std::lock_guard lock(clock.mutex());
            completion->done = true;
            completion->status = status;
            completion->information = information;
            if (overlapped != nullptr) {
                overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(status));
                overlapped->InternalHigh = information;
                // Before anyone can see the signal and free the record.
                platform::win32::EndInFlight(overlapped);
            }
            if (eventSignal) eventSignal->SetLocked();
            fileSignal->SetLocked();
        }
        clock.NotifyAll();
    };
    const NTSTATUS returned = submit(std::move(done));
    // Refused before any IRP existed: nothing will complete into the record.
    if (returned != STATUS_PENDING && overlapped != nullptr) platform::win32::EndInFlight(overlapped);

    const bool asynchronous = overlapped != nullptr && file.overlapped();
    if (returned == STATUS_PENDING && asynchronous) return Fail(ERROR_IO_PENDING);

    NTSTATUS status = returned;
    ULONG_PTR information = 0;
    {
        std::unique_lock lock(clock.mutex());
        if (returned == STATUS_PENDING) {
            clock.WaitUntil(lock, [&] { return completion->done; }, std::nullopt);
            status = completion->status;
        }
        // A request refused before any IRP existed never completes; it moved no bytes.
        if (completion->done) information = completion->information;
    }
    // Warnings fail the call too, but their bytes did move.
    if (!NT_ERROR(status)) ReportBytes(bytes, information);
    if (!NT_SUCCESS(status)) {
        SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

// The open file behind a handle, with its session.
std::shared_ptr<File> FindFile(HANDLE handle, std::shared_ptr<Session>& session, const char* api) {
    session = CurrentSession();
    return platform::win32::UseHandleAs<File>(session ? &session->handles : nullptr, handle, api,
                                              "a file");
}

}  // namespace

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                     HANDLE hTemplateFile) {
    // Access, sharing and security mean nothing to a device without access checks, and
    // delete-on-close nothing to a device at all.
    (void)dwDesiredAccess, (void)dwShareMode, (void)lpSecurityAttributes, (void)hTemplateFile;
    if (lpFileName == nullptr || dwCreationDisposition < CREATE_NEW || dwCreationDisposition > 5) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::shared_ptr<Session> session = CurrentSession();
    if (!session) {
        SetLastError(ERROR_NOT_READY);
        return INVALID_HANDLE_VALUE;
    }
    platform::kernel::FileObject* object = nullptr;
    const NTSTATUS status = platform::kernel::OpenFile(session->kernel, lpFileName, &object);
    if (!NT_SUCCESS(status) || object == nullptr) {
        SetLastNtError(NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status);
        return INVALID_HANDLE_VALUE;
    }
    const bool overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    HANDLE handle = session->handles.Insert(std::make_shared<File>(session->kernel, object, overlapped),
                                            std::string("CreateFileA ") + lpFileName);
    SetLastError(ERROR_SUCCESS);
    return handle;
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer,
                                       DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                       LPOVERLAPPED lpOverlapped) {
    std::shared_ptr<Session> session;
    const std::shared_ptr<File> file = FindFile(hDevice, session, "DeviceIoControl");
    // The I/O manager probes the buffers before any driver sees them.
    if ((lpInBuffer == nullptr && nInBufferSize != 0) ||
        (lpOutBuffer == nullptr && nOutBufferSize != 0)) {
        return Fail(ERROR_NOACCESS);
    }
    // Input is copied into the request at once; the output buffer is used until completion.
    return Issue(*session, *file, lpOverlapped, lpBytesReturned, lpOutBuffer, nOutBufferSize,
                 "DeviceIoControl", [&](auto done) {
        return platform::kernel::SendDeviceControl(file->kernel(), file->object(), dwIoControlCode,
                                                   lpInBuffer, nInBufferSize, lpOutBuffer,
                                                   nOutBufferSize, std::move(done));
    });
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    std::shared_ptr<Session> session;
    const std::shared_ptr<File> file = FindFile(hFile, session, "ReadFile");
    if (lpBuffer == nullptr && nNumberOfBytesToRead != 0) return Fail(ERROR_NOACCESS);
    return Issue(*session, *file, lpOverlapped, lpNumberOfBytesRead, lpBuffer, nNumberOfBytesToRead,
                 "ReadFile", [&](auto done) {
        return platform::kernel::SendRead(file->kernel(), file->object(), lpBuffer,
                                          nNumberOfBytesToRead, std::move(done));
    });
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    std::shared_ptr<Session> session;
    const std::shared_ptr<File> file = FindFile(hFile, session, "WriteFile");
    if (lpBuffer == nullptr && nNumberOfBytesToWrite != 0) return Fail(ERROR_NOACCESS);
    return Issue(*session, *file, lpOverlapped, lpNumberOfBytesWritten, lpBuffer,
                 nNumberOfBytesToWrite, "WriteFile", [&](auto done) {
        return platform::kernel::SendWrite(file->kernel(), file->object(), lpBuffer,
                                           nNumberOfBytesToWrite, std::move(done));
    });
}

extern "C" BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                           LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    std::shared_ptr<Session> session;
    const std::shared_ptr<File> file = FindFile(hFile, session, "GetOverlappedResult");
    if (lpOverlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    Clock& clock = file->kernel().clock();
    NTSTATUS status;
    ULONG_PTR information;
    {
        std::unique_lock lock(clock.mutex());
        const auto completed = [lpOverlapped] {
            return static_cast<NTSTATUS>(lpOverlapped->Internal) != STATUS_PENDING;
        };
        if (!completed()) {
            if (!bWait) {
                lock.unlock();
                return Fail(ERROR_IO_INCOMPLETE);
            }
            // Waiting for the record itself rather than its event: the same answer as Windows,
            // without hanging when the caller's wait has already taken an auto-reset signal.
            clock.WaitUntil(lock, completed, std::nullopt);
        }
        status = static_cast<NTSTATUS>(lpOverlapped->Internal);
        information = lpOverlapped->InternalHigh;
    }
    ReportBytes(lpNumberOfBytesTransferred, information);
    if (!NT_SUCCESS(status)) {
        SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL WINAPI CancelIo(HANDLE hFile) {
    std::shared_ptr<Session> session;
    const std::shared_ptr<File> file = FindFile(hFile, session, "CancelIo");
    platform::kernel::CancelFileIo(file->kernel(), file->object());
    return TRUE;
}
