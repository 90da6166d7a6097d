// GCC 12 takes the undefined pass-through operand inside its own 512-bit intrinsics for an
// uninitialized variable.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "frame_encoder.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <span>

#include "base_bits.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define SIMULATOR_AVX512 1
#define SIMULATOR_AVX512_FUNCTION __attribute__((target("avx512f")))
#endif

namespace simulator {
namespace {

constexpr int kLuma4[] = {2, 6, 10, 14, 18, 24, 32, 40, -2, -6, -10, -14, -18, -24, -32, -40};
constexpr int kChroma2[] = {2, 6, -2, -6};
constexpr int kLuma3[] = {2, 7, 14, 25, -3, -8, -15, -26};
constexpr int kLuma2[] = {4, 12, -4, -12};
constexpr int kChroma1[] = {4, -4};

// The code whose step brings the decoded sample nearest the wanted value, tabulated for every
// base value the smoothing gives (at most 255 plus six roundings up) and wanted value.
class BestCodes {
public:
    // The table has 3 bytes to spare, for 4-byte gathers of its last entries.
    BestCodes(std::span<const int> steps, bool wraps) : steps_(steps), wraps_(wraps), table_(kBases * 256 + 3) {
        for (int base = 0; base < kBases; ++base)
            for (int wanted = 0; wanted < 256; ++wanted)
                table_[base * 256 + wanted] = static_cast<std::uint8_t>(Search(base, wanted));
    }
    // `target` is a sample of the picture, 0 to 255.
    int operator()(int base, float target) const {
        const int wanted = target > 0.0f ? std::min(RoundHalfAway(std::min(target, 256.0f)), 255) : 0;
        return base >= 0 && base < kBases ? table_[base * 256 + wanted] : Search(base, wanted);
    }
    // The same for a row of n samples.
    void Row(const int* base, const float* target, int* codes, int n) const {
        int i = 0;
#if SIMULATOR_AVX512
        static const bool lanes = __builtin_cpu_supports("avx512f");
        if (lanes)
            for (; i + 16 <= n; i += 16)
                if (!Sixteen(table_.data(), base + i, target + i, codes + i)) break;
#endif
        for (; i < n; ++i) codes[i] = (*this)(base[i], target[i]);
    }

private:
    static constexpr int kBases = 264;
    int Search(int base, int wanted) const {
        int best = 0, bestError = 1 << 30;
        for (std::size_t code = 0; code < steps_.size(); ++code) {
            const int sum = base + steps_[code];
            const int decoded = wraps_ ? (sum & 0xFF) : std::clamp(sum, 0, 255);
            const int error = std::abs(decoded - wanted);
            if (error < bestError) {
                bestError = error;
                best = static_cast<int>(code);
            }
        }
        return best;
    }
#if SIMULATOR_AVX512
    // Sixteen samples as operator() takes them, if all their bases lie in the table.
    SIMULATOR_AVX512_FUNCTION static bool Sixteen(const std::uint8_t* table, const int* base, const float* target,
                                                  int* codes) {
        const __m512i b = _mm512_loadu_si512(base);
        if (_mm512_cmplt_epu32_mask(b, _mm512_set1_epi32(kBases)) != 0xFFFF) return false;
        const __m512 t = _mm512_loadu_ps(target);
        // RoundHalfAway of a target in (0, 256]: the truncation, and one more for a fraction
        // (exact) of a half or more.
        const __m512 c = _mm512_min_ps(t, _mm512_set1_ps(256.0f));
        const __m512 whole = _mm512_roundscale_ps(c, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        const __mmask16 up = _mm512_cmp_ps_mask(_mm512_sub_ps(c, whole), _mm512_set1_ps(0.5f), _CMP_GE_OQ);
        __m512i wanted = _mm512_cvttps_epi32(_mm512_mask_add_ps(whole, up, whole, _mm512_set1_ps(1.0f)));
        wanted = _mm512_maskz_min_epi32(_mm512_cmp_ps_mask(t, _mm512_setzero_ps(), _CMP_GT_OQ), wanted,
                                        _mm512_set1_epi32(255));
        const __m512i at = _mm512_add_epi32(_mm512_slli_epi32(b, 8), wanted);
        _mm512_storeu_si512(codes, _mm512_and_si512(_mm512_i32gather_epi32(at, table, 1), _mm512_set1_epi32(0xFF)));
        return true;
    }
#endif
    std::span<const int> steps_;
    bool wraps_;
    std::vector<std::uint8_t> table_;
};

// A compressed format's correction steps, luma then chroma (whose sums wrap around).
struct Coding {
    std::span<const int> luma, chroma;
    BestCodes lumaCodes{luma, false}, chromaCodes{chroma, true};
};

const Coding& CodingOf(FrameFormat format) {
    static const Coding six{kLuma4, kChroma2}, four{kLuma3, kChroma1}, three{kLuma2, kChroma1};
    switch (format) {
        case FrameFormat::Compressed6: return six;
        case FrameFormat::Compressed4: return four;
        default: return three;
    }
}

const float& TargetOf(const std::vector<float>& target, const BasePlane& p, int x, int y) {
    return target[static_cast<std::size_t>(y + 2) * p.width + x + p.offset + 2];
}

// The decoder smooths a 2 x 2 block of samples from one 6 x 6 window of bits, cut into three
// pairs of rows and each pair into two parts along the base layer's 4-column bytes (columns
// 0-3 and 4-5, or 0-1 and 2-5), each part rounded alone. Per pair, part and pattern of the
// part's bits (the upper row's bits low), the rounded values for the block's four samples,
// 16 bits each (sample dy, dx at bit 16 * (2 dy + dx)), so that one sum serves all four.
class WindowParts {
public:
    static constexpr int kParts[4][2] = {{0, 4}, {4, 6}, {0, 2}, {2, 6}};

    WindowParts() {
        for (int pair = 0; pair < 3; ++pair)
            for (int part = 0; part < 4; ++part)
                for (int m = 0; m < 256; ++m)
                    for (int dy = 0; dy < 2; ++dy)
                        for (int dx = 0; dx < 2; ++dx)
                            values_[pair][part][m] |= static_cast<std::uint64_t>(Value(dy, dx, pair, part, m)) << (16 * (2 * dy + dx));
    }
    // The four samples' values of a window given as six rows of six bits; the cut is known
    // when compiled, so that the shifts and masks are constants.
    template <int firstPart>
    std::uint64_t Sum(const int rows[6]) const {
        std::uint64_t total = 0;
        for (int pair = 0; pair < 3; ++pair)
            for (int part = firstPart; part < firstPart + 2; ++part) {
                const int from = kParts[part][0], n = kParts[part][1] - from, mask = (1 << n) - 1;
                total += values_[pair][part][(rows[2 * pair] >> from & mask) | (rows[2 * pair + 1] >> from & mask) << n];
            }
        return total;
    }

private:
    static int Value(int dy, int dx, int pair, int part, int pattern) {
        const int from = kParts[part][0], n = kParts[part][1] - from;
        int sum = 0;
        for (int half = 0; half < 2; ++half) {
            const int kr = 2 * pair + half - dy;
            for (int k = 0; k < n; ++k) {
                const int kc = from + k - dx;
                if (kr >= 0 && kr <= 4 && kc >= 0 && kc <= 4 && (pattern >> (half * n + k) & 1)) sum += kKernel[kr][kc];
            }
        }
        return (sum + 360) / 1000;
    }
    std::uint64_t values_[3][4][256] = {};
};
const WindowParts kWindowParts;

// The compressed encoder's buffers, kept on each thread from frame to frame: fresh ones for
// every frame, freed back to the system in between, cost more in page faults than the work.
struct Buffers {
    std::vector<float> y, cr, cb;
    std::vector<int> base, lumaCodes, crCodes, cbCodes;
};

Buffers& ThreadBuffers() {
    thread_local Buffers buffers;
    return buffers;
}

// Six bits of a row (bytes of 0 or 1) as bits 0 to 5, reading no further than `end`: the
// multiply moves byte k's bit to bit 56 + k, and no two of its products meet.
unsigned SixBits(const std::uint8_t* bits, const std::uint8_t* end) {
    std::uint64_t word = 0;
    if (std::endian::native == std::endian::little && end - bits >= 8)
        std::memcpy(&word, bits, sizeof word);  // bytes 6 and 7 land above bit 63
    else
        for (int k = 0; k < 6; ++k) word |= std::uint64_t{bits[k]} << (8 * k);
    return (word * 0x0102040810204080u) >> 56 & 63;
}

// The smoothed values exactly as the decoder forms them.
void SmoothedBases(const BasePlane& p, std::vector<int>& out) {
    out.resize(static_cast<std::size_t>(p.samplesX) * p.samplesY);
    const std::uint8_t* end = p.bits.data() + p.bits.size();
    for (int y0 = 0; y0 < p.samplesY; y0 += 2) {
        const bool pair = y0 + 1 < p.samplesY;
        int* upper = out.data() + static_cast<std::size_t>(y0) * p.samplesX;
        int* lower = pair ? upper + p.samplesX : nullptr;
        for (int x0 = 0; x0 < p.samplesX; x0 += 2) {
            const int left = x0 + p.offset;
            int rows[6] = {};
            for (int r = 0; r < 6 && y0 + r < p.height; ++r)
                rows[r] = static_cast<int>(SixBits(&p.bits[static_cast<std::size_t>(y0 + r) * p.width + left], end));
            const std::uint64_t values = left % 4 == 0 ? kWindowParts.Sum<0>(rows) : kWindowParts.Sum<2>(rows);
            const bool both = x0 + 1 < p.samplesX;
            upper[x0] = values & 0xFFFF;
            if (both) upper[x0 + 1] = values >> 16 & 0xFFFF;
            if (!pair) continue;
            lower[x0] = values >> 32 & 0xFFFF;
            if (both) lower[x0 + 1] = values >> 48 & 0xFFFF;
        }
    }
}

// Four bits (bytes of 0 or 1) as bits 0 to 3: the multiply moves byte k's bit to bit 21 + k,
// and no two of its products meet.
unsigned Nibble(const std::uint8_t* bits) {
    const std::uint32_t word = bits[0] | bits[1] << 8 | bits[2] << 16 | static_cast<std::uint32_t>(bits[3]) << 24;
    return (word * 0x204081u) >> 21 & 0xF;
}

// Bits 0 to 3 spread to bits 0, 2, 4 and 6.
constexpr std::uint8_t kSpread[16] = {0x00, 0x01, 0x04, 0x05, 0x10, 0x11, 0x14, 0x15,
                                      0x40, 0x41, 0x44, 0x45, 0x50, 0x51, 0x54, 0x55};

void PackBaseLayer(const BasePlane& luma, const BasePlane& cr, const BasePlane& cb,
                   std::vector<std::uint8_t>& out) {
    const int width = luma.width, height = luma.height;
    out.assign(static_cast<std::size_t>(width) * height / 4, 0);
    // Byte of a pair of rows, four columns: bit 2k + 1 the upper row, bit 2k the lower.
    auto pack = [](const BasePlane& p, int col, int row) {
        const std::uint8_t* upper = &p.bits[static_cast<std::size_t>(row) * p.width + col];
        const std::uint8_t* lower = upper + p.width;
        return static_cast<std::uint8_t>(kSpread[Nibble(upper)] << 1 | kSpread[Nibble(lower)]);
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
    Buffers& buffers = ThreadBuffers();
    std::vector<float> &y = buffers.y, &cr = buffers.cr, &cb = buffers.cb;
    y.resize(static_cast<std::size_t>(pw) * ph);
    cr.resize(y.size() / 2);
    cb.resize(y.size() / 2);
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
    const Coding& coding = CodingOf(format);
    ChooseBaseBits(lumaPlane, y, coding.luma);
    ChooseBaseBits(crPlane, cr, cbPlane, cb, coding.chroma);
    PackBaseLayer(lumaPlane, crPlane, cbPlane, frame.baseLayer);

    std::vector<int>& base = buffers.base;
    std::vector<int> &lumaCodes = buffers.lumaCodes, &crCodes = buffers.crCodes, &cbCodes = buffers.cbCodes;
    SmoothedBases(lumaPlane, base);
    lumaCodes.resize(base.size());
    for (int row = 0; row < height; ++row) {
        const std::size_t i = static_cast<std::size_t>(row) * width;
        coding.lumaCodes.Row(&base[i], &TargetOf(y, lumaPlane, 0, row), &lumaCodes[i], width);
    }
    auto chromaCodes = [&](const BasePlane& plane, const std::vector<float>& target, std::vector<int>& codes) {
        SmoothedBases(plane, base);
        codes.resize(base.size());
        for (int row = 0; row < height; ++row) {
            const std::size_t i = static_cast<std::size_t>(row) * (width / 2);
            coding.chromaCodes.Row(&base[i], &TargetOf(target, plane, 0, row), &codes[i], width / 2);
        }
    };
    chromaCodes(crPlane, cr, crCodes);
    chromaCodes(cbPlane, cb, cbCodes);
    frame.correctionLayer.reserve(lumaCodes.size() * 2);
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
