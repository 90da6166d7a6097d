// The frame encoders against the ground truth: the pixel formats exactly, the compressed
// ones through a reference decoder written from the decoder's algorithm (smoothed one-bit
// base layer in bands and groups, plus correction codes), and the decoder settings showing
// in the picture.
#include <cmath>
#include <cstdio>
#include <numeric>
#include <random>

#include "fixture.h"
#include "frame_encoder.h"
#include "scene.h"

namespace simtest {
namespace {

constexpr int kKernel[5][5] = {{3942, 10001, 11519, 6516, 1550},
                               {7587, 20234, 24242, 14849, 4030},
                               {7399, 21318, 27329, 17137, 4861},
                               {4650, 13790, 19016, 12622, 3636},
                               {1211, 4623, 7126, 4973, 1314}};

enum class Plane { Y, Cr, Cb };

// A reference decoder of one compressed frame into a 4:2:2 image of W x H.
class ReferenceDecoder {
public:
    ReferenceDecoder(int mode, int width, int height, const std::uint8_t* base, const std::uint8_t* codes)
        : mode_(mode), w_(width), h_(height), pw_(width + 8), base_(base), codes_(codes) {}

    std::vector<std::uint8_t> Decode() const {
        std::vector<std::uint8_t> out(static_cast<std::size_t>(w_) * h_ * 2);
        for (int y = 0; y < h_; ++y) {
            for (int x = 0; x < w_; ++x) {
                const int luma = std::clamp(BaseValue(Plane::Y, x, y) + LumaStep(x, y), 0, 255);
                out[(static_cast<std::size_t>(y) * w_ + x) * 2] = static_cast<std::uint8_t>(luma);
            }
            for (int m = 0; m < w_ / 2; ++m) {
                const std::size_t at = (static_cast<std::size_t>(y) * w_ + 2 * m) * 2;
                out[at + 1] = static_cast<std::uint8_t>((BaseValue(Plane::Cr, m, y) + ChromaStep(Plane::Cr, m, y)) & 0xFF);
                out[at + 3] = static_cast<std::uint8_t>((BaseValue(Plane::Cb, m, y) + ChromaStep(Plane::Cb, m, y)) & 0xFF);
            }
        }
        return out;
    }

private:
    // Band of four rows, groups of eight bytes: Y left half, Cr, Y right half, Cb, each as
    // (rows 2-3, rows 0-1); bit 2k+1 the upper row of the pair, bit 2k the lower, column k.
    bool Bit(Plane plane, int col, int row) const {
        const int band = row / 4, r = row % 4;
        int group, byte;
        if (plane == Plane::Y) {
            group = col / 8;
            byte = (col % 8 < 4 ? 0 : 4) + (r < 2 ? 1 : 0);
        } else {
            group = col / 4;
            byte = (plane == Plane::Cr ? 2 : 6) + (r < 2 ? 1 : 0);
        }
        const int k = col % 4;
        const std::uint8_t v = base_[static_cast<std::size_t>(band) * pw_ + group * 8 + byte];
        return v >> (r % 2 == 0 ? 2 * k + 1 : 2 * k) & 1;
    }

    int BaseValue(Plane plane, int x, int y) const {
        const int x0 = x & ~1, y0 = y & ~1, dx = x - x0, dy = y - y0;
        const int left = x0 + (plane == Plane::Y ? 2 : 0);
        const int cut = left % 4 == 0 ? 4 : 2;
        int value = 0;
        for (int rows = 0; rows < 6; rows += 2) {
            for (auto [from, to] : {std::pair{0, cut}, std::pair{cut, 6}}) {
                int sum = 0;
                for (int r = rows; r < rows + 2; ++r)
                    for (int c = from; c < to; ++c)
                        if (r - dy >= 0 && r - dy < 5 && c - dx >= 0 && c - dx < 5 && Bit(plane, left + c, y0 + r))
                            sum += kKernel[r - dy][c - dx];
                value += (sum + 360) / 1000;
            }
        }
        return value;
    }

    int Field(std::size_t bitOffset, int bits) const {
        const std::uint8_t b = codes_[bitOffset / 8];
        return b >> (bitOffset % 8) & ((1 << bits) - 1);
    }

    std::size_t RowStart(int y) const {
        const int bitsPerPixel = mode_ == 2 ? 6 : mode_ == 3 ? 4 : 3;
        return static_cast<std::size_t>(y) * w_ * bitsPerPixel;  // in bits
    }

    int LumaStep(int x, int y) const {
        static constexpr int k4[] = {2, 6, 10, 14, 18, 24, 32, 40, -2, -6, -10, -14, -18, -24, -32, -40};
        static constexpr int k3[] = {2, 7, 14, 25, -3, -8, -15, -26};
        static constexpr int k2[] = {4, 12, -4, -12};
        const std::size_t row = RowStart(y);
        if (mode_ == 2) return k4[Field(row + (x / 4) * 24 + (x % 4) * 4, 4)];
        if (mode_ == 3) return k3[Field(row + (x / 2) * 8 + (x % 2) * 4, 3)];
        return k2[Field(row + (x / 8) * 24 + (x % 8) * 2, 2)];
    }

    int ChromaStep(Plane plane, int m, int y) const {
        static constexpr int k2[] = {2, 6, -2, -6};
        static constexpr int k1[] = {4, -4};
        const std::size_t row = RowStart(y);
        const bool cb = plane == Plane::Cb;
        if (mode_ == 2) return k2[Field(row + (m / 2) * 24 + 16 + (cb ? 4 : 0) + (m % 2) * 2, 2)];
        if (mode_ == 3) return k1[Field(row + m * 8 + (cb ? 7 : 3), 1)];
        return k1[Field(row + (m / 4) * 24 + 16 + (cb ? 4 : 0) + m % 4, 1)];
    }

    int mode_, w_, h_, pw_;
    const std::uint8_t* base_;
    const std::uint8_t* codes_;
};

double Psnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b, int first, int stride) {
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i = first; i < a.size(); i += stride, ++n) sum += std::pow(double(a[i]) - b[i], 2);
    return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * n / sum);
}

// The truth of a frame's image, cut out of the picture of its window.
std::vector<std::uint8_t> TruthOfImage(simulator::Probe& probe, const simulator::FrameRecord& f) {
    const auto picture = probe.TruthYcbcr(f.window, f.sceneField);
    std::vector<std::uint8_t> out;
    for (int y = 0; y < f.imageHeight; ++y) {
        const auto row = picture.bytes.begin() + ((static_cast<long>(y) + f.imageOffsetY) * picture.width + f.imageOffsetX) * 2;
        out.insert(out.end(), row, row + 2L * f.imageWidth);
    }
    return out;
}

class EncoderTest : public CameraTest {
protected:
    // One whole frame of `g` as it came through the pipe, and its record.
    std::vector<std::uint8_t> OneFrame(const Geometry& g, simulator::FrameRecord& record) {
        ReadyToStream(g);
        EXPECT_EQ(host().StartStream(0x18), 0);
        std::vector<std::uint8_t> frame(FrameBytes(g));
        EXPECT_TRUE(host().BulkRead(frame));
        record = probe().recentFrames().front();
        return frame;
    }
};

TEST_F(EncoderTest, PixelFormatsCarryTheTruth) {
    simulator::FrameRecord f;
    auto frame = OneFrame({0, 2, 10, 462, 250, 32, 64, 230, 240}, f);
    frame.resize(frame.size() - 4);
    EXPECT_EQ(frame, TruthOfImage(probe(), f));

    Make();
    frame = OneFrame({1, 10, 22, 195, 118, 40, 64, 116, 96}, f);
    const auto truth = TruthOfImage(probe(), f);
    const int w = f.imageWidth;
    int worstChroma = 0;
    for (int y = 0; y < f.imageHeight; y += 2) {
        const std::uint8_t* upper = &frame[static_cast<std::size_t>(y / 2) * 3 * w];
        const std::uint8_t* lower = upper + 2 * w;
        const std::uint8_t* t0 = &truth[static_cast<std::size_t>(y) * 2 * w];
        const std::uint8_t* t1 = t0 + 2 * w;
        for (int x = 0; x < w; ++x) {
            ASSERT_EQ(upper[2 * x], t0[2 * x]) << x << "," << y;
            ASSERT_EQ(lower[x], t1[2 * x]) << x << "," << y;
            const int chroma = (t0[2 * x + 1] + t1[2 * x + 1]) / 2;
            worstChroma = std::max(worstChroma, std::abs(upper[2 * x + 1] - chroma));
        }
    }
    EXPECT_LE(worstChroma, 1);
}

// Soft gradients: what a compressed mode can carry, unlike the test pattern's fine gratings.
simulator::RgbImage SmoothPicture() {
    simulator::RgbImage picture{simulator::kFieldWidth, simulator::kFieldHeight, {}};
    for (int y = 0; y < picture.height; ++y) {
        for (int x = 0; x < picture.width; ++x) {
            picture.pixels.push_back(static_cast<std::uint8_t>(128 + 100 * std::sin(x / 40.0)));
            picture.pixels.push_back(static_cast<std::uint8_t>(128 + 100 * std::cos(y / 30.0)));
            picture.pixels.push_back(static_cast<std::uint8_t>(128 + 80 * std::sin((x + y) / 50.0)));
        }
    }
    return picture;
}

TEST_F(EncoderTest, CompressedFramesDecodeCloseToTheTruth) {
    // Luma and chroma PSNR floors per mode and scene, a little under what the encoder reaches.
    struct Case {
        int mode;
        bool smooth;
        double luma, chroma;
    };
    for (const Case c : {Case{2, false, 21, 32}, Case{3, false, 19, 32}, Case{4, false, 17, 32},
                         Case{2, true, 43, 40}, Case{3, true, 42, 36}, Case{4, true, 38, 36}}) {
        SCOPED_TRACE(c.mode);
        simulator::CameraOptions options;
        if (c.smooth) options.picture = SmoothPicture();
        Make(options);
        simulator::FrameRecord f;
        const Geometry g{c.mode, 2, 8, 482, 252, 32, 64, 232, 240};
        const auto frame = OneFrame(g, f);
        const std::size_t secondPart = (g.frameWidth + 8) * (g.frameHeight + 4) / 4;
        const auto decoded = ReferenceDecoder(c.mode, f.imageWidth, f.imageHeight, frame.data(),
                                              frame.data() + secondPart).Decode();
        const auto truth = TruthOfImage(probe(), f);
        ASSERT_EQ(decoded.size(), truth.size());
        const double y = Psnr(decoded, truth, 0, 2), cr = Psnr(decoded, truth, 1, 4), cb = Psnr(decoded, truth, 3, 4);
        std::printf("mode %d, %s: PSNR Y %.1f dB, Cr %.1f dB, Cb %.1f dB\n", c.mode,
                    c.smooth ? "smooth picture" : "test pattern", y, cr, cb);
        EXPECT_GT(y, c.luma);
        EXPECT_GT(std::min(cr, cb), c.chroma);
    }
}

// The encoders' bytes, pinned: a faster encoder must send exactly the frames it replaces.
TEST(EncoderBytes, FramesKeepTheirBytes) {
    auto hash = [](const std::vector<std::uint8_t>& bytes) {
        std::uint64_t h = 14695981039346656037ull;  // FNV-1a
        for (std::uint8_t b : bytes) h = (h ^ b) * 1099511628211ull;
        return h;
    };
    const simulator::Scene pattern(std::nullopt), smooth(SmoothPicture());
    const simulator::Window window{8, 2, 192, 68, 32, 64};  // a 96 x 68 picture
    const std::uint64_t expected[2][5] = {
        {0x98ac6255bfcc66a5ull, 0xd4e1cf17055cf69dull, 0x0b994d79102b179full, 0x7cbef7a5f0b2dda1ull, 0x116cec2ff84c4767ull},
        {0x095dbc98d159b12aull, 0x93dde2cb9132aa5dull, 0x2ed464732721b2d2ull, 0xf02b16d35f2af7abull, 0x243fd3c494146258ull}};
    for (int scene = 0; scene < 2; ++scene) {
        const auto picture = (scene == 0 ? pattern : smooth).Sample(window, 7, {});
        for (int mode = 0; mode < 5; ++mode) {
            const auto format = static_cast<simulator::FrameFormat>(mode);
            const auto frame = simulator::AssembleFrame(format, picture, 96 * 68 * 2, 96 * 68 / 4, {1, 2, 3, 4});
            EXPECT_EQ(hash(frame), expected[scene][mode]) << "scene " << scene << " mode " << mode;
        }
    }
}

// The same at the frame size of a 640 x 480 capture, with the decoder's settings moved.
TEST(EncoderBytes, FullFramesKeepTheirBytes) {
    auto hash = [](const std::vector<std::uint8_t>& bytes) {
        std::uint64_t h = 14695981039346656037ull;  // FNV-1a
        for (std::uint8_t b : bytes) h = (h ^ b) * 1099511628211ull;
        return h;
    };
    const simulator::Scene pattern(std::nullopt), smooth(SmoothPicture());
    const simulator::Window window{8, 2, 480, 244, 32, 64};  // a 240 x 244 picture
    struct Case {
        const simulator::Scene& scene;
        std::uint64_t field;
        simulator::PictureAdjustments adjustments;
        std::uint64_t expected[5];
    };
    const Case cases[] = {
        {pattern, 123, {0x50, 0x20, 0xC0, 0x10},
         {0x25d1acd05dda8ff8ull, 0xc3dd65e7c18eebfdull, 0xd3232f480e762c13ull, 0xe874f14a54f52591ull, 0xd8f73045f8df0cb5ull}},
        {smooth, 7, {0x10, 0xF0, 0x20, 0x80},
         {0xfaedf2045846cea8ull, 0x8740290043a6da0cull, 0x8fdbea25ecc754a9ull, 0x2afbbd2ad2715e37ull, 0xc140276e9dbdddfcull}}};
    for (const Case& c : cases) {
        const auto picture = c.scene.Sample(window, c.field, c.adjustments);
        for (int mode = 0; mode < 5; ++mode) {
            const auto format = static_cast<simulator::FrameFormat>(mode);
            const auto frame = simulator::AssembleFrame(format, picture, 240 * 244 * 2 + 4, 240 * 244 / 4, {1, 2, 3, 4});
            EXPECT_EQ(hash(frame), c.expected[mode]) << "field " << c.field << " mode " << mode;
        }
    }
}

// A picture no scene gives, noise past both ends of a byte: every encoder's clamps and
// roundings, hashed from the same build as above.
TEST(EncoderBytes, NoiseOutOfRangeKeepsItsBytes) {
    std::mt19937 random(14);
    simulator::YcbcrPlanes picture{96, 68, {}, {}, {}};
    for (auto* plane : {&picture.y, &picture.cb, &picture.cr})
        for (int i = 0; i < 96 * 68; ++i) plane->push_back(-20.0f + static_cast<float>(random() % 30000) / 100.0f);
    const std::uint64_t expected[5] = {0x3ef85258a5b38b60ull, 0x5656e00a127a2eabull, 0xb29beec21fc481fdull,
                                       0xee59ba1eeac79a81ull, 0x6349e078a49e4fd8ull};
    for (int mode = 0; mode < 5; ++mode) {
        const auto frame = simulator::AssembleFrame(static_cast<simulator::FrameFormat>(mode), picture, 96 * 68 * 2,
                                                    96 * 68 / 4, {1, 2, 3, 4});
        std::uint64_t h = 14695981039346656037ull;  // FNV-1a
        for (std::uint8_t byte : frame) h = (h ^ byte) * 1099511628211ull;
        EXPECT_EQ(h, expected[mode]) << "mode " << mode;
    }
}

TEST_F(EncoderTest, DecoderSettingsChangeThePicture) {
    simulator::CameraOptions options;
    options.picture = simulator::RgbImage{2, 2, std::vector<std::uint8_t>(12, 0)};
    for (int i = 0; i < 4; ++i) {
        options.picture->pixels[3 * i] = 200;
        options.picture->pixels[3 * i + 1] = 80;
        options.picture->pixels[3 * i + 2] = 40;
    }
    auto meanOf = [](const std::vector<std::uint8_t>& frame, int first) {
        double sum = 0;
        std::size_t n = 0;
        for (std::size_t i = first; i + 4 < frame.size(); i += first == 0 ? 2 : 4, ++n) sum += frame[i];
        return sum / n;
    };
    const Geometry g{0, 2, 10, 462, 250, 32, 64, 230, 240};
    auto frameWith = [&](std::uint8_t address, std::uint8_t value) {
        Make(options);
        ReadyToStream(g);
        host().EcpCommand(0xD8);
        host().SetReg(kControl, 0xC4);
        EXPECT_TRUE(host().BulkWrite(SerialWrite("LORV", 0x01, address, value)));
        EXPECT_EQ(host().StartStream(0x18), 0);
        std::vector<std::uint8_t> frame(FrameBytes(g));
        EXPECT_TRUE(host().BulkRead(frame));
        return frame;
    };
    const auto neutral = frameWith(0x0A, 0x36);  // the defaults change nothing
    const double y = meanOf(neutral, 0), cr = meanOf(neutral, 1), cb = meanOf(neutral, 3);
    EXPECT_NEAR(y, 16 + 0.257 * 200 + 0.504 * 80 + 0.098 * 40, 1.0);
    EXPECT_NEAR(cr, 128 + 0.439 * 200 - 0.368 * 80 - 0.071 * 40, 1.0);

    EXPECT_NEAR(meanOf(frameWith(0x0A, 0x36 + 32), 0), y + 32, 1.0);                 // brightness
    EXPECT_NEAR(meanOf(frameWith(0x0B, 0x0A + 64), 0), 128 + 2 * (y - 128), 1.0);      // contrast x2
    const auto grey = frameWith(0x0C, 0x00);                                           // saturation 0
    EXPECT_NEAR(meanOf(grey, 1), 128, 1.0);
    EXPECT_NEAR(meanOf(grey, 3), 128, 1.0);
    const auto turned = frameWith(0x0D, 0x28);  // hue: 0x28 is 64 steps past 0xE8, a quarter turn
    EXPECT_NEAR(meanOf(turned, 0), y, 1.0);
    EXPECT_NEAR(meanOf(turned, 1) - 128, cb - 128, 1.5);
}

}  // namespace
}  // namespace simtest
