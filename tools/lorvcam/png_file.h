// PNG files: pictures lorvcam writes (libpng on Linux, the Windows Imaging Component on
// Windows), and scenes the simulated camera films (Linux only).
#pragma once

#include <filesystem>

#include "image.h"

namespace lorvcam {

// Writes an 8-bit RGB PNG. Throws std::runtime_error with a sentence naming the file.
void WritePng(const std::filesystem::path& path, const RgbImage& image);

// Reads any PNG (palette, grey, alpha, 16-bit are reduced to 8-bit RGB). Throws
// std::runtime_error with a sentence naming the file when it cannot be read.
RgbImage ReadPng(const std::filesystem::path& path);

}  // namespace lorvcam
