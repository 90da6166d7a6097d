// The controller's frame formats: the encoders that turn a sampled picture into the bytes of
// one frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "camera.h"
#include "scene.h"

namespace simulator {

// The format byte (register 0x13): 0x40, 0x44, 0xE0, 0xF0, 0xF8; anything else sends pixels.
FrameFormat FormatFromByte(std::uint8_t formatByte);
bool IsCompressed(FrameFormat format);

// Mode 0: pixel pairs Y0 Cr Y1 Cb, rows top to bottom.
std::vector<std::uint8_t> EncodePixels422(const YcbcrPlanes& picture);
// Mode 1: per row pair, the upper row as pixel pairs carrying the pair of rows' chroma, then
// the lower row's luma, one byte per pixel.
std::vector<std::uint8_t> EncodeRows12(const YcbcrPlanes& picture);

// Modes 2 to 4. `picture` is the padded plane (PW x PH, a multiple of 8 by a multiple of 4;
// a ragged edge is cut off); the image is PW - 8 by PH - 4. The base layer is
// PW x PH / 4 bytes; the correction layer follows it.
struct CompressedFrame {
    std::vector<std::uint8_t> baseLayer;
    std::vector<std::uint8_t> correctionLayer;
};
CompressedFrame EncodeCompressed(FrameFormat format, const YcbcrPlanes& picture);

// One whole frame of `frameBytes` bytes (at least the trailer): the encoded picture, cut or
// padded with zeros to fit, the second layer of a compressed frame at `secondLayerOffset`,
// and the trailer in the last 4 bytes.
std::vector<std::uint8_t> AssembleFrame(FrameFormat format, const YcbcrPlanes& picture,
                                        std::size_t frameBytes, std::size_t secondLayerOffset,
                                        const std::array<std::uint8_t, 4>& trailer);

}  // namespace simulator
