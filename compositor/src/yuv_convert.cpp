// YUYV and NV12 to B, G, R: the portable kernels (the reference) and their
// SSSE3, AVX2 and (YUYV only) AVX-512 variants, dispatched by instruction-set level like the
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
    if (p < pixels) storePixel(dst, src[0], src[1], src[3]);
}

void nv12RowPortable(const uint8_t* luma, const uint8_t* chroma, uint8_t* dst, int pixels) {
    for (int p = 0; p < pixels; ++p)
        storePixel(dst + 3 * p, luma[p], chroma[(p / 2) * 2], chroma[(p / 2) * 2 + 1]);
}

// Two luma rows over one chroma row, as the vector kernels take them;
// `luma[1]` null converts only the first.
void nv12RowsPortable(const uint8_t* const luma[2], const uint8_t* chroma, uint8_t* const dst[2],
                      int pixels) {
    for (int row = 0; row < 2 && luma[row]; ++row)
        nv12RowPortable(luma[row], chroma, dst[row], pixels);
}

#ifdef DV_HAVE_YUV_SIMD

// 32-bit x86: every kernel entry realigns its frame (see simd_kernels.inc).
#if defined(__i386__)
#define DV_YUV_ENTRY __attribute__((force_align_arg_pointer))
#else
#define DV_YUV_ENTRY
#endif
#define DV_YUV_SSSE3 __attribute__((target("ssse3"))) DV_YUV_ENTRY
#define DV_YUV_AVX2 __attribute__((target("avx2"))) DV_YUV_ENTRY

// The vector kernels compute the portable formula in 16-bit lanes:
//   luma term   t = (149 * Y) / 2 - 1160   (= 74 * c + (c >> 1) + 32, 149 * Y < 65536)
//   B = (t + 129 * d) >> 6, G = (t - (25 * d + 52 * e)) >> 6, R = (t + 102 * e) >> 6
// then pack with unsigned saturation (the clamp). The chroma products come
// from pmaddubsw: the coefficients as unsigned bytes times d and e as signed
// bytes (Cb ^ 0x80 = Cb - 128). Only t + 129 * d can leave the 16-bit range
// (above 32767, where the clamp gives 255); it is added with saturation.

// Byte masks for 16 pixels per 128-bit lane (both lanes the same).
struct ShuffleTables {
    // (d, e) of each of 8 pixels from YUYV bytes Y0 Cb Y1 Cr ...
    int8_t yuyvChroma[32];
    // (d, e) of pixels 0-7 (low) and 8-15 (high) from 8 NV12 Cb, Cr pairs.
    int8_t nv12ChromaLow[32];
    int8_t nv12ChromaHigh[32];
    // spread[c] moves pixel p of channel c (0 B, 1 G, 2 R) to byte (3p + c) mod 16,
    // a different byte for each p as 3 is invertible mod 16. Byte j of the output
    // bytes 16k..16k+15 of 16 interleaved pixels is then byte j of spread
    // channel (16k + j) mod 3: one shuffle per channel and two blends per store.
    int8_t spread[3][32];
    constexpr ShuffleTables() : yuyvChroma{}, nv12ChromaLow{}, nv12ChromaHigh{}, spread{} {
        for (int i = 0; i < 32; ++i) {
            const int pixel = (i % 16) / 2;
            const int second = i % 2;
            yuyvChroma[i] = static_cast<int8_t>(4 * (pixel / 2) + 1 + 2 * second);
            nv12ChromaLow[i] = static_cast<int8_t>(2 * (pixel / 2) + second);
            nv12ChromaHigh[i] = static_cast<int8_t>(8 + 2 * (pixel / 2) + second);
        }
        for (int c = 0; c < 3; ++c)
            for (int p = 0; p < 16; ++p)
                spread[c][(3 * p + c) % 16] = spread[c][16 + (3 * p + c) % 16] = static_cast<int8_t>(p);
    }
};
constexpr ShuffleTables shuffleTables{};

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

// Blend masks of the AVX2 store: register k takes in its low lane the output
// bytes 16 * lowChunk[k].. of the low lane's 16 pixels, in its high lane the
// bytes 16 * highChunk[k].. of the high lane's pixels; 0x80 where the byte is
// green (fromGreen) or red (fromRed).
struct BlendMasks {
    int8_t fromGreen[3][32];
    int8_t fromRed[3][32];
    constexpr BlendMasks() : fromGreen{}, fromRed{} {
        constexpr int chunks[3][2] = {{0, 1}, {2, 0}, {1, 2}};
        for (int k = 0; k < 3; ++k)
            for (int i = 0; i < 32; ++i) {
                const int channel = (16 * chunks[k][i / 16] + i % 16) % 3;
                fromGreen[k][i] = channel == 1 ? int8_t{-128} : int8_t{0};
                fromRed[k][i] = channel == 2 ? int8_t{-128} : int8_t{0};
            }
    }
};
constexpr BlendMasks blendMasks{};

// ---- SSSE3 ----

struct Bgr16 {
    __m128i b, g, r;
};

// 129 d, 25 d + 52 e and 102 e of 8 pixels from their (d, e) signed bytes.
struct Chroma8 {
    __m128i blue, green, red;
};

DV_YUV_SSSE3 inline __m128i load128(const void* p) {
    return _mm_loadu_si128(static_cast<const __m128i*>(p));
}

DV_YUV_SSSE3 inline Chroma8 chroma8(__m128i de) {
    return {_mm_maddubs_epi16(_mm_set1_epi16(129), de), _mm_maddubs_epi16(_mm_set1_epi16(25 | 52 << 8), de),
            _mm_maddubs_epi16(_mm_set1_epi16(102 << 8), de)};
}

// `luma`: 8 pixels' Y as 16-bit values.
DV_YUV_SSSE3 inline Bgr16 combine8(__m128i luma, const Chroma8& c) {
    const __m128i t =
        _mm_add_epi16(_mm_srli_epi16(_mm_mullo_epi16(luma, _mm_set1_epi16(149)), 1), _mm_set1_epi16(-1160));
    const __m128i by64 = _mm_set1_epi16(1024);  // x * 1024 >> 16 == x >> 6, on the multipliers
    return {_mm_mulhi_epi16(_mm_adds_epi16(t, c.blue), by64),
            _mm_mulhi_epi16(_mm_sub_epi16(t, c.green), by64), _mm_mulhi_epi16(_mm_add_epi16(t, c.red), by64)};
}

// Stores 16 pixels (48 bytes) from their low (pixels 0-7) and high halves.
DV_YUV_SSSE3 inline void store16(uint8_t* dst, const Bgr16& low, const Bgr16& high) {
    const __m128i b = _mm_packus_epi16(low.b, high.b);
    const __m128i g = _mm_packus_epi16(low.g, high.g);
    const __m128i r = _mm_packus_epi16(low.r, high.r);
    for (int k = 0; k < 3; ++k) {
        const __m128i out =
            _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(b, load128(interleaveMasks.mask[0][k])),
                                      _mm_shuffle_epi8(g, load128(interleaveMasks.mask[1][k]))),
                         _mm_shuffle_epi8(r, load128(interleaveMasks.mask[2][k])));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16 * k), out);
    }
}

// 8 YUYV pixels (16 bytes).
DV_YUV_SSSE3 inline Bgr16 yuyv8(const uint8_t* src) {
    const __m128i v = load128(src);
    const __m128i de =
        _mm_shuffle_epi8(_mm_xor_si128(v, _mm_set1_epi8(-128)), load128(shuffleTables.yuyvChroma));
    return combine8(_mm_and_si128(v, _mm_set1_epi16(0x00FF)), chroma8(de));
}

DV_YUV_SSSE3 void yuyvRowSsse3(const uint8_t* src, uint8_t* dst, int pixels) {
    int p = 0;
    for (; p + 16 <= pixels; p += 16)
        store16(dst + 3 * p, yuyv8(src + 2 * p), yuyv8(src + 2 * p + 16));
    yuyvRowPortable(src + 2 * p, dst + 3 * p, pixels - p);
}

// Two luma rows (`luma[1]` may be null: one row) over one chroma row.
DV_YUV_SSSE3 void nv12RowsSsse3(const uint8_t* const luma[2], const uint8_t* chroma, uint8_t* const dst[2],
                                int pixels) {
    const int rows = luma[1] ? 2 : 1;
    int p = 0;
    for (; p + 16 <= pixels; p += 16) {
        const __m128i uv = _mm_xor_si128(load128(chroma + p), _mm_set1_epi8(-128));
        const Chroma8 low = chroma8(_mm_shuffle_epi8(uv, load128(shuffleTables.nv12ChromaLow)));
        const Chroma8 high = chroma8(_mm_shuffle_epi8(uv, load128(shuffleTables.nv12ChromaHigh)));
        for (int row = 0; row < rows; ++row) {
            const __m128i y = load128(luma[row] + p);
            store16(dst[row] + 3 * p, combine8(_mm_unpacklo_epi8(y, _mm_setzero_si128()), low),
                    combine8(_mm_unpackhi_epi8(y, _mm_setzero_si128()), high));
        }
    }
    for (int row = 0; row < rows; ++row)
        nv12RowPortable(luma[row] + p, chroma + p, dst[row] + 3 * p, pixels - p);
}

// ---- AVX2 ----
// The AVX2 rows finish with the portable kernel (compiled without VEX for the
// baseline target): vzeroupper first, as the compositor's kernels do.

struct Bgr16x2 {
    __m256i b, g, r;
};

struct Chroma16 {
    __m256i blue, green, red;
};

DV_YUV_AVX2 inline __m256i load256(const void* p) {
    return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}

// Lanes from two 16-byte loads.
DV_YUV_AVX2 inline __m256i load2x128(const uint8_t* low, const uint8_t* high) {
    return _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
}

DV_YUV_AVX2 inline Chroma16 chroma16(__m256i de) {
    return {_mm256_maddubs_epi16(_mm256_set1_epi16(129), de),
            _mm256_maddubs_epi16(_mm256_set1_epi16(25 | 52 << 8), de),
            _mm256_maddubs_epi16(_mm256_set1_epi16(102 << 8), de)};
}

// `luma`: Y - 128 of 16 pixels as the low signed byte of each 16-bit lane.
DV_YUV_AVX2 inline Bgr16x2 combine16(__m256i luma, const Chroma16& c) {
    const __m256i t = _mm256_add_epi16(
        _mm256_srai_epi16(_mm256_maddubs_epi16(_mm256_set1_epi16(149), luma), 1), _mm256_set1_epi16(8376));
    const __m256i by64 = _mm256_set1_epi16(1024);  // x * 1024 >> 16 == x >> 6, on the multipliers
    return {_mm256_mulhi_epi16(_mm256_adds_epi16(t, c.blue), by64),
            _mm256_mulhi_epi16(_mm256_sub_epi16(t, c.green), by64),
            _mm256_mulhi_epi16(_mm256_add_epi16(t, c.red), by64)};
}

// Stores 32 pixels (96 bytes) from channel bytes whose low lane holds pixels
// 0-15 and whose high lane holds pixels 16-31.
DV_YUV_AVX2 inline void store32(uint8_t* dst, __m256i b, __m256i g, __m256i r) {
    const __m256i sb = _mm256_shuffle_epi8(b, load256(shuffleTables.spread[0]));
    const __m256i sg = _mm256_shuffle_epi8(g, load256(shuffleTables.spread[1]));
    const __m256i sr = _mm256_shuffle_epi8(r, load256(shuffleTables.spread[2]));
    __m256i out[3];
    for (int k = 0; k < 3; ++k)
        out[k] = _mm256_blendv_epi8(_mm256_blendv_epi8(sb, sg, load256(blendMasks.fromGreen[k])), sr,
                                    load256(blendMasks.fromRed[k]));
    // out[0]: bytes 0.. and 64..; out[1]: bytes 32..63; out[2]: bytes 16.. and 80..
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm256_permute2x128_si256(out[0], out[2], 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 32), out[1]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 64),
                        _mm256_permute2x128_si256(out[0], out[2], 0x31));
}

DV_YUV_AVX2 inline Bgr16x2 yuyv16(__m256i v) {
    const __m256i signedBytes = _mm256_xor_si256(v, _mm256_set1_epi8(-128));
    return combine16(signedBytes,
                     chroma16(_mm256_shuffle_epi8(signedBytes, load256(shuffleTables.yuyvChroma))));
}

DV_YUV_AVX2 void yuyvRowAvx2(const uint8_t* src, uint8_t* dst, int pixels) {
    int p = 0;
    for (; p + 32 <= pixels; p += 32) {
        const uint8_t* s = src + 2 * p;
        // a: pixels 0-7 and 16-23, b: 8-15 and 24-31; packed: 0-15 and 16-31.
        const Bgr16x2 a = yuyv16(load2x128(s, s + 32));
        const Bgr16x2 b = yuyv16(load2x128(s + 16, s + 48));
        store32(dst + 3 * p, _mm256_packus_epi16(a.b, b.b), _mm256_packus_epi16(a.g, b.g),
                _mm256_packus_epi16(a.r, b.r));
    }
    _mm256_zeroupper();
    yuyvRowPortable(src + 2 * p, dst + 3 * p, pixels - p);
}

DV_YUV_AVX2 void nv12RowsAvx2(const uint8_t* const luma[2], const uint8_t* chroma, uint8_t* const dst[2],
                              int pixels) {
    const int rows = luma[1] ? 2 : 1;
    int p = 0;
    for (; p + 32 <= pixels; p += 32) {
        const __m256i uv = _mm256_xor_si256(load256(chroma + p), _mm256_set1_epi8(-128));
        // "low": pixels 0-7 and 16-23; "high": pixels 8-15 and 24-31.
        const Chroma16 low = chroma16(_mm256_shuffle_epi8(uv, load256(shuffleTables.nv12ChromaLow)));
        const Chroma16 high = chroma16(_mm256_shuffle_epi8(uv, load256(shuffleTables.nv12ChromaHigh)));
        for (int row = 0; row < rows; ++row) {
            const __m256i y = _mm256_xor_si256(load256(luma[row] + p), _mm256_set1_epi8(-128));
            const Bgr16x2 a = combine16(_mm256_unpacklo_epi8(y, y), low);
            const Bgr16x2 b = combine16(_mm256_unpackhi_epi8(y, y), high);
            store32(dst[row] + 3 * p, _mm256_packus_epi16(a.b, b.b), _mm256_packus_epi16(a.g, b.g),
                    _mm256_packus_epi16(a.r, b.r));
        }
    }
    _mm256_zeroupper();
    for (int row = 0; row < rows; ++row)
        nv12RowPortable(luma[row] + p, chroma + p, dst[row] + 3 * p, pixels - p);
}

// ---- AVX-512 (BW and VBMI) ----
// YUYV only: 64 pixels per step, computed as the AVX2 kernel does in twice
// the width, and stored by byte permutes across the whole register instead of
// in-lane shuffles and blends. NV12 keeps the AVX2 rows at this level.

#define DV_YUV_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi"))) DV_YUV_ENTRY

// The store's permutes. The packed channel registers hold pixel p at byte
// 16 * ((p % 32) / 8) + p % 8 + (p < 32 ? 0 : 8) (packus of two registers of
// 32 pixels, lane by lane). Output register k (bytes 64k..64k+63 of 64
// interleaved pixels) takes byte i from B, G or R at index[k][i]: bit 6 picks
// G over B in the two-source permute; redMask[k] marks the bytes that the
// masked permute then takes from R (which reads the low 6 bits only).
struct PermuteTables {
    int8_t index[3][64];
    uint64_t redMask[3];
    int8_t yuyvChroma[64];  // the in-lane chroma shuffle, in all four lanes
    constexpr PermuteTables() : index{}, redMask{}, yuyvChroma{} {
        for (int i = 0; i < 64; ++i)
            yuyvChroma[i] = shuffleTables.yuyvChroma[i % 32];
        for (int o = 0; o < 192; ++o) {
            const int p = o / 3, channel = o % 3;
            const int at = 16 * ((p % 32) / 8) + p % 8 + (p < 32 ? 0 : 8);
            index[o / 64][o % 64] = static_cast<int8_t>(at + (channel == 1 ? 64 : 0));
            if (channel == 2) redMask[o / 64] |= uint64_t{1} << (o % 64);
        }
    }
};
constexpr PermuteTables permuteTables{};

struct Bgr16x4 {
    __m512i b, g, r;
};

// 32 YUYV pixels (64 bytes) as 16-bit B, G, R, pixel 8L + j in lane L.
DV_YUV_AVX512 inline Bgr16x4 yuyv32(const uint8_t* src) {
    const __m512i v = _mm512_xor_si512(_mm512_loadu_si512(src), _mm512_set1_epi8(-128));
    const __m512i de = _mm512_shuffle_epi8(v, _mm512_loadu_si512(permuteTables.yuyvChroma));
    const __m512i t = _mm512_add_epi16(_mm512_srai_epi16(_mm512_maddubs_epi16(_mm512_set1_epi16(149), v), 1),
                                       _mm512_set1_epi16(8376));
    const __m512i by64 = _mm512_set1_epi16(1024);  // x * 1024 >> 16 == x >> 6
    return {
        _mm512_mulhi_epi16(_mm512_adds_epi16(t, _mm512_maddubs_epi16(_mm512_set1_epi16(129), de)), by64),
        _mm512_mulhi_epi16(_mm512_sub_epi16(t, _mm512_maddubs_epi16(_mm512_set1_epi16(25 | 52 << 8), de)),
                           by64),
        _mm512_mulhi_epi16(_mm512_add_epi16(t, _mm512_maddubs_epi16(_mm512_set1_epi16(102 << 8), de)), by64)};
}

DV_YUV_AVX512 void yuyvRowAvx512(const uint8_t* src, uint8_t* dst, int pixels) {
    int p = 0;
    for (; p + 64 <= pixels; p += 64) {
        const Bgr16x4 a = yuyv32(src + 2 * p);
        const Bgr16x4 b = yuyv32(src + 2 * p + 64);
        const __m512i blue = _mm512_packus_epi16(a.b, b.b);
        const __m512i green = _mm512_packus_epi16(a.g, b.g);
        const __m512i red = _mm512_packus_epi16(a.r, b.r);
        for (int k = 0; k < 3; ++k) {
            const __m512i index = _mm512_loadu_si512(permuteTables.index[k]);
            const __m512i out = _mm512_mask_permutexvar_epi8(_mm512_permutex2var_epi8(blue, index, green),
                                                             permuteTables.redMask[k], index, red);
            _mm512_storeu_si512(dst + 3 * p + 64 * k, out);
        }
    }
    _mm256_zeroupper();
    yuyvRowAvx2(src + 2 * p, dst + 3 * p, pixels - p);
}

#endif  // DV_HAVE_YUV_SIMD

struct ConvertTable {
    void (*yuyvRow)(const uint8_t*, uint8_t*, int);
    void (*nv12Rows)(const uint8_t* const[2], const uint8_t*, uint8_t* const[2], int);
    const char* isa;
};

bool tableFor(const char* isa, ConvertTable& table) {
    if (std::strcmp(isa, "baseline") == 0) {
        table = {yuyvRowPortable, nv12RowsPortable, "baseline"};
        return true;
    }
#ifdef DV_HAVE_YUV_SIMD
    __builtin_cpu_init();
    if (std::strcmp(isa, "avx512") == 0 && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vbmi")) {
        table = {yuyvRowAvx512, nv12RowsAvx2, "avx512"};
        return true;
    }
    if (std::strcmp(isa, "avx2") == 0 && __builtin_cpu_supports("avx2")) {
        table = {yuyvRowAvx2, nv12RowsAvx2, "avx2"};
        return true;
    }
    if (std::strcmp(isa, "ssse3") == 0 && __builtin_cpu_supports("ssse3")) {
        table = {yuyvRowSsse3, nv12RowsSsse3, "ssse3"};
        return true;
    }
#endif
    return false;
}

ConvertTable chooseTable() {
    ConvertTable table{};
    for (const char* isa : {"avx512", "avx2", "ssse3", "baseline"})
        if (tableFor(isa, table)) break;
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
    if (src && dst && pixels > 0) convertTable().yuyvRow(src, dst, pixels);
}

void nv12ToBgrRow(const uint8_t* luma, const uint8_t* chroma, uint8_t* dst, int pixels) {
    if (luma && chroma && dst && pixels > 0) {
        const uint8_t* const lumaRows[2] = {luma, nullptr};
        uint8_t* const dstRows[2] = {dst, nullptr};
        convertTable().nv12Rows(lumaRows, chroma, dstRows, pixels);
    }
}

void convertYuyvToBgr(const uint8_t* src, std::ptrdiff_t srcStride, const BgrTarget& dst) {
    if (!src || !usable(dst)) return;
    const auto row = convertTable().yuyvRow;
    for (int y = 0; y < dst.height; ++y)
        row(src + static_cast<std::ptrdiff_t>(y) * srcStride, targetRow(dst, y), dst.width);
}

void convertNv12ToBgr(const uint8_t* luma, std::ptrdiff_t lumaStride, const uint8_t* chroma,
                      std::ptrdiff_t chromaStride, const BgrTarget& dst) {
    if (!luma || !chroma || !usable(dst)) return;
    const auto rows = convertTable().nv12Rows;
    for (int y = 0; y < dst.height; y += 2) {
        const bool pair = y + 1 < dst.height;
        const uint8_t* const lumaRows[2] = {
            luma + static_cast<std::ptrdiff_t>(y) * lumaStride,
            pair ? luma + static_cast<std::ptrdiff_t>(y + 1) * lumaStride : nullptr};
        uint8_t* const dstRows[2] = {targetRow(dst, y), pair ? targetRow(dst, y + 1) : nullptr};
        rows(lumaRows, chroma + static_cast<std::ptrdiff_t>(y / 2) * chromaStride, dstRows, dst.width);
    }
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
    if (!tableFor(isa, table)) return false;
    convertTable() = table;
    return true;
}

}  // namespace pix
