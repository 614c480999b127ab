// A stand-in for the kernel's V4L2 output devices (what v4l2loopback offers
// a producer), in memory, for tests of V4l2OutputWriter and of the host's
// --output without a kernel module. It checks the order of the calls as the
// kernel would (EINVAL for a buffer queued twice, STREAMON with nothing
// queued, ...) and records what the writer did.
//
// The host uses it instead of the kernel's devices when the environment
// variable DV_HOST_FAKE_V4L2_DIR names a folder (a test hook): one node
// <folder>/video0 labelled fakeLoopbackLabel, and at the end a report in that
// folder (writeReport).
//
// Threads: every call takes the fake's lock, so the writer's main-thread and
// delivery-thread calls may interleave; tests read the records after the
// writer closed.
#pragma once

#include <linux/videodev2.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "v4l2_output.h"

extern const char* const fakeLoopbackLabel;

class FakeV4l2Devices final : public V4l2DeviceIo {
public:
    struct Node {
        std::string path;
        std::string card;
        uint32_t deviceCaps = V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING;
        int openErrno = 0;         // open fails with this
        int requestErrno = 0;      // VIDIOC_REQBUFS with a count fails with this
        int parmErrno = 0;         // VIDIOC_S_PARM fails with this
        unsigned maxBuffers = 8;   // VIDIOC_REQBUFS grants at most this many
        uint32_t forcedWidth = 0;  // S_FMT answers this width (0: the one asked for)
    };
    void addNode(const Node& node);

    // Buffers queued stay with the device's reader (DQBUF finds none) while
    // true; when false (the default) every queued buffer is done at once.
    void holdBuffers(bool hold);

    // V4l2DeviceIo
    std::vector<std::string> videoNodes() override;
    int openNode(const std::string& path, int flags) override;
    int closeNode(int fd) override;
    int control(int fd, unsigned long request, void* argument) override;
    void* mapBuffer(int fd, size_t length, off_t offset) override;
    int unmapBuffer(void* address, size_t length) override;
    // Starts at 5 s and advances 1 ms a call.
    int64_t monotonicMicros() override;

    // ---- records (read after the writer closed) ----
    struct Queued {
        uint32_t index, bytesUsed, field;
        int64_t stampMicros;
    };
    std::vector<Queued> queued;
    std::vector<uint8_t> lastFrame;  // the bytes of the latest queued buffer (bytesused of them)
    v4l2_format format{};            // as the last S_FMT left it
    v4l2_fract timePerFrame{};       // as the last S_PARM set it
    std::vector<std::string> calls;  // "open <path>", "S_FMT", "QBUF 2", "STREAMON", "close <path>", ...
    unsigned buffersMapped = 0;      // mappings not undone yet
    unsigned buffersGranted = 0;     // by the last REQBUFS
    int openFiles = 0;               // not closed yet
    bool streaming = false;
    int errors = 0;  // calls the fake refused as the kernel would

    // Writes <folder>/report.txt ("key value" lines: format, rate, frames,
    // stamps-increasing, streamoffs, mapped, open-files, errors, calls) and
    // <folder>/last-frame.raw. False if a file cannot be written.
    bool writeReport(const std::string& folder);

    // The fake named by DV_HOST_FAKE_V4L2_DIR (its folder in *folder), or
    // null when the variable is not set.
    static std::unique_ptr<FakeV4l2Devices> fromEnvironment(std::string* folder);

private:
    struct OpenFile {
        int fd;
        size_t node;
        bool nonBlocking;
    };
    struct Buffer {
        std::vector<uint8_t> bytes;
        bool queued = false;
        bool mapped = false;
    };
    int refuse(int code);
    const OpenFile* fileOf(int fd) const;

    std::mutex lock;  // everything
    std::vector<Node> nodes;
    std::vector<OpenFile> files;
    std::vector<Buffer> buffers;
    std::vector<uint32_t> done;  // indices the reader has finished with, oldest first
    bool hold = false;
    int nextFd = 100;
    int64_t clock = 5000000;
};
