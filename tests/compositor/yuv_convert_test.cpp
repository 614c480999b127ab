// The YUYV and NV12 conversions: the portable kernel against hand-computed
// points of the documented formula, and every instruction-set level against
// the portable one on random frames (odd sizes, padded rows, both row orders)
// and on every input value.
// No image library: runs on every target.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "compositor/yuv_convert.h"

namespace {

const char* const allIsas[] = {"baseline", "ssse3", "avx2", "avx512"};

struct IsaGuard {
    ~IsaGuard() { pix::useYuvConvertIsaForTesting(nullptr); }
};

// (Y, Cb, Cr) -> (B, G, R), computed by hand from the formula in yuv_convert.h.
struct Point {
    const char* what;
    uint8_t y, cb, cr;
    uint8_t b, g, r;
};
const Point points[] = {
    {"black", 16, 128, 128, 0, 0, 0},
    {"white", 235, 128, 128, 255, 255, 255},
    {"mid grey", 126, 128, 128, 128, 128, 128},
    {"red", 81, 90, 240, 0, 0, 254},
    {"green", 145, 54, 34, 1, 255, 0},
    {"blue", 41, 240, 110, 255, 0, 0},
    {"all 255 (clipped B and R)", 255, 255, 255, 255, 125, 255},
    {"all 0 (clipped B and R)", 0, 0, 0, 0, 135, 0},
};

TEST(YuvConvert, HandComputedPointsAtEveryLevel) {
    IsaGuard guard;
    constexpr int width = 67;  // two vector blocks and a tail at every level
    for (const char* isa : allIsas) {
        if (!pix::useYuvConvertIsaForTesting(isa)) continue;
        for (const Point& p : points) {
            SCOPED_TRACE(std::string(isa) + " " + p.what);
            std::vector<uint8_t> yuyv;
            for (int i = 0; i < (width + 1) / 2; ++i)
                yuyv.insert(yuyv.end(), {p.y, p.cb, p.y, p.cr});
            std::vector<uint8_t> luma(width, p.y), chroma;
            for (int i = 0; i < (width + 1) / 2; ++i)
                chroma.insert(chroma.end(), {p.cb, p.cr});
            std::vector<uint8_t> fromYuyv(3 * width), fromNv12(3 * width);
            pix::yuyvToBgrRow(yuyv.data(), fromYuyv.data(), width);
            pix::nv12ToBgrRow(luma.data(), chroma.data(), fromNv12.data(), width);
            for (int x = 0; x < width; ++x) {
                for (const auto* out : {&fromYuyv, &fromNv12}) {
                    ASSERT_EQ((*out)[3 * x], p.b) << "pixel " << x;
                    ASSERT_EQ((*out)[3 * x + 1], p.g) << "pixel " << x;
                    ASSERT_EQ((*out)[3 * x + 2], p.r) << "pixel " << x;
                }
            }
        }
    }
}

// Which chroma pair each pixel uses: the pair of its group of two (NV12: and
// of its pair of rows), also for the incomplete last group.
TEST(YuvConvert, ChromaIsSharedByPixelPairsAndNv12RowPairs) {
    // 3x3 NV12: chroma rows 0 (for rows 0, 1) and 1 (for row 2), pairs 0 and 1.
    const uint8_t luma[9] = {126, 126, 126, 126, 126, 126, 126, 126, 126};
    const uint8_t chroma[2][4] = {{128, 240, 128, 128},
                                  {240, 128, 128, 128}};  // red-ish, grey / blue-ish, grey
    std::vector<uint8_t> out(3 * 12, 0xEE);               // stride 12
    pix::BgrTarget dst{out.data(), 12, 3, 3, false};
    pix::convertNv12ToBgr(luma, 3, &chroma[0][0], 4, dst);
    auto pixelAt = [&](int x, int y) {
        return std::vector<uint8_t>(&out[y * 12 + 3 * x], &out[y * 12 + 3 * x + 3]);
    };
    const std::vector<uint8_t> grey{128, 128, 128};
    EXPECT_EQ(pixelAt(0, 0), pixelAt(1, 0));
    EXPECT_EQ(pixelAt(0, 0), pixelAt(0, 1));
    EXPECT_GT(pixelAt(0, 0)[2], 200);  // Cr 240: red
    EXPECT_EQ(pixelAt(2, 0), grey);    // last (single) pixel: pair 1
    EXPECT_GT(pixelAt(0, 2)[0], 200);  // row 2: chroma row 1, Cb 240: blue
    EXPECT_EQ(pixelAt(2, 2), grey);
    EXPECT_EQ(out[9], 0xEE);  // padding untouched
    EXPECT_EQ(out[33], 0xEE);
}

// A random frame converted at every level equals the portable result, rows
// in the requested order, padding bytes untouched.
TEST(YuvConvert, EveryLevelMatchesPortableOnRandomFrames) {
    IsaGuard guard;
    std::mt19937 rng(1234);
    const int widths[] = {1, 2, 15, 16, 17, 31, 32, 33, 63, 65, 97, 641};
    const int heights[] = {1, 3, 4};
    for (int width : widths) {
        for (int height : heights) {
            const int yuyvStride = ((width + 1) / 2) * 4 + 6;
            const int lumaStride = width + 5;
            const int chromaStride = ((width + 1) / 2) * 2 + 3;
            std::vector<uint8_t> yuyv(static_cast<size_t>(yuyvStride) * height);
            std::vector<uint8_t> luma(static_cast<size_t>(lumaStride) * height);
            std::vector<uint8_t> chroma(static_cast<size_t>(chromaStride) * ((height + 1) / 2));
            for (auto* plane : {&yuyv, &luma, &chroma})
                for (auto& byte : *plane)
                    byte = static_cast<uint8_t>(rng());
            const std::ptrdiff_t stride = ((width * 3 + 3) & ~3) + 4;
            auto convert = [&](const char* isa, bool nv12, bool bottomUp) {
                EXPECT_TRUE(pix::useYuvConvertIsaForTesting(isa));
                std::vector<uint8_t> out(static_cast<size_t>(stride) * height, 0xA5);
                const pix::BgrTarget dst{out.data(), stride, width, height, bottomUp};
                if (nv12)
                    pix::convertNv12ToBgr(luma.data(), lumaStride, chroma.data(), chromaStride, dst);
                else
                    pix::convertYuyvToBgr(yuyv.data(), yuyvStride, dst);
                return out;
            };
            for (bool nv12 : {false, true}) {
                const std::vector<uint8_t> topDown = convert("baseline", nv12, false);
                const std::vector<uint8_t> bottomUp = convert("baseline", nv12, true);
                for (int y = 0; y < height; ++y) {
                    ASSERT_TRUE(std::equal(&topDown[y * stride], &topDown[(y + 1) * stride],
                                           &bottomUp[(height - 1 - y) * stride]));
                    for (std::ptrdiff_t pad = width * 3; pad < stride; ++pad)
                        ASSERT_EQ(topDown[y * stride + pad], 0xA5);
                }
                for (const char* isa : allIsas) {
                    if (!pix::useYuvConvertIsaForTesting(isa)) continue;
                    SCOPED_TRACE(testing::Message()
                                 << isa << (nv12 ? " nv12 " : " yuyv ") << width << "x" << height);
                    ASSERT_EQ(convert(isa, nv12, true), bottomUp);
                }
            }
        }
    }
}

// Every (Y, Cb, Cr) triple at every level equals the portable result: the
// vector kernels' 16-bit intermediates and saturating steps are exact for
// all inputs, not only for the random ones. Each row holds all 65536 chroma
// pairs, and each triple occurs once: YUYV rows with Y, Y + 128 on the two
// pixels of a pair; NV12 pairs of rows (through the frame conversion, which
// shares a chroma row between two luma rows) with Y, Y + 64, Y + 128, Y + 192.
TEST(YuvConvert, EveryLevelMatchesPortableForAllInputs) {
    IsaGuard guard;
    constexpr int pairs = 65536;
    constexpr int width = 2 * pairs;
    std::vector<uint8_t> yuyv(2 * width), luma(2 * width), chroma(width);
    for (int i = 0; i < pairs; ++i) {
        chroma[2 * i] = yuyv[4 * i + 1] = static_cast<uint8_t>(i & 0xFF);
        chroma[2 * i + 1] = yuyv[4 * i + 3] = static_cast<uint8_t>(i >> 8);
    }
    const std::ptrdiff_t stride = 3 * width;
    auto convert = [&](const char* isa, bool nv12) {
        EXPECT_TRUE(pix::useYuvConvertIsaForTesting(isa));
        std::vector<uint8_t> out(2 * stride);
        const pix::BgrTarget dst{out.data(), stride, width, nv12 ? 2 : 1, false};
        if (nv12)
            pix::convertNv12ToBgr(luma.data(), width, chroma.data(), width, dst);
        else
            pix::convertYuyvToBgr(yuyv.data(), 2 * width, dst);
        return out;
    };
    for (bool nv12 : {false, true}) {
        for (int y = 0; y < (nv12 ? 64 : 128); ++y) {
            for (int i = 0; i < pairs; ++i) {
                yuyv[4 * i] = static_cast<uint8_t>(y);
                yuyv[4 * i + 2] = static_cast<uint8_t>(y + 128);
                for (int row = 0; row < 2; ++row)
                    for (int odd = 0; odd < 2; ++odd)
                        luma[row * width + 2 * i + odd] = static_cast<uint8_t>(y + 128 * row + 64 * odd);
            }
            const std::vector<uint8_t> expected = convert("baseline", nv12);
            for (const char* isa : allIsas) {
                if (std::strcmp(isa, "baseline") == 0 || !pix::useYuvConvertIsaForTesting(isa)) continue;
                const std::vector<uint8_t> got = convert(isa, nv12);
                const auto diff = std::mismatch(got.begin(), got.end(), expected.begin());
                ASSERT_TRUE(diff.first == got.end()) << isa << (nv12 ? " nv12" : " yuyv") << " Y " << y
                                                     << ": byte " << (diff.first - got.begin());
            }
        }
    }
}

TEST(YuvConvert, RefusesUnusableTargets) {
    const uint8_t src[8] = {16, 128, 16, 128, 16, 128, 16, 128};
    std::vector<uint8_t> out(16, 0x5A);
    const pix::BgrTarget cases[] = {
        {nullptr, 12, 2, 1, true},
        {out.data(), 5, 2, 1, true},  // stride below 3 * width
        {out.data(), 12, 0, 1, true},
        {out.data(), 12, 2, 0, true},
    };
    for (const pix::BgrTarget& dst : cases) {
        pix::convertYuyvToBgr(src, 8, dst);
        pix::convertNv12ToBgr(src, 4, src, 4, dst);
    }
    EXPECT_EQ(out, std::vector<uint8_t>(16, 0x5A));
}

}  // namespace
