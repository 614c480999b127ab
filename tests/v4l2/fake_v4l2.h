// Test helper: a fake V4L2 device folder behind the system-call table
// (platform/v4l2_io.h). Each node has capabilities, formats with discrete
// sizes and frame rates, and produces frames of one solid colour (given as
// Y, Cb, Cr; MJPEG frames are encoded from the matching B, G, R) every few
// milliseconds while streaming. Calls can be made to fail with an errno, and
// every S_FMT and S_PARM is recorded. Installed for the object's lifetime.
//
// Thread-safe: the streaming thread and the test's thread use it at once.
#pragma once

#include <linux/videodev2.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/v4l2_io.h"

struct FakeFormat {
    uint32_t pixelFormat;
    std::vector<std::pair<int, int>> sizes;
    std::vector<int> framesPerSecond;  // per size, fastest first
};

struct FakeNode {
    std::string name;  // "video0"
    std::string card;
    uint32_t caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    bool reportsDeviceCaps = true;  // else caps are reported as the capabilities only
    std::vector<FakeFormat> formats;
    uint8_t luma = 81, cb = 90, cr = 240;  // the colour of every frame (red)
    // Failures: request -> errno for that ioctl; `vanishAfter` frames then
    // poll reports POLLERR and DQBUF ENODEV (0: never).
    std::map<unsigned long, int> failing;
    int vanishAfter = 0;
    // Buffers carry a CLOCK_MONOTONIC stamp this long before the dequeue
    // (-1: stamped with an unknown clock, as some drivers do).
    int64_t captureAgeMicros = -1;
};

struct FormatRequest {
    std::string node;
    uint32_t pixelFormat;
    int width, height;
};
struct RateRequest {
    std::string node;
    uint32_t numerator, denominator;
};

class FakeV4l2 : public V4l2Io {
public:
    explicit FakeV4l2(std::vector<FakeNode> nodes);
    ~FakeV4l2() override;

    std::vector<FormatRequest> formatRequests();
    std::vector<RateRequest> rateRequests();
    int openDescriptors();  // nodes open now
    int streamingNodes();   // nodes between STREAMON and STREAMOFF
    void setFailing(const std::string& node, unsigned long request, int error);
    void setVanishAfter(const std::string& node, int frames);

    std::vector<std::string> listNodes() override;
    int openNode(const char* path, int flags) override;
    int closeNode(int fd) override;
    int ioctlNode(int fd, unsigned long request, void* arg) override;
    void* mapBuffer(size_t length, int fd, off_t offset) override;
    int unmapBuffer(void* address, size_t length) override;
    int pollNode(int fd, short events, short* revents, int timeoutMs) override;

    static constexpr const char* folder = "/fake/dev";

private:
    struct Buffer {
        std::vector<uint8_t> bytes;
        bool queued = false;
        bool filled = false;
        uint32_t used = 0;
    };
    struct Open {
        size_t node;
        v4l2_pix_format format{};
        v4l2_fract interval{1, 30};
        std::vector<Buffer> buffers;
        bool streaming = false;
        int produced = 0;
    };

    int control(Open& open, FakeNode& node, unsigned long request, void* arg);
    const FakeFormat* findFormat(const FakeNode& node, uint32_t pixelFormat) const;
    std::vector<uint8_t> framePicture(const FakeNode& node, const v4l2_pix_format& format) const;

    std::mutex guard;
    std::vector<FakeNode> nodes;
    std::map<int, Open> opens;
    int nextFd = 100;
    std::vector<FormatRequest> formats;
    std::vector<RateRequest> rates;
    V4l2Io* previous;
};
