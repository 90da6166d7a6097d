#include "scene.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace simulator {
namespace {

constexpr int kMaxPictureSide = 2048;  // refuses absurd register values without a crash

struct Rgb {
    float r, g, b;
};

// BT.601 studio range, the inverse of the library's YCbCr to RGB conversion.
void RgbToYcbcr(Rgb c, float& y, float& cb, float& cr) {
    y = 16.0f + 0.256788f * c.r + 0.504129f * c.g + 0.097906f * c.b;
    cb = 128.0f - 0.148223f * c.r - 0.290993f * c.g + 0.439216f * c.b;
    cr = 128.0f + 0.439216f * c.r - 0.367788f * c.g - 0.071427f * c.b;
}

Rgb Hue(float h, float saturation, float value) {
    const float k[3] = {5.0f, 3.0f, 1.0f};
    float out[3];
    for (int i = 0; i < 3; ++i) {
        const float m = std::fmod(k[i] + h * 6.0f, 6.0f);
        const float f = std::clamp(std::min(m, 4.0f - m), 0.0f, 1.0f);
        out[i] = 255.0f * value * (1.0f - saturation * f);
    }
    return {out[0], out[1], out[2]};
}

// The static part of the test pattern: colour bars, fine gratings, ramps and patches.
Rgb PatternPixel(int x, int y) {
    if (y < 96) {
        static constexpr Rgb kBars[8] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191},
                                         {0, 191, 0},     {191, 0, 191}, {191, 0, 0},
                                         {0, 0, 191},     {16, 16, 16}};
        return kBars[std::min(x / 90, 7)];
    }
    if (y < 144) {
        // Gratings of period 2, 4 and 8 columns, 2 lines, a 4 x 4 checkerboard, a diagonal.
        const int segment = x / 120;
        bool on = false;
        switch (segment) {
            case 0: on = x % 2 == 0; break;
            case 1: on = x % 4 < 2; break;
            case 2: on = x % 8 < 4; break;
            case 3: on = y % 2 == 0; break;
            case 4: on = (x / 4 + y / 4) % 2 == 0; break;
            default: on = (x + y) % 6 < 3; break;
        }
        const float v = on ? 235.0f : 20.0f;
        return {v, v, v};
    }
    if (y < 192) {
        const float v = 255.0f * static_cast<float>(x) / (kFieldWidth - 1);
        return {v, v, v};
    }
    if (y < 240) return Hue(static_cast<float>(x) / kFieldWidth, 0.7f, 0.85f);
    static constexpr Rgb kPatches[6] = {{40, 40, 40},   {128, 128, 128}, {224, 172, 140},
                                        {90, 150, 220}, {60, 140, 60},   {200, 60, 90}};
    return kPatches[std::min(x / 120, 5)];
}

// Seven-segment digits: bit i lights segment i (a top, b upper right, c lower right,
// d bottom, e lower left, f upper left, g middle).
constexpr std::uint8_t kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66,
                                        0x6D, 0x7D, 0x07, 0x7F, 0x6F};
constexpr int kDigitWidth = 16, kDigitHeight = 28, kStroke = 4, kDigits = 6;
constexpr int kCounterX = 24, kCounterY = 20;
constexpr int kDiskY = 168, kDiskRadius = 28;

bool SegmentLit(int digit, int x, int y) {
    const std::uint8_t s = kSegments[digit];
    const int w = kDigitWidth, h = kDigitHeight, t = kStroke, mid = h / 2;
    const bool top = y < t, bottom = y >= h - t, middle = y >= mid - t / 2 && y < mid + t / 2;
    const bool left = x < t, right = x >= w - t, upper = y < mid, lower = y >= mid;
    return ((s & 0x01) && top) || ((s & 0x08) && bottom) || ((s & 0x40) && middle) ||
           ((s & 0x02) && right && upper) || ((s & 0x04) && right && lower) ||
           ((s & 0x20) && left && upper) || ((s & 0x10) && left && lower);
}

}  // namespace

// std::lround clamped to a byte, without the library call: within (0, 255) the truncation and
// the fraction left are exact, and halves go away from zero.
std::uint8_t ToByte(float value) {
    if (!(value > 0.0f)) return 0;
    if (value >= 255.0f) return 255;
    const int whole = static_cast<int>(value);
    return static_cast<std::uint8_t>(value - static_cast<float>(whole) >= 0.5f ? whole + 1 : whole);
}

int Window::PictureWidth() const {
    if (width <= 0 || scaleX <= 0) return 0;
    return std::min<int>((static_cast<long long>(width) * scaleX + 63) / 64, kMaxPictureSide);
}

int Window::PictureHeight() const {
    if (height <= 0 || scaleY <= 0) return 0;
    return std::min<int>((static_cast<long long>(height) * scaleY + 63) / 64, kMaxPictureSide);
}

Scene::Scene(const std::optional<RgbImage>& picture)
    : animated_(!picture || picture->width <= 0 || picture->height <= 0 ||
                picture->pixels.size() <
                    static_cast<std::size_t>(picture->width) * picture->height * 3),
      still_(static_cast<std::size_t>(kFieldWidth) * kFieldHeight) {
    for (int y = 0; y < kFieldHeight; ++y) {
        for (int x = 0; x < kFieldWidth; ++x) {
            Rgb c;
            if (animated_) {
                c = PatternPixel(x, y);
            } else {
                // The picture is stretched over the field, nearest pixel.
                const std::size_t px = static_cast<std::size_t>(x) * picture->width / kFieldWidth;
                const std::size_t py = static_cast<std::size_t>(y) * picture->height / kFieldHeight;
                const std::uint8_t* p = &picture->pixels[(py * picture->width + px) * 3];
                c = {static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2])};
            }
            Colour& out = still_[static_cast<std::size_t>(y) * kFieldWidth + x];
            RgbToYcbcr(c, out.y, out.cb, out.cr);
        }
    }
}

Scene::Colour Scene::StillPixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= kFieldWidth || y >= kFieldHeight) return {16.0f, 128.0f, 128.0f};
    return still_[static_cast<std::size_t>(y) * kFieldWidth + x];
}

Scene::Colour Scene::Pixel(int x, int y, std::uint64_t field) const {
    if (x < 0 || y < 0 || x >= kFieldWidth || y >= kFieldHeight) return {16.0f, 128.0f, 128.0f};
    if (animated_) {
        // A disk crossing the gratings and the ramp, 6 columns per field.
        const int cx = 40 + static_cast<int>((field * 6) % 640), cy = kDiskY, radius = kDiskRadius;
        if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius) {
            Colour c;
            RgbToYcbcr({240, 120, 0}, c.y, c.cb, c.cr);
            return c;
        }
        // The field counter, white on black.
        const int rx = x - kCounterX, ry = y - kCounterY;
        const int pitch = kDigitWidth + 6;
        if (rx >= -4 && ry >= -4 && rx < kDigits * pitch + 2 && ry < kDigitHeight + 4) {
            const int position = rx / pitch, dx = rx % pitch;
            bool lit = false;
            if (rx >= 0 && ry >= 0 && ry < kDigitHeight && dx < kDigitWidth) {
                std::uint64_t value = field;
                for (int i = kDigits - 1; i > position; --i) value /= 10;
                lit = SegmentLit(static_cast<int>(value % 10), dx, ry);
            }
            return lit ? Colour{235.0f, 128.0f, 128.0f} : Colour{16.0f, 128.0f, 128.0f};
        }
    }
    return still_[static_cast<std::size_t>(y) * kFieldWidth + x];
}

YcbcrPlanes Scene::Sample(const Window& window, std::uint64_t field,
                          const PictureAdjustments& adjustments) const {
    YcbcrPlanes out;
    Sample(window, field, adjustments, out);
    return out;
}

void Scene::Sample(const Window& window, std::uint64_t field, const PictureAdjustments& adjust,
                   YcbcrPlanes& out) const {
    out.width = window.PictureWidth();
    out.height = window.PictureHeight();
    const std::size_t count = static_cast<std::size_t>(out.width) * out.height;
    out.y.resize(count);
    out.cb.resize(count);
    out.cr.resize(count);

    // Output pixel i covers field pixels [i * 64 / scale, (i + 1) * 64 / scale), at least one.
    auto span = [](int i, int scale, int limit) {
        long long a = static_cast<long long>(i) * 64 / scale;
        long long b = static_cast<long long>(i + 1) * 64 / scale;
        a = std::min<long long>(a, limit - 1);
        b = std::clamp<long long>(b, a + 1, limit);
        return std::pair<int, int>{static_cast<int>(a), static_cast<int>(b)};
    };

    const float contrast = (static_cast<std::int8_t>(adjust.contrast) + 54) / 64.0f;
    const float saturation = adjust.saturation / 128.0f;
    const float brightness = static_cast<float>(adjust.brightness) - 0x36;
    const float angle = (static_cast<std::int8_t>(adjust.hue) - static_cast<std::int8_t>(0xE8)) *
                        std::numbers::pi_v<float> / 128.0f;
    const float cosA = std::cos(angle), sinA = std::sin(angle);

    // Each field row of the window is laid out once (the animated parts lie in a few bands of
    // rows; elsewhere a row is the still picture's) and added into every output pixel of the
    // row it covers, in the same order as pixel by pixel.
    const int lineWidth = std::max(window.width, 1);
    std::vector<Colour> line(static_cast<std::size_t>(lineWidth));
    // Only the disk's and the counter's boxes differ from the still picture.
    const int diskX = 40 + static_cast<int>((field * 6) % 640);
    const int counterRight = kCounterX + kDigits * (kDigitWidth + 6) + 2;
    const Colour black{16.0f, 128.0f, 128.0f};
    // The window's columns [inFrom, inTo) lie in the field.
    const int inFrom = std::clamp(-window.startX, 0, lineWidth);
    const int inTo = std::clamp(kFieldWidth - window.startX, inFrom, lineWidth);
    auto layOut = [&](int y) {
        const int fy = window.startY + y;
        if (fy < 0 || fy >= kFieldHeight) {
            std::fill(line.begin(), line.end(), black);
            return;
        }
        std::fill(line.begin(), line.begin() + inFrom, black);
        const Colour* still = &still_[static_cast<std::size_t>(fy) * kFieldWidth];
        std::copy(still + window.startX + inFrom, still + window.startX + inTo, line.begin() + inFrom);
        std::fill(line.begin() + inTo, line.end(), black);
        if (!animated_) return;
        auto animate = [&](int fromX, int toX) {  // field columns [fromX, toX)
            const int from = std::max(fromX - window.startX, 0), to = std::min(toX - window.startX, lineWidth);
            for (int x = from; x < to; ++x) line[x] = Pixel(window.startX + x, fy, field);
        };
        if (fy >= kDiskY - kDiskRadius && fy <= kDiskY + kDiskRadius) animate(diskX - kDiskRadius, diskX + kDiskRadius + 1);
        if (fy >= kCounterY - 4 && fy < kCounterY + kDigitHeight + 4) animate(kCounterX - 4, counterRight);
    };
    std::vector<std::pair<int, int>> columns(static_cast<std::size_t>(out.width));
    for (int ox = 0; ox < out.width; ++ox) columns[ox] = span(ox, window.scaleX, lineWidth);
    // Per output column, the sums of its three planes (apart, so that the settings are
    // applied to a row of them as vectors) and its count of field columns.
    const std::size_t width = static_cast<std::size_t>(out.width);
    std::vector<float> sumY(width), sumCb(width), sumCr(width);
    std::vector<int> across(width);
    for (std::size_t ox = 0; ox < width; ++ox) across[ox] = columns[ox].second - columns[ox].first;
    for (int oy = 0; oy < out.height; ++oy) {
        const auto [y0, y1] = span(oy, window.scaleY, std::max(window.height, 1));
        std::fill(sumY.begin(), sumY.end(), 0.0f);
        std::fill(sumCb.begin(), sumCb.end(), 0.0f);
        std::fill(sumCr.begin(), sumCr.end(), 0.0f);
        for (int y = y0; y < y1; ++y) {
            layOut(y);
            for (std::size_t ox = 0; ox < width; ++ox) {
                for (int x = columns[ox].first; x < columns[ox].second; ++x) {
                    sumY[ox] += line[x].y;
                    sumCb[ox] += line[x].cb;
                    sumCr[ox] += line[x].cr;
                }
            }
        }
        float* outY = out.y.data() + oy * width;
        float* outCb = out.cb.data() + oy * width;
        float* outCr = out.cr.data() + oy * width;
        for (std::size_t ox = 0; ox < width; ++ox) {
            const float n = static_cast<float>((y1 - y0) * across[ox]);
            const float cb = (sumCb[ox] / n - 128.0f) * saturation, cr = (sumCr[ox] / n - 128.0f) * saturation;
            outY[ox] = std::clamp((sumY[ox] / n - 128.0f) * contrast + 128.0f + brightness, 0.0f, 255.0f);
            outCb[ox] = std::clamp(128.0f + cb * cosA - cr * sinA, 0.0f, 255.0f);
            outCr[ox] = std::clamp(128.0f + cb * sinA + cr * cosA, 0.0f, 255.0f);
        }
    }
}

RgbImage ToRgb(const YcbcrPlanes& planes) {
    RgbImage out{planes.width, planes.height, {}};
    out.pixels.reserve(planes.y.size() * 3);
    for (std::size_t i = 0; i < planes.y.size(); ++i) {
        const float l = 1.164f * (planes.y[i] - 16.0f);
        const float cr = planes.cr[i] - 128.0f, cb = planes.cb[i] - 128.0f;
        out.pixels.push_back(ToByte(l + 1.596f * cr));
        out.pixels.push_back(ToByte(l - 0.813f * cr - 0.391f * cb));
        out.pixels.push_back(ToByte(l + 2.018f * cb));
    }
    return out;
}

Ycbcr422Image ToYcbcr422(const YcbcrPlanes& planes) {
    Ycbcr422Image out;
    out.width = (planes.width + 1) & ~1;
    out.height = planes.height;
    out.bytes.reserve(static_cast<std::size_t>(out.width) * out.height * 2);
    for (int y = 0; y < planes.height; ++y) {
        const std::size_t row = static_cast<std::size_t>(y) * planes.width;
        for (int x = 0; x < out.width; x += 2) {
            // An odd last pixel pairs with itself.
            const std::size_t a = row + x, b = row + std::min(x + 1, planes.width - 1);
            out.bytes.push_back(ToByte(planes.y[a]));
            out.bytes.push_back(ToByte((planes.cr[a] + planes.cr[b]) / 2));
            out.bytes.push_back(ToByte(planes.y[b]));
            out.bytes.push_back(ToByte((planes.cb[a] + planes.cb[b]) / 2));
        }
    }
    return out;
}

}  // namespace simulator
