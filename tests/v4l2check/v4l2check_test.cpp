#include "v4l2check.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "compositor/frame_store.h"
#include "compositor/runtime_settings.h"

using namespace v4l2check;

namespace {

// Eight vertical bars (white, yellow, cyan, green, magenta, red, blue, black).
Picture colourBars(int w, int h) {
    static const uint8_t bars[8][3] = {{255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
                                       {255, 0, 255},   {0, 0, 255},   {255, 0, 0},   {0, 0, 0}};
    Picture p(w, h);
    for (int line = 0; line < h; ++line)
        for (int x = 0; x < w; ++x)
            std::copy(bars[x * 8 / w], bars[x * 8 / w] + 3, p.pixel(x, line));
    return p;
}

// A 4 x 3 grid of squares in other colours, brighter towards the bottom.
Picture squares(int w, int h) {
    Picture p(w, h);
    for (int line = 0; line < h; ++line)
        for (int x = 0; x < w; ++x) {
            const int cell = (x * 4 / w) + 4 * (line * 3 / h);
            uint8_t* px = p.pixel(x, line);
            px[0] = static_cast<uint8_t>(cell * 20);
            px[1] = static_cast<uint8_t>(200 - cell * 15);
            px[2] = static_cast<uint8_t>((cell % 3) * 120);
        }
    return p;
}

TEST(V4l2CheckTest, DecodesBt601LimitedRangeColours) {
    struct Case {
        uint8_t y, u, v;
        int b, g, r;
    };
    const Case cases[] = {
        {16, 128, 128, 0, 0, 0},  {235, 128, 128, 255, 255, 255}, {81, 90, 240, 0, 0, 255},
        {145, 54, 34, 0, 255, 0}, {41, 240, 110, 255, 0, 0},      {126, 128, 128, 128, 128, 128},
        {0, 128, 128, 0, 0, 0},   {255, 128, 128, 255, 255, 255},
    };
    for (const Case& c : cases) {
        const uint8_t frame[4] = {c.y, c.u, c.y, c.v};
        const Picture p = decodeFrame(PixelFormat::Yuyv, frame, 2, 1);
        for (int x = 0; x < 2; ++x) {
            const uint8_t* px = p.pixel(x, 0);
            EXPECT_NEAR(px[0], c.b, 2) << "Y " << int(c.y) << " U " << int(c.u) << " V " << int(c.v);
            EXPECT_NEAR(px[1], c.g, 2) << "Y " << int(c.y) << " U " << int(c.u) << " V " << int(c.v);
            EXPECT_NEAR(px[2], c.r, 2) << "Y " << int(c.y) << " U " << int(c.u) << " V " << int(c.v);
        }
    }
}

TEST(V4l2CheckTest, FramesAreTopDownAndPicturesBottomUp) {
    for (PixelFormat f : {PixelFormat::Yuyv, PixelFormat::Rgb24}) {
        Picture p(4, 3);
        std::fill(p.pixel(0, 0), p.pixel(0, 0) + 12, uint8_t{255});  // the top line white, the rest black
        const std::vector<uint8_t> frame = encodeFrame(f, p);
        ASSERT_EQ(frame.size(), frameBytes(f, 4, 3));
        const Picture back = decodeFrame(f, frame.data(), 4, 3);
        EXPECT_GE(back.bytes[static_cast<size_t>(2 * back.stride)], 250)
            << "the top line is the last buffer row";
        EXPECT_LE(back.bytes[0], 5) << "the bottom line is the first buffer row";
        EXPECT_EQ(frame[0], f == PixelFormat::Yuyv ? 235 : 255) << "the frame starts with the top line";
    }
}

TEST(V4l2CheckTest, RoundTripsStayWithinTheirFormatsLoss) {
    struct Case {
        PixelFormat format;
        double maxMean;
        double maxFarShare;
    };
    const Case cases[] = {{PixelFormat::Rgb24, 0.0, 0.0}, {PixelFormat::Yuyv, 2.0, 0.02}};
    const Picture pictures[] = {colourBars(320, 240), squares(320, 240)};
    for (const Case& c : cases)
        for (const Picture& p : pictures) {
            const std::vector<uint8_t> frame = encodeFrame(c.format, p);
            const Difference d = compare(p, decodeFrame(c.format, frame.data(), p.width, p.height));
            EXPECT_LE(d.meanAbs, c.maxMean);
            EXPECT_LE(d.farShare, c.maxFarShare);
        }
}

TEST(V4l2CheckTest, ComparesMeanAndFarPixels) {
    const Picture base = squares(8, 4);
    struct Case {
        const char* what;
        int offset;      // added to every channel of every pixel
        int farPixels;   // pixels of the first line set 200 away
        int otherWidth;  // non-zero: a picture of another size
        double mean, share;
    };
    const Case cases[] = {
        {"identical", 0, 0, 0, 0.0, 0.0},
        {"small offset everywhere", 4, 0, 0, 4.0, 0.0},
        {"two far pixels", 0, 2, 0, 2 * 3 * 200.0 / (8 * 4 * 3), 2.0 / 32},
        {"other size", 0, 0, 6, 255.0, 1.0},
    };
    for (const Case& c : cases) {
        Picture got = c.otherWidth ? Picture(c.otherWidth, 4) : base;
        if (!c.otherWidth) {
            for (int line = 0; line < 4; ++line)
                for (int x = 0; x < 8; ++x)
                    for (int ch = 0; ch < 3; ++ch) {
                        uint8_t& v = got.pixel(x, line)[ch];
                        v = static_cast<uint8_t>(v < 128 ? v + c.offset : v - c.offset);
                    }
            for (int x = 0; x < c.farPixels; ++x)
                for (int ch = 0; ch < 3; ++ch) {
                    uint8_t& v = got.pixel(x, 0)[ch];
                    v = static_cast<uint8_t>(v < 128 ? v + 200 : v - 200);
                }
        }
        const Difference d = compare(base, got);
        EXPECT_NEAR(d.meanAbs, c.mean, 1e-9) << c.what;
        EXPECT_NEAR(d.farShare, c.share, 1e-9) << c.what;
    }
}

// The stage relies on this: a reader's frame of a composed pair is
// identified as the mode and swap that made it, and not as another one.
TEST(V4l2CheckTest, IdentifiesTheModeThatMadeAFrame) {
    const Picture left = colourBars(320, 240), right = squares(320, 240);
    std::vector<Expectation> all{Expectation{}};
    for (int mode = 0; mode < imageModeCount; ++mode)
        for (int swap = 0; swap < 2; ++swap)
            all.push_back(Expectation{mode, swap});
    struct Case {
        Expectation made;
        PixelFormat format;
    };
    const Case cases[] = {
        {{-1, 0}, PixelFormat::Yuyv},
        {{SideBySide, 0}, PixelFormat::Yuyv},
        {{SideBySide, 1}, PixelFormat::Yuyv},
        {{ColorAnaglyph, 0}, PixelFormat::Yuyv},
        {{ColorAnaglyph, 1}, PixelFormat::Rgb24},
        {{UpAndDown, 0}, PixelFormat::Rgb24},
        {{RightImage, 0}, PixelFormat::Rgb24},
    };
    for (const Case& c : cases) {
        const std::vector<Candidate> candidates = makeCandidates(all, left, right, c.format);
        ASSERT_EQ(candidates.size(), all.size()) << "every mode composes at 320x240";
        const Picture made = expectedPicture(c.made, left, right);
        ASSERT_EQ(made.width, 320);
        const std::vector<uint8_t> frame = encodeFrame(c.format, made);
        const Match m = nearest(candidates, decodeFrame(c.format, frame.data(), 320, 240));
        ASSERT_NE(m.candidate, nullptr);
        // The left image without swap and the passthrough are one picture.
        const Expectation got = m.candidate->expectation;
        const bool same = got.mode == c.made.mode && (c.made.mode < 0 || got.swap == c.made.swap);
        const bool equivalent = compare(expectedPicture(got, left, right), made).meanAbs == 0;
        EXPECT_TRUE(same || equivalent) << "made " << describe(c.made) << ", found " << describe(got);
        EXPECT_LE(m.difference.meanAbs, 2.0) << describe(c.made);
    }
    releaseWorkImages();
}

TEST(V4l2CheckTest, ComposesNothingAtOtherSizes) {
    const Picture left = colourBars(640, 360), right = squares(640, 360);
    EXPECT_EQ(expectedPicture(Expectation{SideBySide, 0}, left, right).width, 0);
    EXPECT_EQ(expectedPicture(Expectation{}, left, right).width, 640) << "passthrough needs no compositor";
}

TEST(V4l2CheckTest, FrameRateOverTimeStamps) {
    struct Case {
        std::vector<double> stamps;
        double fps;
    };
    const Case cases[] = {
        {{}, 0}, {{1.0}, 0}, {{2.0, 2.0}, 0}, {{0.0, 0.1, 0.2}, 10}, {{5.0, 5.04, 5.07, 5.1}, 30},
    };
    for (const Case& c : cases)
        EXPECT_NEAR(frameRate(c.stamps), c.fps, 1e-9) << c.stamps.size() << " stamps";
}

}  // namespace
