// USB 2.0 additions; the descriptors this system uses are all in usbspec.h.
#pragma once

#include "usbspec.h"
