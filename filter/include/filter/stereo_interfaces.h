// The virtual camera's class identifiers and private interfaces, as a host
// application or the property pages see them. Self-contained: a host program
// needs only this header and the platform's.
#pragma once

#include <cstdint>

#include "platform/com_ptr.h"
#include "platform/win.h"

// A compile-time GUID constant for this product's own identifiers, the same
// on both targets (each module holds its own copy).
#define DV_DEFINE_PRODUCT_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

// The filter "Vanto 3D Virtual Camera2".
DV_DEFINE_PRODUCT_GUID(CLSID_StereoCameraFilter, 0x2C651615, 0xC765, 0x413E, 0x8A, 0x80, 0xC8, 0xA2, 0x32, 0xF9, 0x50,
                       0x00);
// The image type page (named by the filter's ISpecifyPropertyPages).
DV_DEFINE_PRODUCT_GUID(CLSID_ImageTypePage, 0x34084DB5, 0x15BE, 0x46FA, 0x8F, 0xB5, 0x08, 0x1A, 0x29, 0xE6, 0x65, 0x19);
// The camera selection page (named by the output pin's ISpecifyPropertyPages).
DV_DEFINE_PRODUCT_GUID(CLSID_CameraSelectionPage, 0x147D6803, 0x1C48, 0x45A9, 0xB2, 0x9B, 0x1B, 0x7F, 0x4F, 0x17, 0xD7,
                       0xB5);

DV_DEFINE_PRODUCT_GUID(IID_IStereoImageControl, 0x87C624C2, 0xCBB8, 0x4B9C, 0xA0, 0x7B, 0x92, 0x58, 0xE1, 0x4C, 0xEA,
                       0x3B);
DV_DEFINE_PRODUCT_GUID(IID_ICameraSelection, 0x4AA2C8E4, 0x78DA, 0x4BF2, 0xB9, 0xCF, 0x25, 0x7B, 0x98, 0x41, 0xE5, 0xB5);
DV_DEFINE_PRODUCT_GUID(IID_IStereoFrameCallback, 0x8FFF2F1C, 0xFD73, 0x4B64, 0x9C, 0xA9, 0xAC, 0x56, 0x94, 0x0E, 0x6C,
                       0xE5);

// Friendly name under which the filter is registered as a video input device.
inline constexpr const wchar_t* kVirtualCameraName = L"Vanto 3D Virtual Camera2";

// Image mode and swap flag of the running filter (on the filter object).
// Every method holds the filter's settings lock while it reads or writes.
struct IStereoImageControl : IUnknown {
    STDMETHOD(GetImageMode)(int* mode) PURE;   // E_POINTER for null
    STDMETHOD(SetImageMode)(int mode) PURE;    // stored without a check
    STDMETHOD(GetSwapFlag)(int* flag) PURE;    // E_POINTER for null
    STDMETHOD(SetSwapFlag)(int flag) PURE;     // stored without a check
};

// Resolution and camera choice (on the output pin "Output1"). Every method
// holds the pin's settings lock while it reads or writes.
struct ICameraSelection : IUnknown {
    STDMETHOD(GetSizeIndex)(int* index) PURE;                 // E_POINTER for null
    STDMETHOD(SetSizeIndex)(unsigned index) PURE;             // stores, then re-runs the format step
    STDMETHOD(GetCameraIndices)(int* left, int* right) PURE;  // both pointers required
    STDMETHOD(SetCameraIndices)(int left, int right) PURE;    // stored without a check
};

// An image header as the frame callback receives it: a view over a camera
// sample's buffer, valid only during the call. 8-bit, 3 channels (B, G, R),
// rows `widthStep` bytes apart, row 0 first in memory = bottom line on screen.
struct StereoImageHeader {
    int32_t width;
    int32_t height;      // always positive
    int32_t nChannels;   // 3
    int32_t depth;       // bits per channel: 8
    int32_t widthStep;   // width x 3 rounded up to a multiple of 4
    int32_t origin;      // 1: bottom-left origin
    uint8_t* imageData;  // the sample's buffer; writable
};

// A plain function that sees every pair of camera pictures before
// composition, on a camera streaming thread, inside the filter's lock. Its
// result is not used.
typedef int (*StereoFrameCallback)(const StereoImageHeader* left, const StereoImageHeader* right);

// Installs the frame callback (on the filter object).
struct IStereoFrameCallback : IUnknown {
    STDMETHOD(SetFrameCallback)(StereoFrameCallback callback) PURE;  // null clears it; S_OK
};

DV_DECLARE_IID(IStereoImageControl, IID_IStereoImageControl);
DV_DECLARE_IID(ICameraSelection, IID_ICameraSelection);
DV_DECLARE_IID(IStereoFrameCallback, IID_IStereoFrameCallback);
