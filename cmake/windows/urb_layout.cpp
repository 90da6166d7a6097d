// The driver's request-block figures (80-byte control blocks within a 96-byte allocation,
// selection blocks of (pipes + 2) x 20 bytes) are those of the 32-bit structures of the real
// USB headers; this checks that they still are.
#include <wdm.h>
#include <usb.h>
#include <usbdi.h>

#include <cstddef>

#if !defined(_WIN64)
static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == 80);
static_assert(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80);
static_assert(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) == 72);
static_assert(sizeof(_URB_PIPE_REQUEST) == 24);
static_assert(sizeof(USBD_PIPE_INFORMATION) == 20);
// Selection block: 24 bytes of header and configuration, then the interface information
// of 16 bytes plus 20 per pipe.
static_assert(offsetof(_URB_SELECT_CONFIGURATION, Interface) == 24);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 16);
static_assert(sizeof(_URB_SELECT_CONFIGURATION) == 24 + 16 + 20);
#endif

