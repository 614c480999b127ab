#include "framework/media_format.h"

#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/com_ptr.h"

namespace {

void makeEmpty(AM_MEDIA_TYPE& type) {
    std::memset(&type, 0, sizeof(type));
    type.bFixedSizeSamples = TRUE;
    type.lSampleSize = 1;
}

bool sameFormatBlock(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b) {
    if (a.cbFormat != b.cbFormat) return false;
    if (a.cbFormat == 0) return true;
    if (!a.pbFormat || !b.pbFormat) return a.pbFormat == b.pbFormat;
    return std::memcmp(a.pbFormat, b.pbFormat, a.cbFormat) == 0;
}

}  // namespace

HRESULT copyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE& source) {
    if (!target) return E_POINTER;
    if (target == &source) return S_OK;
    *target = source;
    HRESULT hr = S_OK;
    if (source.cbFormat != 0 && source.pbFormat) {
        target->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(source.cbFormat));
        if (target->pbFormat) {
            std::memcpy(target->pbFormat, source.pbFormat, source.cbFormat);
        } else {
            target->cbFormat = 0;
            hr = E_OUTOFMEMORY;
        }
    } else {
        target->cbFormat = 0;
        target->pbFormat = nullptr;
    }
    if (target->pUnk) target->pUnk->AddRef();
    return hr;
}

void freeMediaType(AM_MEDIA_TYPE& type) {
    if (type.pbFormat) CoTaskMemFree(type.pbFormat);
    type.pbFormat = nullptr;
    type.cbFormat = 0;
    // Adopt the reference pUnk carries, so that ComPtr releases it.
    ComPtr<IUnknown> unk;
    unk.Attach(type.pUnk);
    type.pUnk = nullptr;
}

AM_MEDIA_TYPE* createMediaType(const AM_MEDIA_TYPE& source) {
    auto* copy = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!copy) return nullptr;
    if (FAILED(copyMediaType(copy, source))) {
        deleteMediaType(copy);
        return nullptr;
    }
    return copy;
}

void deleteMediaType(AM_MEDIA_TYPE* type) {
    if (!type) return;
    freeMediaType(*type);
    CoTaskMemFree(type);
}

bool mediaTypesEqual(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b) {
    return a.majortype == b.majortype && a.subtype == b.subtype && a.formattype == b.formattype &&
           sameFormatBlock(a, b);
}

bool mediaTypeMatchesPartial(const AM_MEDIA_TYPE& type, const AM_MEDIA_TYPE& pattern) {
    if (pattern.majortype != GUID_NULL && pattern.majortype != type.majortype) return false;
    if (pattern.subtype != GUID_NULL && pattern.subtype != type.subtype) return false;
    if (pattern.formattype != GUID_NULL) {
        if (pattern.formattype != type.formattype) return false;
        if (!sameFormatBlock(pattern, type)) return false;
    }
    return true;
}

bool mediaTypeFullySpecified(const AM_MEDIA_TYPE& type) {
    return type.majortype != GUID_NULL && type.formattype != GUID_NULL;
}

// ---- MediaFormat ------------------------------------------------------------

MediaFormat::MediaFormat() {
    makeEmpty(type);
}

MediaFormat::MediaFormat(const AM_MEDIA_TYPE& source) {
    copyStatus = copyMediaType(&type, source);
}

MediaFormat::MediaFormat(const MediaFormat& other) {
    copyStatus = copyMediaType(&type, other.type);
}

MediaFormat::MediaFormat(MediaFormat&& other) noexcept : type(other.type), copyStatus(other.copyStatus) {
    makeEmpty(other.type);
    other.copyStatus = S_OK;
}

MediaFormat& MediaFormat::operator=(const MediaFormat& other) {
    if (this != &other) assign(other.type);
    return *this;
}

MediaFormat& MediaFormat::operator=(MediaFormat&& other) noexcept {
    if (this != &other) {
        freeMediaType(type);
        type = other.type;
        copyStatus = other.copyStatus;
        makeEmpty(other.type);
        other.copyStatus = S_OK;
    }
    return *this;
}

MediaFormat::~MediaFormat() {
    freeMediaType(type);
}

HRESULT MediaFormat::assign(const AM_MEDIA_TYPE& source) {
    if (&source == &type) return S_OK;
    // Copy first: `source` may live inside the block this value owns.
    AM_MEDIA_TYPE copy;
    HRESULT hr = copyMediaType(&copy, source);
    freeMediaType(type);
    type = copy;
    copyStatus = hr;
    return hr;
}

void MediaFormat::clear() {
    freeMediaType(type);
    makeEmpty(type);
    copyStatus = S_OK;
}

void MediaFormat::setSampleSize(ULONG size) {
    if (size != 0) {
        type.bFixedSizeSamples = TRUE;
        type.lSampleSize = size;
    } else {
        type.bFixedSizeSamples = FALSE;
        type.lSampleSize = 0;
    }
}

BYTE* MediaFormat::allocFormatBlock(ULONG length) {
    if (length == type.cbFormat && (type.pbFormat || length == 0)) return type.pbFormat;
    if (length == 0) {
        if (type.pbFormat) CoTaskMemFree(type.pbFormat);
        type.pbFormat = nullptr;
        type.cbFormat = 0;
        return nullptr;
    }
    auto* block = static_cast<BYTE*>(CoTaskMemAlloc(length));
    if (!block) {
        if (type.pbFormat && type.cbFormat >= length) {
            type.cbFormat = length;
            return type.pbFormat;
        }
        if (type.pbFormat) CoTaskMemFree(type.pbFormat);
        type.pbFormat = nullptr;
        type.cbFormat = 0;
        return nullptr;
    }
    std::memset(block, 0, length);
    if (type.pbFormat) CoTaskMemFree(type.pbFormat);
    type.pbFormat = block;
    type.cbFormat = length;
    return block;
}

HRESULT MediaFormat::setFormatBlock(const void* data, ULONG length) {
    if (length != 0 && !data) return E_POINTER;
    if (length == 0) {
        allocFormatBlock(0);
        return S_OK;
    }
    auto* block = static_cast<BYTE*>(CoTaskMemAlloc(length));
    if (!block) return E_OUTOFMEMORY;
    std::memcpy(block, data, length);
    if (type.pbFormat) CoTaskMemFree(type.pbFormat);
    type.pbFormat = block;
    type.cbFormat = length;
    return S_OK;
}

void MediaFormat::moveTo(AM_MEDIA_TYPE* target) {
    if (!target) return;
    *target = type;
    makeEmpty(type);
    copyStatus = S_OK;
}

// ---- bitmap helpers -----------------------------------------------------------

DWORD bitmapImageSize(const BITMAPINFOHEADER& header) {
    if (header.biWidth < 0) return 0;
    uint64_t rowBits = static_cast<uint64_t>(header.biWidth) * header.biBitCount;
    uint64_t rowBytes = ((rowBits + 31) / 32) * 4;
    int64_t height = header.biHeight;
    uint64_t rows = static_cast<uint64_t>(height < 0 ? -height : height);
    uint64_t size = rowBytes * rows;
    if (size > 0xFFFFFFFFull) return 0;
    return static_cast<DWORD>(size);
}

GUID fourccSubtype(DWORD fourcc) {
    // {xxxxxxxx-0000-0010-8000-00AA00389B71}
    return GUID{fourcc, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

GUID bitmapSubtype(const BITMAPINFOHEADER& header, const DWORD* bitMasks) {
    if (header.biCompression != BI_RGB && header.biCompression != BI_BITFIELDS)
        return fourccSubtype(header.biCompression);
    switch (header.biBitCount) {
    case 1:
        return MEDIASUBTYPE_RGB1;
    case 4:
        return MEDIASUBTYPE_RGB4;
    case 8:
        return MEDIASUBTYPE_RGB8;
    case 16:
        if (header.biCompression == BI_RGB) return MEDIASUBTYPE_RGB555;
        if (!bitMasks) return GUID_NULL;
        if (bitMasks[0] == 0x7C00 && bitMasks[1] == 0x03E0 && bitMasks[2] == 0x001F)
            return MEDIASUBTYPE_RGB555;
        if (bitMasks[0] == 0xF800 && bitMasks[1] == 0x07E0 && bitMasks[2] == 0x001F)
            return MEDIASUBTYPE_RGB565;
        return GUID_NULL;
    case 24:
        return MEDIASUBTYPE_RGB24;
    case 32:
        return MEDIASUBTYPE_RGB32;
    default:
        return GUID_NULL;
    }
}
