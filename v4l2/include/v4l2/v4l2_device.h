// One open V4L2 capture node: what it offers, its format and rate, and mmap
// streaming. All system calls go through dvV4l2Io() (platform/v4l2_io.h).
//
// Not thread-safe: one owner at a time (the source's pin under the filter
// lock while building or activating; the streaming thread in between start
// and stop, with stopStreaming called after that thread has ended).
#pragma once

#include <linux/videodev2.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/win.h"

// How a device pixel format reaches B, G, R.
enum class ConversionKind { yuyv, nv12, mjpeg, library, none };
ConversionKind conversionFor(uint32_t pixelFormat);

// One pixel format at one frame size.
struct DeviceFormat {
    uint32_t pixelFormat = 0;
    int width = 0;
    int height = 0;
    // Frame intervals in 100-ns units, fastest first; one entry (the fastest)
    // for stepwise or continuous intervals; empty when the device lists none.
    std::vector<REFERENCE_TIME> intervals;
    REFERENCE_TIME fastest() const { return intervals.empty() ? 0 : intervals.front(); }
};

// What the source asks of the device for one stream.
struct DeviceChoice {
    uint32_t pixelFormat = 0;
    int width = 0;
    int height = 0;
    REFERENCE_TIME interval = 0;  // 0: leave the device's rate
};

// The HRESULT for a failed system call's errno: EBUSY ->
// HRESULT_FROM_WIN32(ERROR_BUSY); ENODEV, ENXIO -> ERROR_DEVICE_NOT_CONNECTED;
// ENOENT -> ERROR_FILE_NOT_FOUND; EACCES, EPERM -> E_ACCESSDENIED; ENOMEM ->
// E_OUTOFMEMORY; EINVAL -> E_INVALIDARG; others E_FAIL.
HRESULT hresultFromErrno(int error);

// The preferred device format for one frame size among `formats` (all of that
// size): a format converted by our own kernels (YUYV before NV12), unless it
// runs under 15 frames per second and MJPEG runs faster; then MJPEG; then the
// conversion library's. Null when none is convertible.
const DeviceFormat* preferredFormat(const std::vector<const DeviceFormat*>& formats);

class V4l2Device {
public:
    // One dequeued buffer, valid until requeue(index).
    struct Frame {
        int index = -1;
        const uint8_t* data = nullptr;
        size_t bytesUsed = 0;
        // How long before the dequeue the driver captured the frame, from
        // its CLOCK_MONOTONIC stamp; -1 when it stamps with another clock.
        int64_t ageMicros = -1;
    };

    ~V4l2Device();
    V4l2Device(const V4l2Device&) = delete;
    V4l2Device& operator=(const V4l2Device&) = delete;

    // Opens `path` and checks (VIDIOC_QUERYCAP) that it captures video with
    // streaming I/O; VFW_E_NO_CAPTURE_HARDWARE otherwise.
    static HRESULT open(const std::string& path, std::unique_ptr<V4l2Device>* out);

    const std::string& path() const { return nodePath; }
    const std::string& card() const { return cardName; }
    int descriptor() const { return fd; }

    // Every convertible pixel format at every discrete frame size (stepwise
    // ranges contribute the common sizes they contain), in the device's order.
    HRESULT listFormats(std::vector<DeviceFormat>* out);

    // VIDIOC_S_FMT, then VIDIOC_S_PARM when an interval is given. A device
    // that answers another pixel format or size: VFW_E_INVALIDMEDIATYPE.
    HRESULT configure(const DeviceChoice& choice);
    const v4l2_pix_format& format() const { return active; }
    REFERENCE_TIME interval() const { return activeInterval; }

    // REQBUFS (mmap), maps and queues `bufferCount` buffers, STREAMON.
    HRESULT startStreaming(int bufferCount);
    // Waits at most `timeoutMs` for a filled buffer: S_OK with `out`, S_FALSE
    // on time-out, a failure when the device failed or went away.
    HRESULT nextFrame(int timeoutMs, Frame* out);
    HRESULT requeue(int index);
    // STREAMOFF, unmaps, REQBUFS 0. Safe to call more than once.
    void stopStreaming();

private:
    V4l2Device(std::string path, int fd) : nodePath(std::move(path)), fd(fd) {}
    int control(unsigned long request, void* arg);

    struct Mapping {
        void* address = nullptr;
        size_t length = 0;
    };

    std::string nodePath;
    std::string cardName;
    int fd = -1;
    v4l2_pix_format active{};
    REFERENCE_TIME activeInterval = 0;
    std::vector<Mapping> mappings;
    bool streaming = false;
    bool buffersRequested = false;
};
