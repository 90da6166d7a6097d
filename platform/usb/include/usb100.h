// The USB 1.0 header of old; everything lives in usbspec.h now.
#pragma once

#include "usbspec.h"
