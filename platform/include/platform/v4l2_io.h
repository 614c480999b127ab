// Video4Linux devices on the POSIX build: the system calls every V4L2 user of
// this process makes (the device enumerator of the stand-in, the V4L2 capture
// source's component library), behind one replaceable table so that tests can
// drive a fake device; and the class of the capture source that the device
// enumerator's V4L2 monikers create.
//
// The table lives once per process, in the stand-in's library. The functions
// follow the system calls' conventions: -1 (MAP_FAILED for mapBuffer) with
// errno set on failure.
#pragma once

#ifndef _WIN32

#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win.h"

// The V4L2 capture source (component library `v4l2/`). A device moniker of a
// V4L2 node creates it through ordinary activation and hands it the node
// through IPersistPropertyBag::Load ("DevicePath", "FriendlyName").
DEFINE_GUID(CLSID_DvV4l2CaptureSource, 0x3b6f2a4e, 0x8c1d, 0x4f57, 0x9e, 0x20, 0x6d, 0x41, 0xa7, 0x0c, 0x5b,
            0x93);

class V4l2Io {
public:
    virtual ~V4l2Io() = default;
    // Paths of the device nodes named video<N> in the device folder, any order.
    virtual std::vector<std::string> listNodes() = 0;
    virtual int openNode(const char* path, int flags) = 0;
    virtual int closeNode(int fd) = 0;
    virtual int ioctlNode(int fd, unsigned long request, void* arg) = 0;
    virtual void* mapBuffer(size_t length, int fd, off_t offset) = 0;  // shared, read and write
    virtual int unmapBuffer(void* address, size_t length) = 0;
    // poll() on one descriptor.
    virtual int pollNode(int fd, short events, short* revents, int timeoutMs) = 0;
    // The clock drivers stamp buffers with when they set
    // V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC (dvMonotonicMicros by default).
    virtual int64_t monotonicMicros();
};

// CLOCK_MONOTONIC now, in microseconds.
inline int64_t dvMonotonicMicros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

inline int64_t V4l2Io::monotonicMicros() {
    return dvMonotonicMicros();
}

#define DV_V4L2_API __attribute__((visibility("default")))

// The table in use: the system's unless a test installed its own.
DV_V4L2_API V4l2Io* dvV4l2Io();
// Installs `io` (not owned; it must outlive its use; null restores the
// system's) and returns the previous one (null for the system's). Tests only:
// not while another thread uses a device.
DV_V4L2_API V4l2Io* dvSetV4l2IoForTesting(V4l2Io* io);

// One video capture node, as the device enumerator lists it.
struct V4l2CaptureNode {
    std::string path;  // "/dev/video2"
    std::string card;  // VIDIOC_QUERYCAP card name
};
// The nodes whose device capabilities (the capabilities when the driver
// reports no device capabilities) include single-planar video capture and
// streaming, by node number. Nodes that cannot be opened are left out.
DV_V4L2_API std::vector<V4l2CaptureNode> dvListV4l2CaptureNodes();

#endif  // _WIN32
