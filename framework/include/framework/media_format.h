// Media types: the owning MediaFormat value, helpers for raw AM_MEDIA_TYPE
// structures and for bitmap headers.
#pragma once

#include "platform/video_info.h"
#include "platform/win.h"

// ---- raw AM_MEDIA_TYPE helpers ------------------------------------------
// Format blocks always come from the task allocator (CoTaskMemAlloc), so any
// module can free them.

// Deep copy of `source` into `*target` (which must not own anything): a new
// format block and a reference on pUnk. If the block cannot be allocated the
// copy has no block (length 0) and E_OUTOFMEMORY is returned.
HRESULT copyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE& source);
// Releases what `type` owns (format block, pUnk) and zeroes those fields; the
// structure itself stays.
void freeMediaType(AM_MEDIA_TYPE& type);
// A task-allocated deep copy of `source` (what enumerators and GetFormat hand
// out), or null if memory runs out. Free it with deleteMediaType.
AM_MEDIA_TYPE* createMediaType(const AM_MEDIA_TYPE& source);
// freeMediaType, then CoTaskMemFree of the structure. Null is ignored.
void deleteMediaType(AM_MEDIA_TYPE* type);

// Same major type, subtype and format type, same format length and, when not
// 0, the same format bytes. Fixed-size, temporal-compression, sample-size and
// pUnk fields are not compared.
bool mediaTypesEqual(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b);
// `type` matches `pattern`: GUID_NULL in the pattern's major type, subtype or
// format type matches anything; when the pattern's format type is not
// GUID_NULL the format blocks must be equal in length and bytes.
bool mediaTypeMatchesPartial(const AM_MEDIA_TYPE& type, const AM_MEDIA_TYPE& pattern);
// Neither the major type nor the format type is GUID_NULL.
bool mediaTypeFullySpecified(const AM_MEDIA_TYPE& type);

// ---- MediaFormat -------------------------------------------------------

// An owned AM_MEDIA_TYPE. Empty value: every field zero except fixed-size
// samples TRUE and sample size 1. Copies own their own format block and pUnk
// reference; assigning a value to itself does nothing.
class MediaFormat {
public:
    MediaFormat();
    // Deep copy; check status() for E_OUTOFMEMORY.
    explicit MediaFormat(const AM_MEDIA_TYPE& type);
    MediaFormat(const MediaFormat& other);
    MediaFormat(MediaFormat&& other) noexcept;
    MediaFormat& operator=(const MediaFormat& other);
    MediaFormat& operator=(MediaFormat&& other) noexcept;
    ~MediaFormat();

    // Replaces the value by a deep copy of `type`; E_OUTOFMEMORY (and no
    // format block) if the block cannot be allocated. Safe when `type` is
    // this value's own structure.
    HRESULT assign(const AM_MEDIA_TYPE& type);
    // S_OK, or E_OUTOFMEMORY when the last copy into this value lost its block.
    HRESULT status() const { return copyStatus; }
    // Back to the empty value.
    void clear();

    const AM_MEDIA_TYPE& get() const { return type; }
    const AM_MEDIA_TYPE* operator->() const { return &type; }
    // For passing to interfaces that take a non-const pointer but do not keep it.
    AM_MEDIA_TYPE* raw() { return &type; }

    const GUID& majorType() const { return type.majortype; }
    const GUID& subtype() const { return type.subtype; }
    const GUID& formatType() const { return type.formattype; }
    ULONG formatLength() const { return type.cbFormat; }
    BYTE* formatBlock() const { return type.pbFormat; }
    ULONG sampleSize() const { return type.lSampleSize; }
    bool fixedSizeSamples() const { return type.bFixedSizeSamples != FALSE; }
    bool temporalCompression() const { return type.bTemporalCompression != FALSE; }

    void setMajorType(const GUID& value) { type.majortype = value; }
    void setSubtype(const GUID& value) { type.subtype = value; }
    void setFormatType(const GUID& value) { type.formattype = value; }
    void setTemporalCompression(bool value) { type.bTemporalCompression = value ? TRUE : FALSE; }
    // Non-zero: fixed-size samples of that size; 0: variable-size samples.
    void setSampleSize(ULONG size);
    // A format block of `length` bytes (the current one is kept when the length
    // is unchanged; new bytes are zeroed). On failure the old block stays if it
    // is at least as long (the length becomes `length`) and that block is
    // returned, else null is returned and the value has no block.
    BYTE* allocFormatBlock(ULONG length);
    // Copies `length` bytes into a new format block; E_OUTOFMEMORY on failure.
    HRESULT setFormatBlock(const void* data, ULONG length);

    // The VIDEOINFOHEADER, or null unless the format type is FORMAT_VideoInfo
    // and the block holds a whole VIDEOINFOHEADER.
    const VIDEOINFOHEADER* videoInfo() const { return videoInfoOf(type); }
    VIDEOINFOHEADER* videoInfo() { return const_cast<VIDEOINFOHEADER*>(videoInfoOf(type)); }

    bool operator==(const MediaFormat& other) const { return mediaTypesEqual(type, other.type); }
    bool operator!=(const MediaFormat& other) const { return !(*this == other); }
    bool operator==(const AM_MEDIA_TYPE& other) const { return mediaTypesEqual(type, other); }
    bool operator!=(const AM_MEDIA_TYPE& other) const { return !mediaTypesEqual(type, other); }
    bool matchesPartial(const AM_MEDIA_TYPE& pattern) const { return mediaTypeMatchesPartial(type, pattern); }
    bool fullySpecified() const { return mediaTypeFullySpecified(type); }

    // Deep copy into a caller structure that owns nothing (e.g. the out-
    // parameter of IPin::ConnectionMediaType).
    HRESULT copyTo(AM_MEDIA_TYPE* target) const { return copyMediaType(target, type); }
    // A task-allocated copy (free with deleteMediaType), or null.
    AM_MEDIA_TYPE* createCopy() const { return createMediaType(type); }
    // Moves the value (format block and pUnk reference included) into a
    // caller structure that owns nothing; this value becomes empty.
    void moveTo(AM_MEDIA_TYPE* target);

private:
    AM_MEDIA_TYPE type;
    HRESULT copyStatus = S_OK;
};

// ---- bitmap helpers -------------------------------------------------------

// Bytes of an uncompressed image: ((width * bitCount + 31) / 32) * 4 per row,
// times |height|. 0 when the width is negative or the size does not fit in
// 32 bits.
DWORD bitmapImageSize(const BITMAPINFOHEADER& header);
// The media subtype of a bitmap header. A compression other than BI_RGB and
// BI_BITFIELDS gives the FOURCC subtype {compression-0000-0010-8000-00AA00389B71};
// otherwise by bit count (1, 4, 8, 16 as RGB555 or RGB565, 24, 32). For
// BI_BITFIELDS at 16 bits, `bitMasks` points to the red, green and blue masks
// (as they follow the header); other or missing masks give GUID_NULL, as does
// any other bit count.
GUID bitmapSubtype(const BITMAPINFOHEADER& header, const DWORD* bitMasks = nullptr);
// The FOURCC subtype pattern for `fourcc`.
GUID fourccSubtype(DWORD fourcc);
