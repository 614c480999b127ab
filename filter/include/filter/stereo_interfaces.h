// The virtual camera's class identifiers and private interfaces, as a host
// application or the property pages see them. Self-contained: a host program
// needs only this header and the platform's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/com_ptr.h"
#include "platform/win.h"

// A compile-time GUID constant for this product's own identifiers, the same
// on both targets (each module holds its own copy).
#define DV_DEFINE_PRODUCT_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

// The filter "Vanto 3D Virtual Camera2".
DV_DEFINE_PRODUCT_GUID(CLSID_StereoCameraFilter, 0x2C651615, 0xC765, 0x413E, 0x8A, 0x80, 0xC8, 0xA2, 0x32,
                       0xF9, 0x50, 0x00);
// The image type page (named by the filter's ISpecifyPropertyPages).
DV_DEFINE_PRODUCT_GUID(CLSID_ImageTypePage, 0x34084DB5, 0x15BE, 0x46FA, 0x8F, 0xB5, 0x08, 0x1A, 0x29, 0xE6,
                       0x65, 0x19);
// The camera selection page (named by the output pin's ISpecifyPropertyPages).
DV_DEFINE_PRODUCT_GUID(CLSID_CameraSelectionPage, 0x147D6803, 0x1C48, 0x45A9, 0xB2, 0x9B, 0x1B, 0x7F, 0x4F,
                       0x17, 0xD7, 0xB5);

DV_DEFINE_PRODUCT_GUID(IID_IStereoImageControl, 0x87C624C2, 0xCBB8, 0x4B9C, 0xA0, 0x7B, 0x92, 0x58, 0xE1,
                       0x4C, 0xEA, 0x3B);
DV_DEFINE_PRODUCT_GUID(IID_ICameraSelection, 0x4AA2C8E4, 0x78DA, 0x4BF2, 0xB9, 0xCF, 0x25, 0x7B, 0x98, 0x41,
                       0xE5, 0xB5);
DV_DEFINE_PRODUCT_GUID(IID_IStereoFrameCallback, 0x8FFF2F1C, 0xFD73, 0x4B64, 0x9C, 0xA9, 0xAC, 0x56, 0x94,
                       0x0E, 0x6C, 0xE5);

// Friendly name under which the filter is registered as a video input device.
inline constexpr const wchar_t* virtualCameraFriendlyName = L"Vanto 3D Virtual Camera2";

// Image mode and swap flag of the running filter (on the filter object).
// Every method holds the filter's settings lock while it reads or writes.
struct IStereoImageControl : IUnknown {
    STDMETHOD(GetImageMode)(int* mode) PURE;  // E_POINTER for null
    STDMETHOD(SetImageMode)(int mode) PURE;   // stored without a check
    STDMETHOD(GetSwapFlag)(int* flag) PURE;   // E_POINTER for null
    STDMETHOD(SetSwapFlag)(int flag) PURE;    // stored without a check
};

// Resolution and camera choice (on the output pin "Output1"). Every method
// holds the pin's settings lock while it reads or writes.
struct ICameraSelection : IUnknown {
    STDMETHOD(GetSizeIndex)(int* index) PURE;                 // E_POINTER for null
    STDMETHOD(SetSizeIndex)(unsigned index) PURE;             // stores, then re-runs the format step
    STDMETHOD(GetCameraIndices)(int* left, int* right) PURE;  // both pointers required
    STDMETHOD(SetCameraIndices)(int left, int right) PURE;    // stored without a check
};

// The image header the frame callback receives: the classic C image header
// of the reference image library (its IplImage), laid out field for field,
// filled as that library fills a header over foreign data: 8-bit unsigned
// (depth 8), 3 interleaved channels B, G, R (colorModel "RGB", channelSeq
// "BGR", dataOrder 0), origin 1 (row 0 first in memory = bottom line on
// screen), align 4, widthStep = width x 3 rounded up to a multiple of 4,
// imageSize = widthStep x height, imageData = imageDataOrigin = the camera
// sample's buffer (writable), no region, mask, id or tiles. Both the header
// and the buffer are valid only during the call.
//
// A host that includes the image library's C types header
// (opencv2/core/types_c.h) before this one receives exactly the library's own
// IplImage; otherwise StereoImageHeader is this product's declaration of the
// same layout. This header never declares the name IplImage itself, so it
// may be included before or after the library's.
#if defined(OPENCV_CORE_TYPES_H)
typedef IplImage StereoImageHeader;
#else
struct StereoImageHeader {
    int nSize;           // sizeof(StereoImageHeader): 144 on 64-bit targets, 112 on 32-bit ones
    int ID;              // 0
    int nChannels;       // 3
    int alphaChannel;    // 0
    int depth;           // bits per channel, unsigned: 8
    char colorModel[4];  // "RGB"
    char channelSeq[4];  // "BGR"
    int dataOrder;       // 0: interleaved channels
    int origin;          // 1: bottom-left origin
    int align;           // 4
    int width;
    int height;                     // always positive
    struct _IplROI* roi;            // null: the whole picture
    StereoImageHeader* maskROI;     // null
    void* imageId;                  // null
    struct _IplTileInfo* tileInfo;  // null
    int imageSize;                  // widthStep x height
    char* imageData;                // the sample's buffer
    int widthStep;                  // bytes from one row to the next
    int BorderMode[4];              // 0
    int BorderConst[4];             // 0
    char* imageDataOrigin;          // the sample's buffer
};
#endif

// The layout hosts compiled against the image library's header rely on, on
// 64-bit and on 32-bit targets.
constexpr size_t dvImageHeaderOffset(size_t offset64, size_t offset32) {
    return sizeof(void*) == 8 ? offset64 : offset32;
}
#define DV_IMAGE_HEADER_OFFSET(field, offset64, offset32)                                        \
    static_assert(offsetof(StereoImageHeader, field) == dvImageHeaderOffset(offset64, offset32), \
                  "StereoImageHeader::" #field)
static_assert(sizeof(void*) == 8 || sizeof(void*) == 4, "64-bit or 32-bit targets only");
static_assert(sizeof(StereoImageHeader) == (sizeof(void*) == 8 ? 144 : 112), "StereoImageHeader size");
DV_IMAGE_HEADER_OFFSET(nSize, 0, 0);
DV_IMAGE_HEADER_OFFSET(ID, 4, 4);
DV_IMAGE_HEADER_OFFSET(nChannels, 8, 8);
DV_IMAGE_HEADER_OFFSET(alphaChannel, 12, 12);
DV_IMAGE_HEADER_OFFSET(depth, 16, 16);
DV_IMAGE_HEADER_OFFSET(colorModel, 20, 20);
DV_IMAGE_HEADER_OFFSET(channelSeq, 24, 24);
DV_IMAGE_HEADER_OFFSET(dataOrder, 28, 28);
DV_IMAGE_HEADER_OFFSET(origin, 32, 32);
DV_IMAGE_HEADER_OFFSET(align, 36, 36);
DV_IMAGE_HEADER_OFFSET(width, 40, 40);
DV_IMAGE_HEADER_OFFSET(height, 44, 44);
DV_IMAGE_HEADER_OFFSET(roi, 48, 48);
DV_IMAGE_HEADER_OFFSET(maskROI, 56, 52);
DV_IMAGE_HEADER_OFFSET(imageId, 64, 56);
DV_IMAGE_HEADER_OFFSET(tileInfo, 72, 60);
DV_IMAGE_HEADER_OFFSET(imageSize, 80, 64);
DV_IMAGE_HEADER_OFFSET(imageData, 88, 68);
DV_IMAGE_HEADER_OFFSET(widthStep, 96, 72);
DV_IMAGE_HEADER_OFFSET(BorderMode, 100, 76);
DV_IMAGE_HEADER_OFFSET(BorderConst, 116, 92);
DV_IMAGE_HEADER_OFFSET(imageDataOrigin, 136, 108);
#undef DV_IMAGE_HEADER_OFFSET

// A plain function that sees every pair of camera pictures before
// composition, on a camera streaming thread, inside the filter's lock. Its
// result is not used. Its calling convention is part of the type, as for every
// method here (__stdcall on 32-bit Windows, the only target where conventions
// differ), so a host compiled with another default convention still agrees
// with the filter; the callee may start with a stack aligned to 4 bytes only.
typedef int(STDMETHODCALLTYPE* StereoFrameCallback)(StereoImageHeader* left, StereoImageHeader* right);

// Installs the frame callback (on the filter object).
struct IStereoFrameCallback : IUnknown {
    STDMETHOD(SetFrameCallback)(StereoFrameCallback callback) PURE;  // null clears it; S_OK
};

DV_DECLARE_IID(IStereoImageControl, IID_IStereoImageControl);
DV_DECLARE_IID(ICameraSelection, IID_ICameraSelection);
DV_DECLARE_IID(IStereoFrameCallback, IID_IStereoFrameCallback);
