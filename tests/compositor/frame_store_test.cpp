// The format step, the working images and the picture views.
#include <gtest/gtest.h>

#include "compositor/compose.h"
#include "compositor/frame_store.h"
#include "compositor/frame_store_testing.h"
#include "test_support.h"

using namespace testing_support;

namespace {

class FrameStore : public ::testing::Test {
protected:
    void TearDown() override {
        setWorkImageCreationFailure(false, false);
        applySizeIndex(0);
    }
};

void expectImage(const WorkImageInfo& info, int w, int h, int channels) {
    ASSERT_TRUE(info.exists);
    EXPECT_EQ(info.width, w);
    EXPECT_EQ(info.height, h);
    EXPECT_EQ(info.channels, channels);
    EXPECT_EQ(info.stride, (w * channels + 3) / 4 * 4);
    EXPECT_EQ(info.stride % 4, 0);
}

TEST_F(FrameStore, ReleaseWithoutImagesDoesNothingAndCanRepeat) {
    releaseWorkImages();
    releaseWorkImages();
    EXPECT_FALSE(workPictureInfo().exists);
    EXPECT_FALSE(workPlaneInfo().exists);
}

TEST_F(FrameStore, SizeIndexSelectsFormatAndRecreatesImages) {
    applySizeIndex(1);
    VideoFormatValues f = currentVideoFormat();
    EXPECT_EQ(f.width, 640);
    EXPECT_EQ(f.height, 480);
    EXPECT_EQ(f.frameInterval, 333333);
    EXPECT_EQ(f.frameRate, 30);
    expectImage(workPictureInfo(), 640, 480, 3);
    expectImage(workPlaneInfo(), 640, 480, 1);

    // An unknown index keeps the previous format but still re-creates both images.
    releaseWorkImages();
    applySizeIndex(5);
    f = currentVideoFormat();
    EXPECT_EQ(f.width, 640);
    EXPECT_EQ(f.height, 480);
    expectImage(workPictureInfo(), 640, 480, 3);
    expectImage(workPlaneInfo(), 640, 480, 1);

    applySizeIndex(-1);
    EXPECT_EQ(videoFormat.width, 640);

    applySizeIndex(0);
    f = currentVideoFormat();
    EXPECT_EQ(f.width, 320);
    EXPECT_EQ(f.height, 240);
    EXPECT_EQ(f.frameInterval, 333333);
    EXPECT_EQ(f.frameRate, 30);
    expectImage(workPictureInfo(), 320, 240, 3);
    expectImage(workPlaneInfo(), 320, 240, 1);
}

TEST_F(FrameStore, RepeatedFormatStepsLeaveOneImageOfEachAtTheStoredSize) {
    applySizeIndex(1);
    applySizeIndex(1);
    expectImage(workPictureInfo(), 640, 480, 3);
    expectImage(workPlaneInfo(), 640, 480, 1);
    releaseWorkImages();
    EXPECT_FALSE(workPictureInfo().exists);
    EXPECT_FALSE(workPlaneInfo().exists);
}

TEST_F(FrameStore, FailedCreationLeavesThatImageAbsent) {
    setWorkImageCreationFailure(true, false);
    applySizeIndex(0);
    EXPECT_FALSE(workPictureInfo().exists);
    EXPECT_TRUE(workPlaneInfo().exists);
    setWorkImageCreationFailure(false, true);
    applySizeIndex(0);
    EXPECT_TRUE(workPictureInfo().exists);
    EXPECT_FALSE(workPlaneInfo().exists);
}

TEST(PictureView, StrideAndExtentFollowTheFormat) {
    struct Case {
        int width, height;
        std::ptrdiff_t stride;
        size_t bytes;
    } cases[] = {{640, 480, 1920, 921600}, {320, 240, 960, 230400}, {641, 3, 1924, 5772}, {1, 1, 4, 4}};
    for (const Case& c : cases) {
        VideoType type(c.width, c.height);
        std::vector<BYTE> buffer(c.bytes);
        pix::ImageView view;
        ASSERT_TRUE(makePictureView(&type.mt, buffer.data(), static_cast<LONG>(buffer.size()), view))
            << c.width;
        EXPECT_EQ(view.width, c.width);
        EXPECT_EQ(view.height, c.height);
        EXPECT_EQ(view.channels, 3);
        EXPECT_EQ(view.stride, c.stride);
        EXPECT_EQ(view.byteSize(), c.bytes);
        EXPECT_EQ(view.data, buffer.data()) << "the view points into the sample, nothing copied";
        // One byte short: refused.
        EXPECT_FALSE(makePictureView(&type.mt, buffer.data(), static_cast<LONG>(buffer.size() - 1), view));
    }
}

TEST(PictureView, TopDownHeightIsTakenByMagnitude) {
    VideoType type(320, -240);
    std::vector<BYTE> buffer(230400);
    pix::ImageView view;
    ASSERT_TRUE(makePictureView(&type.mt, buffer.data(), 230400, view));
    EXPECT_EQ(view.height, 240);
}

TEST(PictureView, RefusesUnusableFormats) {
    std::vector<BYTE> buffer(921600);
    pix::ImageView view;
    VideoType bits32(320, 240, 32);
    EXPECT_FALSE(makePictureView(&bits32.mt, buffer.data(), 921600, view));
    VideoType shortBlock(320, 240);
    shortBlock.mt.cbFormat = sizeof(VIDEOINFOHEADER) - 1;
    EXPECT_FALSE(makePictureView(&shortBlock.mt, buffer.data(), 921600, view));
    EXPECT_EQ(videoInfoOf(&shortBlock.mt), nullptr);
    VideoType noBlock(320, 240);
    noBlock.mt.pbFormat = nullptr;
    EXPECT_EQ(videoInfoOf(&noBlock.mt), nullptr);
    VideoType otherFormat(320, 240);
    otherFormat.mt.formattype = FORMAT_VideoInfo2;
    EXPECT_EQ(videoInfoOf(&otherFormat.mt), nullptr);
    EXPECT_EQ(videoInfoOf(nullptr), nullptr);
    for (int w : {0, -320, 1 << 20}) {
        VideoType bad(w, 240);
        EXPECT_FALSE(makePictureView(&bad.mt, buffer.data(), 921600, view)) << w;
    }
    VideoType zeroHeight(320, 0);
    EXPECT_FALSE(makePictureView(&zeroHeight.mt, buffer.data(), 921600, view));
    VideoType good(320, 240);
    EXPECT_FALSE(makePictureView(&good.mt, nullptr, 921600, view));
}

TEST(ImageModes, DefaultIsPictureInPicture) {
    EXPECT_EQ(defaultImageMode, PictureInPicture);
    EXPECT_EQ(defaultImageMode, 3);
}

}  // namespace
