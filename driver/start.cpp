// Device start: the bus driver starts the bridge, then its descriptors are read and interface 0
// in alternate setting 2 is selected. All traffic travels on the start request itself.
#include "device.h"
#include "request.h"

const ULONG MaximumTransferSizes[MAXIMUM_TRANSFER_SIZE_COUNT] = {BRIDGE_MAX_TRANSFER, BRIDGE_MAX_TRANSFER, 4, 0};

namespace {

constexpr UCHAR BRIDGE_INTERFACE = 0;
constexpr UCHAR BRIDGE_ALTERNATE_SETTING = 2;

constexpr ULONG InterfaceInfoSize(ULONG cPipes) {
    return FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) + cPipes * sizeof(USBD_PIPE_INFORMATION);
}

constexpr ULONG SelectConfigurationSize(ULONG cPipes) {
    return FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface) + InterfaceInfoSize(cPipes);
}

// Bytes the bus driver reports as received into the block's buffer.
ULONG BytesReceived(const _UsbRequest& request) { return request.pUrb->UrbControlDescriptorRequest.TransferBufferLength; }

}  // namespace

NTSTATUS _Device::ApiStartDevice(PIRP pIrp) {
    const char* const szFailure = "leave _Device::ApiStartDevice with %08X\n";
    LORV_LOG("enter _Device::ApiStartDevice\n");
    LORV_LOG("call to lower stack device first\n");

    PrepareBypass(pIrp);
    NTSTATUS status = CallLowerSync(pIrp);
    if (IsFailure(status)) {
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
        LORV_LOG(szFailure, status);
        return status;
    }

    status = ReadDescriptors(pIrp);
    if (!IsFailure(status)) {
        status = SelectConfiguration(pIrp, BRIDGE_INTERFACE, BRIDGE_ALTERNATE_SETTING);
    }
    if (IsFailure(status)) {
        pIrp->IoStatus.Status = status;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
        LORV_LOG(szFailure, status);
        return status;
    }

    pIrp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    LORV_LOG("leave _Device::ApiStartDevice succ\n");
    return STATUS_SUCCESS;
}

// Descriptors are taken only when the bridge sent every byte asked for and they describe
// themselves consistently; anything else fails the start before a byte past the data is read.
NTSTATUS _Device::ReadDescriptors(PIRP pIrp) {
    LORV_LOG("enter _Device::ReadDescriptors\n");
    _UsbRequest request;
    request.SetDevice(this);
    request.SetIrp(pIrp);
    NTSTATUS status = request.AllocateUrb(UrbBlockSize());
    if (IsFailure(status)) {
        LORV_LOG("leave _Device::ReadDescriptors with %08X\n", status);
        return status;
    }

    status = ReadDeviceDescriptor(request);
    if (!IsFailure(status)) {
        status = ReadConfigurationDescriptor(request);
        if (IsFailure(status)) {
            Driver_Free(UsbDeviceDescriptor);
            UsbDeviceDescriptor = nullptr;
        }
    }
    if (IsFailure(status)) {
        LORV_LOG("leave _Device::ReadDescriptors with %08X\n", status);
        return status;
    }
    LORV_LOG("leave _Device::ReadDescriptors succ\n");
    return status;
}

// On failure UsbDeviceDescriptor is left empty.
NTSTATUS _Device::ReadDeviceDescriptor(_UsbRequest& request) {
    const ULONG cbAsked = sizeof(USB_DEVICE_DESCRIPTOR);
    UsbDeviceDescriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(Driver_Allocate(cbAsked));
    if (UsbDeviceDescriptor == nullptr) {
        LORV_LOG("allocate USB_DEVICE_DESCRIPTOR fail\n");
        return STATUS_NO_MEMORY;
    }
    request.SetBuffer(UsbDeviceDescriptor, cbAsked);
    request.PrepareGetDeviceDescriptor();
    NTSTATUS status = request.CallLowerSync();
    if (!IsFailure(status)) {
        LORV_LOG("cbRead = %d\n", BytesReceived(request));
        LORV_LOG("UsbDeviceDescriptor = %08X\n", LORV_PTR(UsbDeviceDescriptor));
        if (BytesReceived(request) != cbAsked) {
            LORV_LOG("short USB_DEVICE_DESCRIPTOR\n");
            status = STATUS_DEVICE_DATA_ERROR;
        } else {
            KdPrintUsbDeviceDescriptor(UsbDeviceDescriptor);
        }
    }
    if (IsFailure(status)) {
        Driver_Free(UsbDeviceDescriptor);
        UsbDeviceDescriptor = nullptr;
    }
    return status;
}

// The 9-byte header first, for wTotalLength; then the whole configuration.
// On failure UsbConfigurationDescriptor is left empty.
NTSTATUS _Device::ReadConfigurationDescriptor(_UsbRequest& request) {
    const ULONG cbHeader = sizeof(USB_CONFIGURATION_DESCRIPTOR);
    UsbConfigurationDescriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Driver_Allocate(cbHeader));
    if (UsbConfigurationDescriptor == nullptr) {
        LORV_LOG("allocate UsbConfigurationDescriptor fail\n");
        return STATUS_NO_MEMORY;
    }
    request.SetBuffer(UsbConfigurationDescriptor, cbHeader);
    request.PrepareGetConfigurationDescriptor();
    NTSTATUS status = request.CallLowerSync();
    USHORT wTotalLength = 0;
    if (!IsFailure(status)) {
        LORV_LOG("cbRead = %d\n", BytesReceived(request));
        LORV_LOG("UsbConfigurationDescriptor = %08X\n", LORV_PTR(UsbConfigurationDescriptor));
        if (BytesReceived(request) != cbHeader) {
            LORV_LOG("short USB_CONFIGURATION_DESCRIPTOR\n");
            status = STATUS_DEVICE_DATA_ERROR;
        } else {
            KdPrintUsbConfigurationDescriptor(UsbConfigurationDescriptor);
            wTotalLength = UsbConfigurationDescriptor->wTotalLength;
            if (wTotalLength < cbHeader) {
                LORV_LOG("wTotalLength too small\n");
                status = STATUS_DEVICE_DATA_ERROR;
            }
        }
    }
    Driver_Free(UsbConfigurationDescriptor);
    UsbConfigurationDescriptor = nullptr;
    if (IsFailure(status)) {
        return status;
    }

    UsbConfigurationDescriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Driver_Allocate(wTotalLength));
    if (UsbConfigurationDescriptor == nullptr) {
        LORV_LOG("allocate UsbConfigurationDescriptor at 2nd time fail\n");
        return STATUS_NO_MEMORY;
    }
    request.SetBuffer(UsbConfigurationDescriptor, wTotalLength);
    request.PrepareGetConfigurationDescriptor();
    status = request.CallLowerSync();
    if (!IsFailure(status)) {
        LORV_LOG("cbRead = %d\n", BytesReceived(request));
        // The parser walks by the wTotalLength inside the data: it must be what was allocated.
        if (BytesReceived(request) != wTotalLength || UsbConfigurationDescriptor->wTotalLength != wTotalLength) {
            LORV_LOG("short USB_CONFIGURATION_DESCRIPTOR\n");
            status = STATUS_DEVICE_DATA_ERROR;
        }
    }
    if (IsFailure(status)) {
        Driver_Free(UsbConfigurationDescriptor);
        UsbConfigurationDescriptor = nullptr;
    }
    return status;
}

NTSTATUS _Device::SelectConfiguration(PIRP pIrp, UCHAR bInterfaceNumber, UCHAR bAlternateSetting) {
    LORV_LOG("enter _Device::SelectConfiguration\n");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PUSB_INTERFACE_DESCRIPTOR pInterface =
        USBD_ParseConfigurationDescriptor(UsbConfigurationDescriptor, bInterfaceNumber, bAlternateSetting);
    PUCHAR pbEnd = reinterpret_cast<PUCHAR>(UsbConfigurationDescriptor) + UsbConfigurationDescriptor->wTotalLength;
    if (pInterface != nullptr && reinterpret_cast<PUCHAR>(pInterface) + sizeof(USB_INTERFACE_DESCRIPTOR) > pbEnd) {
        pInterface = nullptr;  // truncated at the end of the configuration
    }
    if (pInterface == nullptr) {
        LORV_LOG("specified interface/altsetting not found\n");
        LORV_LOG("leave _Device::SelectConfiguration with %08X\n", status);
        return status;
    }

    ULONG cPipes = pInterface->bNumEndpoints;
    ULONG cbUrb = SelectConfigurationSize(cPipes);
    // With no endpoints the block is shorter than the structure; never allocate less than it.
    ULONG cbAllocate = cbUrb > sizeof(struct _URB_SELECT_CONFIGURATION) ? cbUrb : sizeof(struct _URB_SELECT_CONFIGURATION);
    UrbSelectConfiguration = static_cast<PURB>(Driver_Allocate(cbAllocate));
    if (UrbSelectConfiguration == nullptr) {
        LORV_LOG("allocate urb fail\n");
        status = STATUS_NO_MEMORY;
        LORV_LOG("leave _Device::SelectConfiguration with %08X\n", status);
        return status;
    }
    RtlZeroMemory(UrbSelectConfiguration, cbAllocate);

    struct _URB_SELECT_CONFIGURATION& select = UrbSelectConfiguration->UrbSelectConfiguration;
    InterfaceInfo = &select.Interface;
    InterfaceInfo->Length = static_cast<USHORT>(InterfaceInfoSize(cPipes));
    InterfaceInfo->InterfaceNumber = pInterface->bInterfaceNumber;
    InterfaceInfo->AlternateSetting = pInterface->bAlternateSetting;
    PUSBD_PIPE_INFORMATION pPipes = InterfaceInfo->Pipes;
    for (ULONG iPipe = 0; iPipe < cPipes; iPipe++) {
        pPipes[iPipe].MaximumTransferSize = iPipe < MAXIMUM_TRANSFER_SIZE_COUNT ? MaximumTransferSizes[iPipe] : 0;
        pPipes[iPipe].PipeFlags = 0;
    }
    select.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    select.Hdr.Length = static_cast<USHORT>(cbUrb);
    select.ConfigurationDescriptor = UsbConfigurationDescriptor;

    SubmitUrb(pIrp, UrbSelectConfiguration);
    status = CallLowerSync(pIrp);
    if (IsFailure(status)) {
        Driver_Free(UrbSelectConfiguration);
        UrbSelectConfiguration = nullptr;
        InterfaceInfo = nullptr;
        LORV_LOG("leave _Device::SelectConfiguration with %08X\n", status);
        return status;
    }
    LORV_LOG("leave _Device::SelectConfiguration succ\n");
    return STATUS_SUCCESS;
}

NTSTATUS _Device::CallLowerSync(PIRP pIrp) { return CallLowerAndWait(StackDeviceObject, pIrp, Device_CompleteWithSetEvent); }

void _Device::PrepareBypass(PIRP pIrp) { IoCopyCurrentIrpStackLocationToNext(pIrp); }

void _Device::SubmitUrb(PIRP pIrp, PURB pUrb) {
    PIO_STACK_LOCATION pNext = IoGetNextIrpStackLocation(pIrp);
    pNext->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    pNext->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    pNext->Parameters.Others.Argument1 = pUrb;
}

// Only pipes that the selection both allocated and reported exist have a handle.
USBD_PIPE_HANDLE _Device::PipeHandle(ULONG iPipe) const {
    if (InterfaceInfo == nullptr) {
        return nullptr;
    }
    ULONG cAllocated = (InterfaceInfo->Length - FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) /
                       sizeof(USBD_PIPE_INFORMATION);
    if (iPipe >= InterfaceInfo->NumberOfPipes || iPipe >= cAllocated) {
        return nullptr;
    }
    const USBD_PIPE_INFORMATION* pPipes = InterfaceInfo->Pipes;
    return pPipes[iPipe].PipeHandle;
}
