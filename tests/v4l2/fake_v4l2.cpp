#include "fake_v4l2.h"

#include <poll.h>
#include <sys/mman.h>
#include <turbojpeg.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "compositor/yuv_convert.h"

namespace {

constexpr off_t bufferSpacing = off_t{1} << 24;

}  // namespace

FakeV4l2::FakeV4l2(std::vector<FakeNode> list) : nodes(std::move(list)) {
    previous = dvSetV4l2IoForTesting(this);
}

FakeV4l2::~FakeV4l2() {
    dvSetV4l2IoForTesting(previous);
}

std::vector<FormatRequest> FakeV4l2::formatRequests() {
    std::lock_guard<std::mutex> hold(guard);
    return formats;
}

std::vector<RateRequest> FakeV4l2::rateRequests() {
    std::lock_guard<std::mutex> hold(guard);
    return rates;
}

int FakeV4l2::openDescriptors() {
    std::lock_guard<std::mutex> hold(guard);
    return static_cast<int>(opens.size());
}

int FakeV4l2::streamingNodes() {
    std::lock_guard<std::mutex> hold(guard);
    int n = 0;
    for (const auto& [fd, open] : opens)
        n += open.streaming ? 1 : 0;
    return n;
}

void FakeV4l2::setFailing(const std::string& node, unsigned long request, int error) {
    std::lock_guard<std::mutex> hold(guard);
    for (FakeNode& n : nodes)
        if (n.name == node) n.failing[request] = error;
}

void FakeV4l2::setVanishAfter(const std::string& node, int frames) {
    std::lock_guard<std::mutex> hold(guard);
    for (FakeNode& n : nodes)
        if (n.name == node) n.vanishAfter = frames;
}

std::vector<std::string> FakeV4l2::listNodes() {
    std::lock_guard<std::mutex> hold(guard);
    std::vector<std::string> paths;
    for (const FakeNode& n : nodes)
        paths.push_back(std::string(folder) + "/" + n.name);
    return paths;
}

int FakeV4l2::openNode(const char* path, int) {
    std::lock_guard<std::mutex> hold(guard);
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (std::string(folder) + "/" + nodes[i].name == path) {
            const int fd = nextFd++;
            opens[fd].node = i;
            return fd;
        }
    }
    errno = ENOENT;
    return -1;
}

int FakeV4l2::closeNode(int fd) {
    std::lock_guard<std::mutex> hold(guard);
    if (opens.erase(fd) == 0) {
        errno = EBADF;
        return -1;
    }
    return 0;
}

const FakeFormat* FakeV4l2::findFormat(const FakeNode& node, uint32_t pixelFormat) const {
    for (const FakeFormat& f : node.formats)
        if (f.pixelFormat == pixelFormat) return &f;
    return nullptr;
}

std::vector<uint8_t> FakeV4l2::framePicture(const FakeNode& node, const v4l2_pix_format& format) const {
    const int w = static_cast<int>(format.width), h = static_cast<int>(format.height);
    std::vector<uint8_t> bytes;
    switch (format.pixelformat) {
    case V4L2_PIX_FMT_YUYV:
        for (int i = 0; i < w * h / 2; ++i)
            bytes.insert(bytes.end(), {node.luma, node.cb, node.luma, node.cr});
        break;
    case V4L2_PIX_FMT_UYVY:
        for (int i = 0; i < w * h / 2; ++i)
            bytes.insert(bytes.end(), {node.cb, node.luma, node.cr, node.luma});
        break;
    case V4L2_PIX_FMT_NV12:
        bytes.assign(static_cast<size_t>(w) * h, node.luma);
        for (int i = 0; i < w * h / 4; ++i)
            bytes.insert(bytes.end(), {node.cb, node.cr});
        break;
    case V4L2_PIX_FMT_MJPEG: {
        const uint8_t pixel[4] = {node.luma, node.cb, node.luma, node.cr};
        uint8_t bgr[6];
        pix::yuyvToBgrRow(pixel, bgr, 2);
        std::vector<uint8_t> picture;
        for (int i = 0; i < w * h; ++i)
            picture.insert(picture.end(), bgr, bgr + 3);
        tjhandle encoder = tjInitCompress();
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        if (tjCompress2(encoder, picture.data(), w, w * 3, h, TJPF_BGR, &jpeg, &size, TJSAMP_422, 95, 0) == 0)
            bytes.assign(jpeg, jpeg + size);
        tjFree(jpeg);
        tjDestroy(encoder);
        break;
    }
    default:
        break;
    }
    return bytes;
}

int FakeV4l2::ioctlNode(int fd, unsigned long request, void* arg) {
    std::lock_guard<std::mutex> hold(guard);
    auto it = opens.find(fd);
    if (it == opens.end()) {
        errno = EBADF;
        return -1;
    }
    FakeNode& node = nodes[it->second.node];
    auto failure = node.failing.find(request);
    if (failure != node.failing.end()) {
        errno = failure->second;
        return -1;
    }
    return control(it->second, node, request, arg);
}

int FakeV4l2::control(Open& open, FakeNode& node, unsigned long request, void* arg) {
    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto* caps = static_cast<v4l2_capability*>(arg);
        std::memset(caps, 0, sizeof *caps);
        std::strncpy(reinterpret_cast<char*>(caps->driver), "fake", sizeof caps->driver - 1);
        std::strncpy(reinterpret_cast<char*>(caps->card), node.card.c_str(), sizeof caps->card - 1);
        caps->capabilities = node.caps;
        if (node.reportsDeviceCaps) {
            caps->capabilities |= V4L2_CAP_DEVICE_CAPS;
            caps->device_caps = node.caps;
        }
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        auto* desc = static_cast<v4l2_fmtdesc*>(arg);
        if (desc->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || desc->index >= node.formats.size()) break;
        desc->pixelformat = node.formats[desc->index].pixelFormat;
        desc->flags = desc->pixelformat == V4L2_PIX_FMT_MJPEG ? V4L2_FMT_FLAG_COMPRESSED : 0;
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
        auto* size = static_cast<v4l2_frmsizeenum*>(arg);
        const FakeFormat* f = findFormat(node, size->pixel_format);
        if (!f || size->index >= f->sizes.size()) break;
        size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        size->discrete.width = static_cast<uint32_t>(f->sizes[size->index].first);
        size->discrete.height = static_cast<uint32_t>(f->sizes[size->index].second);
        return 0;
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
        auto* ival = static_cast<v4l2_frmivalenum*>(arg);
        const FakeFormat* f = findFormat(node, ival->pixel_format);
        if (!f || ival->index >= f->framesPerSecond.size()) break;
        bool sizeListed = false;
        for (const auto& [w, h] : f->sizes)
            sizeListed = sizeListed || (static_cast<uint32_t>(w) == ival->width &&
                                        static_cast<uint32_t>(h) == ival->height);
        if (!sizeListed) break;
        ival->type = V4L2_FRMIVAL_TYPE_DISCRETE;
        ival->discrete = v4l2_fract{1, static_cast<uint32_t>(f->framesPerSecond[ival->index])};
        return 0;
    }
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT:
    case VIDIOC_G_FMT: {
        auto* format = static_cast<v4l2_format*>(arg);
        if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) break;
        if (request == VIDIOC_G_FMT) {
            format->fmt.pix = open.format;
            return 0;
        }
        v4l2_pix_format& pix = format->fmt.pix;
        const FakeFormat* f = findFormat(node, pix.pixelformat);
        if (!f) f = &node.formats.front();
        pix.pixelformat = f->pixelFormat;
        bool listed = false;
        for (const auto& [w, h] : f->sizes)
            listed =
                listed || (static_cast<uint32_t>(w) == pix.width && static_cast<uint32_t>(h) == pix.height);
        if (!listed) {
            pix.width = static_cast<uint32_t>(f->sizes.front().first);
            pix.height = static_cast<uint32_t>(f->sizes.front().second);
        }
        pix.field = V4L2_FIELD_NONE;
        pix.bytesperline = pix.pixelformat == V4L2_PIX_FMT_NV12    ? pix.width
                           : pix.pixelformat == V4L2_PIX_FMT_MJPEG ? 0
                                                                   : pix.width * 2;
        pix.sizeimage = pix.pixelformat == V4L2_PIX_FMT_MJPEG  ? pix.width * pix.height * 2
                        : pix.pixelformat == V4L2_PIX_FMT_NV12 ? pix.width * pix.height * 3 / 2
                                                               : pix.width * pix.height * 2;
        if (request == VIDIOC_S_FMT) {
            open.format = pix;
            formats.push_back(
                {node.name, pix.pixelformat, static_cast<int>(pix.width), static_cast<int>(pix.height)});
        }
        return 0;
    }
    case VIDIOC_S_PARM:
    case VIDIOC_G_PARM: {
        auto* parm = static_cast<v4l2_streamparm*>(arg);
        if (parm->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) break;
        if (request == VIDIOC_S_PARM) {
            // Snaps to the nearest listed rate of the active format.
            const v4l2_fract asked = parm->parm.capture.timeperframe;
            rates.push_back({node.name, asked.numerator, asked.denominator});
            const FakeFormat* f = findFormat(node, open.format.pixelformat);
            if (f && asked.numerator) {
                const double fps = static_cast<double>(asked.denominator) / asked.numerator;
                int best = f->framesPerSecond.front();
                for (int r : f->framesPerSecond)
                    if (std::abs(r - fps) < std::abs(best - fps)) best = r;
                open.interval = v4l2_fract{1, static_cast<uint32_t>(best)};
            }
        }
        std::memset(&parm->parm, 0, sizeof parm->parm);
        parm->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        parm->parm.capture.timeperframe = open.interval;
        return 0;
    }
    case VIDIOC_REQBUFS: {
        auto* req = static_cast<v4l2_requestbuffers*>(arg);
        if (req->memory != V4L2_MEMORY_MMAP) break;
        if (open.streaming) {
            errno = EBUSY;
            return -1;
        }
        req->count = req->count > 8 ? 8 : req->count;
        open.buffers.assign(req->count, Buffer{});
        for (Buffer& b : open.buffers)
            b.bytes.assign(open.format.sizeimage, 0);
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF: {
        auto* buffer = static_cast<v4l2_buffer*>(arg);
        if (buffer->index >= open.buffers.size()) break;
        Buffer& b = open.buffers[buffer->index];
        if (request == VIDIOC_QUERYBUF) {
            buffer->length = static_cast<uint32_t>(b.bytes.size());
            buffer->m.offset = static_cast<uint32_t>(bufferSpacing * buffer->index);
            return 0;
        }
        b.queued = true;
        b.filled = false;
        return 0;
    }
    case VIDIOC_DQBUF: {
        auto* buffer = static_cast<v4l2_buffer*>(arg);
        if (node.vanishAfter > 0 && open.produced >= node.vanishAfter) {
            errno = ENODEV;
            return -1;
        }
        for (size_t i = 0; i < open.buffers.size(); ++i) {
            Buffer& b = open.buffers[i];
            if (b.filled) {
                b.filled = false;
                b.queued = false;
                buffer->index = static_cast<uint32_t>(i);
                buffer->bytesused = b.used;
                buffer->flags = 0;
                buffer->timestamp = timeval{};
                if (node.captureAgeMicros >= 0) {
                    const int64_t stamp = monotonicMicros() - node.captureAgeMicros;
                    buffer->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
                    buffer->timestamp.tv_sec = static_cast<time_t>(stamp / 1000000);
                    buffer->timestamp.tv_usec = static_cast<suseconds_t>(stamp % 1000000);
                }
                return 0;
            }
        }
        errno = EAGAIN;
        return -1;
    }
    case VIDIOC_STREAMON:
        open.streaming = true;
        return 0;
    case VIDIOC_STREAMOFF:
        open.streaming = false;
        for (Buffer& b : open.buffers)
            b.queued = b.filled = false;
        return 0;
    default:
        break;
    }
    errno = EINVAL;
    return -1;
}

void* FakeV4l2::mapBuffer(size_t length, int fd, off_t offset) {
    std::lock_guard<std::mutex> hold(guard);
    auto it = opens.find(fd);
    const size_t index = static_cast<size_t>(offset / bufferSpacing);
    if (it == opens.end() || index >= it->second.buffers.size() ||
        it->second.buffers[index].bytes.size() < length) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    return it->second.buffers[index].bytes.data();
}

int FakeV4l2::unmapBuffer(void*, size_t) {
    return 0;
}

int FakeV4l2::pollNode(int fd, short, short* revents, int timeoutMs) {
    // A frame every 3 ms while a buffer is queued.
    std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs < 3 ? timeoutMs : 3));
    std::lock_guard<std::mutex> hold(guard);
    *revents = 0;
    auto it = opens.find(fd);
    if (it == opens.end()) {
        *revents = POLLNVAL;
        return 1;
    }
    Open& open = it->second;
    const FakeNode& node = nodes[open.node];
    if (node.vanishAfter > 0 && open.produced >= node.vanishAfter) {
        *revents = POLLERR;
        return 1;
    }
    if (!open.streaming) return 0;
    for (Buffer& b : open.buffers) {
        if (b.filled) {
            *revents = POLLIN;
            return 1;
        }
    }
    for (Buffer& b : open.buffers) {
        if (b.queued) {
            const std::vector<uint8_t> picture = framePicture(node, open.format);
            const size_t used = picture.size() < b.bytes.size() ? picture.size() : b.bytes.size();
            std::memcpy(b.bytes.data(), picture.data(), used);
            b.used = static_cast<uint32_t>(used);
            b.filled = true;
            ++open.produced;
            *revents = POLLIN;
            return 1;
        }
    }
    return 0;
}
