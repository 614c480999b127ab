// The pixel kernels against the reference image library: bilinear resize
// within 1 of cv::resize(INTER_LINEAR), luma equal to cv::cvtColor's Y.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "compositor/kernels.h"
#include "compositor/kernels_testing.h"
#include "test_support.h"

using namespace testing_support;

namespace {

pix::ImageView viewOf(cv::Mat& m) {
    pix::ImageView v;
    v.width = m.cols;
    v.height = m.rows;
    v.channels = m.channels();
    v.stride = static_cast<std::ptrdiff_t>(m.step);
    v.data = m.data;
    return v;
}

struct ResizeCase {
    int srcW, srcH, dstW, dstH;
};

// The mode rectangles at both sizes, plus odd, tiny and enlarging cases.
const ResizeCase resizeCases[] = {
    {320, 240, 160, 240}, {320, 240, 120, 90},  {320, 240, 320, 120}, {320, 240, 160, 120},
    {640, 480, 320, 480}, {640, 480, 240, 180}, {640, 480, 640, 240}, {640, 480, 320, 240},
    {321, 241, 120, 90},  {97, 53, 31, 17},     {33, 17, 100, 50},    {7, 5, 3, 2},
    {1, 1, 5, 3},         {640, 480, 1, 1},     {5, 9, 5, 9},         {200, 100, 199, 101},
};

class ResizeAgainstReference : public ::testing::TestWithParam<ResizeCase> {};

TEST_P(ResizeAgainstReference, WithinOneOfLinearResize) {
    const ResizeCase c = GetParam();
    std::mt19937 rng(static_cast<unsigned>(c.srcW * 7919 + c.dstH));
    cv::Mat src = randomMat(c.srcW, c.srcH, CV_8UC3, rng);
    cv::Mat expected;
    cv::resize(src, expected, cv::Size(c.dstW, c.dstH), 0, 0, cv::INTER_LINEAR);

    // Into a rectangle of a larger image, with a border that must stay as it was.
    const int border = 3;
    cv::Mat canvas(c.dstH + 2 * border, c.dstW + 2 * border, CV_8UC3, cv::Scalar(7, 77, 177));
    const cv::Mat before = canvas.clone();
    const cv::Rect rect(border, border, c.dstW, c.dstH);

    pix::resizeBilinear(viewOf(src), viewOf(canvas), pix::Rect{rect.x, rect.y, rect.width, rect.height});
    EXPECT_LE(maxDifference(canvas(rect), expected), 1) << "coefficients computed on the fly";
    cv::Mat outside = canvas.clone();
    before(rect).copyTo(outside(rect));
    EXPECT_EQ(maxDifference(outside, before), 0) << "pixels outside the target changed";

    pix::ResizePlan plan;
    ASSERT_TRUE(plan.build(c.srcW, c.srcH, c.dstW, c.dstH));
    cv::Mat planned(canvas.size(), CV_8UC3, cv::Scalar(7, 77, 177));
    ASSERT_TRUE(pix::resizeWithPlan(viewOf(src), viewOf(src), viewOf(planned),
                                    pix::Rect{rect.x, rect.y, rect.width, rect.height}, plan));
    EXPECT_LE(maxDifference(planned(rect), expected), 1) << "planned resize";
    before(rect).copyTo(planned(rect));
    EXPECT_EQ(maxDifference(planned, before), 0) << "planned resize wrote outside the target";
}

INSTANTIATE_TEST_SUITE_P(Sizes, ResizeAgainstReference, ::testing::ValuesIn(resizeCases),
                         [](const ::testing::TestParamInfo<ResizeCase>& info) {
                             const ResizeCase& c = info.param;
                             return std::to_string(c.srcW) + "x" + std::to_string(c.srcH) + "to" +
                                    std::to_string(c.dstW) + "x" + std::to_string(c.dstH);
                         });

TEST(Resize, TargetPartlyOutsideIsClippedAndKeepsTheWholeMapping) {
    std::mt19937 rng(5);
    cv::Mat src = randomMat(64, 48, CV_8UC3, rng);
    cv::Mat expected;
    cv::resize(src, expected, cv::Size(40, 30), 0, 0, cv::INTER_LINEAR);
    cv::Mat dst(20, 30, CV_8UC3, cv::Scalar(1, 2, 3));
    // Target (10, 5, 40, 30) reaches past the right and top of a 30 x 20 image.
    pix::resizeBilinear(viewOf(src), viewOf(dst), pix::Rect{10, 5, 40, 30});
    EXPECT_LE(maxDifference(dst(cv::Rect(10, 5, 20, 15)), expected(cv::Rect(0, 0, 20, 15))), 1);
    EXPECT_EQ(maxDifference(dst(cv::Rect(0, 0, 10, 20)), cv::Mat(20, 10, CV_8UC3, cv::Scalar(1, 2, 3))), 0);

    // Negative origin: the part of the mapping left of and below 0 is skipped.
    cv::Mat dst2(30, 40, CV_8UC3, cv::Scalar(0, 0, 0));
    pix::resizeBilinear(viewOf(src), viewOf(dst2), pix::Rect{-10, -10, 40, 30});
    EXPECT_LE(maxDifference(dst2(cv::Rect(0, 0, 30, 20)), expected(cv::Rect(10, 10, 30, 20))), 1);

    // A plan refuses a target that does not fit.
    pix::ResizePlan plan;
    ASSERT_TRUE(plan.build(64, 48, 40, 30));
    EXPECT_FALSE(pix::resizeWithPlan(viewOf(src), viewOf(src), viewOf(dst), pix::Rect{10, 5, 40, 30}, plan));
    EXPECT_FALSE(pix::resizeWithPlan(viewOf(src), viewOf(src), viewOf(dst2), pix::Rect{0, 0, 41, 30}, plan));
}

TEST(Resize, PlannedResizeInPlaceTowardsRowZeroEqualsOutOfPlace) {
    std::mt19937 rng(11);
    for (const cv::Size size : {cv::Size(320, 240), cv::Size(640, 480)}) {
        cv::Mat a = randomMat(size.width, size.height, CV_8UC3, rng);
        cv::Mat b = randomMat(size.width, size.height, CV_8UC3, rng);
        const pix::Rect inset{5 * size.width / 8, 0, 3 * size.width / 8, 3 * size.height / 8};
        pix::ResizePlan plan;
        ASSERT_TRUE(plan.build(size.width, size.height, inset.width, inset.height));
        cv::Mat separate = a.clone();
        cv::Mat aCopy = a.clone();
        ASSERT_TRUE(pix::resizeWithPlan(viewOf(aCopy), viewOf(b), viewOf(separate), inset, plan));
        ASSERT_TRUE(pix::resizeWithPlan(viewOf(a), viewOf(b), viewOf(a), inset, plan));
        EXPECT_EQ(maxDifference(a, separate), 0);
    }
}

TEST(Resize, RowRangesInIncreasingOrderComposeTheWholeResizeAlsoInPlace) {
    std::mt19937 rng(13);
    const cv::Mat a = randomMat(640, 480, CV_8UC3, rng);
    cv::Mat b = randomMat(640, 480, CV_8UC3, rng);
    const pix::Rect inset{400, 0, 240, 180};
    pix::ResizePlan plan;
    ASSERT_TRUE(plan.build(640, 480, inset.width, inset.height));
    cv::Mat whole = a.clone(), wholeRed = a.clone();
    ASSERT_TRUE(pix::resizeWithPlan(viewOf(wholeRed), viewOf(b), viewOf(whole), inset, plan));

    // Row by row, in place over the red source, with work done on each row
    // of the destination once no later output row reads it (as the nested
    // modes do): the inset must come out as from one call.
    cv::Mat rows = a.clone();
    int done = 0;
    for (int y = 0; y < inset.height; ++y) {
        ASSERT_TRUE(pix::resizeRowsWithPlan(viewOf(rows), viewOf(b), viewOf(rows), inset, plan, y, y + 1));
        const int firstNeeded = y + 1 < inset.height ? plan.yOffset[y + 1] : rows.rows;
        for (; done < firstNeeded; ++done)
            rows.row(done).colRange(0, 400).setTo(cv::Scalar(1, 2, 3));
    }
    EXPECT_EQ(maxDifference(rows(cv::Rect(400, 0, 240, 180)), whole(cv::Rect(400, 0, 240, 180))), 0);

    // Ranges are clamped to the target; an empty one writes nothing.
    cv::Mat clamped = a.clone(), untouched = a.clone();
    ASSERT_TRUE(pix::resizeRowsWithPlan(viewOf(clamped), viewOf(b), viewOf(clamped), inset, plan, -5, 1000));
    EXPECT_EQ(maxDifference(clamped, whole), 0);
    ASSERT_TRUE(
        pix::resizeRowsWithPlan(viewOf(untouched), viewOf(b), viewOf(untouched), inset, plan, 90, 90));
    EXPECT_EQ(maxDifference(untouched, a), 0);
}

TEST(Resize, TwoSourcePlanReadsRedFromFirstAndGreenBlueFromSecond) {
    std::mt19937 rng(3);
    cv::Mat redSource = randomMat(320, 240, CV_8UC3, rng);
    cv::Mat gbSource = randomMat(320, 240, CV_8UC3, rng);
    cv::Mat mixed = gbSource.clone();
    const int pairs[2] = {2, 2};
    cv::mixChannels(&redSource, 1, &mixed, 1, pairs, 1);
    cv::Mat expected;
    cv::resize(mixed, expected, cv::Size(120, 90), 0, 0, cv::INTER_LINEAR);
    pix::ResizePlan plan;
    ASSERT_TRUE(plan.build(320, 240, 120, 90));
    cv::Mat out(90, 120, CV_8UC3);
    ASSERT_TRUE(pix::resizeWithPlan(viewOf(redSource), viewOf(gbSource), viewOf(out),
                                    pix::Rect{0, 0, 120, 90}, plan));
    EXPECT_LE(maxDifference(out, expected), 1);
}

TEST(Resize, HalvingRowKernelsMatchReferenceIncludingTails) {
    std::mt19937 rng(17);
    for (int outPixels : {1, 5, 31, 32, 33, 160, 320}) {
        cv::Mat src = randomMat(2 * outPixels, 2, CV_8UC3, rng);
        cv::Mat halfWidth, halfBoth, halfHeight;
        cv::resize(src.row(0), halfWidth, cv::Size(outPixels, 1), 0, 0, cv::INTER_LINEAR);
        cv::resize(src, halfBoth, cv::Size(outPixels, 1), 0, 0, cv::INTER_LINEAR);
        cv::resize(src, halfHeight, cv::Size(2 * outPixels, 1), 0, 0, cv::INTER_LINEAR);
        cv::Mat out(1, outPixels, CV_8UC3), outRow(1, 2 * outPixels, CV_8UC3);
        pix::halveWidthRow(out.data, src.ptr(0), outPixels);
        EXPECT_LE(maxDifference(out, halfWidth), 1) << outPixels;
        pix::quarterRow(out.data, src.ptr(0), src.ptr(1), outPixels);
        EXPECT_LE(maxDifference(out, halfBoth), 1) << outPixels;
        pix::averageRowsRow(outRow.data, src.ptr(0), src.ptr(1), 6 * outPixels);
        EXPECT_LE(maxDifference(outRow, halfHeight), 1) << outPixels;
    }
}

TEST(Luma, EqualsReferenceConversionOnEveryColourChannelCombination) {
    // All 2^24 colours would be slow under sanitizers; a 4096 x 256 image of
    // every value in each channel against stepped others covers the range.
    cv::Mat src(256, 4096, CV_8UC3);
    for (int y = 0; y < src.rows; ++y)
        for (int x = 0; x < src.cols; ++x)
            src.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uint8_t>(y), static_cast<uint8_t>(x & 255),
                                                static_cast<uint8_t>((x >> 4) * 17 % 256));
    cv::Mat ycrcb;
    cv::cvtColor(src, ycrcb, cv::COLOR_BGR2YCrCb);
    cv::Mat expectedY;
    cv::extractChannel(ycrcb, expectedY, 0);

    cv::Mat y(src.size(), CV_8UC1);
    pix::lumaPlane(viewOf(src), viewOf(y));
    EXPECT_EQ(maxDifference(y, expectedY), 0);

    cv::Mat full(src.size(), CV_8UC3);
    pix::convertToYCrCb(viewOf(src), viewOf(full));
    EXPECT_LE(maxDifference(full, ycrcb), 1);
}

TEST(Luma, AnaglyphRowTakesLumaOfEachEyeIncludingTails) {
    std::mt19937 rng(23);
    for (int pixels : {1, 7, 32, 33, 641}) {
        cv::Mat left = randomMat(pixels, 1, CV_8UC3, rng), right = randomMat(pixels, 1, CV_8UC3, rng);
        cv::Mat yl, yr;
        cv::cvtColor(left, yl, cv::COLOR_BGR2YCrCb);
        cv::cvtColor(right, yr, cv::COLOR_BGR2YCrCb);
        for (bool trueAnaglyph : {false, true}) {
            cv::Mat out(1, pixels, CV_8UC3);
            pix::lumaAnaglyphRow(out.data, left.data, right.data, pixels, trueAnaglyph);
            for (int x = 0; x < pixels; ++x) {
                const cv::Vec3b o = out.at<cv::Vec3b>(0, x);
                ASSERT_EQ(o[2], yl.at<cv::Vec3b>(0, x)[0]) << x;
                ASSERT_EQ(o[0], yr.at<cv::Vec3b>(0, x)[0]) << x;
                ASSERT_EQ(o[1], trueAnaglyph ? 0 : yr.at<cv::Vec3b>(0, x)[0]) << x;
            }
        }
        // In place over the left row.
        cv::Mat inPlace = left.clone(), separate(1, pixels, CV_8UC3);
        pix::lumaAnaglyphRow(separate.data, left.data, right.data, pixels, false);
        pix::lumaAnaglyphRow(inPlace.data, inPlace.data, right.data, pixels, false);
        EXPECT_EQ(maxDifference(inPlace, separate), 0);
    }
}

TEST(Blend, ChannelMaskPicksEachByteFromTheRightSourceIncludingTails) {
    std::mt19937 rng(29);
    for (int pixels : {1, 31, 32, 33, 100}) {
        cv::Mat a = randomMat(pixels, 1, CV_8UC3, rng), b = randomMat(pixels, 1, CV_8UC3, rng);
        for (unsigned mask = 0; mask < 8; ++mask) {
            cv::Mat out(1, pixels, CV_8UC3);
            pix::blendChannelsRow(out.data, a.data, b.data, pixels, mask);
            for (int i = 0; i < pixels * 3; ++i)
                ASSERT_EQ(out.data[i], ((mask >> (i % 3)) & 1) ? a.data[i] : b.data[i])
                    << pixels << " " << mask;
        }
    }
}

TEST(Copy, ChannelAndImageCopiesChangeNothingBetweenDifferentSizes) {
    std::mt19937 rng(31);
    cv::Mat a = randomMat(10, 8, CV_8UC3, rng), b = randomMat(11, 8, CV_8UC3, rng), plane(8, 10, CV_8UC1);
    const cv::Mat bBefore = b.clone();
    pix::copyImage(viewOf(a), viewOf(b));
    pix::copyChannel(viewOf(a), 2, viewOf(b), 2);
    EXPECT_EQ(maxDifference(b, bBefore), 0);

    pix::copyChannel(viewOf(a), 1, viewOf(plane), 0);
    cv::Mat green;
    cv::extractChannel(a, green, 1);
    EXPECT_EQ(maxDifference(plane, green), 0);
    cv::Mat c = randomMat(10, 8, CV_8UC3, rng);
    cv::Mat expected = c.clone();
    cv::insertChannel(plane, expected, 0);
    pix::copyChannel(viewOf(plane), 0, viewOf(c), 0);
    EXPECT_EQ(maxDifference(c, expected), 0);
}

// Every instruction-set level this processor has, one after another: the
// vector kernels must agree with the reference and, where they compute the
// same formula, with each other bit for bit.
class EveryIsa : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (!pix::useKernelIsaForTesting(GetParam())) GTEST_SKIP() << GetParam() << " not available here";
    }
    void TearDown() override { pix::useKernelIsaForTesting(nullptr); }
};

TEST_P(EveryIsa, LumaAnaglyphRowIsExactIncludingTailsAndInPlace) {
    std::mt19937 rng(41);
    // Around the AVX2 step (16 pixels, 2 spare) and its preloaded next block.
    for (int pixels : {1, 15, 16, 17, 18, 31, 33, 34, 35, 50, 51, 320, 640}) {
        cv::Mat left = randomMat(pixels, 1, CV_8UC3, rng), right = randomMat(pixels, 1, CV_8UC3, rng);
        cv::Mat yl, yr;
        cv::cvtColor(left, yl, cv::COLOR_BGR2YCrCb);
        cv::cvtColor(right, yr, cv::COLOR_BGR2YCrCb);
        for (bool trueAnaglyph : {false, true}) {
            cv::Mat out = left.clone();
            pix::lumaAnaglyphRow(out.data, out.data, right.data, pixels, trueAnaglyph);
            for (int x = 0; x < pixels; ++x) {
                const cv::Vec3b o = out.at<cv::Vec3b>(0, x);
                ASSERT_EQ(o[2], yl.at<cv::Vec3b>(0, x)[0]) << pixels << " " << x;
                ASSERT_EQ(o[0], yr.at<cv::Vec3b>(0, x)[0]) << pixels << " " << x;
                ASSERT_EQ(o[1], trueAnaglyph ? 0 : yr.at<cv::Vec3b>(0, x)[0]) << pixels << " " << x;
            }
        }
    }
    // Extremes of every channel, where a lost carry or a signed overflow shows.
    cv::Mat corners(1, 16, CV_8UC3);
    for (int x = 0; x < 16; ++x)
        corners.at<cv::Vec3b>(0, x) =
            cv::Vec3b(x & 1 ? 255 : 0, x & 2 ? 255 : 0, x & 4 ? 255 : (x & 8 ? 1 : 0));
    cv::Mat y, out(1, 16, CV_8UC3);
    cv::cvtColor(corners, y, cv::COLOR_BGR2YCrCb);
    pix::lumaAnaglyphRow(out.data, corners.data, corners.data, 16, false);
    for (int x = 0; x < 16; ++x)
        EXPECT_EQ(out.at<cv::Vec3b>(0, x)[2], y.at<cv::Vec3b>(0, x)[0]) << x;
}

TEST_P(EveryIsa, HalvingKernelsWorkInPlace) {
    std::mt19937 rng(43);
    for (int outPixels : {1, 8, 9, 16, 17, 33, 160, 320}) {
        cv::Mat src = randomMat(2 * outPixels, 2, CV_8UC3, rng);
        cv::Mat separate(1, outPixels, CV_8UC3);
        pix::halveWidthRow(separate.data, src.ptr(0), outPixels);
        cv::Mat row = src.row(0).clone();
        pix::halveWidthRow(row.data, row.data, outPixels);
        EXPECT_EQ(maxDifference(row.colRange(0, outPixels), separate), 0) << outPixels;

        pix::quarterRow(separate.data, src.ptr(0), src.ptr(1), outPixels);
        cv::Mat both = src.clone();
        pix::quarterRow(both.ptr(1), both.ptr(0), both.ptr(1), outPixels);
        EXPECT_EQ(maxDifference(both.row(1).colRange(0, outPixels), separate), 0) << outPixels;
    }
}

// The halving kernels at this level against the portable ones: the half
// width exactly, the quarter within 1 (a mean of two means) and bit for bit
// what the SSSE3 form gives. Rows end at their allocation, so a read past
// the row shows under the address sanitizer.
TEST_P(EveryIsa, HalvingKernelsAgreeWithPortableOnesIncludingTails) {
    std::mt19937 rng(61);
    for (int outPixels : {1, 8, 9, 16, 17, 18, 19, 24, 33, 34, 35, 160, 320}) {
        const cv::Mat row0 = randomMat(2 * outPixels, 1, CV_8UC3, rng);
        const cv::Mat row1 = randomMat(2 * outPixels, 1, CV_8UC3, rng);
        cv::Mat half(1, outPixels, CV_8UC3), quarter(1, outPixels, CV_8UC3);
        pix::halveWidthRow(half.data, row0.data, outPixels);
        pix::quarterRow(quarter.data, row0.data, row1.data, outPixels);
        cv::Mat portableHalf(1, outPixels, CV_8UC3), portableQuarter(1, outPixels, CV_8UC3);
        cv::Mat ssse3Quarter(1, outPixels, CV_8UC3);
        ASSERT_TRUE(pix::useKernelIsaForTesting("baseline"));
        pix::halveWidthRow(portableHalf.data, row0.data, outPixels);
        pix::quarterRow(portableQuarter.data, row0.data, row1.data, outPixels);
        const bool haveSsse3 = pix::useKernelIsaForTesting("ssse3");
        if (haveSsse3) pix::quarterRow(ssse3Quarter.data, row0.data, row1.data, outPixels);
        ASSERT_TRUE(pix::useKernelIsaForTesting(GetParam()));
        EXPECT_EQ(maxDifference(half, portableHalf), 0) << outPixels;
        EXPECT_LE(maxDifference(quarter, portableQuarter), 1) << outPixels;
        if (haveSsse3 && std::string(GetParam()) != "baseline") {
            EXPECT_EQ(maxDifference(quarter, ssse3Quarter), 0) << outPixels;
        }
    }
}

TEST_P(EveryIsa, PlannedResizeAgreesWithReferenceAndAcrossLevels) {
    std::mt19937 rng(47);
    const cv::Mat src = randomMat(640, 480, CV_8UC3, rng);
    const cv::Mat red = randomMat(640, 480, CV_8UC3, rng);
    for (const cv::Size target :
         {cv::Size(240, 180), cv::Size(120, 90), cv::Size(97, 61), cv::Size(700, 500)}) {
        cv::Mat expected;
        cv::resize(src, expected, target, 0, 0, cv::INTER_LINEAR);
        pix::ResizePlan plan;
        ASSERT_TRUE(plan.build(src.cols, src.rows, target.width, target.height));
        cv::Mat srcCopy = src.clone(), redCopy = red.clone();
        cv::Mat out(target, CV_8UC3, cv::Scalar(1, 2, 3));
        ASSERT_TRUE(pix::resizeWithPlan(viewOf(srcCopy), viewOf(srcCopy), viewOf(out),
                                        pix::Rect{0, 0, target.width, target.height}, plan));
        EXPECT_LE(maxDifference(out, expected), 1) << target;

        // Bit for bit what the portable kernels compute, red from another picture too.
        cv::Mat mixed(target, CV_8UC3);
        ASSERT_TRUE(pix::resizeWithPlan(viewOf(redCopy), viewOf(srcCopy), viewOf(mixed),
                                        pix::Rect{0, 0, target.width, target.height}, plan));
        ASSERT_TRUE(pix::useKernelIsaForTesting("baseline"));
        cv::Mat portable(target, CV_8UC3), portableMixed(target, CV_8UC3);
        pix::resizeWithPlan(viewOf(srcCopy), viewOf(srcCopy), viewOf(portable),
                            pix::Rect{0, 0, target.width, target.height}, plan);
        pix::resizeWithPlan(viewOf(redCopy), viewOf(srcCopy), viewOf(portableMixed),
                            pix::Rect{0, 0, target.width, target.height}, plan);
        ASSERT_TRUE(pix::useKernelIsaForTesting(GetParam()));
        EXPECT_EQ(maxDifference(out, portable), 0) << target;
        EXPECT_EQ(maxDifference(mixed, portableMixed), 0) << target;
    }
}

TEST_P(EveryIsa, InsetResizeInPlaceOfItsOwnSourceEqualsOutOfPlace) {
    std::mt19937 rng(53);
    for (const cv::Size size : {cv::Size(320, 240), cv::Size(640, 480)}) {
        const cv::Mat original = randomMat(size.width, size.height, CV_8UC3, rng);
        const pix::Rect inset{5 * size.width / 8, 0, 3 * size.width / 8, 3 * size.height / 8};
        pix::ResizePlan plan;
        ASSERT_TRUE(plan.build(size.width, size.height, inset.width, inset.height));
        cv::Mat source = original.clone(), separate = original.clone(), inPlace = original.clone();
        ASSERT_TRUE(pix::resizeWithPlan(viewOf(source), viewOf(source), viewOf(separate), inset, plan));
        ASSERT_TRUE(pix::resizeWithPlan(viewOf(inPlace), viewOf(inPlace), viewOf(inPlace), inset, plan));
        EXPECT_EQ(maxDifference(inPlace, separate), 0) << size;
    }
}

TEST_P(EveryIsa, BlendAndRowMeansIncludingTails) {
    std::mt19937 rng(59);
    // Row lengths that end after 0, 1 and 2 whole 32-byte blocks past the
    // 96-byte steps, each with 0, 1 or 2 bytes more, and the inset's 400.
    for (int pixels : {1, 31, 32, 33, 42, 43, 53, 54, 100, 400, 640}) {
        cv::Mat a = randomMat(pixels, 1, CV_8UC3, rng), b = randomMat(pixels, 1, CV_8UC3, rng);
        cv::Mat out(1, pixels, CV_8UC3);
        for (unsigned mask = 0; mask < 8; ++mask) {
            pix::blendChannelsRow(out.data, a.data, b.data, pixels, mask);
            for (int i = 0; i < pixels * 3; ++i)
                ASSERT_EQ(out.data[i], ((mask >> (i % 3)) & 1u) ? a.data[i] : b.data[i])
                    << pixels << " " << mask;
        }
        // In place over either source.
        cv::Mat inPlace = a.clone();
        pix::blendChannelsRow(inPlace.data, inPlace.data, b.data, pixels, 4u);
        pix::blendChannelsRow(out.data, a.data, b.data, pixels, 4u);
        EXPECT_EQ(maxDifference(inPlace, out), 0) << pixels;
        pix::averageRowsRow(out.data, a.data, b.data, pixels * 3);
        for (int i = 0; i < pixels * 3; ++i)
            ASSERT_EQ(out.data[i], (a.data[i] + b.data[i] + 1) / 2) << pixels;
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, EveryIsa, ::testing::Values("avx2", "ssse3", "baseline"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

}  // namespace
