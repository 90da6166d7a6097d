#include "frame_encoder.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <span>

namespace simulator {
namespace {

// The decoder's smoothing kernel (thousandths; total 255475, so a full window reads 255).
constexpr int kKernel[5][5] = {{3942, 10001, 11519, 6516, 1550},
                               {7587, 20234, 24242, 14849, 4030},
                               {7399, 21318, 27329, 17137, 4861},
                               {4650, 13790, 19016, 12622, 3636},
                               {1211, 4623, 7126, 4973, 1314}};

// The kernel in units of 1, as the encoder weighs a bit's change.
struct KernelUnits {
    float at[5][5];
    KernelUnits() {
        for (int r = 0; r < 5; ++r)
            for (int c = 0; c < 5; ++c) at[r][c] = kKernel[r][c] / 1000.0f;
    }
};
const KernelUnits kUnits;

// std::lround of a float of moderate size, without the library call: the truncation and the
// fraction left are exact, and halves go away from zero.
inline int RoundHalfAway(float v) {
    int i = static_cast<int>(v);
    const float fraction = v - static_cast<float>(i);
    if (fraction >= 0.5f) ++i;
    else if (fraction <= -0.5f) --i;
    return i;
}

struct StepLists {
    std::span<const int> luma;
    std::span<const int> chroma;
};

constexpr int kLuma4[] = {2, 6, 10, 14, 18, 24, 32, 40, -2, -6, -10, -14, -18, -24, -32, -40};
constexpr int kChroma2[] = {2, 6, -2, -6};
constexpr int kLuma3[] = {2, 7, 14, 25, -3, -8, -15, -26};
constexpr int kLuma2[] = {4, 12, -4, -12};
constexpr int kChroma1[] = {4, -4};

StepLists StepsOf(FrameFormat format) {
    switch (format) {
        case FrameFormat::Compressed6: return {kLuma4, kChroma2};
        case FrameFormat::Compressed4: return {kLuma3, kChroma1};
        default: return {kLuma2, kChroma1};
    }
}

// One plane of base bits and the samples that the decoder smooths from it. Sample (x, y)
// reads plane columns x + offset ... x + offset + 4 and rows y ... y + 4, and stands for plane
// position (x + offset + 2, y + 2).
struct BasePlane {
    int width = 0, height = 0;  // plane
    int offset = 0;             // 2 for luma, 0 for chroma
    int samplesX = 0, samplesY = 0;
    std::vector<std::uint8_t> bits;

    bool Bit(int col, int row) const { return bits[static_cast<std::size_t>(row) * width + col]; }
};

float TargetOf(const std::vector<float>& target, const BasePlane& p, int x, int y) {
    return target[static_cast<std::size_t>(y + 2) * p.width + x + p.offset + 2];
}

// What an error of the smoothed value still costs once the best correction step is added,
// tabulated in quarter steps.
class ResidualCost {
public:
    static constexpr int kRange = 300, kScale = 4;
    explicit ResidualCost(std::span<const int> steps) : table_(2 * kRange * kScale + 1) {
        for (std::size_t i = 0; i < table_.size(); ++i) {
            const float e = (static_cast<float>(i) - kRange * kScale) / kScale;
            float best = 1e9f;
            for (int step : steps) best = std::min(best, (e + step) * (e + step));
            table_[i] = best;
        }
    }
    float operator()(float e) const {
        // Errors stay within a few hundred, far inside the range of int.
        const int i = std::clamp(RoundHalfAway(e * kScale) + kRange * kScale, 0, static_cast<int>(table_.size()) - 1);
        return table_[i];
    }

private:
    std::vector<float> table_;
};

// Error diffusion of the density, then greedy bit flips: first toward the target itself,
// then toward what leaves the least error after the correction step.
void ChooseBaseBits(BasePlane& p, const std::vector<float>& target, std::span<const int> steps) {
    const std::size_t n = static_cast<std::size_t>(p.width) * p.height;
    p.bits.assign(n, 0);
    std::vector<float> density(n);
    for (std::size_t i = 0; i < n; ++i) density[i] = std::clamp(target[i] / 255.475f, 0.0f, 1.0f);
    for (int y = 0; y < p.height; ++y) {
        const bool leftward = y % 2 == 1;
        for (int k = 0; k < p.width; ++k) {
            const int x = leftward ? p.width - 1 - k : k;
            const int dir = leftward ? -1 : 1;
            const std::size_t i = static_cast<std::size_t>(y) * p.width + x;
            const float value = density[i];
            p.bits[i] = value >= 0.5f;
            const float error = value - p.bits[i];
            auto spread = [&](int dx, int dy, float w) {
                const int nx = x + dx * dir, ny = y + dy;
                if (nx >= 0 && nx < p.width && ny < p.height)
                    density[static_cast<std::size_t>(ny) * p.width + nx] += error * w;
            };
            spread(1, 0, 7.0f / 16);
            spread(-1, 1, 3.0f / 16);
            spread(0, 1, 5.0f / 16);
            spread(1, 1, 1.0f / 16);
        }
    }

    // error[s] = smoothed value - target, unrounded.
    std::vector<float> error(static_cast<std::size_t>(p.samplesX) * p.samplesY);
    for (int y = 0; y < p.samplesY; ++y) {
        for (int x = 0; x < p.samplesX; ++x) {
            int sum = 0;
            for (int r = 0; r < 5; ++r)
                for (int c = 0; c < 5; ++c)
                    if (p.Bit(x + p.offset + c, y + r)) sum += kKernel[r][c];
            error[static_cast<std::size_t>(y) * p.samplesX + x] = sum / 1000.0f - TargetOf(target, p, x, y);
        }
    }
    const ResidualCost residual(steps);
    // residual(error) per sample, kept in step with error during the residual passes.
    std::vector<float> residualNow(error.size());
    // A bit whose neighbourhood has not changed since its last residual evaluation would
    // compute the same change and again keep still: only bits near a flip are looked at again.
    std::vector<std::uint8_t> stale(n, 1);
    auto markNeighbours = [&](int y, int x) {
        for (int r = 0; r < 5; ++r)
            for (int c = 0; c < 5; ++c) {
                const int row = y + r, col = x + p.offset + c;
                if (row < p.height && col < p.width) stale[static_cast<std::size_t>(row) * p.width + col] = 1;
            }
    };
    for (int pass = 0; pass < 4; ++pass) {
        const bool squared = pass == 0;
        if (!squared)
            for (std::size_t s = 0; s < error.size(); ++s) residualNow[s] = residual(error[s]);
        for (int row = 0; row < p.height; ++row) {
            // Kernel rows r and columns c that reach a sample (row - r, col - offset - c).
            const int firstR = std::max(0, row - p.samplesY + 1), lastR = std::min(4, row);
            for (int col = 0; col < p.width; ++col) {
                const std::size_t i = static_cast<std::size_t>(row) * p.width + col;
                if (!squared && !stale[i]) continue;
                if (!squared) stale[i] = 0;
                const int firstC = std::max(0, col - p.offset - p.samplesX + 1), lastC = std::min(4, col - p.offset);
                const float sign = p.bits[i] ? -1.0f : 1.0f;
                float change = 0;
                for (int r = firstR; r <= lastR; ++r) {
                    const std::size_t at = static_cast<std::size_t>(row - r) * p.samplesX + (col - p.offset);
                    for (int c = firstC; c <= lastC; ++c) {
                        const float d = sign * kUnits.at[r][c];
                        const float e = error[at - c];
                        change += squared ? d * (2 * e + d) : residual(e + d) - residualNow[at - c];
                    }
                }
                if (change >= 0) continue;
                p.bits[i] ^= 1;
                for (int r = firstR; r <= lastR; ++r) {
                    const std::size_t at = static_cast<std::size_t>(row - r) * p.samplesX + (col - p.offset);
                    for (int c = firstC; c <= lastC; ++c) {
                        error[at - c] += sign * kUnits.at[r][c];
                        if (!squared) residualNow[at - c] = residual(error[at - c]);
                        markNeighbours(row - r, col - p.offset - c);
                    }
                }
            }
        }
    }
}

// The smoothed value exactly as the decoder forms it: per 2 x 2 block of samples a 6 x 6
// window cut into six parts along the base layer's 4-column bytes, each part rounded alone.
int SmoothedBase(const BasePlane& p, int x, int y) {
    const int x0 = x & ~1, y0 = y & ~1, dx = x - x0, dy = y - y0;
    const int left = x0 + p.offset;
    const bool aligned = left % 4 == 0;
    const int cuts[2][2] = {{0, aligned ? 4 : 2}, {aligned ? 4 : 2, 6}};
    int total = 0;
    for (int pair = 0; pair < 3; ++pair) {
        for (const auto& cut : cuts) {
            int sum = 0;
            for (int r = 2 * pair; r < 2 * pair + 2; ++r) {
                const int kr = r - dy;
                if (kr < 0 || kr > 4) continue;
                for (int c = cut[0]; c < cut[1]; ++c) {
                    const int kc = c - dx;
                    if (kc < 0 || kc > 4 || !p.Bit(left + c, y0 + r)) continue;
                    sum += kKernel[kr][kc];
                }
            }
            total += (sum + 360) / 1000;
        }
    }
    return total;
}

// The code whose step brings the decoded sample nearest the target.
int BestCode(int base, float target, std::span<const int> steps, bool wraps) {
    const int wanted = std::clamp(static_cast<int>(std::lround(target)), 0, 255);
    int best = 0, bestError = 1 << 30;
    for (std::size_t code = 0; code < steps.size(); ++code) {
        const int sum = base + steps[code];
        const int decoded = wraps ? (sum & 0xFF) : std::clamp(sum, 0, 255);
        const int error = std::abs(decoded - wanted);
        if (error < bestError) {
            bestError = error;
            best = static_cast<int>(code);
        }
    }
    return best;
}

void PackBaseLayer(const BasePlane& luma, const BasePlane& cr, const BasePlane& cb,
                   std::vector<std::uint8_t>& out) {
    const int width = luma.width, height = luma.height;
    out.assign(static_cast<std::size_t>(width) * height / 4, 0);
    // Byte of a pair of rows, four columns: bit 2k + 1 the upper row, bit 2k the lower.
    auto pack = [](const BasePlane& p, int col, int row) {
        std::uint8_t v = 0;
        for (int k = 0; k < 4; ++k) {
            if (p.Bit(col + k, row)) v |= 1 << (2 * k + 1);
            if (p.Bit(col + k, row + 1)) v |= 1 << (2 * k);
        }
        return v;
    };
    std::size_t i = 0;
    for (int band = 0; band < height / 4; ++band) {
        const int top = 4 * band;
        for (int group = 0; group < width / 8; ++group) {
            out[i++] = pack(luma, 8 * group, top + 2);
            out[i++] = pack(luma, 8 * group, top);
            out[i++] = pack(cr, 4 * group, top + 2);
            out[i++] = pack(cr, 4 * group, top);
            out[i++] = pack(luma, 8 * group + 4, top + 2);
            out[i++] = pack(luma, 8 * group + 4, top);
            out[i++] = pack(cb, 4 * group, top + 2);
            out[i++] = pack(cb, 4 * group, top);
        }
    }
}

void PackCorrections(FrameFormat format, int width, int height, const std::vector<int>& luma,
                     const std::vector<int>& cr, const std::vector<int>& cb,
                     std::vector<std::uint8_t>& out) {
    const int pairs = width / 2;
    for (int y = 0; y < height; ++y) {
        const int* l = &luma[static_cast<std::size_t>(y) * width];
        const int* r = &cr[static_cast<std::size_t>(y) * pairs];
        const int* b = &cb[static_cast<std::size_t>(y) * pairs];
        switch (format) {
            case FrameFormat::Compressed6:
                for (int x = 0; x < width; x += 4) {
                    const int p = x / 2;
                    out.push_back(static_cast<std::uint8_t>(l[x] | l[x + 1] << 4));
                    out.push_back(static_cast<std::uint8_t>(l[x + 2] | l[x + 3] << 4));
                    out.push_back(static_cast<std::uint8_t>(r[p] | r[p + 1] << 2 | b[p] << 4 | b[p + 1] << 6));
                }
                break;
            case FrameFormat::Compressed4:
                for (int p = 0; p < pairs; ++p)
                    out.push_back(static_cast<std::uint8_t>(l[2 * p] | r[p] << 3 | l[2 * p + 1] << 4 | b[p] << 7));
                break;
            default:
                for (int x = 0; x < width; x += 8) {
                    const int p = x / 2;
                    out.push_back(static_cast<std::uint8_t>(l[x] | l[x + 1] << 2 | l[x + 2] << 4 | l[x + 3] << 6));
                    out.push_back(static_cast<std::uint8_t>(l[x + 4] | l[x + 5] << 2 | l[x + 6] << 4 | l[x + 7] << 6));
                    std::uint8_t chroma = 0;
                    for (int k = 0; k < 4; ++k) chroma |= static_cast<std::uint8_t>(r[p + k] << k | b[p + k] << (k + 4));
                    out.push_back(chroma);
                }
                break;
        }
    }
}

}  // namespace

FrameFormat FormatFromByte(std::uint8_t formatByte) {
    switch (formatByte) {
        case 0x44: return FrameFormat::Rows12;
        case 0xE0: return FrameFormat::Compressed6;
        case 0xF0: return FrameFormat::Compressed4;
        case 0xF8: return FrameFormat::Compressed3;
        default: return FrameFormat::Pixels422;
    }
}

bool IsCompressed(FrameFormat format) {
    return format == FrameFormat::Compressed6 || format == FrameFormat::Compressed4 ||
           format == FrameFormat::Compressed3;
}

std::vector<std::uint8_t> EncodePixels422(const YcbcrPlanes& picture) {
    return ToYcbcr422(picture).bytes;
}

std::vector<std::uint8_t> EncodeRows12(const YcbcrPlanes& picture) {
    std::vector<std::uint8_t> out;
    const int w = picture.width, h = picture.height;
    if (w <= 0 || h <= 0) return out;
    auto at = [&](const std::vector<float>& plane, int x, int y) {
        return plane[static_cast<std::size_t>(std::min(y, h - 1)) * w + std::min(x, w - 1)];
    };
    for (int y = 0; y < h; y += 2) {
        for (int x = 0; x < w; x += 2) {
            // The lower row shows the upper row's chroma, so both rows' chroma goes into it.
            const float cr = (at(picture.cr, x, y) + at(picture.cr, x + 1, y) +
                              at(picture.cr, x, y + 1) + at(picture.cr, x + 1, y + 1)) / 4;
            const float cb = (at(picture.cb, x, y) + at(picture.cb, x + 1, y) +
                              at(picture.cb, x, y + 1) + at(picture.cb, x + 1, y + 1)) / 4;
            out.push_back(ToByte(at(picture.y, x, y)));
            out.push_back(ToByte(cr));
            out.push_back(ToByte(at(picture.y, x + 1, y)));
            out.push_back(ToByte(cb));
        }
        for (int x = 0; x < w; ++x) out.push_back(ToByte(at(picture.y, x, y + 1)));
    }
    return out;
}

CompressedFrame EncodeCompressed(FrameFormat format, const YcbcrPlanes& picture) {
    CompressedFrame frame;
    const int pw = picture.width & ~7, ph = picture.height & ~3;
    const int width = pw - 8, height = ph - 4;
    if (width <= 0 || height <= 0) return frame;

    // Cut the ragged edge and halve the chroma per pixel pair.
    std::vector<float> y(static_cast<std::size_t>(pw) * ph), cr(y.size() / 2), cb(y.size() / 2);
    for (int row = 0; row < ph; ++row) {
        for (int col = 0; col < pw; ++col) {
            const std::size_t from = static_cast<std::size_t>(row) * picture.width + col;
            y[static_cast<std::size_t>(row) * pw + col] = picture.y[from];
            if (col % 2 == 0) {
                const std::size_t to = static_cast<std::size_t>(row) * (pw / 2) + col / 2;
                cr[to] = (picture.cr[from] + picture.cr[from + 1]) / 2;
                cb[to] = (picture.cb[from] + picture.cb[from + 1]) / 2;
            }
        }
    }

    BasePlane lumaPlane{pw, ph, 2, width, height, {}};
    BasePlane crPlane{pw / 2, ph, 0, width / 2, height, {}};
    BasePlane cbPlane = crPlane;
    const StepLists steps = StepsOf(format);
    ChooseBaseBits(lumaPlane, y, steps.luma);
    ChooseBaseBits(crPlane, cr, steps.chroma);
    ChooseBaseBits(cbPlane, cb, steps.chroma);
    PackBaseLayer(lumaPlane, crPlane, cbPlane, frame.baseLayer);

    std::vector<int> lumaCodes(static_cast<std::size_t>(width) * height);
    std::vector<int> crCodes(lumaCodes.size() / 2), cbCodes(lumaCodes.size() / 2);
    for (int row = 0; row < height; ++row) {
        for (int x = 0; x < width; ++x)
            lumaCodes[static_cast<std::size_t>(row) * width + x] =
                BestCode(SmoothedBase(lumaPlane, x, row), TargetOf(y, lumaPlane, x, row), steps.luma, false);
        for (int m = 0; m < width / 2; ++m) {
            const std::size_t i = static_cast<std::size_t>(row) * (width / 2) + m;
            crCodes[i] = BestCode(SmoothedBase(crPlane, m, row), TargetOf(cr, crPlane, m, row), steps.chroma, true);
            cbCodes[i] = BestCode(SmoothedBase(cbPlane, m, row), TargetOf(cb, cbPlane, m, row), steps.chroma, true);
        }
    }
    PackCorrections(format, width, height, lumaCodes, crCodes, cbCodes, frame.correctionLayer);
    return frame;
}

std::vector<std::uint8_t> AssembleFrame(FrameFormat format, const YcbcrPlanes& picture,
                                        std::size_t frameBytes, std::size_t secondLayerOffset,
                                        const std::array<std::uint8_t, 4>& trailer) {
    frameBytes = std::max<std::size_t>(frameBytes, trailer.size());
    std::vector<std::uint8_t> frame(frameBytes, 0);
    const std::size_t room = frameBytes - trailer.size();
    auto place = [&](const std::vector<std::uint8_t>& bytes, std::size_t at) {
        if (at >= room) return;
        std::copy_n(bytes.begin(), std::min(bytes.size(), room - at), frame.begin() + at);
    };
    switch (format) {
        case FrameFormat::Pixels422: place(EncodePixels422(picture), 0); break;
        case FrameFormat::Rows12: place(EncodeRows12(picture), 0); break;
        default: {
            const CompressedFrame layers = EncodeCompressed(format, picture);
            place(layers.baseLayer, 0);
            place(layers.correctionLayer, secondLayerOffset);
            break;
        }
    }
    std::copy(trailer.begin(), trailer.end(), frame.end() - trailer.size());
    return frame;
}

}  // namespace simulator
