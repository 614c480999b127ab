// The host's virtual camera for other Linux programs: writes the composed
// pictures to a V4L2 video output device (a v4l2loopback node), where
// browsers, video-call clients and media players open them as a webcam.
//
// Streaming uses mmap buffers on the output queue, not write(): a loopback
// node created with exclusive_caps=1 stops offering output after a write()
// producer closes it.
//
// All device access goes through V4l2DeviceIo so that tests can stand a fake
// device in for the kernel's.
#pragma once

#include <linux/videodev2.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "host_sink.h"

// The system calls the writer makes. Each has the contract of the call it is
// named after: -1 (MAP_FAILED for mapBuffer) and errno on failure. An
// implementation may be called from the main thread and from the graph's
// delivery thread, never from both at once.
class V4l2DeviceIo {
public:
    virtual ~V4l2DeviceIo() = default;
    // The paths of the video device nodes (/dev/video*), in name order.
    virtual std::vector<std::string> videoNodes() = 0;
    virtual int openNode(const std::string& path, int flags) = 0;
    virtual int closeNode(int fd) = 0;
    virtual int control(int fd, unsigned long request, void* argument) = 0;
    virtual void* mapBuffer(int fd, size_t length, off_t offset) = 0;
    virtual int unmapBuffer(void* address, size_t length) = 0;
    // CLOCK_MONOTONIC now, in microseconds.
    virtual int64_t monotonicMicros() = 0;
};

// The kernel's devices (lives as long as the process).
V4l2DeviceIo& systemV4l2Io();

enum class OutputPixelFormat { yuyv, rgb24 };

// "yuyv" or "rgb24" into `format`; false for anything else.
bool parseOutputPixelFormat(const std::string& text, OutputPixelFormat* format);
const char* outputPixelFormatName(OutputPixelFormat format);

struct OutputNode {
    std::string path;
    std::string card;  // VIDIOC_QUERYCAP's card name
};

// The device `destination` names: a path (starting with '/') that must be a
// video output device, or the card label of one (the first such node in name
// order whose card equals `destination`). False with a one-line reason in
// *error, which for a label lists the nodes that were looked at.
bool resolveOutputNode(V4l2DeviceIo& io, const std::string& destination, OutputNode* node,
                       std::string* error);

// Writes every picture it is handed to the device. open() and close() run on
// the main thread while the graph is stopped; onFrame runs on the graph's
// delivery thread in between and never waits for the device: with no free
// buffer the picture is dropped and counted.
class V4l2OutputWriter final : public FrameConsumer {
public:
    V4l2OutputWriter(V4l2DeviceIo& io, OutputPixelFormat format, unsigned bufferCount = 4);
    ~V4l2OutputWriter();
    V4l2OutputWriter(const V4l2OutputWriter&) = delete;
    V4l2OutputWriter& operator=(const V4l2OutputWriter&) = delete;

    // Opens the node, sets the format (width x height, top line first,
    // BT.601 SMPTE 170M colours, limited range for YUYV), the frame interval
    // (100 ns units, 0: left to the device) and maps the buffers. False with
    // a one-line reason in *error, the device closed again. A refused frame
    // interval is not fatal: see warning().
    bool open(const OutputNode& node, int width, int height, int64_t frameInterval, std::string* error);
    // Stops streaming, unmaps and frees the buffers (VIDIOC_REQBUFS 0) and
    // closes the node. Idempotent.
    void close();

    // The graph's stream time now (false when there is none), for the
    // latency of each picture. Set before the graph runs; called on the
    // delivery thread.
    using StreamClock = std::function<bool(REFERENCE_TIME* now)>;
    void setStreamClock(StreamClock clock) { streamClock = std::move(clock); }

    // From a sample's start (the capture, for a camera that stamps its
    // samples with their capture time) to the moment its picture was queued
    // on the device, where readers can dequeue it.
    struct Latency {
        long frames = 0;  // pictures with a time and a clock
        double meanMs = 0, maxMs = 0;
    };
    Latency latency() const;

    // FrameConsumer (the delivery thread). Buffer time stamps are
    // CLOCK_MONOTONIC: the sample's start time moved onto that clock by the
    // offset seen at the first picture (the monotonic time of arrival when a
    // sample has no time), and always later than the previous buffer's.
    void onFrame(const SinkFrame& frame) override;
    void onEndOfStream() override {}

    long framesWritten() const { return written.load(); }
    // Pictures dropped because every buffer was still with the device.
    long framesDropped() const { return dropped.load(); }
    // Pictures lost to a device error or a size mismatch; the first reason
    // is failureText() (read it after close()).
    long framesFailed() const { return failed.load(); }
    const std::string& failureText() const { return firstFailure; }
    // A non-fatal refusal seen by open() (empty if none).
    const std::string& warning() const { return openWarning; }
    // The bytes per line and image size the device agreed to.
    uint32_t bytesPerLine() const { return lineBytes; }
    uint32_t imageSize() const { return imageBytes; }

private:
    struct Buffer {
        void* address = nullptr;
        size_t length = 0;
    };
    bool fail(const std::string& what);
    int takeFreeBuffer();
    timeval timestampFor(const SinkFrame& frame);

    V4l2DeviceIo& io;
    const OutputPixelFormat pixelFormat;
    const unsigned requestedBuffers;
    // Set by open(), cleared by close(); between them only the delivery
    // thread uses the rest.
    int fd = -1;
    std::string path;
    int frameWidth = 0, frameHeight = 0;
    uint32_t lineBytes = 0, imageBytes = 0;
    std::vector<Buffer> buffers;
    unsigned neverQueued = 0;  // buffers [neverQueued, size) have not been queued yet
    bool streaming = false;
    bool haveOffset = false;
    int64_t offsetMicros = 0;  // monotonic minus sample time, from the first picture
    int64_t lastStampMicros = 0;
    std::string firstFailure;
    std::string openWarning;
    std::atomic<long> written{0}, dropped{0}, failed{0};
    StreamClock streamClock;
    mutable std::mutex latencyLock;  // the delivery thread adds, any thread reads
    long latencyFrames = 0;
    REFERENCE_TIME latencySum = 0, latencyMax = 0;
};
