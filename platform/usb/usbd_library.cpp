// The USB driver library functions a function driver links against (usbd.sys on Windows).
// Descriptor walks never step outside wTotalLength, and a zero bLength ends them, so a
// malformed configuration descriptor cannot make them loop or read beyond it.
#include <usbdlib.h>

namespace {

bool Matches(LONG wanted, UCHAR actual) { return wanted == -1 || wanted == actual; }

}  // namespace

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                   LONG DescriptorType) {
    auto* begin = static_cast<PUCHAR>(DescriptorBuffer);
    auto* end = begin + TotalLength;
    auto* at = static_cast<PUCHAR>(StartPosition);
    if (begin == nullptr || at < begin) return nullptr;
    while (at + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(at);
        if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || at + common->bLength > end) return nullptr;
        if (common->bDescriptorType == DescriptorType) return common;
        at += common->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
    if (ConfigurationDescriptor == nullptr) return nullptr;
    ULONG total = ConfigurationDescriptor->wTotalLength;
    auto* at = static_cast<PUCHAR>(StartPosition);
    auto* end = reinterpret_cast<PUCHAR>(ConfigurationDescriptor) + total;
    while (at != nullptr && at < end) {
        auto* found = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(
            USBD_ParseDescriptors(ConfigurationDescriptor, total, at, USB_INTERFACE_DESCRIPTOR_TYPE));
        if (found == nullptr) return nullptr;
        if (found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) && Matches(InterfaceNumber, found->bInterfaceNumber) &&
            Matches(AlternateSetting, found->bAlternateSetting) && Matches(InterfaceClass, found->bInterfaceClass) &&
            Matches(InterfaceSubClass, found->bInterfaceSubClass) &&
            Matches(InterfaceProtocol, found->bInterfaceProtocol)) {
            return found;
        }
        at = reinterpret_cast<PUCHAR>(found) + found->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                                  UCHAR InterfaceNumber, UCHAR AlternateSetting) {
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                               AlternateSetting, -1, -1, -1);
}

VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    if (VersionInformation == nullptr) return;
    VersionInformation->USBDI_Version = USBDI_VERSION;
    VersionInformation->Supported_USB_Version = 0x0110;  // a full-speed USB 1.1 host controller
}
