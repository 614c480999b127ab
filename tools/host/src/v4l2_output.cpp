// The V4L2 output writer and the kernel's device calls.
#include "v4l2_output.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "compositor/yuyv_pack.h"
#include "platform/v4l2_io.h"

namespace {

class SystemV4l2Io final : public V4l2DeviceIo {
public:
    std::vector<std::string> videoNodes() override {
        std::vector<std::string> nodes;
        DIR* folder = opendir("/dev");
        if (!folder) return nodes;
        while (const dirent* entry = readdir(folder)) {
            const char* name = entry->d_name;
            if (std::strncmp(name, "video", 5) == 0 && name[5] >= '0' && name[5] <= '9')
                nodes.push_back(std::string("/dev/") + name);
        }
        closedir(folder);
        // video2 before video10.
        std::sort(nodes.begin(), nodes.end(), [](const std::string& a, const std::string& b) {
            return a.size() != b.size() ? a.size() < b.size() : a < b;
        });
        return nodes;
    }
    int openNode(const std::string& path, int flags) override { return ::open(path.c_str(), flags); }
    int closeNode(int fd) override { return ::close(fd); }
    int control(int fd, unsigned long request, void* argument) override {
        int result;
        do
            result = ::ioctl(fd, request, argument);
        while (result == -1 && errno == EINTR);
        return result;
    }
    void* mapBuffer(int fd, size_t length, off_t offset) override {
        return ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
    }
    int unmapBuffer(void* address, size_t length) override { return ::munmap(address, length); }
    int64_t monotonicMicros() override { return dvMonotonicMicros(); }
};

std::string errnoText(int error) {
    return std::strerror(error);
}

// The capabilities of the node itself (a driver that reports device caps
// means those, not the union over its nodes).
uint32_t nodeCaps(const v4l2_capability& caps) {
    return (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
}

std::string cardOf(const v4l2_capability& caps) {
    const char* card = reinterpret_cast<const char*>(caps.card);
    return std::string(card, strnlen(card, sizeof caps.card));
}

// QUERYCAP of the node at `path`: opened, queried and closed. False with
// errno's text in *error.
bool queryNode(V4l2DeviceIo& io, const std::string& path, v4l2_capability* caps, std::string* error) {
    const int fd = io.openNode(path, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        *error = errnoText(errno);
        return false;
    }
    *caps = v4l2_capability{};
    const bool ok = io.control(fd, VIDIOC_QUERYCAP, caps) == 0;
    if (!ok) *error = errnoText(errno);
    io.closeNode(fd);
    return ok;
}

long gcdOf(long a, long b) {
    while (b != 0) {
        const long r = a % b;
        a = b;
        b = r;
    }
    return a;
}

}  // namespace

V4l2DeviceIo& systemV4l2Io() {
    static SystemV4l2Io io;
    return io;
}

bool parseOutputPixelFormat(const std::string& text, OutputPixelFormat* format) {
    if (text == "yuyv")
        *format = OutputPixelFormat::yuyv;
    else if (text == "rgb24")
        *format = OutputPixelFormat::rgb24;
    else
        return false;
    return true;
}

const char* outputPixelFormatName(OutputPixelFormat format) {
    return format == OutputPixelFormat::yuyv ? "YUYV" : "RGB24";
}

bool resolveOutputNode(V4l2DeviceIo& io, const std::string& destination, OutputNode* node,
                       std::string* error) {
    v4l2_capability caps{};
    std::string reason;
    if (!destination.empty() && destination[0] == '/') {
        if (!queryNode(io, destination, &caps, &reason)) {
            *error = destination + ": " + reason;
            return false;
        }
        if (!(nodeCaps(caps) & V4L2_CAP_VIDEO_OUTPUT)) {
            *error = destination + " (\"" + cardOf(caps) +
                     "\") is not a video output device (load v4l2loopback and use its node)";
            return false;
        }
        *node = OutputNode{destination, cardOf(caps)};
        return true;
    }
    std::string seen;
    for (const std::string& path : io.videoNodes()) {
        if (!queryNode(io, path, &caps, &reason)) {
            seen += " " + path + " (" + reason + ")";
            continue;
        }
        const bool output = (nodeCaps(caps) & V4L2_CAP_VIDEO_OUTPUT) != 0;
        if (output && cardOf(caps) == destination) {
            *node = OutputNode{path, cardOf(caps)};
            return true;
        }
        seen += " " + path + " \"" + cardOf(caps) + "\"" + (output ? " (output)" : "");
    }
    *error = "no video output device has the card label \"" + destination +
             "\"; seen:" + (seen.empty() ? std::string(" no /dev/video* nodes") : seen);
    return false;
}

V4l2OutputWriter::V4l2OutputWriter(V4l2DeviceIo& io, OutputPixelFormat format, unsigned bufferCount)
    : io(io), pixelFormat(format), requestedBuffers(bufferCount) {}

V4l2OutputWriter::~V4l2OutputWriter() {
    close();
}

bool V4l2OutputWriter::open(const OutputNode& node, int width, int height, int64_t frameInterval,
                            std::string* error) {
    close();
    path = node.path;
    auto failWith = [&](const std::string& what, int code) {
        *error = path + ": " + what + (code ? ": " + errnoText(code) : std::string());
        if (code == EBUSY) *error += " (another program is using the device)";
        close();
        return false;
    };
    fd = io.openNode(path, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        const int code = errno;
        fd = -1;
        return failWith("cannot open", code);
    }
    v4l2_capability caps{};
    if (io.control(fd, VIDIOC_QUERYCAP, &caps) != 0) return failWith("VIDIOC_QUERYCAP failed", errno);
    const uint32_t capsHere = nodeCaps(caps);
    if (!(capsHere & V4L2_CAP_VIDEO_OUTPUT)) return failWith("not a video output device", 0);
    if (!(capsHere & V4L2_CAP_STREAMING))
        return failWith("the device does not stream (no V4L2_CAP_STREAMING)", 0);

    const bool yuyv = pixelFormat == OutputPixelFormat::yuyv;
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    v4l2_pix_format& pix = format.fmt.pix;
    pix.width = static_cast<uint32_t>(width);
    pix.height = static_cast<uint32_t>(height);
    pix.pixelformat = yuyv ? V4L2_PIX_FMT_YUYV : V4L2_PIX_FMT_RGB24;
    pix.field = V4L2_FIELD_NONE;
    pix.bytesperline = static_cast<uint32_t>(yuyv ? pix::yuyvRowBytes(width) : width * 3);
    pix.sizeimage = pix.bytesperline * pix.height;
    pix.colorspace = V4L2_COLORSPACE_SMPTE170M;
    pix.ycbcr_enc = V4L2_YCBCR_ENC_601;
    pix.quantization = yuyv ? V4L2_QUANTIZATION_LIM_RANGE : V4L2_QUANTIZATION_FULL_RANGE;
    const uint32_t wantedFormat = pix.pixelformat;
    if (io.control(fd, VIDIOC_S_FMT, &format) != 0) return failWith("VIDIOC_S_FMT failed", errno);
    // The driver answers with what it took.
    if (pix.width != static_cast<uint32_t>(width) || pix.height != static_cast<uint32_t>(height) ||
        pix.pixelformat != wantedFormat) {
        return failWith("the device does not take " + std::to_string(width) + "x" + std::to_string(height) +
                            " " + outputPixelFormatName(pixelFormat),
                        0);
    }
    const uint32_t minimumLine = static_cast<uint32_t>(yuyv ? pix::yuyvRowBytes(width) : width * 3);
    lineBytes = std::max(pix.bytesperline, minimumLine);
    imageBytes = std::max(pix.sizeimage, lineBytes * pix.height);
    frameWidth = width;
    frameHeight = height;

    if (frameInterval > 0) {
        v4l2_streamparm parm{};
        parm.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        const long divisor = gcdOf(static_cast<long>(frameInterval), 10000000L);
        parm.parm.output.timeperframe.numerator = static_cast<uint32_t>(frameInterval / divisor);
        parm.parm.output.timeperframe.denominator = static_cast<uint32_t>(10000000L / divisor);
        if (io.control(fd, VIDIOC_S_PARM, &parm) != 0)
            openWarning =
                "the device did not take the frame interval (VIDIOC_S_PARM: " + errnoText(errno) + ")";
    }

    v4l2_requestbuffers request{};
    request.count = requestedBuffers;
    request.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    request.memory = V4L2_MEMORY_MMAP;
    if (io.control(fd, VIDIOC_REQBUFS, &request) != 0) return failWith("VIDIOC_REQBUFS failed", errno);
    if (request.count == 0) return failWith("the device granted no buffers", 0);
    for (uint32_t index = 0; index < request.count; ++index) {
        v4l2_buffer buffer{};
        buffer.index = index;
        buffer.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (io.control(fd, VIDIOC_QUERYBUF, &buffer) != 0) return failWith("VIDIOC_QUERYBUF failed", errno);
        if (buffer.length < imageBytes) return failWith("a buffer is shorter than one picture", 0);
        void* address = io.mapBuffer(fd, buffer.length, static_cast<off_t>(buffer.m.offset));
        if (address == MAP_FAILED) return failWith("mmap failed", errno);
        buffers.push_back(Buffer{address, buffer.length});
    }
    neverQueued = 0;
    return true;
}

void V4l2OutputWriter::close() {
    if (fd < 0) return;
    if (streaming) {
        int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        io.control(fd, VIDIOC_STREAMOFF, &type);
        streaming = false;
    }
    for (const Buffer& buffer : buffers)
        io.unmapBuffer(buffer.address, buffer.length);
    if (!buffers.empty()) {
        v4l2_requestbuffers release{};
        release.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        release.memory = V4L2_MEMORY_MMAP;
        io.control(fd, VIDIOC_REQBUFS, &release);
    }
    buffers.clear();
    io.closeNode(fd);
    fd = -1;
}

bool V4l2OutputWriter::fail(const std::string& what) {
    if (failed.fetch_add(1) == 0) firstFailure = path + ": " + what;
    return false;
}

// The index of a buffer the device does not hold: one never queued yet, else
// one the device has finished with; -1 when none is free now (errno EAGAIN)
// or the device failed.
int V4l2OutputWriter::takeFreeBuffer() {
    if (neverQueued < buffers.size()) return static_cast<int>(neverQueued++);
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (io.control(fd, VIDIOC_DQBUF, &buffer) != 0) return -1;
    if (buffer.index >= buffers.size()) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<int>(buffer.index);
}

timeval V4l2OutputWriter::timestampFor(const SinkFrame& frame) {
    const int64_t now = io.monotonicMicros();
    int64_t stamp = now;
    if (frame.timeValid) {
        const int64_t sampleMicros = frame.start / 10;
        if (!haveOffset) {
            offsetMicros = now - sampleMicros;
            haveOffset = true;
        }
        stamp = sampleMicros + offsetMicros;
    }
    if (lastStampMicros != 0 && stamp <= lastStampMicros) stamp = lastStampMicros + 1;
    lastStampMicros = stamp;
    timeval out{};
    out.tv_sec = static_cast<time_t>(stamp / 1000000);
    out.tv_usec = static_cast<suseconds_t>(stamp % 1000000);
    return out;
}

void V4l2OutputWriter::onFrame(const SinkFrame& frame) {
    if (fd < 0) return;
    if (frame.width != frameWidth || frame.height != frameHeight) {
        fail("a picture of " + std::to_string(frame.width) + "x" + std::to_string(frame.height) +
             " does not match the device format");
        return;
    }
    const int index = takeFreeBuffer();
    if (index < 0) {
        if (errno == EAGAIN)
            ++dropped;
        else
            fail("VIDIOC_DQBUF failed: " + errnoText(errno));
        return;
    }
    const Buffer& target = buffers[static_cast<size_t>(index)];
    const pix::ImageView picture{frame.width, frame.height, 3, frame.stride,
                                 const_cast<uint8_t*>(frame.pixels)};
    uint8_t* bytes = static_cast<uint8_t*>(target.address);
    const bool converted = pixelFormat == OutputPixelFormat::yuyv
                               ? pix::packBgrToYuyv(picture, bytes, lineBytes, target.length)
                               : pix::packBgrToRgb24(picture, bytes, lineBytes, target.length);
    if (!converted) {
        // Not reached after the size check above; the buffer would stay
        // unqueued until close.
        fail("the picture could not be converted into a device buffer");
        return;
    }
    v4l2_buffer buffer{};
    buffer.index = static_cast<uint32_t>(index);
    buffer.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.bytesused = imageBytes;
    buffer.field = V4L2_FIELD_NONE;
    buffer.timestamp = timestampFor(frame);
    if (io.control(fd, VIDIOC_QBUF, &buffer) != 0) {
        fail("VIDIOC_QBUF failed: " + errnoText(errno));
        return;
    }
    if (!streaming) {
        int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        if (io.control(fd, VIDIOC_STREAMON, &type) != 0) {
            fail("VIDIOC_STREAMON failed: " + errnoText(errno));
            return;
        }
        streaming = true;
    }
    ++written;
    REFERENCE_TIME now = 0;
    if (frame.timeValid && streamClock && streamClock(&now)) {
        const REFERENCE_TIME lag = now - frame.start;
        std::lock_guard<std::mutex> hold(latencyLock);
        ++latencyFrames;
        latencySum += lag;
        if (latencyFrames == 1 || lag > latencyMax) latencyMax = lag;
    }
}

V4l2OutputWriter::Latency V4l2OutputWriter::latency() const {
    std::lock_guard<std::mutex> hold(latencyLock);
    Latency result;
    result.frames = latencyFrames;
    if (latencyFrames > 0) {
        result.meanMs = static_cast<double>(latencySum) / static_cast<double>(latencyFrames) / 1e4;
        result.maxMs = static_cast<double>(latencyMax) / 1e4;
    }
    return result;
}
