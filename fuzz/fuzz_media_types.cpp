// Media types a peer or a host could hand the virtual camera: every pin's
// QueryAccept and ReceiveConnection, Output1's SetFormat, GetFormat,
// GetStreamCaps and media type enumeration, and the media type class's copy,
// compare and assignment. Types have any GUIDs, any format length (the block
// is exactly that long, so over-reads are caught) and any header contents.
//
// Properties beyond the sanitizers': Output1's current type is always a whole
// 24-bit video-info type, whatever was set or refused; every capability type
// carries a video-info block; a copy of a type compares equal to it; every
// object of the filter is gone when the filter is released.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "filter/stereo_camera_filter.h"
#include "framework/component.h"
#include "framework/media_format.h"
#include "fuzz_input.h"
#include "platform/messagebox.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_media_types: %s\n", what);
    std::abort();
}

int quietBox(const char*, const char*, unsigned) {
    return IDOK;
}

GUID randomGuid(FuzzInput& in) {
    GUID g{};
    g.Data1 = in.u32();
    g.Data2 = static_cast<unsigned short>(in.u32());
    g.Data3 = static_cast<unsigned short>(in.u32());
    for (auto& b : g.Data4)
        b = in.byte();
    return g;
}

// A media type whose format block is its own allocation of exactly cbFormat bytes.
struct FuzzType {
    std::vector<BYTE> block;
    AM_MEDIA_TYPE mt{};

    void build(FuzzInput& in) {
        static const GUID majors[] = {MEDIATYPE_Video, MEDIATYPE_Video, MEDIATYPE_Video, GUID_NULL};
        static const GUID subtypes[] = {MEDIASUBTYPE_RGB24, MEDIASUBTYPE_RGB24, MEDIASUBTYPE_RGB32,
                                        GUID_NULL};
        static const GUID formats[] = {FORMAT_VideoInfo, FORMAT_VideoInfo, FORMAT_VideoInfo2, GUID_NULL};
        mt.majortype = in.pick(8) ? majors[in.pick(std::size(majors))] : randomGuid(in);
        mt.subtype = in.pick(8) ? subtypes[in.pick(std::size(subtypes))] : randomGuid(in);
        mt.formattype = in.pick(8) ? formats[in.pick(std::size(formats))] : randomGuid(in);
        mt.bFixedSizeSamples = in.flag();
        mt.bTemporalCompression = in.flag();
        mt.lSampleSize = in.u32();

        VIDEOINFOHEADER info{};
        static const LONG sizes[] = {320, 240, 640, 480, 0, -240, -480, 80, 60, 1, INT32_MIN, INT32_MAX};
        info.bmiHeader.biSize = in.pick(4) ? sizeof(BITMAPINFOHEADER) : in.u32();
        info.bmiHeader.biWidth =
            in.pick(4) ? sizes[in.pick(4) ? in.pick(4) : in.pick(std::size(sizes))] : in.i32();
        info.bmiHeader.biHeight =
            in.pick(4) ? sizes[in.pick(4) ? in.pick(4) : in.pick(std::size(sizes))] : in.i32();
        info.bmiHeader.biPlanes = 1;
        static const WORD bits[] = {24, 24, 0, 32, 16};
        info.bmiHeader.biBitCount = bits[in.pick(std::size(bits))];
        const long long stride = (static_cast<long long>(info.bmiHeader.biWidth) * 3 + 3) & ~3LL;
        info.bmiHeader.biSizeImage =
            in.pick(2)
                ? static_cast<DWORD>(static_cast<uint64_t>(stride) *
                                     static_cast<uint64_t>(static_cast<int64_t>(info.bmiHeader.biHeight)))
                : in.u32();
        info.AvgTimePerFrame = in.pick(2) ? 333333 : REFERENCE_TIME(in.i32());
        if (in.pick(4) == 0) info.rcSource = RECT{in.i32(), in.i32(), in.i32(), in.i32()};

        ULONG length = sizeof(info);
        switch (in.pick(8)) {
        case 0:
            length = 0;
            break;
        case 1:
            length = in.byte() % sizeof(info);
            break;
        case 2:
            length = sizeof(info) + in.byte();
            break;
        default:
            break;
        }
        block.assign(length, 0);
        std::copy_n(reinterpret_cast<const BYTE*>(&info), std::min<size_t>(length, sizeof(info)),
                    block.begin());
        for (size_t i = sizeof(info); i < length; ++i)
            block[i] = in.byte();
        mt.cbFormat = length;
        mt.pbFormat = length ? block.data() : nullptr;
        if (length && in.pick(32) == 0) mt.pbFormat = nullptr;  // a length without a block
        if (!length && in.pick(32) == 0) mt.cbFormat = 0, mt.pbFormat = nullptr;
    }
};

template <class T>
ComPtr<T> queryFrom(IUnknown* object) {
    ComPtr<T> out;
    if (object) object->QueryInterface(iidOf<T>(), reinterpret_cast<void**>(out.GetAddressOf()));
    return out;
}

ComPtr<IBaseFilter> createFilter() {
    HRESULT hr = S_OK;
    ComponentCore* object = StereoCameraFilter::create(nullptr, &hr);
    if (!object || FAILED(hr)) fail("the filter cannot be created");
    object->nonDelegatingAddRef();
    ComPtr<IBaseFilter> filter;
    object->nonDelegatingQueryInterface(iidOf<IBaseFilter>(),
                                        reinterpret_cast<void**>(filter.GetAddressOf()));
    object->nonDelegatingRelease();
    if (!filter) fail("the filter has no IBaseFilter");
    return filter;
}

std::vector<ComPtr<IPin>> pinsOf(IBaseFilter* filter) {
    std::vector<ComPtr<IPin>> pins;
    ComPtr<IEnumPins> list;
    if (FAILED(filter->EnumPins(list.GetAddressOf()))) fail("EnumPins failed");
    for (;;) {
        ComPtr<IPin> pin;
        ULONG fetched = 0;
        if (list->Next(1, pin.GetAddressOf(), &fetched) != S_OK) break;
        pins.push_back(pin);
    }
    if (pins.size() != 3) fail("the filter does not show three pins");
    return pins;
}

// Output1's current type must be one a host can read as a video-info header.
void checkCurrentType(IAMStreamConfig* config) {
    AM_MEDIA_TYPE* current = nullptr;
    if (config->GetFormat(&current) != S_OK || !current) fail("GetFormat has no type");
    const bool whole =
        current->formattype == FORMAT_VideoInfo && current->pbFormat &&
        current->cbFormat >= sizeof(VIDEOINFOHEADER) &&
        reinterpret_cast<const VIDEOINFOHEADER*>(current->pbFormat)->bmiHeader.biBitCount == 24;
    deleteMediaType(current);
    if (!whole) fail("the current type is not a whole 24-bit video-info type");
}

void exerciseMediaFormat(const AM_MEDIA_TYPE& mt) {
    if (mt.cbFormat && !mt.pbFormat) return;  // not a type one can copy
    MediaFormat a(mt);
    if (FAILED(a.status())) return;
    MediaFormat b = a;
    if (!(b == a) || !(a == mt)) fail("a copy of a type differs from it");
    MediaFormat& alias = b;
    b = alias;  // self-assignment keeps it
    if (!(b == a)) fail("self-assignment changed a type");
    MediaFormat c(std::move(b));
    if (!(c == a)) fail("a moved type differs");
    AM_MEDIA_TYPE* copy = a.createCopy();
    if (copy && !mediaTypesEqual(*copy, mt)) fail("createCopy differs");
    deleteMediaType(copy);
    (void)a.videoInfo();
}

void enumerate(IPin* pin, FuzzInput& in) {
    ComPtr<IEnumMediaTypes> types;
    if (FAILED(pin->EnumMediaTypes(types.GetAddressOf())) || !types) return;
    if (in.flag()) types->Skip(in.byte());
    for (int i = 0; i < 16; ++i) {
        AM_MEDIA_TYPE* type = nullptr;
        ULONG fetched = 0;
        if (types->Next(1, &type, &fetched) != S_OK) break;
        if (!type) fail("Next answered S_OK without a type");
        deleteMediaType(type);
    }
    types->Reset();
    ComPtr<IEnumMediaTypes> clone;
    types->Clone(clone.GetAddressOf());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    dvSetMessageBoxHandler(quietBox);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    {
        ComPtr<IBaseFilter> filter = createFilter();
        ComPtr<IBaseFilter> other = createFilter();  // its Output1 offers connections to our inputs
        const std::vector<ComPtr<IPin>> pins = pinsOf(filter.Get());
        const ComPtr<IPin> connector = pinsOf(other.Get())[2];
        const ComPtr<IAMStreamConfig> config = queryFrom<IAMStreamConfig>(pins[2].Get());
        if (!config) fail("Output1 has no IAMStreamConfig");

        for (int step = 0; step < 6 && !in.exhausted(); ++step) {
            FuzzType type;
            type.build(in);
            const bool blockMissing = type.mt.cbFormat && !type.mt.pbFormat;
            switch (in.pick(6)) {
            case 0:
                for (const auto& pin : pins) {
                    if (!blockMissing) pin->QueryAccept(&type.mt);
                }
                break;
            case 1: {
                const ComPtr<IPin>& input = pins[in.pick(2)];
                if (!blockMissing && SUCCEEDED(input->ReceiveConnection(connector.Get(), &type.mt)))
                    input->Disconnect();
                break;
            }
            case 2:
                if (!blockMissing) config->SetFormat(&type.mt);
                break;
            case 3: {
                static const int indices[] = {0, 1, 4, 7, 8, -1, INT_MAX};
                AM_MEDIA_TYPE* caps = nullptr;
                VIDEO_STREAM_CONFIG_CAPS record;
                const HRESULT hr = config->GetStreamCaps(indices[in.pick(std::size(indices))], &caps,
                                                         reinterpret_cast<BYTE*>(&record));
                if (hr == S_OK && (!caps || !videoInfoOf(*caps)))
                    fail("a capability without a video-info type");
                deleteMediaType(caps);
                break;
            }
            case 4:
                enumerate(pins[in.pick(3)].Get(), in);
                break;
            default:
                exerciseMediaFormat(type.mt);
                break;
            }
            checkCurrentType(config.Get());
        }
    }
    if (liveObjectCount() != 0) fail("objects of the filter outlive it");
    return 0;
}
