// composeStereoFrame: every mode against the literal OpenCV reference, the
// failure paths, pictures of mismatched sizes and the format step racing
// compositions.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <opencv2/imgproc.hpp>

#include "compositor/compose.h"
#include "compositor/frame_store.h"
#include "compositor/frame_store_testing.h"
#include "platform/messagebox.h"
#include "test_support.h"

using namespace testing_support;

namespace {

void useSize(int sizeIndex) {
    applySizeIndex(sizeIndex);
}

struct Pair {
    Pair(int w, int h) : Pair(w, h, w, h) {}
    Pair(int lw, int lh, int rw, int rh) : left(lw, lh), right(rw, rh), leftType(lw, lh), rightType(rw, rh) {}
    Picture left, right;
    VideoType leftType, rightType;

    void compose(int32_t mode, bool swap) {
        BufferSample l(left.bytes), r(right.bytes);
        EXPECT_EQ(composeStereoFrame(&l, &r, StereoFormats{&leftType.mt, &rightType.mt},
                                     CompositionChoice{mode, swap}),
                  S_OK);
    }
};

class Compose : public ::testing::Test {
protected:
    void SetUp() override { useSize(0); }
    void TearDown() override {
        setWorkImageCreationFailure(false, false);
        useSize(0);
    }
};

// ---- every mode, both sizes, with and without swap ---------------------------

struct ModeCase {
    int sizeIndex;
    int32_t mode;
    bool swap;
};

class EveryMode : public Compose, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(EveryMode, MatchesTheStatedStepsWithinOne) {
    const ModeCase c = GetParam();
    useSize(c.sizeIndex);
    const int w = c.sizeIndex == 0 ? 320 : 640, h = w * 3 / 4;
    std::mt19937 rng(static_cast<unsigned>(c.mode * 4 + c.sizeIndex * 2 + c.swap));
    Pair pair(w, h);
    fillRandom(pair.left, rng);
    fillRandom(pair.right, rng);
    cv::Mat expectedLeft = pair.left.copy(), expectedRight = pair.right.copy();
    referenceCompose(expectedLeft, expectedRight, c.mode, c.swap);
    pair.compose(c.mode, c.swap);
    EXPECT_LE(maxDifference(pair.left.mat(), expectedLeft), 1);
}

std::vector<ModeCase> allModeCases() {
    std::vector<ModeCase> cases;
    for (int s = 0; s < 2; ++s)
        for (int32_t m = 0; m < imageModeCount; ++m)
            for (bool swap : {false, true})
                cases.push_back({s, m, swap});
    for (int32_t m : {12, -1, 1000})
        cases.push_back({0, m, true});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Modes, EveryMode, ::testing::ValuesIn(allModeCases()),
                         [](const ::testing::TestParamInfo<ModeCase>& info) {
                             const ModeCase& c = info.param;
                             std::string mode =
                                 c.mode < 0 ? "minus" + std::to_string(-c.mode) : std::to_string(c.mode);
                             return std::string(c.sizeIndex ? "640_" : "320_") + "mode" + mode +
                                    (c.swap ? "_swap" : "");
                         });

// ---- properties stated for particular modes ----------------------------------

TEST_F(Compose, SwapPicksTheOtherCameraForLeftAndRightImage) {
    Pair pair(320, 240);
    fillColor(pair.left, 10, 20, 30);
    fillColor(pair.right, 40, 50, 60);
    pair.compose(LeftImage, true);
    EXPECT_EQ(pair.left.mat().at<cv::Vec3b>(100, 100), cv::Vec3b(40, 50, 60));
    fillColor(pair.left, 10, 20, 30);
    fillColor(pair.right, 40, 50, 60);
    pair.compose(RightImage, true);
    EXPECT_EQ(pair.left.mat().at<cv::Vec3b>(100, 100), cv::Vec3b(10, 20, 30));
}

TEST_F(Compose, PictureInPictureTouchesOnlyTheInset) {
    useSize(1);
    std::mt19937 rng(41);
    Pair pair(640, 480);
    fillRandom(pair.left, rng);
    fillColor(pair.right, 0, 255, 0);
    const cv::Mat before = pair.left.copy();
    pair.compose(PictureInPicture, false);
    cv::Mat after = pair.left.mat();
    const cv::Rect inset(400, 0, 240, 180);
    EXPECT_EQ(cv::countNonZero(after(inset).reshape(1) !=
                               cv::Mat(180, 240, CV_8UC3, cv::Scalar(0, 255, 0)).reshape(1)),
              0);
    cv::Mat outside = after.clone();
    before(inset).copyTo(outside(inset));
    EXPECT_EQ(maxDifference(outside, before), 0);
}

TEST_F(Compose, SideBySideAndUpAndDownPlaceEachEye) {
    Pair pair(320, 240);
    fillColor(pair.left, 0, 0, 200);
    fillColor(pair.right, 200, 0, 0);
    pair.compose(SideBySide, false);
    cv::Mat out = pair.left.mat();
    EXPECT_EQ(cv::countNonZero(out(cv::Rect(0, 0, 160, 240)).reshape(1) !=
                               cv::Mat(240, 160, CV_8UC3, cv::Scalar(0, 0, 200)).reshape(1)),
              0);
    EXPECT_EQ(cv::countNonZero(out(cv::Rect(160, 0, 160, 240)).reshape(1) !=
                               cv::Mat(240, 160, CV_8UC3, cv::Scalar(200, 0, 0)).reshape(1)),
              0);

    fillColor(pair.left, 0, 0, 200);
    fillColor(pair.right, 200, 0, 0);
    pair.compose(UpAndDown, false);
    EXPECT_EQ(out.at<cv::Vec3b>(120, 5), cv::Vec3b(0, 0, 200)) << "rows 120..239 hold the left picture";
    EXPECT_EQ(out.at<cv::Vec3b>(239, 319), cv::Vec3b(0, 0, 200));
    EXPECT_EQ(out.at<cv::Vec3b>(119, 5), cv::Vec3b(200, 0, 0)) << "rows 0..119 the right one";
    EXPECT_EQ(out.at<cv::Vec3b>(0, 0), cv::Vec3b(200, 0, 0));
}

TEST_F(Compose, AnaglyphChannelsFollowTheEyes) {
    Pair pair(320, 240);
    fillColor(pair.left, 0, 0, 255);
    fillColor(pair.right, 255, 0, 0);
    pair.compose(ColorAnaglyph, false);
    EXPECT_EQ(cv::countNonZero(pair.left.mat().reshape(1) !=
                               cv::Mat(240, 320, CV_8UC3, cv::Scalar(255, 0, 255)).reshape(1)),
              0);

    fillColor(pair.left, 255, 255, 255);
    fillColor(pair.right, 0, 0, 0);
    pair.compose(GrayAnaglyph, false);
    EXPECT_EQ(pair.left.mat().at<cv::Vec3b>(17, 33), cv::Vec3b(0, 0, 255));

    // With the swap the second camera feeds red.
    fillColor(pair.left, 255, 255, 255);
    fillColor(pair.right, 0, 0, 0);
    pair.compose(GrayAnaglyph, true);
    EXPECT_EQ(pair.left.mat().at<cv::Vec3b>(17, 33), cv::Vec3b(255, 255, 0));

    std::mt19937 rng(43);
    fillRandom(pair.left, rng);
    fillRandom(pair.right, rng);
    pair.compose(TrueAnaglyph, false);
    std::vector<cv::Mat> planes;
    cv::split(pair.left.mat(), planes);
    EXPECT_EQ(cv::countNonZero(planes[1]), 0);

    // Identical pictures in the grey anaglyph: a grey picture.
    fillRandom(pair.left, rng);
    pair.right.bytes = pair.left.bytes;
    pair.compose(GrayAnaglyph, false);
    cv::split(pair.left.mat(), planes);
    EXPECT_EQ(cv::countNonZero(planes[0] != planes[1]), 0);
    EXPECT_EQ(cv::countNonZero(planes[0] != planes[2]), 0);
}

TEST_F(Compose, RatioModesLeaveBlackBands) {
    Pair pair(320, 240);
    fillColor(pair.left, 255, 255, 255);
    fillColor(pair.right, 255, 255, 255);
    pair.compose(SideBySideRatio, false);
    cv::Mat grey;
    cv::cvtColor(pair.left.mat(), grey, cv::COLOR_BGR2GRAY);
    EXPECT_EQ(cv::countNonZero(grey(cv::Rect(0, 60, 320, 120)) != 255), 0);
    EXPECT_EQ(cv::countNonZero(grey(cv::Rect(0, 0, 320, 60))), 0);
    EXPECT_EQ(cv::countNonZero(grey(cv::Rect(0, 180, 320, 60))), 0);

    // Switching to up and down leaves no band behind.
    fillColor(pair.left, 255, 255, 255);
    pair.compose(UpAndDown, false);
    cv::cvtColor(pair.left.mat(), grey, cv::COLOR_BGR2GRAY);
    EXPECT_EQ(cv::countNonZero(grey != 255), 0);

    useSize(1);
    Pair big(640, 480);
    fillColor(big.left, 255, 255, 255);
    fillColor(big.right, 255, 255, 255);
    big.compose(UpAndDownRatio, false);
    cv::cvtColor(big.left.mat(), grey, cv::COLOR_BGR2GRAY);
    EXPECT_EQ(cv::countNonZero(grey(cv::Rect(160, 0, 320, 480)) != 255), 0);
    EXPECT_EQ(cv::countNonZero(grey(cv::Rect(0, 0, 160, 480))), 0);
    EXPECT_EQ(cv::countNonZero(grey(cv::Rect(480, 0, 160, 480))), 0);
}

TEST_F(Compose, NestedModesPutTheInsetInTheBottomRightCorner) {
    Pair pair(320, 240);
    fillColor(pair.left, 10, 20, 250);
    fillColor(pair.right, 200, 100, 5);
    pair.compose(TwoDInThreeD, false);
    cv::Mat out = pair.left.mat();
    EXPECT_EQ(out.at<cv::Vec3b>(0, 200), cv::Vec3b(10, 20, 250)) << "inset: the left picture in its colours";
    EXPECT_EQ(out.at<cv::Vec3b>(89, 319), cv::Vec3b(10, 20, 250));
    EXPECT_EQ(out.at<cv::Vec3b>(90, 319), cv::Vec3b(200, 100, 250)) << "elsewhere the anaglyph";
    EXPECT_EQ(out.at<cv::Vec3b>(0, 199), cv::Vec3b(200, 100, 250));

    fillColor(pair.left, 10, 20, 250);
    fillColor(pair.right, 200, 100, 5);
    pair.compose(ThreeDInTwoD, false);
    EXPECT_EQ(out.at<cv::Vec3b>(0, 200), cv::Vec3b(200, 100, 250)) << "inset: the anaglyph";
    EXPECT_EQ(out.at<cv::Vec3b>(90, 319), cv::Vec3b(10, 20, 250)) << "elsewhere the left picture";
}

// ---- failure paths -----------------------------------------------------------

struct CapturedBox {
    std::string text, caption;
    unsigned type = 0;
    int count = 0;
};
CapturedBox captured;

int captureBox(const char* text, const char* caption, unsigned type) {
    captured.text = text;
    captured.caption = caption;
    captured.type = type;
    ++captured.count;
    return IDOK;
}

TEST_F(Compose, NullBufferShowsTheWarningOncePerPairAndComposesNothing) {
    Pair pair(320, 240);
    std::mt19937 rng(47);
    fillRandom(pair.left, rng);
    fillRandom(pair.right, rng);
    const std::vector<BYTE> leftBefore = pair.left.bytes, rightBefore = pair.right.bytes;
    const CompositionChoice rightSwapped{RightImage, true};
    const MessageBoxHandler previous = dvSetMessageBoxHandler(&captureBox);
    captured = CapturedBox{};
    for (int which = 0; which < 3; ++which) {
        // Null data pointer on the left (which 0), the right (1), both (2).
        const LONG size = static_cast<LONG>(pair.left.bytes.size());
        BufferSample l(which != 1 ? nullptr : pair.left.bytes.data(), size);
        BufferSample r(which != 0 ? nullptr : pair.right.bytes.data(), size);
        EXPECT_EQ(
            composeStereoFrame(&l, &r, StereoFormats{&pair.leftType.mt, &pair.rightType.mt}, rightSwapped),
            S_OK);
        EXPECT_EQ(captured.count, which + 1);
    }
    BufferSample r(pair.right.bytes);
    composeStereoFrame(nullptr, &r, StereoFormats{&pair.leftType.mt, &pair.rightType.mt}, rightSwapped);
    dvSetMessageBoxHandler(previous);
    EXPECT_EQ(captured.count, 4);
    EXPECT_EQ(captured.text, "One or both data pointer null");
    EXPECT_EQ(captured.caption, "null pointer");
    EXPECT_EQ(captured.type, static_cast<unsigned>(MB_OK | MB_ICONWARNING));
    EXPECT_EQ(pair.left.bytes, leftBefore);
    EXPECT_EQ(pair.right.bytes, rightBefore);
}

TEST_F(Compose, UnusableFormatsChangeNothing) {
    Pair pair(320, 240);
    std::mt19937 rng(53);
    fillRandom(pair.left, rng);
    fillRandom(pair.right, rng);
    const std::vector<BYTE> leftBefore = pair.left.bytes, rightBefore = pair.right.bytes;
    const MessageBoxHandler previous = dvSetMessageBoxHandler(&captureBox);
    captured = CapturedBox{};
    VideoType bits32(320, 240, 32), bits16(320, 240, 16), shortBlock(320, 240), good(320, 240);
    shortBlock.mt.cbFormat = 40;
    const CompositionChoice sideBySideSwapped{SideBySide, true};
    const StereoFormats formats[] = {{&bits32.mt, &good.mt},
                                     {&good.mt, &bits16.mt},
                                     {&shortBlock.mt, &good.mt},
                                     {&good.mt, nullptr},
                                     {nullptr, nullptr}};
    for (const StereoFormats& f : formats) {
        BufferSample l(pair.left.bytes), r(pair.right.bytes);
        composeStereoFrame(&l, &r, f, sideBySideSwapped);
    }
    // A buffer smaller than its format's picture.
    std::vector<BYTE> small(1000);
    BufferSample l(small), r(pair.right.bytes);
    composeStereoFrame(&l, &r, StereoFormats{&good.mt, &good.mt}, sideBySideSwapped);
    dvSetMessageBoxHandler(previous);
    EXPECT_EQ(captured.count, 0);
    EXPECT_EQ(pair.left.bytes, leftBefore);
    EXPECT_EQ(pair.right.bytes, rightBefore);
    EXPECT_EQ(small, std::vector<BYTE>(1000));
}

struct MissingCase {
    bool picture, plane;
};

class MissingWorkImage : public Compose, public ::testing::WithParamInterface<MissingCase> {};

TEST_P(MissingWorkImage, ModesThatNeedItLeaveThePicturesAsTheyWere) {
    const MissingCase c = GetParam();
    setWorkImageCreationFailure(c.picture, c.plane);
    useSize(0);
    std::mt19937 rng(59);
    for (int32_t mode = 0; mode < imageModeCount; ++mode) {
        for (bool swap : {false, true}) {
            Pair pair(320, 240);
            fillRandom(pair.left, rng);
            fillRandom(pair.right, rng);
            cv::Mat expectedLeft = pair.left.copy(), expectedRight = pair.right.copy();
            referenceCompose(expectedLeft, expectedRight, mode, swap, !c.picture, !c.plane);
            const cv::Mat original = pair.left.copy();
            pair.compose(mode, swap);
            EXPECT_LE(maxDifference(pair.left.mat(), expectedLeft), 1) << "mode " << mode << " swap " << swap;
            const bool needsPicture =
                mode == 2 || mode == 5 || mode == 6 || mode == 7 || mode == 8 || mode == 9;
            const bool needsPlane = mode == 4 || mode == 5 || mode == 6 || mode == 10 || mode == 11;
            if (c.picture && (needsPicture || (needsPlane && c.plane))) {
                EXPECT_EQ(maxDifference(pair.left.mat(), original), 0) << "mode " << mode;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Images, MissingWorkImage,
                         ::testing::Values(MissingCase{true, false}, MissingCase{false, true},
                                           MissingCase{true, true}),
                         [](const ::testing::TestParamInfo<MissingCase>& info) {
                             return std::string(info.param.picture ? "NoPicture" : "") +
                                    (info.param.plane ? "NoPlane" : "");
                         });

// ---- pictures whose sizes differ -----------------------------------------------

// Buffers with guard bytes around them that must survive every composition
// (AddressSanitizer builds also catch any access outside them directly).
struct GuardedPicture {
    GuardedPicture(int w, int h) : type(w, h), size(static_cast<size_t>(pix::pictureStride(w)) * h) {
        storage.assign(size + 2 * guard, 0xA5);
    }
    static constexpr size_t guard = 64;
    VideoType type;
    size_t size;
    std::vector<BYTE> storage;
    BYTE* pixels() { return storage.data() + guard; }
    std::vector<BYTE> content() const {
        return std::vector<BYTE>(storage.begin() + guard, storage.begin() + guard + size);
    }
    bool guardsIntact() const {
        for (size_t i = 0; i < guard; ++i)
            if (storage[i] != 0xA5 || storage[guard + size + i] != 0xA5) return false;
        return true;
    }
};

TEST_F(Compose, MismatchedSizesStayInsideEveryBuffer) {
    struct Sizes {
        int lw, lh, rw, rh, sizeIndex;
    } cases[] = {
        {320, 240, 640, 480, 0}, {640, 480, 320, 240, 0}, {640, 480, 640, 480, 0}, {320, 240, 320, 240, 1},
        {321, 241, 321, 241, 0}, {17, 9, 640, 480, 1},    {640, 480, 3, 2, 1},     {1, 1, 1, 1, 0},
    };
    std::mt19937 rng(61);
    for (const Sizes& s : cases) {
        useSize(s.sizeIndex);
        for (int32_t mode = -1; mode <= imageModeCount; ++mode) {
            for (bool swap : {false, true}) {
                GuardedPicture l(s.lw, s.lh), r(s.rw, s.rh);
                std::uniform_int_distribution<int> byte(0, 255);
                for (size_t i = 0; i < l.size; ++i)
                    l.pixels()[i] = static_cast<BYTE>(byte(rng));
                for (size_t i = 0; i < r.size; ++i)
                    r.pixels()[i] = static_cast<BYTE>(byte(rng));
                const std::vector<BYTE> leftBefore = l.content();
                BufferSample ls(l.pixels(), static_cast<LONG>(l.size)),
                    rs(r.pixels(), static_cast<LONG>(r.size));
                composeStereoFrame(&ls, &rs, StereoFormats{&l.type.mt, &r.type.mt},
                                   CompositionChoice{mode, swap});
                EXPECT_TRUE(l.guardsIntact() && r.guardsIntact());
                const bool sameSize = s.lw == s.rw && s.lh == s.rh;
                if (!sameSize && (mode == LeftImage || mode == RightImage)) {
                    EXPECT_EQ(l.content(), leftBefore) << "a copy between different sizes changes nothing";
                }
                if (!sameSize && mode == PictureInPicture && !swap) {
                    // The whole right picture is still scaled into the inset.
                    cv::Mat right(s.rh, s.rw, CV_8UC3, r.pixels(), pix::pictureStride(s.rw));
                    cv::Mat expected(s.lh, s.lw, CV_8UC3, const_cast<BYTE*>(leftBefore.data()),
                                     pix::pictureStride(s.lw));
                    expected = expected.clone();
                    const cv::Rect inset(5 * s.lw / 8, 0, 3 * s.lw / 8, 3 * s.lh / 8);
                    if (inset.area() > 0) {
                        cv::Mat roi = expected(inset);
                        cv::resize(right, roi, inset.size(), 0, 0, cv::INTER_LINEAR);
                    }
                    cv::Mat got(s.lh, s.lw, CV_8UC3, l.pixels(), pix::pictureStride(s.lw));
                    EXPECT_LE(maxDifference(got, expected), 1) << s.lw << "x" << s.lh;
                }
            }
        }
    }
}

TEST_F(Compose, PicturesOfOneSizeOtherThanTheWorkingImagesStillComposeThePictureInPicture) {
    useSize(0);  // working images 320 x 240, pictures 640 x 480
    std::mt19937 rng(67);
    Pair pair(640, 480);
    fillRandom(pair.left, rng);
    fillRandom(pair.right, rng);
    cv::Mat expectedLeft = pair.left.copy(), expectedRight = pair.right.copy();
    referenceCompose(expectedLeft, expectedRight, PictureInPicture, false);
    pair.compose(PictureInPicture, false);
    EXPECT_LE(maxDifference(pair.left.mat(), expectedLeft), 1);
}

// ---- the format step against running compositions ------------------------------

TEST_F(Compose, FormatStepNeverReplacesImagesUnderARunningComposition) {
    // Pictures of 640 x 480 in side-by-side mode: with 640 x 480 working images
    // the result is the side-by-side picture, with 320 x 240 ones the copy out
    // of workPicture changes nothing. Every frame must be one of the two.
    std::mt19937 rng(71);
    Pair source(640, 480);
    fillRandom(source.left, rng);
    fillRandom(source.right, rng);
    cv::Mat composed = source.left.copy(), scratch = source.right.copy();
    referenceCompose(composed, scratch, SideBySide, false);
    const cv::Mat unchanged = source.left.copy();

    std::atomic<bool> stop{false};
    std::thread formatter([&] {
        // The pause lets the composing thread take the lock: the mutex is not
        // fair, and a loop that relocks at once starves it (minutes under TSan).
        for (int i = 0; !stop.load(); ++i) {
            applySizeIndex(i % 2);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    int frames = 0, sideBySide = 0, untouched = 0;
    Pair pair(640, 480);
    for (; frames < 150; ++frames) {
        pair.left.bytes = source.left.bytes;
        pair.right.bytes = source.right.bytes;
        BufferSample l(pair.left.bytes), r(pair.right.bytes);
        composeStereoFrame(&l, &r, StereoFormats{&pair.leftType.mt, &pair.rightType.mt},
                           CompositionChoice{SideBySide, false});
        if (maxDifference(pair.left.mat(), composed) <= 1)
            ++sideBySide;
        else if (maxDifference(pair.left.mat(), unchanged) == 0)
            ++untouched;
    }
    stop = true;
    formatter.join();
    EXPECT_EQ(sideBySide + untouched, frames) << "a frame was composed against half-replaced working images";
}

}  // namespace
