// YUYV and NV12 to B, G, R: the portable kernels (the reference) and their
// SSSE3 and AVX2 variants, dispatched by instruction-set level like the
// compositor's kernels.
#include "compositor/yuv_convert.h"

#include <cstring>
#include <initializer_list>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define DV_HAVE_YUV_SIMD 1
#include <immintrin.h>
#endif

namespace pix {

namespace {

// ---- portable reference -------------------------------------------------------

inline uint8_t clampByte(int v) {
    return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

inline void storePixel(uint8_t* out, int luma, int cb, int cr) {
    const int c = luma - 16;
    const int d = cb - 128;
    const int e = cr - 128;
    const int y = 74 * c + (c >> 1) + 32;
    out[0] = clampByte((y + 129 * d) >> 6);
    out[1] = clampByte((y - 25 * d - 52 * e) >> 6);
    out[2] = clampByte((y + 102 * e) >> 6);
}

void yuyvRowPortable(const uint8_t* src, uint8_t* dst, int pixels) {
    int p = 0;
    for (; p + 2 <= pixels; p += 2, src += 4, dst += 6) {
        storePixel(dst, src[0], src[1], src[3]);
        storePixel(dst + 3, src[2], src[1], src[3]);
    }
    if (p < pixels)
        storePixel(dst, src[0], src[1], src[3]);
}

void nv12RowPortable(const uint8_t* luma, const uint8_t* chroma, uint8_t* dst, int pixels) {
    for (int p = 0; p < pixels; ++p)
        storePixel(dst + 3 * p, luma[p], chroma[(p / 2) * 2], chroma[(p / 2) * 2 + 1]);
}

#ifdef DV_HAVE_YUV_SIMD

#define DV_YUV_SSSE3 __attribute__((target("ssse3")))
#define DV_YUV_AVX2 __attribute__((target("avx2")))

// pshufb masks that spread 16 bytes of one channel to its places among 48
// interleaved B, G, R bytes: mask[channel][k] fills output bytes 16k..16k+15.
struct InterleaveMasks {
    int8_t mask[3][3][16];
    constexpr InterleaveMasks() : mask{} {
        for (int channel = 0; channel < 3; ++channel)
            for (int j = 0; j < 48; ++j)
                mask[channel][j / 16][j % 16] = j % 3 == channel ? static_cast<int8_t>(j / 3) : int8_t{-1};
    }
};
constexpr InterleaveMasks interleaveMasks{};

// ---- SSSE3 ----

struct Bgr16 {
    __m128i b, g, r;
};

// 8 pixels as 16-bit values: luma, cb and cr of each pixel.
DV_YUV_SSSE3 inline Bgr16 convert8(__m128i luma, __m128i cb, __m128i cr) {
    const __m128i c = _mm_sub_epi16(luma, _mm_set1_epi16(16));
    const __m128i y = _mm_add_epi16(
        _mm_add_epi16(_mm_mullo_epi16(c, _mm_set1_epi16(74)), _mm_srai_epi16(c, 1)), _mm_set1_epi16(32));
    const __m128i d = _mm_sub_epi16(cb, _mm_set1_epi16(128));
    const __m128i e = _mm_sub_epi16(cr, _mm_set1_epi16(128));
    Bgr16 out;
    out.b = _mm_srai_epi16(_mm_adds_epi16(y, _mm_mullo_epi16(d, _mm_set1_epi16(129))), 6);
    out.g = _mm_srai_epi16(_mm_sub_epi16(y, _mm_add_epi16(_mm_mullo_epi16(d, _mm_set1_epi16(25)),
                                                          _mm_mullo_epi16(e, _mm_set1_epi16(52)))),
                           6);
    out.r = _mm_srai_epi16(_mm_add_epi16(y, _mm_mullo_epi16(e, _mm_set1_epi16(102))), 6);
    return out;
}

DV_YUV_SSSE3 inline __m128i mask128(int channel, int k) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(interleaveMasks.mask[channel][k]));
}

// Stores 16 pixels (48 bytes) from their low (pixels 0-7) and high halves.
DV_YUV_SSSE3 inline void store16(uint8_t* dst, const Bgr16& low, const Bgr16& high) {
    const __m128i b = _mm_packus_epi16(low.b, high.b);
    const __m128i g = _mm_packus_epi16(low.g, high.g);
    const __m128i r = _mm_packus_epi16(low.r, high.r);
    for (int k = 0; k < 3; ++k) {
        const __m128i out =
            _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(b, mask128(0, k)), _mm_shuffle_epi8(g, mask128(1, k))),
                         _mm_shuffle_epi8(r, mask128(2, k)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16 * k), out);
    }
}

// 8 YUYV pixels (16 bytes). The chroma terms are computed once per pixel
// pair on the interleaved (Cb, Cr) values and then spread to both pixels;
// the luma term is 74 * Y + (Y >> 1) - 1160, the same value as in storePixel.
DV_YUV_SSSE3 inline Bgr16 yuyv8(const uint8_t* src) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    const __m128i luma = _mm_and_si128(v, _mm_set1_epi16(0x00FF));
    const __m128i de = _mm_sub_epi16(_mm_srli_epi16(v, 8), _mm_set1_epi16(128));  // d0 e0 d1 e1 ...
    const __m128i blueRed = _mm_mullo_epi16(de, _mm_set1_epi32(0x00660081));      // 129 d, 102 e
    const __m128i green = _mm_madd_epi16(de, _mm_set1_epi32(static_cast<int>(0xFFCCFFE7u)));  // -25 d - 52 e
    const __m128i even = _mm_setr_epi8(0, 1, 0, 1, 4, 5, 4, 5, 8, 9, 8, 9, 12, 13, 12, 13);
    const __m128i odd = _mm_setr_epi8(2, 3, 2, 3, 6, 7, 6, 7, 10, 11, 10, 11, 14, 15, 14, 15);
    const __m128i y =
        _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(luma, _mm_set1_epi16(74)), _mm_srli_epi16(luma, 1)),
                      _mm_set1_epi16(-1160));
    Bgr16 out;
    out.b = _mm_srai_epi16(_mm_adds_epi16(y, _mm_shuffle_epi8(blueRed, even)), 6);
    out.g = _mm_srai_epi16(_mm_add_epi16(y, _mm_shuffle_epi8(green, even)), 6);
    out.r = _mm_srai_epi16(_mm_add_epi16(y, _mm_shuffle_epi8(blueRed, odd)), 6);
    return out;
}

DV_YUV_SSSE3 void yuyvRowSsse3(const uint8_t* src, uint8_t* dst, int pixels) {
    int p = 0;
    for (; p + 16 <= pixels; p += 16)
        store16(dst + 3 * p, yuyv8(src + 2 * p), yuyv8(src + 2 * p + 16));
    yuyvRowPortable(src + 2 * p, dst + 3 * p, pixels - p);
}

DV_YUV_SSSE3 void nv12RowSsse3(const uint8_t* luma, const uint8_t* chroma, uint8_t* dst, int pixels) {
    const __m128i zero = _mm_setzero_si128();
    int p = 0;
    for (; p + 16 <= pixels; p += 16) {
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + p));
        const __m128i uv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chroma + p));
        const __m128i cb = _mm_and_si128(uv, _mm_set1_epi16(0x00FF));
        const __m128i cr = _mm_srli_epi16(uv, 8);
        store16(dst + 3 * p,
                convert8(_mm_unpacklo_epi8(y, zero), _mm_unpacklo_epi16(cb, cb), _mm_unpacklo_epi16(cr, cr)),
                convert8(_mm_unpackhi_epi8(y, zero), _mm_unpackhi_epi16(cb, cb), _mm_unpackhi_epi16(cr, cr)));
    }
    nv12RowPortable(luma + p, chroma + p, dst + 3 * p, pixels - p);
}

// ---- AVX2 ----
// The AVX2 rows finish with the portable kernel (compiled without VEX for the
// baseline target): vzeroupper first, as the compositor's kernels do.

struct Bgr16x2 {
    __m256i b, g, r;
};

DV_YUV_AVX2 inline Bgr16x2 convert16(__m256i luma, __m256i cb, __m256i cr) {
    const __m256i c = _mm256_sub_epi16(luma, _mm256_set1_epi16(16));
    const __m256i y = _mm256_add_epi16(
        _mm256_add_epi16(_mm256_mullo_epi16(c, _mm256_set1_epi16(74)), _mm256_srai_epi16(c, 1)),
        _mm256_set1_epi16(32));
    const __m256i d = _mm256_sub_epi16(cb, _mm256_set1_epi16(128));
    const __m256i e = _mm256_sub_epi16(cr, _mm256_set1_epi16(128));
    Bgr16x2 out;
    out.b = _mm256_srai_epi16(_mm256_adds_epi16(y, _mm256_mullo_epi16(d, _mm256_set1_epi16(129))), 6);
    out.g =
        _mm256_srai_epi16(_mm256_sub_epi16(y, _mm256_add_epi16(_mm256_mullo_epi16(d, _mm256_set1_epi16(25)),
                                                               _mm256_mullo_epi16(e, _mm256_set1_epi16(52)))),
                          6);
    out.r = _mm256_srai_epi16(_mm256_add_epi16(y, _mm256_mullo_epi16(e, _mm256_set1_epi16(102))), 6);
    return out;
}

DV_YUV_AVX2 inline __m256i mask256(int channel, int k) {
    return _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(interleaveMasks.mask[channel][k])));
}

// Stores 32 pixels (96 bytes) from channel bytes whose low lane holds pixels
// 0-15 and whose high lane holds pixels 16-31.
DV_YUV_AVX2 inline void store32(uint8_t* dst, __m256i b, __m256i g, __m256i r) {
    __m256i out[3];
    for (int k = 0; k < 3; ++k)
        out[k] = _mm256_or_si256(
            _mm256_or_si256(_mm256_shuffle_epi8(b, mask256(0, k)), _mm256_shuffle_epi8(g, mask256(1, k))),
            _mm256_shuffle_epi8(r, mask256(2, k)));
    // out[k] holds output bytes 16k.. (pixels 0-15) and 48 + 16k.. (pixels 16-31).
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm256_permute2x128_si256(out[0], out[1], 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 32),
                        _mm256_permute2x128_si256(out[2], out[0], 0x30));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 64),
                        _mm256_permute2x128_si256(out[1], out[2], 0x31));
}

// 16 YUYV pixels (32 bytes): lane 0 pixels 0-7, lane 1 pixels 8-15. As yuyv8.
DV_YUV_AVX2 inline Bgr16x2 yuyv16(const uint8_t* src) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
    const __m256i luma = _mm256_and_si256(v, _mm256_set1_epi16(0x00FF));
    const __m256i de = _mm256_sub_epi16(_mm256_srli_epi16(v, 8), _mm256_set1_epi16(128));
    const __m256i blueRed = _mm256_mullo_epi16(de, _mm256_set1_epi32(0x00660081));
    const __m256i green = _mm256_madd_epi16(de, _mm256_set1_epi32(static_cast<int>(0xFFCCFFE7u)));
    const __m256i even = _mm256_setr_epi8(0, 1, 0, 1, 4, 5, 4, 5, 8, 9, 8, 9, 12, 13, 12, 13, 0, 1, 0, 1, 4,
                                          5, 4, 5, 8, 9, 8, 9, 12, 13, 12, 13);
    const __m256i odd = _mm256_setr_epi8(2, 3, 2, 3, 6, 7, 6, 7, 10, 11, 10, 11, 14, 15, 14, 15, 2, 3, 2, 3,
                                         6, 7, 6, 7, 10, 11, 10, 11, 14, 15, 14, 15);
    const __m256i y = _mm256_add_epi16(
        _mm256_add_epi16(_mm256_mullo_epi16(luma, _mm256_set1_epi16(74)), _mm256_srli_epi16(luma, 1)),
        _mm256_set1_epi16(-1160));
    Bgr16x2 out;
    out.b = _mm256_srai_epi16(_mm256_adds_epi16(y, _mm256_shuffle_epi8(blueRed, even)), 6);
    out.g = _mm256_srai_epi16(_mm256_add_epi16(y, _mm256_shuffle_epi8(green, even)), 6);
    out.r = _mm256_srai_epi16(_mm256_add_epi16(y, _mm256_shuffle_epi8(blueRed, odd)), 6);
    return out;
}

DV_YUV_AVX2 void yuyvRowAvx2(const uint8_t* src, uint8_t* dst, int pixels) {
    int p = 0;
    for (; p + 32 <= pixels; p += 32) {
        const Bgr16x2 a = yuyv16(src + 2 * p);
        const Bgr16x2 b = yuyv16(src + 2 * p + 32);
        // packus gives lanes [a 0-7, b 16-23 | a 8-15, b 24-31]; 0xD8 orders them.
        store32(dst + 3 * p, _mm256_permute4x64_epi64(_mm256_packus_epi16(a.b, b.b), 0xD8),
                _mm256_permute4x64_epi64(_mm256_packus_epi16(a.g, b.g), 0xD8),
                _mm256_permute4x64_epi64(_mm256_packus_epi16(a.r, b.r), 0xD8));
    }
    _mm256_zeroupper();
    yuyvRowPortable(src + 2 * p, dst + 3 * p, pixels - p);
}

DV_YUV_AVX2 void nv12RowAvx2(const uint8_t* luma, const uint8_t* chroma, uint8_t* dst, int pixels) {
    const __m256i zero = _mm256_setzero_si256();
    int p = 0;
    for (; p + 32 <= pixels; p += 32) {
        const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(luma + p));
        const __m256i uv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chroma + p));
        const __m256i cb = _mm256_and_si256(uv, _mm256_set1_epi16(0x00FF));
        const __m256i cr = _mm256_srli_epi16(uv, 8);
        // "low": pixels 0-7 and 16-23; "high": pixels 8-15 and 24-31.
        const Bgr16x2 low = convert16(_mm256_unpacklo_epi8(y, zero), _mm256_unpacklo_epi16(cb, cb),
                                      _mm256_unpacklo_epi16(cr, cr));
        const Bgr16x2 high = convert16(_mm256_unpackhi_epi8(y, zero), _mm256_unpackhi_epi16(cb, cb),
                                       _mm256_unpackhi_epi16(cr, cr));
        store32(dst + 3 * p, _mm256_packus_epi16(low.b, high.b), _mm256_packus_epi16(low.g, high.g),
                _mm256_packus_epi16(low.r, high.r));
    }
    _mm256_zeroupper();
    nv12RowPortable(luma + p, chroma + p, dst + 3 * p, pixels - p);
}

#endif  // DV_HAVE_YUV_SIMD

struct ConvertTable {
    void (*yuyvRow)(const uint8_t*, uint8_t*, int);
    void (*nv12Row)(const uint8_t*, const uint8_t*, uint8_t*, int);
    const char* isa;
};

bool tableFor(const char* isa, ConvertTable& table) {
    if (std::strcmp(isa, "baseline") == 0) {
        table = {yuyvRowPortable, nv12RowPortable, "baseline"};
        return true;
    }
#ifdef DV_HAVE_YUV_SIMD
    __builtin_cpu_init();
    if (std::strcmp(isa, "avx2") == 0 && __builtin_cpu_supports("avx2")) {
        table = {yuyvRowAvx2, nv12RowAvx2, "avx2"};
        return true;
    }
    if (std::strcmp(isa, "ssse3") == 0 && __builtin_cpu_supports("ssse3")) {
        table = {yuyvRowSsse3, nv12RowSsse3, "ssse3"};
        return true;
    }
#endif
    return false;
}

ConvertTable chooseTable() {
    ConvertTable table{};
    for (const char* isa : {"avx2", "ssse3", "baseline"})
        if (tableFor(isa, table))
            break;
    return table;
}

// Chosen once, on first use; replaced only by the test hook.
ConvertTable& convertTable() {
    static ConvertTable table = chooseTable();
    return table;
}

bool usable(const BgrTarget& dst) {
    return dst.data && dst.width > 0 && dst.height > 0 &&
           dst.stride >= static_cast<std::ptrdiff_t>(dst.width) * 3;
}

uint8_t* targetRow(const BgrTarget& dst, int sourceRow) {
    const int row = dst.bottomUp ? dst.height - 1 - sourceRow : sourceRow;
    return dst.data + static_cast<std::ptrdiff_t>(row) * dst.stride;
}

}  // namespace

void yuyvToBgrRow(const uint8_t* src, uint8_t* dst, int pixels) {
    if (src && dst && pixels > 0)
        convertTable().yuyvRow(src, dst, pixels);
}

void nv12ToBgrRow(const uint8_t* luma, const uint8_t* chroma, uint8_t* dst, int pixels) {
    if (luma && chroma && dst && pixels > 0)
        convertTable().nv12Row(luma, chroma, dst, pixels);
}

void convertYuyvToBgr(const uint8_t* src, std::ptrdiff_t srcStride, const BgrTarget& dst) {
    if (!src || !usable(dst))
        return;
    const auto row = convertTable().yuyvRow;
    for (int y = 0; y < dst.height; ++y)
        row(src + static_cast<std::ptrdiff_t>(y) * srcStride, targetRow(dst, y), dst.width);
}

void convertNv12ToBgr(const uint8_t* luma, std::ptrdiff_t lumaStride, const uint8_t* chroma,
                      std::ptrdiff_t chromaStride, const BgrTarget& dst) {
    if (!luma || !chroma || !usable(dst))
        return;
    const auto row = convertTable().nv12Row;
    for (int y = 0; y < dst.height; ++y)
        row(luma + static_cast<std::ptrdiff_t>(y) * lumaStride,
            chroma + static_cast<std::ptrdiff_t>(y / 2) * chromaStride, targetRow(dst, y), dst.width);
}

const char* yuvConvertIsa() {
    return convertTable().isa;
}

bool useYuvConvertIsaForTesting(const char* isa) {
    if (!isa) {
        convertTable() = chooseTable();
        return true;
    }
    ConvertTable table{};
    if (!tableFor(isa, table))
        return false;
    convertTable() = table;
    return true;
}

}  // namespace pix
