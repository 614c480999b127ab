#include "v4l2check.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "compositor/compose.h"
#include "compositor/frame_store.h"
#include "framework/runtime_settings.h"
#include "picture_support/picture_support.h"

namespace v4l2check {
namespace {

uint8_t clampByte(double v) {
    return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

void yuvToBgr(int y, int u, int v, uint8_t* bgr) {
    const double c = 1.164 * (y - 16), d = u - 128, e = v - 128;
    bgr[0] = clampByte(c + 2.018 * d);
    bgr[1] = clampByte(c - 0.391 * d - 0.813 * e);
    bgr[2] = clampByte(c + 1.596 * e);
}

double lumaOf(const uint8_t* bgr) {
    return 16 + (65.481 * bgr[2] + 128.553 * bgr[1] + 24.966 * bgr[0]) / 255;
}
double blueDiffOf(const uint8_t* bgr) {
    return 128 + (-37.797 * bgr[2] - 74.203 * bgr[1] + 112.0 * bgr[0]) / 255;
}
double redDiffOf(const uint8_t* bgr) {
    return 128 + (112.0 * bgr[2] - 93.786 * bgr[1] - 18.214 * bgr[0]) / 255;
}

}  // namespace

Picture::Picture(int w, int h)
    : width(w),
      height(h),
      stride(static_cast<int>(pix::pictureStride(w))),
      bytes(static_cast<size_t>(stride) * h) {}

size_t frameBytes(PixelFormat format, int width, int height) {
    return static_cast<size_t>(width) * height * (format == PixelFormat::Yuyv ? 2 : 3);
}

Picture decodeFrame(PixelFormat format, const uint8_t* frame, int width, int height) {
    Picture p(width, height);
    for (int line = 0; line < height; ++line) {
        if (format == PixelFormat::Rgb24) {
            const uint8_t* src = frame + static_cast<size_t>(line) * width * 3;
            for (int x = 0; x < width; ++x) {
                uint8_t* dst = p.pixel(x, line);
                dst[0] = src[3 * x + 2];
                dst[1] = src[3 * x + 1];
                dst[2] = src[3 * x];
            }
            continue;
        }
        const uint8_t* src = frame + static_cast<size_t>(line) * width * 2;
        for (int x = 0; x + 1 < width; x += 2, src += 4) {
            yuvToBgr(src[0], src[1], src[3], p.pixel(x, line));
            yuvToBgr(src[2], src[1], src[3], p.pixel(x + 1, line));
        }
    }
    return p;
}

std::vector<uint8_t> encodeFrame(PixelFormat format, const Picture& picture) {
    const int w = picture.width, h = picture.height;
    std::vector<uint8_t> out(frameBytes(format, w, h));
    for (int line = 0; line < h; ++line) {
        if (format == PixelFormat::Rgb24) {
            uint8_t* dst = out.data() + static_cast<size_t>(line) * w * 3;
            for (int x = 0; x < w; ++x) {
                const uint8_t* src = picture.pixel(x, line);
                dst[3 * x] = src[2];
                dst[3 * x + 1] = src[1];
                dst[3 * x + 2] = src[0];
            }
            continue;
        }
        uint8_t* dst = out.data() + static_cast<size_t>(line) * w * 2;
        for (int x = 0; x + 1 < w; x += 2, dst += 4) {
            const uint8_t* a = picture.pixel(x, line);
            const uint8_t* b = picture.pixel(x + 1, line);
            dst[0] = clampByte(lumaOf(a));
            dst[1] = clampByte((blueDiffOf(a) + blueDiffOf(b)) / 2);
            dst[2] = clampByte(lumaOf(b));
            dst[3] = clampByte((redDiffOf(a) + redDiffOf(b)) / 2);
        }
    }
    return out;
}

Difference compare(const Picture& want, const Picture& got, int farThreshold) {
    Difference d;
    if (want.width != got.width || want.height != got.height || want.width == 0 || want.height == 0) {
        d.meanAbs = 255;
        d.farShare = 1;
        return d;
    }
    uint64_t sum = 0, far = 0;
    for (int line = 0; line < want.height; ++line) {
        for (int x = 0; x < want.width; ++x) {
            const uint8_t* a = want.pixel(x, line);
            const uint8_t* b = got.pixel(x, line);
            int worst = 0;
            for (int c = 0; c < 3; ++c) {
                const int diff = std::abs(a[c] - b[c]);
                sum += static_cast<uint64_t>(diff);
                worst = std::max(worst, diff);
            }
            far += worst > farThreshold ? 1 : 0;
        }
    }
    const double pixels = static_cast<double>(want.width) * want.height;
    d.meanAbs = static_cast<double>(sum) / (pixels * 3);
    d.farShare = static_cast<double>(far) / pixels;
    return d;
}

std::string describe(const Expectation& e) {
    if (e.mode < 0) return "passthrough (left picture)";
    const char* name = imageModeName(e.mode);
    return "mode " + std::to_string(e.mode) + " (" + (name ? name : "?") + "), swap " +
           std::to_string(e.swap);
}

Picture expectedPicture(const Expectation& e, const Picture& left, const Picture& right) {
    if (e.mode < 0) return left;
    const int sizeIndex = left.width == 320 && left.height == 240   ? 0
                          : left.width == 640 && left.height == 480 ? 1
                                                                    : -1;
    if (sizeIndex < 0 || right.width != left.width || right.height != left.height) return {};
    Picture l = left, r = right;
    picture_support::Rgb24Type type(left.width, left.height);
    applySizeIndex(sizeIndex);
    picture_support::BufferSample ls(l.bytes), rs(r.bytes);
    composeStereoFrame(&ls, &rs, StereoFormats{&type.mt, &type.mt}, CompositionChoice{e.mode, e.swap != 0});
    return l;
}

std::vector<Candidate> makeCandidates(const std::vector<Expectation>& expectations, const Picture& left,
                                      const Picture& right, PixelFormat roundTrip) {
    std::vector<Candidate> out;
    for (const Expectation& e : expectations) {
        Picture p = expectedPicture(e, left, right);
        if (p.width == 0) continue;
        const std::vector<uint8_t> frame = encodeFrame(roundTrip, p);
        out.push_back({e, decodeFrame(roundTrip, frame.data(), p.width, p.height)});
    }
    return out;
}

Match nearest(const std::vector<Candidate>& candidates, const Picture& got) {
    Match best;
    for (const Candidate& c : candidates) {
        const Difference d = compare(c.picture, got);
        if (!best.candidate || d.meanAbs < best.difference.meanAbs) {
            best.candidate = &c;
            best.difference = d;
        }
    }
    return best;
}

double frameRate(const std::vector<double>& seconds) {
    if (seconds.size() < 2) return 0;
    const double span = seconds.back() - seconds.front();
    return span > 0 ? static_cast<double>(seconds.size() - 1) / span : 0;
}

}  // namespace v4l2check
