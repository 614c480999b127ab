#include "test_support.h"

#include <opencv2/imgproc.hpp>

namespace testing_support {

Picture::Picture(int w, int h)
    : width(w), height(h), stride(pix::pictureStride(w)), bytes(static_cast<size_t>(stride) * h, 0) {}

pix::ImageView Picture::view() {
    pix::ImageView v;
    v.width = width;
    v.height = height;
    v.channels = 3;
    v.stride = stride;
    v.data = bytes.data();
    return v;
}

cv::Mat Picture::mat() {
    return cv::Mat(height, width, CV_8UC3, bytes.data(), static_cast<size_t>(stride));
}

cv::Mat Picture::copy() const {
    return cv::Mat(height, width, CV_8UC3, const_cast<BYTE*>(bytes.data()), static_cast<size_t>(stride))
        .clone();
}

void fillRandom(Picture& p, std::mt19937& rng) {
    std::uniform_int_distribution<int> byte(0, 255);
    for (auto& b : p.bytes)
        b = static_cast<BYTE>(byte(rng));
}

void fillColor(Picture& p, uint8_t b, uint8_t g, uint8_t r) {
    p.mat().setTo(cv::Scalar(b, g, r));
}

cv::Mat randomMat(int width, int height, int type, std::mt19937& rng) {
    cv::Mat m(height, width, type);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int y = 0; y < m.rows; ++y) {
        uint8_t* row = m.ptr<uint8_t>(y);
        for (size_t i = 0; i < m.cols * m.elemSize(); ++i)
            row[i] = static_cast<uint8_t>(byte(rng));
    }
    return m;
}

int maxDifference(const cv::Mat& a, const cv::Mat& b) {
    CV_Assert(a.size() == b.size() && a.type() == b.type());
    cv::Mat diff;
    cv::absdiff(a, b, diff);
    double maxValue = 0;
    cv::minMaxLoc(diff.reshape(1), nullptr, &maxValue);
    return static_cast<int>(maxValue);
}

namespace {

void resizeInto(const cv::Mat& src, cv::Mat& dst, cv::Rect r) {
    cv::Mat roi = dst(r);
    cv::resize(src, roi, r.size(), 0, 0, cv::INTER_LINEAR);
}

void copyChannel(const cv::Mat& src, int srcChannel, cv::Mat& dst, int dstChannel) {
    const int pairs[2] = {srcChannel, dstChannel};
    cv::Mat outs[1] = {dst};
    cv::mixChannels(&src, 1, outs, 1, pairs, 1);
}

}  // namespace

void referenceCompose(cv::Mat left, cv::Mat right, int32_t mode, bool swap, bool havePicture,
                      bool havePlane) {
    const int W = left.cols, H = left.rows;
    cv::Mat workPicture, workPlane;
    if (havePicture) workPicture.create(H, W, CV_8UC3);
    if (havePlane) workPlane.create(H, W, CV_8UC1);
    if (swap && havePicture) {
        left.copyTo(workPicture);
        right.copyTo(left);
        workPicture.copyTo(right);
    }
    const uint32_t m = static_cast<uint32_t>(mode);
    const bool needPicture = m == 2 || m == 5 || m == 6 || m == 7 || m == 8 || m == 9;
    const bool needPlane = m == 4 || m == 5 || m == 6 || m == 10 || m == 11;
    if (m > 11 || (needPicture && !havePicture) || (needPlane && !havePlane)) return;
    auto buildColorAnaglyph = [&] {
        copyChannel(left, 2, workPlane, 0);
        copyChannel(workPlane, 0, right, 2);
    };
    auto extractLuma = [&](const cv::Mat& p) {
        cv::cvtColor(p, workPicture, cv::COLOR_BGR2YCrCb);
        copyChannel(workPicture, 0, workPlane, 0);
    };
    const cv::Rect inset(5 * W / 8, 0, 3 * W / 8, 3 * H / 8);
    switch (m) {
    case 0:
        break;
    case 1:
        right.copyTo(left);
        break;
    case 2:
        resizeInto(left, workPicture, cv::Rect(0, 0, W / 2, H));
        resizeInto(right, workPicture, cv::Rect(W / 2, 0, W / 2, H));
        workPicture.copyTo(left);
        break;
    case 3:
        resizeInto(right, left, inset);
        break;
    case 4:
        buildColorAnaglyph();
        right.copyTo(left);
        break;
    case 5:
    case 6:
        extractLuma(left);
        copyChannel(workPlane, 0, left, 2);
        extractLuma(right);
        copyChannel(workPlane, 0, left, 0);
        if (m == 6) workPlane.setTo(0);
        copyChannel(workPlane, 0, left, 1);
        break;
    case 7:
        workPicture.setTo(0);
        resizeInto(left, workPicture, cv::Rect(0, H / 4, W / 2, H / 2));
        resizeInto(right, workPicture, cv::Rect(W / 2, H / 4, W / 2, H / 2));
        workPicture.copyTo(left);
        break;
    case 8:
        resizeInto(left, workPicture, cv::Rect(0, H / 2, W, H / 2));
        resizeInto(right, workPicture, cv::Rect(0, 0, W, H / 2));
        workPicture.copyTo(left);
        break;
    case 9:
        workPicture.setTo(0);
        resizeInto(left, workPicture, cv::Rect(W / 4, H / 2, W / 2, H / 2));
        resizeInto(right, workPicture, cv::Rect(W / 4, 0, W / 2, H / 2));
        workPicture.copyTo(left);
        break;
    case 10:
        buildColorAnaglyph();
        resizeInto(left, right, cv::Rect(5 * right.cols / 8, 0, 3 * right.cols / 8, 3 * right.rows / 8));
        right.copyTo(left);
        break;
    case 11:
        buildColorAnaglyph();
        resizeInto(right, left, inset);
        break;
    }
}

}  // namespace testing_support
