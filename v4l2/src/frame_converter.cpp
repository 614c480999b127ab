// FrameConverter: the three conversion paths.
#include "v4l2/frame_converter.h"

#include <libv4l-plugin.h>
#include <libv4lconvert.h>
#include <turbojpeg.h>

#include <cstring>

#include "platform/trace.h"
#include "platform/v4l2_io.h"
#include "v4l2/v4l2_device.h"

namespace {

// The conversion library reaches the device through the system-call table too.
int libraryIoctl(void*, int fd, unsigned long request, void* arg) {
    return dvV4l2Io()->ioctlNode(fd, request, arg);
}
ssize_t libraryRead(void*, int, void*, size_t) {
    errno = EINVAL;
    return -1;
}
ssize_t libraryWrite(void*, int, const void*, size_t) {
    errno = EINVAL;
    return -1;
}
libv4l_dev_ops makeLibraryOps() noexcept {
    libv4l_dev_ops ops;
    std::memset(&ops, 0, sizeof ops);
    ops.ioctl = libraryIoctl;
    ops.read = libraryRead;
    ops.write = libraryWrite;
    return ops;
}
const libv4l_dev_ops libraryOps = makeLibraryOps();

}  // namespace

HRESULT FrameConverter::create(const v4l2_pix_format& format, int fd, std::unique_ptr<FrameConverter>* out) {
    if (!out) return E_POINTER;
    out->reset();
    if (format.width == 0 || format.height == 0 || format.width > 16384 || format.height > 16384)
        return VFW_E_INVALIDMEDIATYPE;
    std::unique_ptr<FrameConverter> converter(new (std::nothrow) FrameConverter(format));
    if (!converter) return E_OUTOFMEMORY;
    switch (conversionFor(format.pixelformat)) {
    case ConversionKind::yuyv:
    case ConversionKind::nv12:
        break;
    case ConversionKind::mjpeg:
        converter->jpegDecoder = tjInitDecompress();
        if (!converter->jpegDecoder) return E_OUTOFMEMORY;
        break;
    case ConversionKind::library:
        converter->library = v4lconvert_create_with_dev_ops(fd, nullptr, &libraryOps);
        if (!converter->library) return E_OUTOFMEMORY;
        converter->scratch.resize(static_cast<size_t>(format.width) * format.height * 3);
        break;
    case ConversionKind::none:
        return VFW_E_INVALIDMEDIATYPE;
    }
    *out = std::move(converter);
    return S_OK;
}

FrameConverter::~FrameConverter() {
    if (jpegDecoder) tjDestroy(static_cast<tjhandle>(jpegDecoder));
    if (library) v4lconvert_destroy(library);
}

bool FrameConverter::convert(const uint8_t* src, size_t size, const pix::BgrTarget& dst) {
    if (!src || !dst.data || dst.width != static_cast<int>(format.width) ||
        dst.height != static_cast<int>(format.height))
        return false;
    const size_t width = format.width;
    const size_t height = format.height;
    switch (conversionFor(format.pixelformat)) {
    case ConversionKind::yuyv: {
        const size_t stride = format.bytesperline ? format.bytesperline : ((width + 1) / 2) * 4;
        if (stride < ((width + 1) / 2) * 4 || size < stride * (height - 1) + ((width + 1) / 2) * 4)
            return false;
        pix::convertYuyvToBgr(src, static_cast<std::ptrdiff_t>(stride), dst);
        return true;
    }
    case ConversionKind::nv12: {
        const size_t stride = format.bytesperline ? format.bytesperline : width;
        const size_t chromaRows = (height + 1) / 2;
        if (stride < width || size < stride * height + stride * (chromaRows - 1) + ((width + 1) / 2) * 2)
            return false;
        pix::convertNv12ToBgr(src, static_cast<std::ptrdiff_t>(stride), src + stride * height,
                              static_cast<std::ptrdiff_t>(stride), dst);
        return true;
    }
    case ConversionKind::mjpeg: {
        auto* decoder = static_cast<tjhandle>(jpegDecoder);
        int jpegWidth = 0, jpegHeight = 0, subsampling = 0, colourspace = 0;
        if (size == 0 || size > 0x7FFFFFFF ||
            tjDecompressHeader3(decoder, src, static_cast<unsigned long>(size), &jpegWidth, &jpegHeight,
                                &subsampling, &colourspace) != 0 ||
            jpegWidth != dst.width || jpegHeight != dst.height)
            return false;
        const int flags = dst.bottomUp ? TJFLAG_BOTTOMUP : 0;
        return tjDecompress2(decoder, src, static_cast<unsigned long>(size), dst.data, dst.width,
                             static_cast<int>(dst.stride), dst.height, TJPF_BGR, flags) == 0;
    }
    case ConversionKind::library:
        return convertWithLibrary(src, size, dst);
    case ConversionKind::none:
        break;
    }
    return false;
}

bool FrameConverter::convertWithLibrary(const uint8_t* src, size_t size, const pix::BgrTarget& dst) {
    if (size == 0 || size > 0x7FFFFFFF) return false;
    v4l2_format from{};
    from.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    from.fmt.pix = format;
    v4l2_format to = from;
    to.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
    to.fmt.pix.bytesperline = format.width * 3;
    to.fmt.pix.sizeimage = static_cast<uint32_t>(scratch.size());
    // The library reads the source through a non-const pointer without writing it.
    const int produced =
        v4lconvert_convert(library, &from, &to, const_cast<uint8_t*>(src), static_cast<int>(size),
                           scratch.data(), static_cast<int>(scratch.size()));
    if (produced < static_cast<int>(scratch.size())) {
        DV_TRACE(TraceLevel::verbose, "v4l2: conversion library: %s", v4lconvert_get_error_message(library));
        return false;
    }
    const size_t rowBytes = static_cast<size_t>(dst.width) * 3;
    for (int y = 0; y < dst.height; ++y) {
        const int row = dst.bottomUp ? dst.height - 1 - y : y;
        std::memcpy(dst.data + static_cast<std::ptrdiff_t>(row) * dst.stride, scratch.data() + rowBytes * y,
                    rowBytes);
    }
    return true;
}
