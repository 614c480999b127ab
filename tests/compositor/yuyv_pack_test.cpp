// The output packers: YUYV values at points worked out by hand (the BT.601
// limited-range colours of the primaries), row order and padding, the
// refusals, and every vector variant byte for byte against the portable one.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "compositor/yuyv_pack.h"

namespace {

struct Bgr {
    uint8_t b, g, r;
};

struct PairCase {
    const char* what;
    Bgr first, second;
    uint8_t y0, u, y1, v;
};

// Y = 16 + 219 x luma, U and V = 128 + 224 x the scaled colour differences,
// for the pair's mean colour.
const PairCase pairCases[] = {
    {"black", {0, 0, 0}, {0, 0, 0}, 16, 128, 16, 128},
    {"white", {255, 255, 255}, {255, 255, 255}, 235, 128, 235, 128},
    {"red", {0, 0, 255}, {0, 0, 255}, 82, 90, 82, 240},
    {"green", {0, 255, 0}, {0, 255, 0}, 144, 54, 144, 34},
    {"blue", {255, 0, 0}, {255, 0, 0}, 41, 240, 41, 110},
    // Mixed pairs: each Y is its own pixel's, the chroma that of the mean
    // (black + white: mean grey 128, no colour; red + blue: mean (128, 0, 128)).
    {"black, white", {0, 0, 0}, {255, 255, 255}, 16, 128, 235, 128},
    {"red, blue", {0, 0, 255}, {255, 0, 0}, 82, 165, 41, 175},
};

TEST(YuyvPack, PairsOfKnownColours) {
    for (const PairCase& c : pairCases) {
        const uint8_t first[3] = {c.first.b, c.first.g, c.first.r};
        const uint8_t second[3] = {c.second.b, c.second.g, c.second.r};
        uint8_t out[4] = {};
        pix::packYuyvPair(first, second, out);
        EXPECT_EQ(out[0], c.y0) << c.what;
        EXPECT_EQ(out[1], c.u) << c.what;
        EXPECT_EQ(out[2], c.y1) << c.what;
        EXPECT_EQ(out[3], c.v) << c.what;
    }
}

// A 3 x 2 picture, bottom row (row 0 in memory) red, red, blue; top row
// white, black, green; rows padded to 12 bytes. Output rows are padded with
// sentinels that must stay.
TEST(YuyvPack, TopLineFirstOddWidthAndRowPadding) {
    std::vector<uint8_t> bgr = {0,   0,   255, 0, 0, 255, 255, 0,   0, 0xEE, 0xEE, 0xEE,
                                255, 255, 255, 0, 0, 0,   0,   255, 0, 0xEE, 0xEE, 0xEE};
    const pix::ImageView src{3, 2, 3, 12, bgr.data()};
    struct Case {
        const char* format;
        std::ptrdiff_t stride;
        std::vector<uint8_t> expected;  // 0xAA: untouched padding
    } cases[] = {
        // YUYV: two pairs a row, the odd last pixel paired with itself.
        {"yuyv", 10, {235, 128, 16, 128, 144, 54,  144, 34,  0xAA, 0xAA,
                      82,  90,  82, 240, 41,  240, 41,  110, 0xAA, 0xAA}},
        {"rgb24", 11, {255, 255, 255, 0,   0, 0, 0, 255, 0,   0xAA, 0xAA,
                       255, 0,   0,   255, 0, 0, 0, 0,   255, 0xAA, 0xAA}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> out(c.expected.size(), 0xAA);
        const bool yuyv = std::strcmp(c.format, "yuyv") == 0;
        ASSERT_TRUE(yuyv ? pix::packBgrToYuyv(src, out.data(), c.stride, out.size())
                         : pix::packBgrToRgb24(src, out.data(), c.stride, out.size()))
            << c.format;
        EXPECT_EQ(out, c.expected) << c.format;
    }
}

TEST(YuyvPack, RefusesWhatDoesNotFitAndWritesNothing) {
    std::vector<uint8_t> bgr(8 * 4, 7);
    const pix::ImageView picture{2, 4, 3, 8, bgr.data()};
    struct Case {
        const char* what;
        pix::ImageView src;
        std::ptrdiff_t yuyvStride, rgbStride;
        size_t yuyvSize, rgbSize;
    } cases[] = {
        {"rows shorter than a line", picture, 3, 5, 64, 64},
        {"buffer one byte short", picture, 4, 6, 4 * 4 - 1, 6 * 4 - 1},
        {"four channels", pix::ImageView{2, 4, 4, 8, bgr.data()}, 4, 6, 64, 64},
        {"source stride short", pix::ImageView{3, 4, 3, 8, bgr.data()}, 8, 9, 64, 64},
        {"empty source", pix::ImageView{}, 4, 6, 64, 64},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> out(64, 0xAA);
        EXPECT_FALSE(pix::packBgrToYuyv(c.src, out.data(), c.yuyvStride, c.yuyvSize)) << c.what;
        EXPECT_FALSE(pix::packBgrToRgb24(c.src, out.data(), c.rgbStride, c.rgbSize)) << c.what;
        EXPECT_EQ(out, std::vector<uint8_t>(64, 0xAA)) << c.what;
    }
    // The exact fit is taken: the last row needs no stride padding.
    std::vector<uint8_t> exact(5 * 3 + 4);
    EXPECT_TRUE(pix::packBgrToYuyv(picture, exact.data(), 5, exact.size()));
}

class YuyvPackIsa : public ::testing::TestWithParam<const char*> {
protected:
    void TearDown() override { pix::useYuyvPackIsaForTesting(nullptr); }
};

// Widths around the 16- and 32-pixel steps, odd ones included, in random
// pictures whose rows carry padding; the vector variant must give the
// portable variant's bytes and leave the output padding alone.
TEST_P(YuyvPackIsa, SameBytesAsPortableVariant) {
    if (!pix::useYuyvPackIsaForTesting(GetParam()))
        GTEST_SKIP() << GetParam() << " is not supported by this processor";
    EXPECT_STREQ(pix::yuyvPackIsa(), GetParam());
    std::mt19937 random(12345);
    for (int width : {1, 2, 3, 15, 16, 17, 31, 32, 33, 47, 48, 63, 64, 65, 95, 97, 321, 641}) {
        const int height = 3;
        const std::ptrdiff_t stride = pix::pictureStride(width);
        std::vector<uint8_t> bgr(static_cast<size_t>(stride) * height);
        for (uint8_t& byte : bgr)
            byte = static_cast<uint8_t>(random());
        // Extremes in the first group, where the intermediate sums are largest.
        for (int i = 0; i < 6 && i < width * 3; ++i)
            bgr[static_cast<size_t>(i)] = i % 2 ? 255 : 0;
        const pix::ImageView src{width, height, 3, stride, bgr.data()};
        const std::ptrdiff_t outStride = pix::yuyvRowBytes(width) + 6;
        std::vector<uint8_t> vector(static_cast<size_t>(outStride) * height, 0xAA), portable = vector;
        ASSERT_TRUE(pix::packBgrToYuyv(src, vector.data(), outStride, vector.size()));
        ASSERT_TRUE(pix::useYuyvPackIsaForTesting("baseline"));
        ASSERT_TRUE(pix::packBgrToYuyv(src, portable.data(), outStride, portable.size()));
        ASSERT_TRUE(pix::useYuyvPackIsaForTesting(GetParam()));
        EXPECT_EQ(vector, portable) << GetParam() << " width " << width;
        for (int y = 0; y < height; ++y)
            for (std::ptrdiff_t x = pix::yuyvRowBytes(width); x < outStride; ++x)
                ASSERT_EQ(vector[static_cast<size_t>(y * outStride + x)], 0xAA) << "width " << width;
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, YuyvPackIsa, ::testing::Values("ssse3", "avx2"));

}  // namespace
