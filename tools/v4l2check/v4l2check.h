// The loopback checker's pieces: pictures read from V4L2 devices as raw
// frames, turned into the compositor's bottom-up BGR pictures, and the
// comparison of what a reader got with what the compositor makes of the two
// cameras' own pictures. Plain functions over caller-owned memory; no state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace v4l2check {

// A bottom-up 24-bit BGR picture as the compositor sees a sample buffer:
// buffer row 0 is the bottom line, rows padded to 4 bytes.
struct Picture {
    Picture() = default;
    Picture(int w, int h);
    int width = 0;
    int height = 0;
    int stride = 0;
    std::vector<uint8_t> bytes;
    uint8_t* pixel(int x, int line) {
        return bytes.data() + static_cast<size_t>(height - 1 - line) * stride + x * 3;
    }
    const uint8_t* pixel(int x, int line) const {
        return bytes.data() + static_cast<size_t>(height - 1 - line) * stride + x * 3;
    }
};

enum class PixelFormat { Yuyv, Rgb24 };

// Bytes of one top-down frame of `format` (YUYV: width x 2; RGB24: width x 3
// per line, no padding, as both readers write them).
size_t frameBytes(PixelFormat format, int width, int height);

// One top-down raw frame into a picture. YUYV is BT.601 limited range (as
// webcams deliver it); `width` must be even for YUYV.
Picture decodeFrame(PixelFormat format, const uint8_t* frame, int width, int height);

// The picture as a top-down frame: YUYV (BT.601 limited range, chroma of a
// pixel pair averaged) or RGB24.
std::vector<uint8_t> encodeFrame(PixelFormat format, const Picture& picture);

// How far `got` is from `want` (same size): the mean of the absolute channel
// differences, and the share of pixels with some channel more than
// `farThreshold` away.
struct Difference {
    double meanAbs = 0;
    double farShare = 0;
};
Difference compare(const Picture& want, const Picture& got, int farThreshold = 48);

// What the readers should see: "passthrough" (the left picture as it is) or
// a compositor image mode applied to the pair with `swap`.
struct Expectation {
    int mode = -1;  // -1: passthrough, else an ImageMode
    int swap = 0;
};
std::string describe(const Expectation& e);

// The compositor's picture for the pair (both of `left`'s size, which must be
// 320x240 or 640x480 for an image mode). Returns an empty picture when the
// compositor cannot compose at that size.
Picture expectedPicture(const Expectation& e, const Picture& left, const Picture& right);

// An expectation with its picture as a reader gets it: composed, then sent
// through `roundTrip` (encoded and decoded again). Pictures the compositor
// cannot make are left out.
struct Candidate {
    Expectation expectation;
    Picture picture;
};
std::vector<Candidate> makeCandidates(const std::vector<Expectation>& expectations, const Picture& left,
                                      const Picture& right, PixelFormat roundTrip);

// The candidate nearest to `got` by mean difference (ties keep the earlier
// one), or null when there is none.
struct Match {
    const Candidate* candidate = nullptr;
    Difference difference;
};
Match nearest(const std::vector<Candidate>& candidates, const Picture& got);

// Frames a second over a series of time stamps in seconds (in delivery
// order): (count - 1) / (last - first); 0 with fewer than two stamps or no
// time between them.
double frameRate(const std::vector<double>& seconds);

}  // namespace v4l2check
