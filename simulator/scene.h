// What the lens sees: the built-in animated test pattern or a still picture, over the whole
// 720 x 288 input field, and the window sampling that the controller and the ground truth
// share.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "camera.h"

namespace simulator {

// The video decoder's picture settings (selector 0x01, addresses 0x0A to 0x0D). The defaults
// are the values that the library loads; they leave the picture unchanged.
struct PictureAdjustments {
    std::uint8_t brightness = 0x36;
    std::uint8_t contrast = 0x0A;
    std::uint8_t saturation = 0x80;
    std::uint8_t hue = 0xE8;
};

// Studio-range YCbCr, one sample of each per pixel, rows top to bottom.
struct YcbcrPlanes {
    int width = 0;
    int height = 0;
    std::vector<float> y, cb, cr;
};

class Scene {
public:
    explicit Scene(const std::optional<RgbImage>& picture);

    // The window's picture: each output pixel is the mean of the field pixels it covers
    // (field pixels outside the field are black), then the decoder settings are applied.
    YcbcrPlanes Sample(const Window& window, std::uint64_t field,
                       const PictureAdjustments& adjustments) const;
    // The same into `out`, whose memory is reused.
    void Sample(const Window& window, std::uint64_t field, const PictureAdjustments& adjustments,
                YcbcrPlanes& out) const;

private:
    struct Colour {
        float y, cb, cr;
    };
    Colour Pixel(int x, int y, std::uint64_t field) const;
    Colour StillPixel(int x, int y) const;
    bool animated_;
    std::vector<Colour> still_;  // kFieldWidth x kFieldHeight
};

// Converters of a sampled picture into the probe's two ground-truth layouts.
RgbImage ToRgb(const YcbcrPlanes& planes);
Ycbcr422Image ToYcbcr422(const YcbcrPlanes& planes);
std::uint8_t ToByte(float value);

}  // namespace simulator
