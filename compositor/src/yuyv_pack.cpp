// BGR (bottom-up) to YUYV and RGB24 (top-down) for video output devices.
//
// The YUYV row kernel exists three times: the portable reference, SSSE3 (16
// pixels a step) and AVX2 (32 pixels a step, one 16-pixel group per 128-bit
// lane). All three compute the formula of packYuyvPair in 16-bit lanes whose
// every intermediate fits, so they agree byte for byte. Vector variants read
// exactly the 48 bytes of their group (never past the row) and finish the
// row with the narrower variants.
#include "compositor/yuyv_pack.h"

#include <cstring>
#include <initializer_list>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define DV_HAVE_YUYV_SIMD 1
#include <immintrin.h>
#endif

namespace pix {

void packYuyvPair(const uint8_t* first, const uint8_t* second, uint8_t out[4]) {
    auto luma = [](const uint8_t* p) {
        return static_cast<uint8_t>(((66 * p[2] + 129 * p[1] + 25 * p[0] + 128) >> 8) + 16);
    };
    const int b = (first[0] + second[0] + 1) >> 1;
    const int g = (first[1] + second[1] + 1) >> 1;
    const int r = (first[2] + second[2] + 1) >> 1;
    out[0] = luma(first);
    out[1] = static_cast<uint8_t>(((112 * b - 38 * r - 74 * g + 128) >> 8) + 128);
    out[2] = luma(second);
    out[3] = static_cast<uint8_t>(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
}

namespace {

using YuyvRow = void (*)(const uint8_t* bgr, uint8_t* yuyv, int width);

void yuyvRowBaseline(const uint8_t* s, uint8_t* d, int width) {
    int x = 0;
    for (; x + 1 < width; x += 2)
        packYuyvPair(s + 3 * x, s + 3 * x + 3, d + 2 * x);
    if (x < width) packYuyvPair(s + 3 * x, s + 3 * x, d + 2 * x);
}

#ifdef DV_HAVE_YUYV_SIMD

// 32-bit x86: every kernel entry realigns its frame (see simd_kernels.inc).
#if defined(__i386__)
#define DV_KERNEL_ENTRY __attribute__((force_align_arg_pointer))
#else
#define DV_KERNEL_ENTRY
#endif
#define DV_SSSE3 __attribute__((target("ssse3"))) DV_KERNEL_ENTRY
#define DV_AVX2 __attribute__((target("avx2"))) DV_KERNEL_ENTRY

// Byte shuffles that gather one channel of 16 packed pixels (48 bytes in
// three registers): picks[channel][part][i] is the byte of register `part`
// holding channel `channel` of pixel i, or -1 (zero) when another register
// holds it.
struct ChannelPicks {
    int8_t picks[3][3][16];
    constexpr ChannelPicks() : picks{} {
        for (int c = 0; c < 3; ++c)
            for (int part = 0; part < 3; ++part)
                for (int i = 0; i < 16; ++i) {
                    const int at = 3 * i + c - 16 * part;
                    picks[c][part][i] = at >= 0 && at < 16 ? static_cast<int8_t>(at) : int8_t{-1};
                }
    }
};
constexpr ChannelPicks channelPicks{};

DV_SSSE3 inline __m128i loadPick(int channel, int part) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(channelPicks.picks[channel][part]));
}

// Y of 8 pixels whose channels are in 16-bit lanes: the sum stays below 2^16,
// so unsigned wrap-around of the products is exact.
DV_SSSE3 inline __m128i luma8(__m128i b, __m128i g, __m128i r) {
    const __m128i sum = _mm_add_epi16(
        _mm_add_epi16(_mm_mullo_epi16(r, _mm_set1_epi16(66)), _mm_mullo_epi16(g, _mm_set1_epi16(129))),
        _mm_add_epi16(_mm_mullo_epi16(b, _mm_set1_epi16(25)), _mm_set1_epi16(128)));
    return _mm_add_epi16(_mm_srli_epi16(sum, 8), _mm_set1_epi16(16));
}

// ((c0 x + c1 y + c2 z + 128) >> 8) + 128 of pair means in 16-bit lanes: the
// magnitudes stay below 2^15, so every step is exact in signed 16 bits.
DV_SSSE3 inline __m128i chroma8(__m128i x, __m128i y, __m128i z, short c0, short c1, short c2) {
    const __m128i sum = _mm_add_epi16(
        _mm_add_epi16(_mm_mullo_epi16(x, _mm_set1_epi16(c0)), _mm_mullo_epi16(y, _mm_set1_epi16(c1))),
        _mm_add_epi16(_mm_mullo_epi16(z, _mm_set1_epi16(c2)), _mm_set1_epi16(128)));
    return _mm_add_epi16(_mm_srai_epi16(sum, 8), _mm_set1_epi16(128));
}

// The rounded mean of each adjacent byte pair, as 8 words.
DV_SSSE3 inline __m128i pairMean(__m128i bytes) {
    const __m128i sums = _mm_maddubs_epi16(bytes, _mm_set1_epi8(1));
    return _mm_srli_epi16(_mm_add_epi16(sums, _mm_set1_epi16(1)), 1);
}

// 16 pixels (48 bytes at s) to 32 YUYV bytes at d.
DV_SSSE3 inline void yuyv16(const uint8_t* s, uint8_t* d) {
    const __m128i l0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i l1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16));
    const __m128i l2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 32));
    __m128i channel[3];
    for (int c = 0; c < 3; ++c)
        channel[c] = _mm_or_si128(
            _mm_or_si128(_mm_shuffle_epi8(l0, loadPick(c, 0)), _mm_shuffle_epi8(l1, loadPick(c, 1))),
            _mm_shuffle_epi8(l2, loadPick(c, 2)));
    const __m128i zero = _mm_setzero_si128();
    const __m128i yLow = luma8(_mm_unpacklo_epi8(channel[0], zero), _mm_unpacklo_epi8(channel[1], zero),
                               _mm_unpacklo_epi8(channel[2], zero));
    const __m128i yHigh = luma8(_mm_unpackhi_epi8(channel[0], zero), _mm_unpackhi_epi8(channel[1], zero),
                                _mm_unpackhi_epi8(channel[2], zero));
    const __m128i y = _mm_packus_epi16(yLow, yHigh);
    const __m128i b = pairMean(channel[0]), g = pairMean(channel[1]), r = pairMean(channel[2]);
    const __m128i uv8 = _mm_packus_epi16(chroma8(b, r, g, 112, -38, -74), chroma8(r, g, b, 112, -94, -18));
    const __m128i uv = _mm_unpacklo_epi8(uv8, _mm_srli_si128(uv8, 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_unpacklo_epi8(y, uv));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), _mm_unpackhi_epi8(y, uv));
}

DV_SSSE3 void yuyvRowSsse3(const uint8_t* s, uint8_t* d, int width) {
    int x = 0;
    for (; x + 16 <= width; x += 16)
        yuyv16(s + 3 * x, d + 2 * x);
    yuyvRowBaseline(s + 3 * x, d + 2 * x, width - x);
}

// The AVX2 forms of the helpers above: the same steps in each 128-bit lane.
DV_AVX2 inline __m256i luma16x2(__m256i b, __m256i g, __m256i r) {
    const __m256i sum = _mm256_add_epi16(
        _mm256_add_epi16(_mm256_mullo_epi16(r, _mm256_set1_epi16(66)),
                         _mm256_mullo_epi16(g, _mm256_set1_epi16(129))),
        _mm256_add_epi16(_mm256_mullo_epi16(b, _mm256_set1_epi16(25)), _mm256_set1_epi16(128)));
    return _mm256_add_epi16(_mm256_srli_epi16(sum, 8), _mm256_set1_epi16(16));
}

DV_AVX2 inline __m256i chroma16x2(__m256i x, __m256i y, __m256i z, short c0, short c1, short c2) {
    const __m256i sum = _mm256_add_epi16(
        _mm256_add_epi16(_mm256_mullo_epi16(x, _mm256_set1_epi16(c0)),
                         _mm256_mullo_epi16(y, _mm256_set1_epi16(c1))),
        _mm256_add_epi16(_mm256_mullo_epi16(z, _mm256_set1_epi16(c2)), _mm256_set1_epi16(128)));
    return _mm256_add_epi16(_mm256_srai_epi16(sum, 8), _mm256_set1_epi16(128));
}

DV_AVX2 inline __m256i pairMean16x2(__m256i bytes) {
    const __m256i sums = _mm256_maddubs_epi16(bytes, _mm256_set1_epi8(1));
    return _mm256_srli_epi16(_mm256_add_epi16(sums, _mm256_set1_epi16(1)), 1);
}

// Two 16-pixel groups at s and s + 48, one per lane.
DV_AVX2 inline __m256i loadLanes(const uint8_t* s) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 48));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

// 32 pixels (96 bytes at s) to 64 YUYV bytes at d.
DV_AVX2 inline void yuyv32(const uint8_t* s, uint8_t* d) {
    const __m256i l0 = loadLanes(s), l1 = loadLanes(s + 16), l2 = loadLanes(s + 32);
    __m256i channel[3];
    for (int c = 0; c < 3; ++c)
        channel[c] = _mm256_or_si256(
            _mm256_or_si256(_mm256_shuffle_epi8(l0, _mm256_broadcastsi128_si256(loadPick(c, 0))),
                            _mm256_shuffle_epi8(l1, _mm256_broadcastsi128_si256(loadPick(c, 1)))),
            _mm256_shuffle_epi8(l2, _mm256_broadcastsi128_si256(loadPick(c, 2))));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i yLow =
        luma16x2(_mm256_unpacklo_epi8(channel[0], zero), _mm256_unpacklo_epi8(channel[1], zero),
                 _mm256_unpacklo_epi8(channel[2], zero));
    const __m256i yHigh =
        luma16x2(_mm256_unpackhi_epi8(channel[0], zero), _mm256_unpackhi_epi8(channel[1], zero),
                 _mm256_unpackhi_epi8(channel[2], zero));
    const __m256i y = _mm256_packus_epi16(yLow, yHigh);
    const __m256i b = pairMean16x2(channel[0]), g = pairMean16x2(channel[1]), r = pairMean16x2(channel[2]);
    const __m256i uv8 =
        _mm256_packus_epi16(chroma16x2(b, r, g, 112, -38, -74), chroma16x2(r, g, b, 112, -94, -18));
    const __m256i uv = _mm256_unpacklo_epi8(uv8, _mm256_srli_si256(uv8, 8));
    // Lane 0 holds pixels 0..15, lane 1 pixels 16..31; the unpacks split each
    // lane into its first and second 8 pixels.
    const __m256i first = _mm256_unpacklo_epi8(y, uv), second = _mm256_unpackhi_epi8(y, uv);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), _mm256_permute2x128_si256(first, second, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 32), _mm256_permute2x128_si256(first, second, 0x31));
}

DV_AVX2 void yuyvRowAvx2(const uint8_t* s, uint8_t* d, int width) {
    int x = 0;
    for (; x + 32 <= width; x += 32)
        yuyv32(s + 3 * x, d + 2 * x);
    // The narrower variants are encoded without VEX.
    _mm256_zeroupper();
    yuyvRowSsse3(s + 3 * x, d + 2 * x, width - x);
}

#endif  // DV_HAVE_YUYV_SIMD

struct YuyvVariant {
    YuyvRow row;
    const char* isa;
};

bool variantFor(const char* isa, YuyvVariant& variant) {
    if (std::strcmp(isa, "baseline") == 0) {
        variant = {yuyvRowBaseline, "baseline"};
        return true;
    }
#ifdef DV_HAVE_YUYV_SIMD
    __builtin_cpu_init();
    if (std::strcmp(isa, "avx2") == 0 && __builtin_cpu_supports("avx2")) {
        variant = {yuyvRowAvx2, "avx2"};
        return true;
    }
    if (std::strcmp(isa, "ssse3") == 0 && __builtin_cpu_supports("ssse3")) {
        variant = {yuyvRowSsse3, "ssse3"};
        return true;
    }
#endif
    return false;
}

YuyvVariant chooseVariant() {
    YuyvVariant variant{yuyvRowBaseline, "baseline"};
    for (const char* isa : {"avx2", "ssse3"})
        if (variantFor(isa, variant)) break;
    return variant;
}

// Chosen once, on first use (thread-safe static initialisation); replaced
// only by the test hook.
YuyvVariant& yuyvVariant() {
    static YuyvVariant variant = chooseVariant();
    return variant;
}

bool fits(const ImageView& src, std::ptrdiff_t rowBytes, const uint8_t* dst, std::ptrdiff_t dstStride,
          std::size_t dstSize) {
    if (!src || src.channels != 3 || src.stride < static_cast<std::ptrdiff_t>(src.width) * 3 || !dst ||
        dstStride < rowBytes)
        return false;
    const std::size_t needed =
        static_cast<std::size_t>(dstStride) * static_cast<std::size_t>(src.height - 1) + rowBytes;
    return needed <= dstSize;
}

}  // namespace

bool packBgrToYuyv(const ImageView& src, uint8_t* dst, std::ptrdiff_t dstStride, std::size_t dstSize) {
    if (!fits(src, yuyvRowBytes(src.width), dst, dstStride, dstSize)) return false;
    const YuyvRow row = yuyvVariant().row;
    for (int y = 0; y < src.height; ++y)
        row(src.row(src.height - 1 - y), dst + static_cast<std::ptrdiff_t>(y) * dstStride, src.width);
    return true;
}

bool packBgrToRgb24(const ImageView& src, uint8_t* dst, std::ptrdiff_t dstStride, std::size_t dstSize) {
    if (!fits(src, static_cast<std::ptrdiff_t>(src.width) * 3, dst, dstStride, dstSize)) return false;
    for (int y = 0; y < src.height; ++y) {
        const uint8_t* s = src.row(src.height - 1 - y);
        uint8_t* d = dst + static_cast<std::ptrdiff_t>(y) * dstStride;
        for (int x = 0; x < src.width; ++x, s += 3, d += 3) {
            d[0] = s[2];
            d[1] = s[1];
            d[2] = s[0];
        }
    }
    return true;
}

const char* yuyvPackIsa() {
    return yuyvVariant().isa;
}

bool useYuyvPackIsaForTesting(const char* isa) {
    if (isa == nullptr) {
        yuyvVariant() = chooseVariant();
        return true;
    }
    YuyvVariant variant;
    if (!variantFor(isa, variant)) return false;
    yuyvVariant() = variant;
    return true;
}

}  // namespace pix
