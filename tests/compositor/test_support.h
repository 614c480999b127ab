// Shared helpers of the compositor tests: 24-bit media types of any bit
// count, picture buffers and an OpenCV reference that follows the image
// modes' steps literally.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include <opencv2/core.hpp>

#include "compositor/compose.h"
#include "compositor/image.h"
#include "picture_support/picture_support.h"

namespace testing_support {

using picture_support::BufferSample;

// The 24-bit RGB video type, with `bitCount` written into it (the subtype and
// biSizeImage stay those of 24 bits).
struct VideoType : picture_support::Rgb24Type {
    VideoType(int width, int height, int bitCount = 24) : Rgb24Type(width, height) {
        info.bmiHeader.biBitCount = static_cast<WORD>(bitCount);
    }
};

// A picture buffer of width x height (24-bit, rows padded to 4 bytes).
struct Picture {
    Picture(int width, int height);
    int width, height;
    std::ptrdiff_t stride;
    std::vector<BYTE> bytes;
    pix::ImageView view();
    cv::Mat mat();  // header over `bytes`, buffer row order
    cv::Mat copy() const;
};

void fillRandom(Picture& p, std::mt19937& rng);
void fillColor(Picture& p, uint8_t b, uint8_t g, uint8_t r);
cv::Mat randomMat(int width, int height, int type, std::mt19937& rng);

// Largest absolute difference between two images of one size and type.
int maxDifference(const cv::Mat& a, const cv::Mat& b);

// The composition as the mode steps state it, on OpenCV calls, with working
// images of the left picture's size (absent when the flags say so). `left` and
// `right` are modified in place like the sample buffers.
void referenceCompose(cv::Mat left, cv::Mat right, int32_t mode, bool swap, bool havePicture = true,
                      bool havePlane = true);

}  // namespace testing_support
