// Converts one captured frame into the sample buffer: B, G, R, bottom-up, rows
// padded to 4 bytes. YUYV and NV12 through the compositor's kernels, MJPEG
// through the JPEG library (decoding straight into the buffer), the formats
// ConversionKind::library names through the V4L2 conversion library.
//
// One converter per stream, used by one thread at a time (the streaming
// thread); it owns the JPEG decoder, the conversion library's state and the
// latter's scratch buffer, all made at creation.
#pragma once

#include <linux/videodev2.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "compositor/yuv_convert.h"
#include "platform/win.h"

struct v4lconvert_data;

class FrameConverter {
public:
    // `format`: the device's active format. `fd`: the open device node (the
    // conversion library queries it through the system-call table).
    // VFW_E_INVALIDMEDIATYPE for a format none of the paths converts.
    static HRESULT create(const v4l2_pix_format& format, int fd, std::unique_ptr<FrameConverter>* out);
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // Converts `size` bytes of one frame into `dst` (of the format's size).
    // False, with `dst` unspecified, for a frame too short or undecodable.
    bool convert(const uint8_t* src, size_t size, const pix::BgrTarget& dst);

private:
    explicit FrameConverter(const v4l2_pix_format& format) : format(format) {}
    bool convertWithLibrary(const uint8_t* src, size_t size, const pix::BgrTarget& dst);

    v4l2_pix_format format;
    void* jpegDecoder = nullptr;         // tjhandle
    v4lconvert_data* library = nullptr;  // the conversion library's state
    std::vector<uint8_t> scratch;        // its top-down BGR24 output
};
