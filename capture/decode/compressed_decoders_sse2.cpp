// Mode 2 to 4 decoders with the combining and interleaving on SSE2: per 8 x 4 block the base
// values still come from six lookups per 2 x 2 block, but the packed sums are spread to rows,
// the steps added (luma saturating, chroma wrapping) and the 4:2:2 rows written 16 bytes at once.
// Where AVX2 runs, mode 2 expands its codes by byte shuffles.
#include "decode/compressed_decoders.h"

#include "decode/simd.h"

#if LORV_AVX2
#include <immintrin.h>
#elif LORV_SSE2
#include <emmintrin.h>
#endif

#if LORV_SSE2
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "decode/base_layer.h"
#include "decode/decoder_tables.h"

namespace {

// Four rows of an 8 x 4 block, two rows per vector: luma 8 bytes per row, chroma Cr and Cb
// of the row's four pairs interleaved.
struct BlockRows {
    __m128i luma01;
    __m128i luma23;
    __m128i chroma01;
    __m128i chroma23;
};

// Packed dwords of 2 x 2 blocks to their rows: the low word of each holds the upper row's two
// samples, the high word the lower row's. Both words fit a signed 16-bit lane unsaturated.
inline __m128i RowsOfBlocks(__m128i blocks)
{
    return _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(blocks, 16), 16), _mm_srai_epi32(blocks, 16));
}

// Cr and Cb of rows 0 to 3 (4 bytes each, in row order) interleaved per pair.
inline void InterleaveChroma(__m128i cr, __m128i cb, BlockRows& rows)
{
    rows.chroma01 = _mm_unpacklo_epi8(cr, cb);
    rows.chroma23 = _mm_unpackhi_epi8(cr, cb);
}

inline BlockRows BaseRows(const BYTE* band, const BYTE* nextBand)
{
    BlockRowBases b[2];
    ComputeBlockRowBases(band, nextBand, b);
    BlockRows rows;
    rows.luma01 = RowsOfBlocks(_mm_setr_epi32(static_cast<int>(b[0].luma[0]), static_cast<int>(b[0].luma[1]),
                                              static_cast<int>(b[0].luma[2]), static_cast<int>(b[0].luma[3])));
    rows.luma23 = RowsOfBlocks(_mm_setr_epi32(static_cast<int>(b[1].luma[0]), static_cast<int>(b[1].luma[1]),
                                              static_cast<int>(b[1].luma[2]), static_cast<int>(b[1].luma[3])));
    // Rows come out 0, 2, 1, 3; the shuffle puts them in order.
    const __m128i cr = _mm_shuffle_epi32(RowsOfBlocks(_mm_setr_epi32(static_cast<int>(b[0].cr[0]), static_cast<int>(b[0].cr[1]),
                                                                     static_cast<int>(b[1].cr[0]), static_cast<int>(b[1].cr[1]))),
                                         _MM_SHUFFLE(3, 1, 2, 0));
    const __m128i cb = _mm_shuffle_epi32(RowsOfBlocks(_mm_setr_epi32(static_cast<int>(b[0].cb[0]), static_cast<int>(b[0].cb[1]),
                                                                     static_cast<int>(b[1].cb[0]), static_cast<int>(b[1].cb[1]))),
                                         _MM_SHUFFLE(3, 1, 2, 0));
    InterleaveChroma(cr, cb, rows);
    return rows;
}

inline int Int(std::uint32_t v) { return static_cast<int>(v); }

// Steps of the four rows, in the layout of BlockRows, from the codes of each mode.
struct Mode2Steps {
    static constexpr int kBlockBytes = 6;
    static BlockRows Expand(const BYTE* codes, std::ptrdiff_t rowBytes)
    {
        const CodeExpansionTables& t = codeExpansionTables;
        __m128i luma[4];
        std::uint32_t cr[4], cb[4];
        for (int y = 0; y < 4; ++y) {
            const BYTE* c = codes + y * rowBytes;
            luma[y] = _mm_setr_epi32(Int(t.mode2Luma[c[0]]), Int(t.mode2Luma[c[1]]), Int(t.mode2Luma[c[3]]),
                                     Int(t.mode2Luma[c[4]]));
            const std::uint32_t first = t.mode2Chroma[c[2]];
            const std::uint32_t second = t.mode2Chroma[c[5]];
            cr[y] = (first & 0xFFFF) | (second << 16);
            cb[y] = (first >> 16) | (second & 0xFFFF0000);
        }
        BlockRows steps;
        // 16-bit steps of at most 40 pack to bytes unchanged.
        steps.luma01 = _mm_packs_epi16(luma[0], luma[1]);
        steps.luma23 = _mm_packs_epi16(luma[2], luma[3]);
        InterleaveChroma(_mm_setr_epi32(Int(cr[0]), Int(cr[1]), Int(cr[2]), Int(cr[3])),
                         _mm_setr_epi32(Int(cb[0]), Int(cb[1]), Int(cb[2]), Int(cb[3])), steps);
        return steps;
    }
};

// Each entry is a pair already in output order: luma, Cr, luma, Cb.
struct Mode3Steps {
    static constexpr int kBlockBytes = 4;
    static BlockRows Expand(const BYTE* codes, std::ptrdiff_t rowBytes)
    {
        const CodeExpansionTables& t = codeExpansionTables;
        __m128i pairs[4];
        for (int y = 0; y < 4; ++y) {
            const BYTE* c = codes + y * rowBytes;
            pairs[y] = _mm_setr_epi32(Int(t.mode3[c[0]]), Int(t.mode3[c[1]]), Int(t.mode3[c[2]]), Int(t.mode3[c[3]]));
        }
        const __m128i lowBytes = _mm_set1_epi16(0xFF);
        BlockRows steps;
        steps.luma01 = _mm_packus_epi16(_mm_and_si128(pairs[0], lowBytes), _mm_and_si128(pairs[1], lowBytes));
        steps.luma23 = _mm_packus_epi16(_mm_and_si128(pairs[2], lowBytes), _mm_and_si128(pairs[3], lowBytes));
        steps.chroma01 = _mm_packus_epi16(_mm_srli_epi16(pairs[0], 8), _mm_srli_epi16(pairs[1], 8));
        steps.chroma23 = _mm_packus_epi16(_mm_srli_epi16(pairs[2], 8), _mm_srli_epi16(pairs[3], 8));
        return steps;
    }
};

struct Mode4Steps {
    static constexpr int kBlockBytes = 3;
    static BlockRows Expand(const BYTE* codes, std::ptrdiff_t rowBytes)
    {
        const CodeExpansionTables& t = codeExpansionTables;
        int luma[8], cr[4], cb[4];
        for (int y = 0; y < 4; ++y) {
            const BYTE* c = codes + y * rowBytes;
            luma[2 * y] = Int(t.mode4Luma[c[0]]);
            luma[2 * y + 1] = Int(t.mode4Luma[c[1]]);
            cr[y] = Int(t.mode4Chroma[c[2] & 15]);
            cb[y] = Int(t.mode4Chroma[c[2] >> 4]);
        }
        BlockRows steps;
        steps.luma01 = _mm_setr_epi32(luma[0], luma[1], luma[2], luma[3]);
        steps.luma23 = _mm_setr_epi32(luma[4], luma[5], luma[6], luma[7]);
        InterleaveChroma(_mm_setr_epi32(cr[0], cr[1], cr[2], cr[3]), _mm_setr_epi32(cb[0], cb[1], cb[2], cb[3]), steps);
        return steps;
    }
};

// base + step clamped to 0..255 for unsigned bases and signed steps.
inline __m128i AddClamped(__m128i base, __m128i step)
{
    const __m128i negative = _mm_cmplt_epi8(step, _mm_setzero_si128());
    const __m128i up = _mm_andnot_si128(negative, step);
    const __m128i down = _mm_and_si128(negative, _mm_sub_epi8(_mm_setzero_si128(), step));
    return _mm_subs_epu8(_mm_adds_epu8(base, up), down);
}

inline void Store(BYTE* out, __m128i row) { _mm_storeu_si128(reinterpret_cast<__m128i*>(out), row); }

template <typename Steps>
void DecodeLayers(int paddedWidth, int paddedHeight, const BYTE* baseLayer, const BYTE* correctionLayer,
                  BYTE* destination)
{
    if (paddedWidth < 16 || paddedHeight < 8 || paddedWidth % 8 != 0 || paddedHeight % 4 != 0)
        return;
    const int width = paddedWidth - 8;
    const std::ptrdiff_t outRowBytes = 2 * static_cast<std::ptrdiff_t>(width);
    const std::ptrdiff_t codeRowBytes = static_cast<std::ptrdiff_t>(width) / 8 * Steps::kBlockBytes;
    const int bands = paddedHeight / 4 - 1;
    const int blocks = paddedWidth / 8 - 1;
    for (int b = 0; b < bands; ++b) {
        const BYTE* band = baseLayer + static_cast<std::ptrdiff_t>(b) * paddedWidth;
        const BYTE* codes = correctionLayer + 4 * b * codeRowBytes;
        BYTE* out = destination + 4 * b * outRowBytes;
        for (int g = 0; g < blocks; ++g, out += 16, codes += Steps::kBlockBytes) {
            const BlockRows base = BaseRows(band + 8 * g, band + paddedWidth + 8 * g);
            const BlockRows steps = Steps::Expand(codes, codeRowBytes);
            const __m128i luma01 = AddClamped(base.luma01, steps.luma01);
            const __m128i luma23 = AddClamped(base.luma23, steps.luma23);
            const __m128i chroma01 = _mm_add_epi8(base.chroma01, steps.chroma01);
            const __m128i chroma23 = _mm_add_epi8(base.chroma23, steps.chroma23);
            Store(out, _mm_unpacklo_epi8(luma01, chroma01));
            Store(out + outRowBytes, _mm_unpackhi_epi8(luma01, chroma01));
            Store(out + 2 * outRowBytes, _mm_unpacklo_epi8(luma23, chroma23));
            Store(out + 3 * outRowBytes, _mm_unpackhi_epi8(luma23, chroma23));
        }
    }
}

#if LORV_AVX2
// Mode 2's steps by byte shuffles from the step lists instead of 24 table lookups a block: rows
// 0-1 in the low lane, 2-3 in the high one, each code byte split into its two nibbles.
struct Mode2ShuffledSteps {
    static constexpr int kBlockBytes = 6;

    // The six bytes as two loads that end at the block's end (the layer may end there too).
    static std::int64_t RowCodes(const BYTE* codes)
    {
        std::uint32_t first = 0;
        std::uint16_t rest = 0;
        std::memcpy(&first, codes, sizeof first);
        std::memcpy(&rest, codes + sizeof first, sizeof rest);
        return static_cast<std::int64_t>(first | static_cast<std::uint64_t>(rest) << 32);
    }

    // Nibbles at the positions `of` of the upper row, then of the lower row.
    LORV_AVX2_FUNCTION static __m256i Pick(__m256i upperNibbles, __m256i lowerNibbles, __m128i of)
    {
        return _mm256_or_si256(_mm256_shuffle_epi8(upperNibbles, _mm256_broadcastsi128_si256(of)),
                               _mm256_shuffle_epi8(lowerNibbles, _mm256_broadcastsi128_si256(_mm_unpacklo_epi64(_mm_set1_epi8(-1), of))));
    }

    LORV_AVX2_FUNCTION static BlockRows Expand(const BYTE* codes, std::ptrdiff_t rowBytes)
    {
        const __m256i bytes = _mm256_setr_epi64x(RowCodes(codes), RowCodes(codes + rowBytes),
                                                 RowCodes(codes + 2 * rowBytes), RowCodes(codes + 3 * rowBytes));
        const __m256i fifteen = _mm256_set1_epi8(15);
        const __m256i low = _mm256_and_si256(bytes, fifteen);
        const __m256i high = _mm256_and_si256(_mm256_srli_epi16(bytes, 4), fifteen);
        // Per lane: the upper row's 12 nibbles in code order, then the lower row's.
        const __m256i upperNibbles = _mm256_unpacklo_epi8(low, high);
        const __m256i lowerNibbles = _mm256_unpackhi_epi8(low, high);
        // Luma nibbles are codes 0, 1, 3 and 4; chroma codes 2 and 5 give Cr, Cb, Cr, Cb of two
        // pairs from their bits 0-1, 4-5, 2-3, 6-7.
        const __m128i lumaOf = _mm_setr_epi8(0, 1, 2, 3, 6, 7, 8, 9, -1, -1, -1, -1, -1, -1, -1, -1);
        const __m128i chromaOf = _mm_setr_epi8(4, 5, 4, 5, 10, 11, 10, 11, -1, -1, -1, -1, -1, -1, -1, -1);
        const __m256i lumaIndex = Pick(upperNibbles, lowerNibbles, lumaOf);
        const __m256i chromaNibbles = Pick(upperNibbles, lowerNibbles, chromaOf);
        const __m256i chromaIndex = _mm256_or_si256(
            _mm256_and_si256(chromaNibbles, _mm256_set1_epi32(0x00000303)),
            _mm256_and_si256(_mm256_srli_epi16(chromaNibbles, 2), _mm256_set1_epi32(0x03030000)));
        std::int32_t chromaSteps = 0;
        std::memcpy(&chromaSteps, CorrectionSteps.chroma2, sizeof CorrectionSteps.chroma2);
        const __m256i luma = _mm256_shuffle_epi8(
            _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(CorrectionSteps.luma4))),
            lumaIndex);
        const __m256i chroma = _mm256_shuffle_epi8(_mm256_set1_epi32(chromaSteps), chromaIndex);
        return {_mm256_castsi256_si128(luma), _mm256_extracti128_si256(luma, 1), _mm256_castsi256_si128(chroma),
                _mm256_extracti128_si256(chroma, 1)};
    }
};

// Flattened, so that the steps are inlined into the block loop with their constants.
LORV_AVX2_FUNCTION __attribute__((flatten)) void DecodeMode2Avx2(int paddedWidth, int paddedHeight, const BYTE* baseLayer,
                                        const BYTE* correctionLayer, BYTE* destination)
{
    DecodeLayers<Mode2ShuffledSteps>(paddedWidth, paddedHeight, baseLayer, correctionLayer, destination);
}
#endif

}  // namespace

const CompressedDecoders sse2CompressedDecoders = {DecodeLayers<Mode2Steps>, DecodeLayers<Mode3Steps>,
                                                   DecodeLayers<Mode4Steps>};
#if LORV_AVX2
const CompressedDecoders avx2CompressedDecoders = {DecodeMode2Avx2, DecodeLayers<Mode3Steps>,
                                                   DecodeLayers<Mode4Steps>};
#endif
#endif
