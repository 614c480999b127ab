// Binary layout of the Windows structures the component exchanges with hosts
// and cameras. The same file compiles against the SDK headers (Windows build) and
// the POSIX stand-in, so the two are held to one layout. Sizes and offsets are
// checked at compile time below; the tests read the bytes themselves.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "platform/win.h"

namespace {

// ---- scalar widths and signedness ------------------------------------------
static_assert(sizeof(LONG) == 4 && std::is_signed<LONG>::value, "LONG is signed 32-bit");
static_assert(sizeof(DWORD) == 4 && std::is_unsigned<DWORD>::value, "DWORD is unsigned 32-bit");
static_assert(sizeof(WORD) == 2 && std::is_unsigned<WORD>::value, "WORD is unsigned 16-bit");
static_assert(sizeof(HRESULT) == 4 && std::is_signed<HRESULT>::value, "HRESULT is signed 32-bit");
static_assert(sizeof(REFERENCE_TIME) == 8 && std::is_signed<REFERENCE_TIME>::value,
              "REFERENCE_TIME is signed 64-bit");
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");
static_assert(sizeof(RECT) == 16, "RECT is four LONGs");

// ---- GUID ------------------------------------------------------------------
static_assert(offsetof(GUID, Data1) == 0 && offsetof(GUID, Data2) == 4 && offsetof(GUID, Data3) == 6 &&
                  offsetof(GUID, Data4) == 8,
              "GUID field offsets");

// ---- BITMAPINFOHEADER --------------------------------------------------------
static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER is 40 bytes");
static_assert(offsetof(BITMAPINFOHEADER, biSize) == 0, "biSize");
static_assert(offsetof(BITMAPINFOHEADER, biWidth) == 4, "biWidth");
static_assert(offsetof(BITMAPINFOHEADER, biHeight) == 8, "biHeight");
static_assert(offsetof(BITMAPINFOHEADER, biPlanes) == 12, "biPlanes");
static_assert(offsetof(BITMAPINFOHEADER, biBitCount) == 14, "biBitCount");
static_assert(offsetof(BITMAPINFOHEADER, biCompression) == 16, "biCompression");
static_assert(offsetof(BITMAPINFOHEADER, biSizeImage) == 20, "biSizeImage");
static_assert(offsetof(BITMAPINFOHEADER, biClrImportant) == 36, "biClrImportant");

// ---- VIDEOINFOHEADER ----------------------------------------------------------
static_assert(sizeof(VIDEOINFOHEADER) == 88, "VIDEOINFOHEADER is 88 bytes");
static_assert(offsetof(VIDEOINFOHEADER, rcSource) == 0, "rcSource");
static_assert(offsetof(VIDEOINFOHEADER, rcTarget) == 16, "rcTarget");
static_assert(offsetof(VIDEOINFOHEADER, dwBitRate) == 32, "dwBitRate");
static_assert(offsetof(VIDEOINFOHEADER, dwBitErrorRate) == 36, "dwBitErrorRate");
static_assert(offsetof(VIDEOINFOHEADER, AvgTimePerFrame) == 40, "AvgTimePerFrame");
static_assert(offsetof(VIDEOINFOHEADER, bmiHeader) == 48, "bmiHeader");

// ---- VIDEO_STREAM_CONFIG_CAPS ------------------------------------------------
static_assert(sizeof(VIDEO_STREAM_CONFIG_CAPS) == 128, "VIDEO_STREAM_CONFIG_CAPS is 128 bytes");
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, guid) == 0, "guid");
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, VideoStandard) == 16, "VideoStandard");
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, InputSize) == 20, "InputSize");
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, MinOutputSize) == 60, "MinOutputSize");
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, MaxOutputSize) == 68, "MaxOutputSize");
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, OutputGranularityX) == 76, "OutputGranularityX");
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, MinFrameInterval) == 104, "MinFrameInterval");
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, MaxFrameInterval) == 112, "MaxFrameInterval");
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, MinBitsPerSecond) == 120, "MinBitsPerSecond");
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, MaxBitsPerSecond) == 124, "MaxBitsPerSecond");

// ---- pointer-sized fields: 64-bit offset, 32-bit offset ----------------------
static_assert(sizeof(void*) == 8 || sizeof(void*) == 4, "64-bit or 32-bit targets only");
// clang-format off
#define DV_LAYOUT_AT(type, field, offset64, offset32) \
    static_assert(offsetof(type, field) == (sizeof(void*) == 8 ? (offset64) : (offset32)), #type "." #field)
// clang-format on

// ---- AM_MEDIA_TYPE -----------------------------------------------------------
static_assert(offsetof(AM_MEDIA_TYPE, majortype) == 0, "majortype");
static_assert(offsetof(AM_MEDIA_TYPE, subtype) == 16, "subtype");
static_assert(offsetof(AM_MEDIA_TYPE, bFixedSizeSamples) == 32, "bFixedSizeSamples");
static_assert(offsetof(AM_MEDIA_TYPE, lSampleSize) == 40, "lSampleSize");
static_assert(offsetof(AM_MEDIA_TYPE, formattype) == 44, "formattype");
DV_LAYOUT_AT(AM_MEDIA_TYPE, pUnk, 64, 60);
DV_LAYOUT_AT(AM_MEDIA_TYPE, cbFormat, 72, 64);
DV_LAYOUT_AT(AM_MEDIA_TYPE, pbFormat, 80, 68);
static_assert(sizeof(AM_MEDIA_TYPE) == (sizeof(void*) == 8 ? 88 : 72), "AM_MEDIA_TYPE size");

// ---- PROPPAGEINFO (filled by the pages' GetPageInfo for the host's frame) ----
DV_LAYOUT_AT(PROPPAGEINFO, cb, 0, 0);
DV_LAYOUT_AT(PROPPAGEINFO, pszTitle, 8, 4);
DV_LAYOUT_AT(PROPPAGEINFO, size, 16, 8);
DV_LAYOUT_AT(PROPPAGEINFO, pszDocString, 24, 16);
DV_LAYOUT_AT(PROPPAGEINFO, pszHelpFile, 32, 20);
DV_LAYOUT_AT(PROPPAGEINFO, dwHelpContext, 40, 24);
static_assert(sizeof(PROPPAGEINFO) == (sizeof(void*) == 8 ? 48 : 28), "PROPPAGEINFO size");
#undef DV_LAYOUT_AT

template <typename T>
T readAt(const unsigned char* bytes, std::size_t offset) {
    T value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

// A media type GUID as stored in memory: Data1..Data3 little-endian, Data4 as is.
// This is how a format block written by one module is read by another.
TEST(PlatformLayout, GuidBytesAreInWindowsMemoryOrder) {
    const GUID video = MEDIATYPE_Video;  // {73646976-0000-0010-8000-00AA00389B71}
    const unsigned char expected[16] = {0x76, 0x69, 0x64, 0x73, 0x00, 0x00, 0x10, 0x00,
                                        0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};
    unsigned char actual[16];
    std::memcpy(actual, &video, sizeof actual);
    for (std::size_t i = 0; i < sizeof actual; ++i) {
        EXPECT_EQ(actual[i], expected[i]) << "byte " << i;
    }
    // Equality compares every byte: a copy spelled out from the text form is
    // equal, one differing in its last byte only is not.
    const GUID spelled = {0x05589f80, 0xc356, 0x11ce, {0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a}};
    EXPECT_TRUE(IsEqualGUID(FORMAT_VideoInfo, spelled));  // {05589F80-C356-11CE-BF01-00AA0055595A}
    GUID neighbour = spelled;
    neighbour.Data4[7] ^= 1;
    EXPECT_FALSE(IsEqualGUID(FORMAT_VideoInfo, neighbour));
    EXPECT_FALSE(IsEqualGUID(MEDIATYPE_Video, MEDIASUBTYPE_RGB24));
}

// A 640x480 RGB24 format block read back from raw bytes at the documented
// offsets, as a downstream filter in another module would see it.
TEST(PlatformLayout, VideoInfoHeaderFieldsLandAtTheirOffsets) {
    VIDEOINFOHEADER vih;
    std::memset(&vih, 0, sizeof vih);
    vih.rcTarget.right = 640;
    vih.rcTarget.bottom = 480;
    vih.dwBitRate = 0x12345678u;
    vih.AvgTimePerFrame = 333333;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = 640;
    vih.bmiHeader.biHeight = -480;  // top-down: the sign must survive
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 24;
    vih.bmiHeader.biCompression = BI_RGB;
    vih.bmiHeader.biSizeImage = 640u * 480u * 3u;

    unsigned char bytes[sizeof(VIDEOINFOHEADER)];
    std::memcpy(bytes, &vih, sizeof bytes);
    EXPECT_EQ(readAt<std::int32_t>(bytes, 24), 640);  // rcTarget.right
    EXPECT_EQ(readAt<std::int32_t>(bytes, 28), 480);  // rcTarget.bottom
    EXPECT_EQ(readAt<std::uint32_t>(bytes, 32), 0x12345678u);
    EXPECT_EQ(readAt<std::int64_t>(bytes, 40), 333333);
    EXPECT_EQ(readAt<std::uint32_t>(bytes, 48), 40u);
    EXPECT_EQ(readAt<std::int32_t>(bytes, 52), 640);
    EXPECT_EQ(readAt<std::int32_t>(bytes, 56), -480);
    EXPECT_EQ(readAt<std::uint16_t>(bytes, 60), 1u);
    EXPECT_EQ(readAt<std::uint16_t>(bytes, 62), 24u);
    EXPECT_EQ(readAt<std::uint32_t>(bytes, 68), 640u * 480u * 3u);
}

TEST(PlatformLayout, HresultSeverityIsTheSignBit) {
    EXPECT_TRUE(SUCCEEDED(S_OK));
    EXPECT_TRUE(SUCCEEDED(S_FALSE));
    EXPECT_TRUE(FAILED(E_FAIL));
    EXPECT_TRUE(FAILED(E_POINTER));
    EXPECT_LT(E_NOINTERFACE, 0);
    EXPECT_EQ(static_cast<std::uint32_t>(E_FAIL), 0x80004005u);
    EXPECT_EQ(static_cast<std::uint32_t>(E_POINTER), 0x80004003u);
    EXPECT_EQ(static_cast<std::uint32_t>(E_NOINTERFACE), 0x80004002u);
}

}  // namespace
