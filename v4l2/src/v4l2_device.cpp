// V4l2Device: format discovery, format and rate, mmap streaming.
#include "v4l2/v4l2_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/trace.h"
#include "platform/v4l2_io.h"

namespace {

constexpr REFERENCE_TIME unitsPerSecond = 10000000;
constexpr REFERENCE_TIME slowestOwnInterval = unitsPerSecond / 15;  // below 15 fps: MJPEG may do better

// Sizes offered from a stepwise or continuous size range, where they fit it.
const struct {
    int width, height;
} commonSizes[] = {{160, 120}, {320, 240}, {640, 480}, {800, 600}, {1280, 720}, {1920, 1080}};

REFERENCE_TIME intervalOf(const v4l2_fract& f) {
    if (f.denominator == 0) return 0;
    return static_cast<REFERENCE_TIME>(f.numerator) * unitsPerSecond / f.denominator;
}

bool fitsStepwise(const v4l2_frmsize_stepwise& s, int width, int height) {
    const auto fits = [](uint32_t v, uint32_t lo, uint32_t hi, uint32_t step) {
        return v >= lo && v <= hi && (step <= 1 || (v - lo) % step == 0);
    };
    return fits(static_cast<uint32_t>(width), s.min_width, s.max_width, s.step_width) &&
           fits(static_cast<uint32_t>(height), s.min_height, s.max_height, s.step_height);
}

}  // namespace

ConversionKind conversionFor(uint32_t pixelFormat) {
    switch (pixelFormat) {
    case V4L2_PIX_FMT_YUYV:
        return ConversionKind::yuyv;
    case V4L2_PIX_FMT_NV12:
        return ConversionKind::nv12;
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG:
        return ConversionKind::mjpeg;
    // Formats the conversion library turns into BGR24.
    case V4L2_PIX_FMT_UYVY:
    case V4L2_PIX_FMT_YVYU:
    case V4L2_PIX_FMT_YUV420:
    case V4L2_PIX_FMT_YVU420:
    case V4L2_PIX_FMT_RGB24:
    case V4L2_PIX_FMT_BGR24:
    case V4L2_PIX_FMT_RGB565:
    case V4L2_PIX_FMT_SBGGR8:
    case V4L2_PIX_FMT_SGBRG8:
    case V4L2_PIX_FMT_SGRBG8:
    case V4L2_PIX_FMT_SRGGB8:
        return ConversionKind::library;
    default:
        return ConversionKind::none;
    }
}

HRESULT hresultFromErrno(int error) {
    switch (error) {
    case EBUSY:
        return HRESULT_FROM_WIN32(ERROR_BUSY);
    case ENODEV:
    case ENXIO:
        return HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);
    case ENOENT:
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    case EACCES:
    case EPERM:
        return E_ACCESSDENIED;
    case ENOMEM:
        return E_OUTOFMEMORY;
    case EINVAL:
        return E_INVALIDARG;
    default:
        return E_FAIL;
    }
}

const DeviceFormat* preferredFormat(const std::vector<const DeviceFormat*>& formats) {
    const DeviceFormat* own = nullptr;
    const DeviceFormat* mjpeg = nullptr;
    const DeviceFormat* library = nullptr;
    for (const DeviceFormat* f : formats) {
        switch (conversionFor(f->pixelFormat)) {
        case ConversionKind::yuyv:
            if (!own || conversionFor(own->pixelFormat) != ConversionKind::yuyv) own = f;
            break;
        case ConversionKind::nv12:
            if (!own) own = f;
            break;
        case ConversionKind::mjpeg:
            if (!mjpeg) mjpeg = f;
            break;
        case ConversionKind::library:
            if (!library) library = f;
            break;
        case ConversionKind::none:
            break;
        }
    }
    if (own && mjpeg && own->fastest() > slowestOwnInterval && mjpeg->fastest() > 0 &&
        mjpeg->fastest() < own->fastest())
        return mjpeg;
    if (own) return own;
    return mjpeg ? mjpeg : library;
}

// ---- V4l2Device ---------------------------------------------------------------

V4l2Device::~V4l2Device() {
    stopStreaming();
    if (fd >= 0) dvV4l2Io()->closeNode(fd);
}

int V4l2Device::control(unsigned long request, void* arg) {
    return dvV4l2Io()->ioctlNode(fd, request, arg);
}

HRESULT V4l2Device::open(const std::string& path, std::unique_ptr<V4l2Device>* out) {
    if (!out) return E_POINTER;
    out->reset();
    const int fd = dvV4l2Io()->openNode(path.c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        const HRESULT hr = hresultFromErrno(errno);
        DV_TRACE(TraceLevel::error, "v4l2 %s: open failed: %s", path.c_str(), TraceHr(hr).text);
        return hr;
    }
    std::unique_ptr<V4l2Device> device(new (std::nothrow) V4l2Device(path, fd));
    if (!device) {
        dvV4l2Io()->closeNode(fd);
        return E_OUTOFMEMORY;
    }
    v4l2_capability caps{};
    if (device->control(VIDIOC_QUERYCAP, &caps) != 0) return hresultFromErrno(errno);
    const uint32_t flags = (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
    if (!(flags & V4L2_CAP_VIDEO_CAPTURE) || !(flags & V4L2_CAP_STREAMING)) return VFW_E_NO_CAPTURE_HARDWARE;
    const char* card = reinterpret_cast<const char*>(caps.card);
    device->cardName.assign(card, strnlen(card, sizeof caps.card));
    *out = std::move(device);
    return S_OK;
}

HRESULT V4l2Device::listFormats(std::vector<DeviceFormat>* out) {
    if (!out) return E_POINTER;
    out->clear();
    for (uint32_t f = 0;; ++f) {
        v4l2_fmtdesc desc{};
        desc.index = f;
        desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (control(VIDIOC_ENUM_FMT, &desc) != 0) break;
        if (conversionFor(desc.pixelformat) == ConversionKind::none) continue;
        std::vector<std::pair<int, int>> sizes;
        for (uint32_t s = 0;; ++s) {
            v4l2_frmsizeenum size{};
            size.index = s;
            size.pixel_format = desc.pixelformat;
            if (control(VIDIOC_ENUM_FRAMESIZES, &size) != 0) break;
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                sizes.emplace_back(static_cast<int>(size.discrete.width),
                                   static_cast<int>(size.discrete.height));
                continue;
            }
            for (const auto& common : commonSizes)
                if (fitsStepwise(size.stepwise, common.width, common.height))
                    sizes.emplace_back(common.width, common.height);
            break;
        }
        for (const auto& [width, height] : sizes) {
            DeviceFormat format;
            format.pixelFormat = desc.pixelformat;
            format.width = width;
            format.height = height;
            for (uint32_t i = 0;; ++i) {
                v4l2_frmivalenum ival{};
                ival.index = i;
                ival.pixel_format = desc.pixelformat;
                ival.width = static_cast<uint32_t>(width);
                ival.height = static_cast<uint32_t>(height);
                if (control(VIDIOC_ENUM_FRAMEINTERVALS, &ival) != 0) break;
                if (ival.type != V4L2_FRMIVAL_TYPE_DISCRETE) {
                    format.intervals.push_back(intervalOf(ival.stepwise.min));
                    break;
                }
                format.intervals.push_back(intervalOf(ival.discrete));
            }
            format.intervals.erase(std::remove(format.intervals.begin(), format.intervals.end(), 0),
                                   format.intervals.end());
            std::sort(format.intervals.begin(), format.intervals.end());
            out->push_back(std::move(format));
        }
    }
    return S_OK;
}

HRESULT V4l2Device::configure(const DeviceChoice& choice) {
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.pixelformat = choice.pixelFormat;
    format.fmt.pix.width = static_cast<uint32_t>(choice.width);
    format.fmt.pix.height = static_cast<uint32_t>(choice.height);
    format.fmt.pix.field = V4L2_FIELD_NONE;
    if (control(VIDIOC_S_FMT, &format) != 0) {
        const int error = errno;
        const HRESULT hr = hresultFromErrno(error);
        DV_TRACE(TraceLevel::error, "v4l2 %s: S_FMT failed: %s%s", nodePath.c_str(), TraceHr(hr).text,
                 error == EBUSY ? " (device busy)" : "");
        return hr;
    }
    if (format.fmt.pix.pixelformat != choice.pixelFormat ||
        format.fmt.pix.width != static_cast<uint32_t>(choice.width) ||
        format.fmt.pix.height != static_cast<uint32_t>(choice.height)) {
        DV_TRACE(TraceLevel::error, "v4l2 %s: S_FMT answered another format (%ux%u)", nodePath.c_str(),
                 format.fmt.pix.width, format.fmt.pix.height);
        return VFW_E_INVALIDMEDIATYPE;
    }
    active = format.fmt.pix;
    activeInterval = 0;
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (choice.interval > 0) {
        parm.parm.capture.timeperframe.numerator = static_cast<uint32_t>(choice.interval);
        parm.parm.capture.timeperframe.denominator = static_cast<uint32_t>(unitsPerSecond);
        if (control(VIDIOC_S_PARM, &parm) != 0) {
            const int error = errno;
            DV_TRACE(TraceLevel::error, "v4l2 %s: S_PARM failed (errno %d)%s", nodePath.c_str(), error,
                     error == EBUSY ? " (device busy)" : "");
            if (error == EBUSY || error == ENODEV) return hresultFromErrno(error);
            // A device without frame-rate control keeps its own rate.
        } else {
            activeInterval = intervalOf(parm.parm.capture.timeperframe);
        }
    }
    if (activeInterval == 0) {
        v4l2_streamparm current{};
        current.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (control(VIDIOC_G_PARM, &current) == 0)
            activeInterval = intervalOf(current.parm.capture.timeperframe);
    }
    return S_OK;
}

HRESULT V4l2Device::startStreaming(int bufferCount) {
    v4l2_requestbuffers request{};
    request.count = static_cast<uint32_t>(bufferCount);
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (control(VIDIOC_REQBUFS, &request) != 0) {
        const int error = errno;
        const HRESULT hr = hresultFromErrno(error);
        DV_TRACE(TraceLevel::error, "v4l2 %s: REQBUFS failed: %s%s", nodePath.c_str(), TraceHr(hr).text,
                 error == EBUSY ? " (device busy)" : "");
        return hr;
    }
    buffersRequested = true;
    if (request.count == 0) {
        stopStreaming();
        return E_OUTOFMEMORY;
    }
    for (uint32_t i = 0; i < request.count; ++i) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = i;
        if (control(VIDIOC_QUERYBUF, &buffer) != 0) {
            const HRESULT hr = hresultFromErrno(errno);
            stopStreaming();
            return hr;
        }
        void* address = dvV4l2Io()->mapBuffer(buffer.length, fd, static_cast<off_t>(buffer.m.offset));
        if (address == MAP_FAILED) {
            const HRESULT hr = hresultFromErrno(errno);
            stopStreaming();
            return hr;
        }
        mappings.push_back({address, buffer.length});
        if (control(VIDIOC_QBUF, &buffer) != 0) {
            const HRESULT hr = hresultFromErrno(errno);
            stopStreaming();
            return hr;
        }
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (control(VIDIOC_STREAMON, &type) != 0) {
        const int error = errno;
        const HRESULT hr = hresultFromErrno(error);
        DV_TRACE(TraceLevel::error, "v4l2 %s: STREAMON failed: %s%s", nodePath.c_str(), TraceHr(hr).text,
                 error == EBUSY ? " (device busy)" : "");
        stopStreaming();
        return hr;
    }
    streaming = true;
    return S_OK;
}

HRESULT V4l2Device::nextFrame(int timeoutMs, Frame* out) {
    if (!out) return E_POINTER;
    *out = Frame{};
    short revents = 0;
    const int ready = dvV4l2Io()->pollNode(fd, POLLIN, &revents, timeoutMs);
    if (ready < 0) {
        if (errno == EINTR) return S_FALSE;
        return hresultFromErrno(errno);
    }
    if (ready == 0) return S_FALSE;
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
        // A device that went away reports POLLERR; DQBUF gives the reason.
        if (!(revents & POLLIN)) {
            v4l2_buffer probe{};
            probe.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            probe.memory = V4L2_MEMORY_MMAP;
            if (control(VIDIOC_DQBUF, &probe) != 0) return hresultFromErrno(errno == EAGAIN ? ENODEV : errno);
            return requeue(static_cast<int>(probe.index)) == S_OK ? S_FALSE : E_FAIL;
        }
    }
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (control(VIDIOC_DQBUF, &buffer) != 0) {
        if (errno == EAGAIN) return S_FALSE;
        return hresultFromErrno(errno);
    }
    if (buffer.index >= mappings.size()) return E_UNEXPECTED;
    out->index = static_cast<int>(buffer.index);
    out->data = static_cast<const uint8_t*>(mappings[buffer.index].address);
    out->bytesUsed = std::min<size_t>(buffer.bytesused, mappings[buffer.index].length);
    if (buffer.flags & V4L2_BUF_FLAG_ERROR) out->bytesUsed = 0;  // a damaged frame: the caller skips it
    if ((buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC) {
        const int64_t captured =
            static_cast<int64_t>(buffer.timestamp.tv_sec) * 1000000 + buffer.timestamp.tv_usec;
        out->ageMicros = dvV4l2Io()->monotonicMicros() - captured;
    }
    return S_OK;
}

HRESULT V4l2Device::requeue(int index) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = static_cast<uint32_t>(index);
    return control(VIDIOC_QBUF, &buffer) == 0 ? S_OK : hresultFromErrno(errno);
}

void V4l2Device::stopStreaming() {
    if (streaming) {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        control(VIDIOC_STREAMOFF, &type);  // fails harmlessly on a device that went away
        streaming = false;
    }
    for (const Mapping& m : mappings)
        dvV4l2Io()->unmapBuffer(m.address, m.length);
    mappings.clear();
    if (buffersRequested) {
        v4l2_requestbuffers request{};
        request.count = 0;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        control(VIDIOC_REQBUFS, &request);
        buffersRequested = false;
    }
}
