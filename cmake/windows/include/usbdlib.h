// mingw-w64's usbdlib.h declares the USBD_* functions without C linkage, so C++ callers
// would look for mangled imports that usbd.sys does not have.
#pragma once

extern "C" {
#include_next <usbdlib.h>
}
