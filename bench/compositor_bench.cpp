// Per image mode and size: our composition, the straightforward OpenCV call
// sequence for the same mode, and memcpy of one frame, measured interleaved in
// one process; medians over many repetitions.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "compositor/compose.h"
#include "compositor/frame_store.h"
#include "compositor/kernels.h"
#include "framework/runtime_settings.h"
#include "picture_support/picture_support.h"

namespace {

// The OpenCV calls a direct implementation of each mode would make, with its
// working images allocated once.
struct OpenCvModes {
    OpenCvModes(int w, int h) : workPicture(h, w, CV_8UC3), workPlane(h, w, CV_8UC1) {}
    cv::Mat workPicture, workPlane;

    static void resizeInto(const cv::Mat& src, cv::Mat& dst, cv::Rect r) {
        cv::Mat roi = dst(r);
        cv::resize(src, roi, r.size(), 0, 0, cv::INTER_LINEAR);
    }
    void channel(const cv::Mat& src, int from, cv::Mat& dst, int to) {
        const int pairs[2] = {from, to};
        cv::mixChannels(&src, 1, &dst, 1, pairs, 1);
    }
    void luma(const cv::Mat& p) {
        cv::cvtColor(p, workPicture, cv::COLOR_BGR2YCrCb);
        channel(workPicture, 0, workPlane, 0);
    }
    void run(int mode, cv::Mat left, cv::Mat right) {
        const int W = left.cols, H = left.rows;
        const cv::Rect inset(5 * W / 8, 0, 3 * W / 8, 3 * H / 8);
        switch (mode) {
        case 0:
            break;
        case 1:
            right.copyTo(left);
            break;
        case 2:
            resizeInto(left, workPicture, {0, 0, W / 2, H});
            resizeInto(right, workPicture, {W / 2, 0, W / 2, H});
            workPicture.copyTo(left);
            break;
        case 3:
            resizeInto(right, left, inset);
            break;
        case 4:
            channel(left, 2, workPlane, 0);
            channel(workPlane, 0, right, 2);
            right.copyTo(left);
            break;
        case 5:
        case 6:
            luma(left);
            channel(workPlane, 0, left, 2);
            luma(right);
            channel(workPlane, 0, left, 0);
            if (mode == 6) workPlane.setTo(0);
            channel(workPlane, 0, left, 1);
            break;
        case 7:
            workPicture.setTo(0);
            resizeInto(left, workPicture, {0, H / 4, W / 2, H / 2});
            resizeInto(right, workPicture, {W / 2, H / 4, W / 2, H / 2});
            workPicture.copyTo(left);
            break;
        case 8:
            resizeInto(left, workPicture, {0, H / 2, W, H / 2});
            resizeInto(right, workPicture, {0, 0, W, H / 2});
            workPicture.copyTo(left);
            break;
        case 9:
            workPicture.setTo(0);
            resizeInto(left, workPicture, {W / 4, H / 2, W / 2, H / 2});
            resizeInto(right, workPicture, {W / 4, 0, W / 2, H / 2});
            workPicture.copyTo(left);
            break;
        case 10:
            channel(left, 2, workPlane, 0);
            channel(workPlane, 0, right, 2);
            resizeInto(left, right, inset);
            right.copyTo(left);
            break;
        case 11:
            channel(left, 2, workPlane, 0);
            channel(workPlane, 0, right, 2);
            resizeInto(right, left, inset);
            break;
        }
    }
};

template <class F>
double timeOnce(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    const auto end = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::micro>(end - start).count();
}

double median(std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::max(5, std::atoi(argv[1])) : 400;
    cv::setNumThreads(0);
    std::printf(
        "kernels: %s, OpenCV %s single-threaded, %d interleaved repetitions, medians in microseconds\n",
        pix::kernelIsa(), CV_VERSION, repetitions);
    std::printf("%-4s %-26s %-8s %5s %9s %9s %9s %11s %11s\n", "mode", "name", "size", "swap", "ours",
                "opencv", "memcpy", "ours/memcpy", "opencv/ours");
    const int sizes[2][2] = {{320, 240}, {640, 480}};
    for (int s = 0; s < 2; ++s) {
        const int w = sizes[s][0], h = sizes[s][1];
        applySizeIndex(s);
        const size_t bytes = static_cast<size_t>(pix::pictureStride(w)) * h;
        std::vector<BYTE> left(bytes), right(bytes), copyTarget(bytes);
        cv::RNG rng(1);
        cv::Mat(1, static_cast<int>(bytes), CV_8U, left.data()).forEach<uint8_t>([&](uint8_t& p, const int*) {
            p = static_cast<uint8_t>(rng.next());
        });
        cv::randu(cv::Mat(1, static_cast<int>(bytes), CV_8U, right.data()), 0, 256);
        std::vector<BYTE> cvLeft = left, cvRight = right;
        const picture_support::Rgb24Type type(w, h);
        OpenCvModes opencv(w, h);
        cv::Mat cvLeftMat(h, w, CV_8UC3, cvLeft.data(), pix::pictureStride(w));
        cv::Mat cvRightMat(h, w, CV_8UC3, cvRight.data(), pix::pictureStride(w));
        for (int swap = 0; swap < 2; ++swap) {
            for (int mode = 0; mode < imageModeCount; ++mode) {
                const CompositionChoice choice{mode, swap != 0};
                picture_support::BufferSample ls(left), rs(right);
                std::vector<double> ours, theirs, copies;
                for (int i = 0; i < repetitions + 10; ++i) {
                    const double a = timeOnce([&] {
                        composeStereoFrame(&ls, &rs, StereoFormats{&type.mt, &type.mt}, choice);
                    });
                    const double b = timeOnce([&] {
                        if (swap) {
                            cvLeftMat.copyTo(opencv.workPicture);
                            cvRightMat.copyTo(cvLeftMat);
                            opencv.workPicture.copyTo(cvRightMat);
                        }
                        opencv.run(mode, cvLeftMat, cvRightMat);
                    });
                    const double c = timeOnce([&] { std::memcpy(copyTarget.data(), left.data(), bytes); });
                    if (i < 10) continue;  // warm-up
                    ours.push_back(a);
                    theirs.push_back(b);
                    copies.push_back(c);
                }
                const double o = median(ours), t = median(theirs), c = median(copies);
                std::printf("%-4d %-26s %-8s %5d %9.1f %9.1f %9.1f %11.2f %11.2f\n", mode,
                            imageModeName(mode), (std::to_string(w) + "x" + std::to_string(h)).c_str(), swap,
                            o, t, c, o / c, t / o);
            }
        }
    }
    releaseWorkImages();
    return 0;
}
