// The frame callback as a host built against the image library sees it: this
// translation unit includes the library's own C types before the product's
// interface header, so the callback is an ordinary function over the
// library's IplImage, and the library's own conversion reads the headers.
#include <opencv2/core/core_c.h>
#include <opencv2/core/types_c.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <opencv2/core.hpp>
#include <string>
#include <type_traits>
#include <vector>

#include "callback_pair_driver.h"
#include "filter/stereo_interfaces.h"

static_assert(std::is_same<StereoImageHeader, IplImage>::value,
              "after the library's header the callback receives the library's IplImage");

namespace {

// What the host saw of one picture, copied during the call.
struct HostView {
    IplImage header;
    cv::Mat viaLibrary;                     // cv::cvarrToMat of the header, cloned
    std::vector<uint8_t> rowsViaWidthStep;  // width x 3 bytes of every row, read through imageData/widthStep
    bool libraryAccepted = false;
};
std::vector<HostView> hostViews;

HostView viewOf(IplImage* image) {
    HostView v;
    v.header = *image;
    try {
        v.viaLibrary = cv::cvarrToMat(image).clone();
        v.libraryAccepted = true;
    } catch (const cv::Exception&) {
        v.libraryAccepted = false;
    }
    for (int y = 0; y < image->height; ++y) {
        const auto* row = reinterpret_cast<const uint8_t*>(image->imageData + y * image->widthStep);
        v.rowsViaWidthStep.insert(v.rowsViaWidthStep.end(), row, row + image->width * image->nChannels);
    }
    return v;
}

// A host's callback, written against the library's type.
int STDMETHODCALLTYPE hostCallback(IplImage* left, IplImage* right) {
    hostViews.push_back(viewOf(left));
    hostViews.push_back(viewOf(right));
    return 0;
}

// Distinct bytes at every position of a picture, different per eye.
void fillPattern(std::vector<BYTE>& buffer, int seed) {
    for (size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = static_cast<BYTE>((i * 7 + i / 960 * 3 + seed) & 0xFF);
}

TEST(CallbackAsIplImage, HostBuiltAgainstTheLibraryReadsBothHeaders) {
    hostViews.clear();
    {
        CallbackPairDriver driver;
        ASSERT_EQ(driver.callbacks()->SetFrameCallback(&hostCallback), S_OK);
        fillPattern(driver.leftBuffer(), 1);
        fillPattern(driver.rightBuffer(), 101);
        const std::vector<BYTE> leftBefore = driver.leftBuffer(), rightBefore = driver.rightBuffer();
        const void* buffers[] = {driver.leftBuffer().data(), driver.rightBuffer().data()};
        ASSERT_TRUE(driver.deliverPair());
        ASSERT_EQ(hostViews.size(), 2u);

        const std::vector<BYTE>* expectedBytes[] = {&leftBefore, &rightBefore};
        for (int side = 0; side < 2; ++side) {
            SCOPED_TRACE(side == 0 ? "left" : "right");
            const HostView& v = hostViews[static_cast<size_t>(side)];
            const IplImage& h = v.header;
            EXPECT_EQ(h.nSize, static_cast<int>(sizeof(IplImage)));
            EXPECT_EQ(h.ID, 0);
            EXPECT_EQ(h.nChannels, 3);
            EXPECT_EQ(h.alphaChannel, 0);
            EXPECT_EQ(h.depth, IPL_DEPTH_8U);
            EXPECT_EQ(std::string(h.colorModel, 3), "RGB");
            EXPECT_EQ(h.colorModel[3], '\0');
            EXPECT_EQ(std::string(h.channelSeq, 3), "BGR");
            EXPECT_EQ(h.channelSeq[3], '\0');
            EXPECT_EQ(h.dataOrder, IPL_DATA_ORDER_PIXEL);
            EXPECT_EQ(h.origin, IPL_ORIGIN_BL);
            EXPECT_EQ(h.align, IPL_ALIGN_4BYTES);
            EXPECT_EQ(h.width, 320);
            EXPECT_EQ(h.height, 240);
            EXPECT_EQ(h.roi, nullptr);
            EXPECT_EQ(h.maskROI, nullptr);
            EXPECT_EQ(h.imageId, nullptr);
            EXPECT_EQ(h.tileInfo, nullptr);
            EXPECT_EQ(h.widthStep, 960);
            EXPECT_EQ(h.imageSize, 960 * 240);
            EXPECT_EQ(static_cast<const void*>(h.imageData), buffers[side]);
            EXPECT_EQ(h.imageDataOrigin, h.imageData);
            for (int i = 0; i < 4; ++i) {
                EXPECT_EQ(h.BorderMode[i], 0);
                EXPECT_EQ(h.BorderConst[i], 0);
            }

            // Pixels through imageData and widthStep are the sample's, unchanged.
            EXPECT_EQ(v.rowsViaWidthStep, *expectedBytes[side]);
            // The library takes the header as a picture over the sample's buffer.
            ASSERT_TRUE(v.libraryAccepted) << "cv::cvarrToMat refused the header";
            EXPECT_EQ(v.viaLibrary.rows, 240);
            EXPECT_EQ(v.viaLibrary.cols, 320);
            EXPECT_EQ(v.viaLibrary.type(), CV_8UC3);
            const cv::Mat expected(240, 320, CV_8UC3, const_cast<BYTE*>(expectedBytes[side]->data()), 960);
            EXPECT_EQ(cv::norm(v.viaLibrary, expected, cv::NORM_INF), 0.0);
            EXPECT_EQ(v.viaLibrary.at<cv::Vec3b>(239, 319),
                      cv::Vec3b((*expectedBytes[side])[239 * 960 + 319 * 3],
                                (*expectedBytes[side])[239 * 960 + 319 * 3 + 1],
                                (*expectedBytes[side])[239 * 960 + 319 * 3 + 2]));
        }
        ASSERT_EQ(driver.callbacks()->SetFrameCallback(nullptr), S_OK);
    }
}

}  // namespace
