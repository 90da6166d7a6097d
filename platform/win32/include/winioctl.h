// User-mode home of CTL_CODE and the device types, as on Windows.
#pragma once

#include "devioctl.h"
