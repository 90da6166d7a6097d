// A fixed set of pseudo-random camera frames, every mode, stretched across, down and both,
// decoded by a given DecodeFrame into one file, so that two builds of the library can be
// compared bit for bit. One hash per case goes to stdout.
#pragma once

#include <cstdio>

#include "capture_api.h"

using DecodeFunction = void(WINAPI*)(CaptureContext*);

// Returns 0 when `out` could not be written.
int WriteDecodeCases(std::FILE* out, DecodeFunction decode);
