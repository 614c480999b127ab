// The in-memory V4L2 output device.
#include "fake_v4l2_device.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* const fakeLoopbackLabel = "Duoview Fake Loopback";

namespace {

// Offsets handed out by QUERYBUF: buffer i is at i pages.
constexpr off_t pageBytes = 4096;

std::string fourccText(uint32_t code) {
    std::string text;
    for (int i = 0; i < 4; ++i)
        text += static_cast<char>((code >> (8 * i)) & 0xFF);
    return text;
}

}  // namespace

void FakeV4l2Devices::addNode(const Node& node) {
    std::lock_guard<std::mutex> hold(lock);
    nodes.push_back(node);
}

void FakeV4l2Devices::holdBuffers(bool value) {
    std::lock_guard<std::mutex> guard(lock);
    hold = value;
    if (!hold) {
        for (uint32_t i = 0; i < buffers.size(); ++i)
            if (buffers[i].queued) {
                buffers[i].queued = false;
                done.push_back(i);
            }
    }
}

std::vector<std::string> FakeV4l2Devices::videoNodes() {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> paths;
    for (const Node& node : nodes)
        paths.push_back(node.path);
    return paths;
}

int FakeV4l2Devices::refuse(int code) {
    ++errors;
    errno = code;
    return -1;
}

const FakeV4l2Devices::OpenFile* FakeV4l2Devices::fileOf(int fd) const {
    for (const OpenFile& file : files)
        if (file.fd == fd) return &file;
    return nullptr;
}

int FakeV4l2Devices::openNode(const std::string& path, int flags) {
    std::lock_guard<std::mutex> guard(lock);
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (nodes[i].path != path) continue;
        calls.push_back("open " + path);
        if (nodes[i].openErrno) {
            errno = nodes[i].openErrno;
            return -1;
        }
        files.push_back(OpenFile{nextFd, i, (flags & O_NONBLOCK) != 0});
        ++openFiles;
        return nextFd++;
    }
    errno = ENOENT;
    return -1;
}

int FakeV4l2Devices::closeNode(int fd) {
    std::lock_guard<std::mutex> guard(lock);
    for (size_t i = 0; i < files.size(); ++i) {
        if (files[i].fd != fd) continue;
        calls.push_back("close " + nodes[files[i].node].path);
        files.erase(files.begin() + static_cast<std::ptrdiff_t>(i));
        --openFiles;
        return 0;
    }
    return refuse(EBADF);
}

int FakeV4l2Devices::control(int fd, unsigned long request, void* argument) {
    std::lock_guard<std::mutex> guard(lock);
    const OpenFile* file = fileOf(fd);
    if (!file) return refuse(EBADF);
    const Node& node = nodes[file->node];
    const bool output = (node.deviceCaps & V4L2_CAP_VIDEO_OUTPUT) != 0;
    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto* caps = static_cast<v4l2_capability*>(argument);
        *caps = v4l2_capability{};
        std::snprintf(reinterpret_cast<char*>(caps->driver), sizeof caps->driver, "fake");
        std::snprintf(reinterpret_cast<char*>(caps->card), sizeof caps->card, "%s", node.card.c_str());
        caps->device_caps = node.deviceCaps;
        caps->capabilities = node.deviceCaps | V4L2_CAP_DEVICE_CAPS;
        return 0;
    }
    case VIDIOC_S_FMT: {
        calls.push_back("S_FMT");
        auto* f = static_cast<v4l2_format*>(argument);
        if (!output || f->type != V4L2_BUF_TYPE_VIDEO_OUTPUT) return refuse(EINVAL);
        if (!buffers.empty()) return refuse(EBUSY);
        v4l2_pix_format& pix = f->fmt.pix;
        if (node.forcedWidth) pix.width = node.forcedWidth;
        if (pix.pixelformat != V4L2_PIX_FMT_YUYV && pix.pixelformat != V4L2_PIX_FMT_RGB24)
            pix.pixelformat = V4L2_PIX_FMT_YUYV;
        const uint32_t line = pix.width * (pix.pixelformat == V4L2_PIX_FMT_YUYV ? 2 : 3);
        if (pix.bytesperline < line) pix.bytesperline = line;
        pix.sizeimage = pix.bytesperline * pix.height;
        format = *f;
        return 0;
    }
    case VIDIOC_S_PARM: {
        calls.push_back("S_PARM");
        auto* parm = static_cast<v4l2_streamparm*>(argument);
        if (node.parmErrno) return refuse(node.parmErrno);
        if (!output || parm->type != V4L2_BUF_TYPE_VIDEO_OUTPUT) return refuse(EINVAL);
        timePerFrame = parm->parm.output.timeperframe;
        return 0;
    }
    case VIDIOC_REQBUFS: {
        auto* r = static_cast<v4l2_requestbuffers*>(argument);
        calls.push_back("REQBUFS " + std::to_string(r->count));
        if (r->type != V4L2_BUF_TYPE_VIDEO_OUTPUT || r->memory != V4L2_MEMORY_MMAP || !output)
            return refuse(EINVAL);
        if (r->count > 0 && node.requestErrno) return refuse(node.requestErrno);
        if (streaming || buffersMapped > 0) return refuse(EBUSY);
        r->count = r->count < node.maxBuffers ? r->count : node.maxBuffers;
        buffers.assign(r->count, Buffer{});
        for (Buffer& b : buffers)
            b.bytes.assign(format.fmt.pix.sizeimage, 0);
        done.clear();
        buffersGranted = r->count;
        return 0;
    }
    case VIDIOC_QUERYBUF: {
        auto* b = static_cast<v4l2_buffer*>(argument);
        if (b->index >= buffers.size()) return refuse(EINVAL);
        b->length = static_cast<uint32_t>(buffers[b->index].bytes.size());
        b->m.offset = static_cast<uint32_t>(b->index * pageBytes);
        return 0;
    }
    case VIDIOC_QBUF: {
        auto* b = static_cast<v4l2_buffer*>(argument);
        calls.push_back("QBUF " + std::to_string(b->index));
        if (b->index >= buffers.size() || buffers[b->index].queued || !buffers[b->index].mapped ||
            b->bytesused > buffers[b->index].bytes.size())
            return refuse(EINVAL);
        for (uint32_t d : done)
            if (d == b->index) return refuse(EINVAL);  // the writer never took it back
        const int64_t stamp = static_cast<int64_t>(b->timestamp.tv_sec) * 1000000 + b->timestamp.tv_usec;
        queued.push_back(Queued{b->index, b->bytesused, b->field, stamp});
        lastFrame.assign(buffers[b->index].bytes.begin(), buffers[b->index].bytes.begin() + b->bytesused);
        if (hold)
            buffers[b->index].queued = true;
        else
            done.push_back(b->index);
        return 0;
    }
    case VIDIOC_DQBUF: {
        auto* b = static_cast<v4l2_buffer*>(argument);
        if (done.empty()) {
            // A blocking descriptor would wait here for a reader.
            return refuse(file->nonBlocking ? EAGAIN : EDEADLK);
        }
        b->index = done.front();
        done.erase(done.begin());
        calls.push_back("DQBUF " + std::to_string(b->index));
        return 0;
    }
    case VIDIOC_STREAMON:
        calls.push_back("STREAMON");
        if (queued.empty()) return refuse(EINVAL);
        streaming = true;
        return 0;
    case VIDIOC_STREAMOFF:
        calls.push_back("STREAMOFF");
        streaming = false;
        // The device gives every buffer back.
        for (Buffer& buffer : buffers)
            buffer.queued = false;
        done.clear();
        return 0;
    default:
        return refuse(ENOTTY);
    }
}

void* FakeV4l2Devices::mapBuffer(int fd, size_t length, off_t offset) {
    std::lock_guard<std::mutex> guard(lock);
    const size_t index = static_cast<size_t>(offset / pageBytes);
    if (!fileOf(fd) || offset % pageBytes != 0 || index >= buffers.size() || buffers[index].mapped ||
        length != buffers[index].bytes.size()) {
        refuse(EINVAL);
        return MAP_FAILED;
    }
    buffers[index].mapped = true;
    ++buffersMapped;
    return buffers[index].bytes.data();
}

int FakeV4l2Devices::unmapBuffer(void* address, size_t length) {
    std::lock_guard<std::mutex> guard(lock);
    for (Buffer& buffer : buffers) {
        if (buffer.bytes.data() != address || !buffer.mapped) continue;
        if (length != buffer.bytes.size()) return refuse(EINVAL);
        buffer.mapped = false;
        --buffersMapped;
        return 0;
    }
    return refuse(EINVAL);
}

int64_t FakeV4l2Devices::monotonicMicros() {
    std::lock_guard<std::mutex> guard(lock);
    clock += 1000;
    return clock;
}

bool FakeV4l2Devices::writeReport(const std::string& folder) {
    std::lock_guard<std::mutex> guard(lock);
    bool increasing = true;
    for (size_t i = 1; i < queued.size(); ++i)
        increasing = increasing && queued[i].stampMicros > queued[i - 1].stampMicros;
    long streamOffs = 0;
    for (const std::string& call : calls)
        streamOffs += call == "STREAMOFF";
    FILE* report = std::fopen((folder + "/report.txt").c_str(), "w");
    if (!report) return false;
    const v4l2_pix_format& pix = format.fmt.pix;
    std::fprintf(report, "format %ux%u %s %u %u\n", pix.width, pix.height,
                 fourccText(pix.pixelformat).c_str(), pix.bytesperline, pix.sizeimage);
    std::fprintf(report, "rate %u/%u\n", timePerFrame.numerator, timePerFrame.denominator);
    std::fprintf(report, "frames %zu\n", queued.size());
    std::fprintf(report, "stamps-increasing %d\n", increasing ? 1 : 0);
    std::fprintf(report, "streamoffs %ld\n", streamOffs);
    std::fprintf(report, "mapped %u\n", buffersMapped);
    std::fprintf(report, "open-files %d\n", openFiles);
    std::fprintf(report, "errors %d\n", errors);
    std::fprintf(report, "calls %zu\n", calls.size());
    bool ok = std::fclose(report) == 0;
    FILE* frame = std::fopen((folder + "/last-frame.raw").c_str(), "wb");
    if (!frame) return false;
    ok = std::fwrite(lastFrame.data(), 1, lastFrame.size(), frame) == lastFrame.size() && ok;
    return std::fclose(frame) == 0 && ok;
}

std::unique_ptr<FakeV4l2Devices> FakeV4l2Devices::fromEnvironment(std::string* folder) {
    const char* dir = std::getenv("DV_HOST_FAKE_V4L2_DIR");
    if (!dir || !*dir) return nullptr;
    *folder = dir;
    auto fake = std::make_unique<FakeV4l2Devices>();
    Node node;
    node.path = *folder + "/video0";
    node.card = fakeLoopbackLabel;
    fake->addNode(node);
    return fake;
}
