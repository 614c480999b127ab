#include "compositor/kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace pix {

namespace baseline {
#define DV_TARGET
#include "row_kernels.inc"
#undef DV_TARGET
}  // namespace baseline

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define DV_HAVE_AVX2_VARIANT 1
namespace avx2 {
#define DV_TARGET __attribute__((target("avx2")))
#include "row_kernels.inc"
#undef DV_TARGET
}  // namespace avx2
#endif

#ifdef DV_HAVE_AVX2_VARIANT
#include <immintrin.h>
namespace ssse3 {

// One chunk of 8 output pixels from 48 source bytes: `a0..a2` hold, for source
// bytes k = 0..47 of the chunk, the mean of byte k and byte k + 3 (the same
// channel of the next pixel). Output pixel i is that mean at k = 6i .. 6i + 2.
__attribute__((target("ssse3"))) static inline void storeEvenPixels(uint8_t* dst, __m128i a0, __m128i a1, __m128i a2) {
    const __m128i m0 = _mm_setr_epi8(0, 1, 2, 6, 7, 8, 12, 13, 14, -1, -1, -1, -1, -1, -1, -1);
    const __m128i m1 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 3, 4, 8, 9, 10, 14);
    const __m128i m1b = _mm_setr_epi8(15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i m2 = _mm_setr_epi8(-1, 0, 4, 5, 6, 10, 11, 12, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i out0 = _mm_or_si128(_mm_shuffle_epi8(a0, m0), _mm_shuffle_epi8(a1, m1));
    const __m128i out1 = _mm_or_si128(_mm_shuffle_epi8(a1, m1b), _mm_shuffle_epi8(a2, m2));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), out0);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 16), out1);
}

__attribute__((target("ssse3"))) static inline __m128i load(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Chunks read 3 bytes past their 48, so the last chunk stops one pixel early;
// the scalar kernel finishes the row.
__attribute__((target("ssse3"))) static void halveWidthRowImpl(uint8_t* dst, const uint8_t* src, int outPixels) {
    int p = 0;
    for (; p + 9 <= outPixels; p += 8) {
        const uint8_t* s = src + 6 * p;
        storeEvenPixels(dst + 3 * p, _mm_avg_epu8(load(s), load(s + 3)), _mm_avg_epu8(load(s + 16), load(s + 19)),
                        _mm_avg_epu8(load(s + 32), load(s + 35)));
    }
    baseline::halveWidthRowImpl(dst + 3 * p, src + 6 * p, outPixels - p);
}

// The mean of four is taken as the mean of two vertical means; it can exceed
// the exactly rounded mean by 1.
__attribute__((target("ssse3"))) static void quarterRowImpl(uint8_t* dst, const uint8_t* row0, const uint8_t* row1,
                                                            int outPixels) {
    int p = 0;
    for (; p + 9 <= outPixels; p += 8) {
        const uint8_t* a = row0 + 6 * p;
        const uint8_t* b = row1 + 6 * p;
        __m128i v[3];
        for (int j = 0; j < 3; ++j) {
            const __m128i here = _mm_avg_epu8(load(a + 16 * j), load(b + 16 * j));
            const __m128i next = _mm_avg_epu8(load(a + 16 * j + 3), load(b + 16 * j + 3));
            v[j] = _mm_avg_epu8(here, next);
        }
        storeEvenPixels(dst + 3 * p, v[0], v[1], v[2]);
    }
    baseline::quarterRowImpl(dst + 3 * p, row0 + 6 * p, row1 + 6 * p, outPixels - p);
}

}  // namespace ssse3
#endif

namespace {

struct KernelTable {
    decltype(&baseline::blendChannelsRowImpl) blendChannels;
    decltype(&baseline::lumaAnaglyphRowImpl) lumaAnaglyph;
    decltype(&baseline::halveWidthRowImpl) halveWidth;
    decltype(&baseline::averageRowsRowImpl) averageRows;
    decltype(&baseline::quarterRowImpl) quarter;
    decltype(&baseline::verticalSumsImpl) verticalSums;
    decltype(&baseline::horizontalFromSumsImpl) horizontalFromSums;
    const char* isa;
};

KernelTable chooseKernels() {
#ifdef DV_HAVE_AVX2_VARIANT
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        return {avx2::blendChannelsRowImpl, avx2::lumaAnaglyphRowImpl, ssse3::halveWidthRowImpl,
                avx2::averageRowsRowImpl,   ssse3::quarterRowImpl,      avx2::verticalSumsImpl,
                avx2::horizontalFromSumsImpl, "avx2"};
    }
    if (__builtin_cpu_supports("ssse3")) {
        KernelTable table{baseline::blendChannelsRowImpl, baseline::lumaAnaglyphRowImpl, ssse3::halveWidthRowImpl,
                          baseline::averageRowsRowImpl,   ssse3::quarterRowImpl,        baseline::verticalSumsImpl,
                          baseline::horizontalFromSumsImpl, "ssse3"};
        return table;
    }
#endif
    return {baseline::blendChannelsRowImpl, baseline::lumaAnaglyphRowImpl, baseline::halveWidthRowImpl,
            baseline::averageRowsRowImpl,   baseline::quarterRowImpl,       baseline::verticalSumsImpl,
            baseline::horizontalFromSumsImpl, "baseline"};
}

// Chosen once, on first use (thread-safe static initialisation).
const KernelTable& kernels() {
    static const KernelTable table = chooseKernels();
    return table;
}

bool validPicture(const ImageView& v, int channels) {
    return static_cast<bool>(v) && v.channels == channels && v.stride >= static_cast<std::ptrdiff_t>(v.width) * channels;
}

bool overlaps(const ImageView& a, const ImageView& b) {
    const uint8_t* a0 = a.data;
    const uint8_t* a1 = a.data + a.byteSize();
    const uint8_t* b0 = b.data;
    const uint8_t* b1 = b.data + b.byteSize();
    return a0 < b1 && b0 < a1;
}

}  // namespace

LinearTap linearTap(int dstPos, int srcSize, int dstSize) {
    // The reference computes the scale as the reciprocal of dst/src in double
    // precision and the position in single precision; do the same so that the
    // weights agree bit for bit.
    const double inverseScale = static_cast<double>(dstSize) / srcSize;
    const double scale = 1.0 / inverseScale;
    float f = static_cast<float>((dstPos + 0.5) * scale - 0.5);
    int s = static_cast<int>(std::floor(f));
    f -= static_cast<float>(s);
    if (s < 0) {
        s = 0;
        f = 0.f;
    }
    if (s >= srcSize - 1) {
        s = srcSize - 1;
        f = 0.f;
    }
    LinearTap tap;
    tap.index = s;
    tap.w0 = static_cast<int16_t>(std::lrint((1.f - f) * 2048.f));
    tap.w1 = static_cast<int16_t>(std::lrint(f * 2048.f));
    return tap;
}

bool ResizePlan::build(int srcWidth, int srcHeight, int dstWidth, int dstHeight) {
    clear();
    if (srcWidth <= 0 || srcHeight <= 0 || dstWidth <= 0 || dstHeight <= 0) return false;
    try {
        xOffset.resize(dstWidth);
        xOffsetNext.resize(dstWidth);
        xWeight.resize(2 * static_cast<size_t>(dstWidth));
        yOffset.resize(dstHeight);
        yOffsetNext.resize(dstHeight);
        yWeight.resize(2 * static_cast<size_t>(dstHeight));
        rowScratch.resize(static_cast<size_t>(srcWidth) * 3);
    } catch (const std::bad_alloc&) {
        clear();
        return false;
    }
    for (int x = 0; x < dstWidth; ++x) {
        const LinearTap t = linearTap(x, srcWidth, dstWidth);
        xOffset[x] = t.index * 3;
        xOffsetNext[x] = (t.index + 1 < srcWidth ? t.index + 1 : t.index) * 3;
        xWeight[2 * x] = t.w0;
        xWeight[2 * x + 1] = t.w1;
    }
    for (int y = 0; y < dstHeight; ++y) {
        const LinearTap t = linearTap(y, srcHeight, dstHeight);
        yOffset[y] = t.index;
        yOffsetNext[y] = t.index + 1 < srcHeight ? t.index + 1 : t.index;
        yWeight[2 * y] = t.w0;
        yWeight[2 * y + 1] = t.w1;
    }
    srcW = srcWidth;
    srcH = srcHeight;
    dstW = dstWidth;
    dstH = dstHeight;
    valid = true;
    return true;
}

void ResizePlan::clear() {
    valid = false;
    srcW = srcH = dstW = dstH = 0;
    // Release the memory, not just the size: plans are rebuilt at every format step.
    std::vector<int32_t>().swap(xOffset);
    std::vector<int32_t>().swap(xOffsetNext);
    std::vector<int16_t>().swap(xWeight);
    std::vector<int32_t>().swap(yOffset);
    std::vector<int32_t>().swap(yOffsetNext);
    std::vector<int16_t>().swap(yWeight);
    std::vector<int32_t>().swap(rowScratch);
}

void resizeBilinear(const ImageView& src, const ImageView& dst, Rect target) {
    if (!validPicture(src, 3) || !validPicture(dst, 3) || target.width <= 0 || target.height <= 0) return;
    // Clip the target rectangle to dst; the mapping stays that of the whole rectangle.
    const int x0 = target.x < 0 ? -target.x : 0;
    const int y0 = target.y < 0 ? -target.y : 0;
    const long long xEnd = std::min<long long>(target.width, static_cast<long long>(dst.width) - target.x);
    const long long yEnd = std::min<long long>(target.height, static_cast<long long>(dst.height) - target.y);
    for (int ty = y0; ty < yEnd; ++ty) {
        const LinearTap vy = linearTap(ty, src.height, target.height);
        const uint8_t* r0 = src.row(vy.index);
        const uint8_t* r1 = src.row(vy.index + 1 < src.height ? vy.index + 1 : vy.index);
        uint8_t* out = dst.row(target.y + ty) + static_cast<std::ptrdiff_t>(target.x) * 3;
        for (int tx = x0; tx < xEnd; ++tx) {
            const LinearTap vx = linearTap(tx, src.width, target.width);
            const int o0 = vx.index * 3;
            const int o1 = (vx.index + 1 < src.width ? vx.index + 1 : vx.index) * 3;
            for (int c = 0; c < 3; ++c) {
                const int top = r0[o0 + c] * vx.w0 + r0[o1 + c] * vx.w1;
                const int bottom = r1[o0 + c] * vx.w0 + r1[o1 + c] * vx.w1;
                out[3 * tx + c] = static_cast<uint8_t>((top * vy.w0 + bottom * vy.w1 + (1 << 21)) >> 22);
            }
        }
    }
}

bool resizeWithPlan(const ImageView& red, const ImageView& greenBlue, const ImageView& dst, Rect target,
                    ResizePlan& plan) {
    if (!validPicture(red, 3) || !validPicture(greenBlue, 3) || !validPicture(dst, 3)) return false;
    if (!red.sameSize(greenBlue) || !plan.matches(red.width, red.height, target.width, target.height)) return false;
    if (target.x < 0 || target.y < 0 || target.x + target.width > dst.width || target.y + target.height > dst.height)
        return false;
    const KernelTable& k = kernels();
    const ImageView& src = greenBlue;
    const bool plain = red.data == greenBlue.data;
    const bool inPlace = overlaps(dst, red) || overlaps(dst, greenBlue);
    const std::ptrdiff_t outOffset = static_cast<std::ptrdiff_t>(target.x) * 3;

    // Exact halvings: the bilinear weights are then (1/2, 1/2) or (1, 0), so the
    // result is a rounded mean, computed directly.
    if (plain && !inPlace) {
        const bool halfW = src.width == 2 * target.width;
        const bool halfH = src.height == 2 * target.height;
        const bool sameW = src.width == target.width;
        const bool sameH = src.height == target.height;
        if (halfW && sameH) {
            for (int y = 0; y < target.height; ++y) k.halveWidth(dst.row(target.y + y) + outOffset, src.row(y), target.width);
            return true;
        }
        if (sameW && halfH) {
            for (int y = 0; y < target.height; ++y)
                k.averageRows(dst.row(target.y + y) + outOffset, src.row(2 * y), src.row(2 * y + 1), target.width * 3);
            return true;
        }
        if (halfW && halfH) {
            for (int y = 0; y < target.height; ++y)
                k.quarter(dst.row(target.y + y) + outOffset, src.row(2 * y), src.row(2 * y + 1), target.width);
            return true;
        }
    }

    // General case: per output row, blend the two source rows vertically into
    // 32-bit sums (all reads of the row happen here), then interpolate
    // horizontally into the output row.
    const int srcBytes = src.width * 3;
    int32_t* sums = plan.rowScratch.data();
    for (int y = 0; y < target.height; ++y) {
        const int sy0 = plan.yOffset[y], sy1 = plan.yOffsetNext[y];
        const int w0 = plan.yWeight[2 * y], w1 = plan.yWeight[2 * y + 1];
        k.verticalSums(sums, greenBlue.row(sy0), greenBlue.row(sy1), srcBytes, w0, w1);
        if (!plain) {
            const uint8_t* r0 = red.row(sy0);
            const uint8_t* r1 = red.row(sy1);
            for (int i = 2; i < srcBytes; i += 3) sums[i] = r0[i] * w0 + r1[i] * w1;
        }
        k.horizontalFromSums(dst.row(target.y + y) + outOffset, sums, plan.xOffset.data(), plan.xOffsetNext.data(),
                             plan.xWeight.data(), target.width);
    }
    return true;
}

void copyImage(const ImageView& src, const ImageView& dst) {
    if (!src || !dst || !src.sameSize(dst) || src.channels != dst.channels || src.data == dst.data) return;
    const size_t rowBytes = static_cast<size_t>(src.width) * src.channels;
    if (src.stride == dst.stride && static_cast<size_t>(src.stride) == ((rowBytes + 3) & ~size_t{3})) {
        std::memmove(dst.data, src.data, static_cast<size_t>(src.stride) * (src.height - 1) + rowBytes);
        return;
    }
    for (int y = 0; y < src.height; ++y) std::memmove(dst.row(y), src.row(y), rowBytes);
}

void copyChannel(const ImageView& src, int srcChannel, const ImageView& dst, int dstChannel) {
    if (!src || !dst || !src.sameSize(dst)) return;
    if (srcChannel < 0 || srcChannel >= src.channels || dstChannel < 0 || dstChannel >= dst.channels) return;
    for (int y = 0; y < src.height; ++y) {
        const uint8_t* s = src.row(y) + srcChannel;
        uint8_t* d = dst.row(y) + dstChannel;
        for (int x = 0; x < src.width; ++x) d[x * dst.channels] = s[x * src.channels];
    }
}

void fillImage(const ImageView& dst, uint8_t value) {
    if (!dst) return;
    for (int y = 0; y < dst.height; ++y) std::memset(dst.row(y), value, static_cast<size_t>(dst.width) * dst.channels);
}

void lumaPlane(const ImageView& src, const ImageView& dst) {
    if (!validPicture(src, 3) || !validPicture(dst, 1) || !src.sameSize(dst)) return;
    for (int y = 0; y < src.height; ++y) {
        const uint8_t* s = src.row(y);
        uint8_t* d = dst.row(y);
        for (int x = 0; x < src.width; ++x) d[x] = luma(s[3 * x], s[3 * x + 1], s[3 * x + 2]);
    }
}

void convertToYCrCb(const ImageView& src, const ImageView& dst) {
    if (!validPicture(src, 3) || !validPicture(dst, 3) || !src.sameSize(dst)) return;
    // Cr = (R - Y) * 0.713 + 128, Cb = (B - Y) * 0.564 + 128, 14-bit fixed point.
    constexpr int crCoef = 11682, cbCoef = 9241, delta = 128 << 14, half = 1 << 13;
    for (int y = 0; y < src.height; ++y) {
        const uint8_t* s = src.row(y);
        uint8_t* d = dst.row(y);
        for (int x = 0; x < src.width; ++x) {
            const int b = s[3 * x], g = s[3 * x + 1], r = s[3 * x + 2];
            const int yy = luma(static_cast<uint8_t>(b), static_cast<uint8_t>(g), static_cast<uint8_t>(r));
            const int cr = ((r - yy) * crCoef + delta + half) >> 14;
            const int cb = ((b - yy) * cbCoef + delta + half) >> 14;
            d[3 * x] = static_cast<uint8_t>(yy);
            d[3 * x + 1] = static_cast<uint8_t>(cr < 0 ? 0 : cr > 255 ? 255 : cr);
            d[3 * x + 2] = static_cast<uint8_t>(cb < 0 ? 0 : cb > 255 ? 255 : cb);
        }
    }
}

void blendChannelsRow(uint8_t* dst, const uint8_t* a, const uint8_t* b, int pixels, unsigned maskFromA) {
    kernels().blendChannels(dst, a, b, pixels, maskFromA);
}
void lumaAnaglyphRow(uint8_t* dst, const uint8_t* left, const uint8_t* right, int pixels, bool greenIsZero) {
    kernels().lumaAnaglyph(dst, left, right, pixels, greenIsZero);
}
void halveWidthRow(uint8_t* dst, const uint8_t* src, int outPixels) { kernels().halveWidth(dst, src, outPixels); }
void averageRowsRow(uint8_t* dst, const uint8_t* row0, const uint8_t* row1, int bytes) {
    kernels().averageRows(dst, row0, row1, bytes);
}
void quarterRow(uint8_t* dst, const uint8_t* row0, const uint8_t* row1, int outPixels) {
    kernels().quarter(dst, row0, row1, outPixels);
}
const char* kernelIsa() { return kernels().isa; }

}  // namespace pix
