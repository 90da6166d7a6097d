// Field-by-field dumps of the descriptors read at start, one log line per field.
#include "device.h"

void KdPrintUsbDeviceDescriptor(const USB_DEVICE_DESCRIPTOR* pDescriptor) {
    LORV_LOG("bLength         = %d\n", pDescriptor->bLength);
    LORV_LOG("bDescriptorType = %d\n", pDescriptor->bDescriptorType);
    LORV_LOG("bcdUSB          = %X\n", pDescriptor->bcdUSB);
    LORV_LOG("bDeviceClass    = %d\n", pDescriptor->bDeviceClass);
    LORV_LOG("bDeviceSubClass = %d\n", pDescriptor->bDeviceSubClass);
    LORV_LOG("bDeviceProtocol = %d\n", pDescriptor->bDeviceProtocol);
    LORV_LOG("bMaxPacketSize0 = %d\n", pDescriptor->bMaxPacketSize0);
    LORV_LOG("idVendor        = 0x%04X\n", pDescriptor->idVendor);
    LORV_LOG("idProduct       = 0x%04X\n", pDescriptor->idProduct);
    LORV_LOG("bcdDevice       = %d\n", pDescriptor->bcdDevice);
    LORV_LOG("iManufacturer   = %d\n", pDescriptor->iManufacturer);
    LORV_LOG("iProduct        = %d\n", pDescriptor->iProduct);
    LORV_LOG("iSerialNumber   = %d\n", pDescriptor->iSerialNumber);
    LORV_LOG("bNumConfigs     = %d\n", pDescriptor->bNumConfigurations);
}

// bConfigurationValue is not printed.
void KdPrintUsbConfigurationDescriptor(const USB_CONFIGURATION_DESCRIPTOR* pDescriptor) {
    LORV_LOG("bLength         = %d\n", pDescriptor->bLength);
    LORV_LOG("bDescriptorType = %d\n", pDescriptor->bDescriptorType);
    LORV_LOG("wTotalLength    = %d\n", pDescriptor->wTotalLength);
    LORV_LOG("bNumInterfaces  = %d\n", pDescriptor->bNumInterfaces);
    LORV_LOG("iConfiguration  = %d\n", pDescriptor->iConfiguration);
    LORV_LOG("bmAttributes    = 0x%02X\n", pDescriptor->bmAttributes);
    LORV_LOG("MaxPower        = %d\n", pDescriptor->MaxPower);
}
