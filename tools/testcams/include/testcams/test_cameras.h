// The synthetic test cameras: their identities, how they are registered, and
// the pictures they deliver (so that a consumer can check a frame pixel by
// pixel).
//
// Devices (each its own class in the component library DuoviewTestCams):
//   "Duoview Test Camera A"        left eye, ordinary
//   "Duoview Test Camera B"        right eye, ordinary
//   "Duoview Test Camera C"        left eye, ordinary
//   "Duoview Test Camera NoRGB24"  left eye, offers 32-bit RGB only (variant)
//   "Duoview Test Camera TopDown"  left eye, offers only top-down 24-bit RGB (variant)
//   "Duoview Test Camera Stall"    left eye, ordinary formats, never delivers (variant)
//
// Registration (DllRegisterServer): the ordinary devices always; the variants
// only when the environment variable DV_TESTCAMS_VARIANTS is "1" at
// registration time. DV_TESTCAMS_DEVICES, when set, replaces that choice with
// a comma-separated list of device keys ("A,B", "A,Stall", ...). Each device is
// registered in the video input device category with its friendly name as the
// instance name, so registry-ordered enumerators list A, B, C, then the
// variants, ahead of any device whose instance name sorts later.
// DllUnregisterServer removes every device of the table, registered or not.
//
// Frame rate, read when the camera starts streaming (Stop -> Pause): the
// DWORD value FramesPerSecond under HKCU\Software\Duoview2\TestCameras\<name>,
// else the environment variable DV_TESTCAM_FPS, else the connection format's
// AvgTimePerFrame, else 30. A rate of 0 delivers as fast as buffers allow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/win.h"

#define DV_DEFINE_TESTCAM_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

DV_DEFINE_TESTCAM_GUID(CLSID_DuoviewTestCameraA, 0xB8F63D9B, 0xD5A8, 0x4B99, 0xB6, 0x20, 0xAC, 0x89, 0x54,
                       0x1E, 0x1D, 0x36);
DV_DEFINE_TESTCAM_GUID(CLSID_DuoviewTestCameraB, 0xC4471AB5, 0xA525, 0x48E4, 0xBF, 0xA9, 0xD1, 0xA6, 0xA4,
                       0x15, 0x79, 0x2E);
DV_DEFINE_TESTCAM_GUID(CLSID_DuoviewTestCameraC, 0x31D554FC, 0x02EB, 0x4F3B, 0xAE, 0xAC, 0xC9, 0xED, 0xDD,
                       0x8B, 0x06, 0x42);
DV_DEFINE_TESTCAM_GUID(CLSID_DuoviewTestCameraNoRGB24, 0xAF001188, 0x12E0, 0x496E, 0x8F, 0x0B, 0x0A, 0x45,
                       0xD6, 0x86, 0x59, 0x6F);
DV_DEFINE_TESTCAM_GUID(CLSID_DuoviewTestCameraTopDown, 0x0790D228, 0xB346, 0x4BD7, 0x86, 0x62, 0xE8, 0x3B,
                       0xB8, 0x18, 0xC3, 0x51);
DV_DEFINE_TESTCAM_GUID(CLSID_DuoviewTestCameraStall, 0x1171ABD8, 0x18A4, 0x4D8C, 0x9E, 0x04, 0x6D, 0x14, 0x75,
                       0x7D, 0x6D, 0x94);

enum class TestCameraKind {
    ordinary,     // RGB24 (several sizes) and one RGB32 capability
    noRgb24,      // RGB32 only
    topDownOnly,  // RGB24 with negative (top-down) heights only
    stalled,      // ordinary formats, connects and commits, never delivers a frame
};

struct TestCameraDevice {
    const char* key;       // short name for DV_TESTCAMS_DEVICES ("A", "Stall", ...)
    const CLSID* classId;  // the device's own class
    const WCHAR* name;     // friendly name = instance name in the device category
    TestCameraKind kind;
    int eye;       // 0 left eye, 1 right eye of the stereo scene
    bool variant;  // registered only on request
};

// The device table, in registration (and enumeration) order.
const TestCameraDevice* testCameraDevices();
int testCameraDeviceCount();
// The device with that class, or null.
const TestCameraDevice* findTestCamera(REFCLSID classId);
// The device with that key (case-insensitive), or null.
const TestCameraDevice* findTestCameraByKey(const char* key);

// Registry path (under HKEY_CURRENT_USER) of a device's settings:
// "Software\Duoview2\TestCameras\<name>"; value FramesPerSecond (REG_DWORD).
#define DV_TESTCAMS_SETTINGS_KEY L"Software\\Duoview2\\TestCameras"
#define DV_TESTCAMS_FPS_VALUE L"FramesPerSecond"

// ---- pictures --------------------------------------------------------------
//
// A frame is the device's eye picture of the synthetic stereo scene, rendered
// once per format, with the frame number stamped over it: the first
// min(8, |height|) rows of the buffer (in buffer order) carry 32 cells, most
// significant bit first, each stampCellWidth(width) pixels wide starting at
// x = 0; a 1 bit is white (every byte 255), a 0 bit black (every byte 0).
// Frame numbers count from 0 at each start of streaming (Stop -> Pause).

struct TestPictureFormat {
    int width;     // pixels, > 0
    int height;    // rows; negative: top-down (the first buffer row is the top line)
    int bitCount;  // 24 or 32
};

// Bytes per buffer row (padded to a multiple of 4).
int testPictureStride(const TestPictureFormat& format);
// Bytes of one whole frame.
size_t testPictureSize(const TestPictureFormat& format);
int stampCellWidth(int width);
int stampRows(int height);

// The eye picture (no stamp) in `format`, shared and immutable. Rendered on
// first use and kept for the life of the process; thread-safe.
std::shared_ptr<const std::vector<uint8_t>> testEyePicture(int eye, const TestPictureFormat& format);
// Writes the frame-number stamp into a frame buffer of `format`.
void stampFrameNumber(uint8_t* frame, const TestPictureFormat& format, uint32_t frameNumber);
// The whole expected frame (eye picture plus stamp) into `frame`
// (testPictureSize bytes).
void renderTestFrame(int eye, const TestPictureFormat& format, uint32_t frameNumber, uint8_t* frame);
// Reads a stamp from a buffer row laid out like the first row of a frame of
// `width` pixels with `bytesPerPixel` bytes each: samples the centre of each
// cell; a cell counts as 1 when its largest byte is at least 128.
uint32_t readFrameStamp(const uint8_t* row, int width, int bytesPerPixel);
