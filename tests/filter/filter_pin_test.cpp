// The stereo camera filter object and its output pin: interfaces and
// reference counts, pins, media type positions, stream configuration, the
// pin category property, delivery while inactive, end of stream at pause.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "compositor/frame_store.h"
#include "filter/composed_video_pin.h"
#include "filter/settings_store.h"
#include "filter_fakes.h"
#include "framework/runtime_settings.h"

namespace {

class FilterObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        liveAtStart = liveObjectCount();
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\VANTO Automation");
        filter = makeStereoFilter(&raw);
        ASSERT_TRUE(filter);
        output = raw->visibleOutput();
    }
    void TearDown() override {
        output = nullptr;
        filter = nullptr;
        EXPECT_EQ(liveObjectCount(), liveAtStart);
    }

    static std::wstring nameOf(IPin* pin) {
        PIN_INFO info{};
        EXPECT_EQ(pin->QueryPinInfo(&info), S_OK);
        if (info.pFilter) info.pFilter->Release();
        return info.achName;
    }
    template <class T>
    ComPtr<T> outputAs() {
        ComPtr<T> out;
        EXPECT_HRESULT_SUCCEEDED(ComPtr<IPin>(output).As(&out));
        return out;
    }

    LONG liveAtStart = 0;
    StereoCameraFilter* raw = nullptr;
    ComPtr<IBaseFilter> filter;
    ComposedVideoPin* output = nullptr;
};

// ---- the filter object ------------------------------------------------------------

TEST_F(FilterObjectTest, QueriesAddExactlyOneReference) {
    EXPECT_EQ(refsOf(filter.Get()), 1u);
    const IID offered[] = {
        IID_IUnknown,     IID_IBaseFilter,           IID_IMediaFilter,        IID_IPersist,
        IID_IAMovieSetup, IID_ISpecifyPropertyPages, IID_IStereoImageControl, IID_IStereoFrameCallback};
    ComPtr<IUnknown> identity;
    ASSERT_EQ(filter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(identity.GetAddressOf())), S_OK);
    for (const IID& iid : offered) {
        IUnknown* itf = nullptr;
        ASSERT_EQ(filter->QueryInterface(iid, reinterpret_cast<void**>(&itf)), S_OK);
        EXPECT_EQ(refsOf(filter.Get()), 3u);
        IUnknown* back = nullptr;
        ASSERT_EQ(itf->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&back)), S_OK);
        EXPECT_EQ(back, identity.Get());
        back->Release();
        itf->Release();
        EXPECT_EQ(refsOf(filter.Get()), 2u);
    }
    const IID refused[] = {IID_IPin, IID_IMemInputPin, IID_IAMStreamConfig, IID_ICameraSelection,
                           IID_IClassFactory};
    for (const IID& iid : refused) {
        void* itf = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(filter->QueryInterface(iid, &itf), E_NOINTERFACE);
        EXPECT_EQ(itf, nullptr);
    }
    EXPECT_EQ(filter->QueryInterface(IID_IBaseFilter, nullptr), E_POINTER);
}

TEST_F(FilterObjectTest, ClassIdAndImageTypePage) {
    CLSID id{};
    ComPtr<IPersist> persist;
    ASSERT_HRESULT_SUCCEEDED(filter.As(&persist));
    EXPECT_EQ(persist->GetClassID(&id), S_OK);
    EXPECT_EQ(id, CLSID_StereoCameraFilter);

    ComPtr<ISpecifyPropertyPages> pages;
    ASSERT_HRESULT_SUCCEEDED(filter.As(&pages));
    EXPECT_EQ(pages->GetPages(nullptr), E_POINTER);
    CAUUID list{};
    ASSERT_EQ(pages->GetPages(&list), S_OK);
    ASSERT_EQ(list.cElems, 1u);
    EXPECT_EQ(list.pElems[0], CLSID_ImageTypePage);
    CoTaskMemFree(list.pElems);
}

TEST_F(FilterObjectTest, EnumeratesInput1Input2Output1) {
    ComPtr<IEnumPins> pins;
    ASSERT_EQ(filter->EnumPins(pins.GetAddressOf()), S_OK);
    IPin* got[4] = {};
    ULONG fetched = 0;
    EXPECT_EQ(pins->Next(4, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 3u);
    EXPECT_EQ(nameOf(got[0]), L"Input1");
    EXPECT_EQ(nameOf(got[1]), L"Input2");
    EXPECT_EQ(nameOf(got[2]), L"Output1");
    PIN_DIRECTION direction = PINDIR_INPUT;
    got[2]->QueryDirection(&direction);
    EXPECT_EQ(direction, PINDIR_OUTPUT);
    for (ULONG i = 0; i < fetched; ++i)
        got[i]->Release();

    // "Output2" exists only at index 3.
    ASSERT_NE(raw->pinAt(3), nullptr);
    EXPECT_EQ(raw->pinAt(3)->pinName(), L"Output2");
    EXPECT_EQ(raw->pinAt(4), nullptr);
    EXPECT_EQ(raw->pinAt(-1), nullptr);
    IPin* found = nullptr;
    EXPECT_EQ(filter->FindPin(L"Output2", &found), VFW_E_NOT_FOUND);
}

TEST_F(FilterObjectTest, FrameCallbackQueryLeavesTheCountUnchanged) {
    const ULONG before = refsOf(filter.Get());
    {
        ComPtr<IStereoFrameCallback> callback;
        ASSERT_HRESULT_SUCCEEDED(filter.As(&callback));
        EXPECT_EQ(callback->SetFrameCallback(nullptr), S_OK);
    }
    EXPECT_EQ(refsOf(filter.Get()), before);
}

TEST_F(FilterObjectTest, PausingWithACameraMissingEndsTheStreamAtOnce) {
    StereoRig rig(320, 240, /*withRight*/ false);
    EXPECT_EQ(rig.sink->Run(0), S_OK);
    EXPECT_EQ(rig.filter->Pause(), S_OK);
    EXPECT_TRUE(rig.filter->visibleOutput()->hasDeliveryQueue());
    EXPECT_EQ(rig.sink->pin->endOfStreams, 1);
    // Run repeats the rule.
    EXPECT_EQ(rig.filter->Run(0), S_OK);
    EXPECT_EQ(rig.sink->pin->endOfStreams, 2);
    EXPECT_EQ(rig.filter->Stop(), S_OK);
    EXPECT_FALSE(rig.filter->visibleOutput()->hasDeliveryQueue());
}

TEST_F(FilterObjectTest, PausingWithBothCamerasSendsNoEndOfStreamAndDropsHeldFrames) {
    StereoRig rig;
    ASSERT_EQ(rig.start(), S_OK);
    EXPECT_EQ(rig.leftCamera->deliver(0x11), S_OK);
    ASSERT_NE(rig.filter->leftInput()->heldSample(), nullptr);
    EXPECT_EQ(rig.filter->Pause(), S_OK);
    EXPECT_EQ(rig.filter->leftInput()->heldSample(), nullptr);
    EXPECT_EQ(rig.sink->pin->endOfStreams, 0);
}

// ---- the output pin ------------------------------------------------------------------

TEST_F(FilterObjectTest, OutputPinInterfacesAndReferences) {
    ComPtr<IPin> pin(output);
    EXPECT_EQ(refsOf(filter.Get()), 2u);  // the pin counts on its filter
    const IID offered[] = {
        IID_IPin,           IID_IQualityControl,       IID_IUnknown,        IID_IAMStreamConfig,
        IID_IKsPropertySet, IID_ISpecifyPropertyPages, IID_ICameraSelection};
    for (const IID& iid : offered) {
        IUnknown* itf = nullptr;
        ASSERT_EQ(pin->QueryInterface(iid, reinterpret_cast<void**>(&itf)), S_OK);
        EXPECT_EQ(refsOf(filter.Get()), 3u);
        itf->Release();
    }
    void* none = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(pin->QueryInterface(IID_IMemInputPin, &none), E_NOINTERFACE);
    EXPECT_EQ(pin->QueryInterface(IID_IStereoImageControl, &none), E_NOINTERFACE);
    EXPECT_EQ(pin->QueryInterface(IID_IPin, nullptr), E_POINTER);

    ComPtr<ISpecifyPropertyPages> pages = outputAs<ISpecifyPropertyPages>();
    CAUUID list{};
    ASSERT_EQ(pages->GetPages(&list), S_OK);
    ASSERT_EQ(list.cElems, 1u);
    EXPECT_EQ(list.pElems[0], CLSID_CameraSelectionPage);
    CoTaskMemFree(list.pElems);

    EXPECT_EQ(pin->QueryInternalConnections(nullptr, nullptr), E_NOTIMPL);
    ComPtr<IQualityControl> quality = outputAs<IQualityControl>();
    EXPECT_EQ(quality->Notify(filter.Get(), Quality{Famine, 1000, 0, 0}), E_NOTIMPL);
}

TEST_F(FilterObjectTest, MediaTypePositions) {
    MediaFormat type;
    EXPECT_EQ(output->proposeFormat(-1, &type), E_INVALIDARG);
    EXPECT_EQ(output->proposeFormat(11, &type), VFW_S_NO_MORE_ITEMS);
    EXPECT_EQ(output->proposeFormat(1, nullptr), E_POINTER);

    ASSERT_EQ(output->proposeFormat(4, &type), S_OK);
    ASSERT_NE(type.videoInfo(), nullptr);
    EXPECT_EQ(type.majorType(), MEDIATYPE_Video);
    EXPECT_EQ(type.subtype(), MEDIASUBTYPE_RGB24);
    EXPECT_EQ(type.formatLength(), 88u);
    EXPECT_EQ(type.videoInfo()->bmiHeader.biWidth, 320);
    EXPECT_EQ(type.videoInfo()->bmiHeader.biHeight, 240);
    EXPECT_EQ(type.videoInfo()->bmiHeader.biSizeImage, 230400u);
    EXPECT_EQ(type.videoInfo()->AvgTimePerFrame, 333333);
    EXPECT_TRUE(type.fixedSizeSamples());
    EXPECT_EQ(type.sampleSize(), 230400u);
    EXPECT_FALSE(type.temporalCompression());

    // Position 0 is the current type: 320 x 240 after loading size index 0.
    MediaFormat current;
    ASSERT_EQ(output->proposeFormat(0, &current), S_OK);
    EXPECT_TRUE(current == type);

    ASSERT_EQ(output->proposeFormat(8, &type), S_OK);
    EXPECT_EQ(type.videoInfo()->bmiHeader.biSizeImage, 921600u);
    ASSERT_EQ(output->proposeFormat(1, &type), S_OK);
    EXPECT_EQ(type.videoInfo()->bmiHeader.biWidth, 80);
    EXPECT_EQ(type.videoInfo()->bmiHeader.biHeight, 60);
    ASSERT_EQ(output->proposeFormat(10, &type), S_OK);
    EXPECT_EQ(type.videoInfo()->bmiHeader.biWidth, 800);

    // The enumerator of an unconnected pin walks positions 0 to 10.
    ComPtr<IEnumMediaTypes> types;
    ASSERT_EQ(output->EnumMediaTypes(types.GetAddressOf()), S_OK);
    AM_MEDIA_TYPE* got[12] = {};
    ULONG fetched = 0;
    EXPECT_EQ(types->Next(12, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 11u);
    for (ULONG i = 0; i < fetched; ++i)
        deleteMediaType(got[i]);
    EXPECT_EQ(output->EnumMediaTypes(nullptr), E_POINTER);
}

TEST_F(FilterObjectTest, AcceptsVideoInfoOf24BitsOnly) {
    EXPECT_EQ(output->acceptFormat(rgb24Format(123, 45).get()), S_OK);  // size is not checked
    EXPECT_EQ(output->acceptFormat(rgb24Format(320, 240, 32).get()), VFW_E_TYPE_NOT_ACCEPTED);
    MediaFormat other = rgb24Format(320, 240);
    other.setFormatType(FORMAT_VideoInfo2);
    EXPECT_EQ(output->acceptFormat(other.get()), E_INVALIDARG);
    MediaFormat shortBlock = rgb24Format(320, 240);
    shortBlock.allocFormatBlock(sizeof(VIDEOINFOHEADER) - 1);
    EXPECT_EQ(output->acceptFormat(shortBlock.get()), E_INVALIDARG);
    EXPECT_EQ(output->QueryAccept(&other.get()), S_FALSE);
}

TEST_F(FilterObjectTest, StreamCapabilities) {
    ComPtr<IAMStreamConfig> config = outputAs<IAMStreamConfig>();
    int count = 0, size = 0;
    EXPECT_EQ(config->GetNumberOfCapabilities(&count, &size), S_OK);
    EXPECT_EQ(count, 8);
    EXPECT_EQ(size, 128);

    // Give the current type a distinctive frame interval: it must carry over.
    MediaFormat custom = rgb24Format(320, 240);
    custom.videoInfo()->AvgTimePerFrame = 666666;
    EXPECT_EQ(config->SetFormat(custom.raw()), S_OK);

    const struct {
        int index;
        LONG width, height;
    } cases[] = {{0, 640, 480}, {4, 320, 240}, {1, 80, 60}, {7, 560, 420}};
    for (const auto& c : cases) {
        AM_MEDIA_TYPE* type = nullptr;
        VIDEO_STREAM_CONFIG_CAPS caps;
        std::memset(&caps, 0xCD, sizeof(caps));
        ASSERT_EQ(config->GetStreamCaps(c.index, &type, reinterpret_cast<BYTE*>(&caps)), S_OK) << c.index;
        ASSERT_NE(type, nullptr);
        EXPECT_EQ(type->majortype, MEDIATYPE_Video);
        EXPECT_EQ(type->subtype, MEDIASUBTYPE_RGB24);
        EXPECT_EQ(type->formattype, FORMAT_VideoInfo);
        EXPECT_EQ(type->cbFormat, 88u);
        EXPECT_EQ(type->bFixedSizeSamples, FALSE);
        EXPECT_EQ(type->bTemporalCompression, FALSE);
        const VIDEOINFOHEADER* info = videoInfoOf(*type);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->bmiHeader.biWidth, c.width);
        EXPECT_EQ(info->bmiHeader.biHeight, c.height);
        EXPECT_EQ(info->bmiHeader.biBitCount, 24);
        EXPECT_EQ(info->bmiHeader.biSizeImage, static_cast<DWORD>(c.width * 3 * c.height));
        EXPECT_EQ(type->lSampleSize, info->bmiHeader.biSizeImage);
        EXPECT_EQ(info->AvgTimePerFrame, 666666);
        deleteMediaType(type);

        EXPECT_EQ(caps.guid, FORMAT_VideoInfo);
        EXPECT_EQ(caps.VideoStandard, 0u);
        EXPECT_EQ(caps.InputSize.cx, 320);
        EXPECT_EQ(caps.InputSize.cy, 240);
        EXPECT_EQ(caps.MinCroppingSize.cx, 80);
        EXPECT_EQ(caps.MinCroppingSize.cy, 60);
        EXPECT_EQ(caps.MaxCroppingSize.cx, 320);
        EXPECT_EQ(caps.CropGranularityX, 80);
        EXPECT_EQ(caps.CropGranularityY, 60);
        EXPECT_EQ(caps.CropAlignX, 0);
        EXPECT_EQ(caps.MinOutputSize.cy, 60);
        EXPECT_EQ(caps.MaxOutputSize.cx, 320);
        EXPECT_EQ(caps.MaxOutputSize.cy, 240);
        EXPECT_EQ(caps.OutputGranularityX, 0);
        EXPECT_EQ(caps.ShrinkTapsY, 0);
        EXPECT_EQ(caps.MinFrameInterval, 333333);
        EXPECT_EQ(caps.MaxFrameInterval, 333333);
        EXPECT_EQ(caps.MinBitsPerSecond, 23040);
        EXPECT_EQ(caps.MaxBitsPerSecond, 55296000);
    }

    AM_MEDIA_TYPE* type = reinterpret_cast<AM_MEDIA_TYPE*>(0x1);
    VIDEO_STREAM_CONFIG_CAPS caps{};
    EXPECT_EQ(config->GetStreamCaps(-1, &type, reinterpret_cast<BYTE*>(&caps)), E_INVALIDARG);
    EXPECT_EQ(type, nullptr);
    EXPECT_EQ(config->GetStreamCaps(8, &type, reinterpret_cast<BYTE*>(&caps)), S_FALSE);
    EXPECT_EQ(type, nullptr);
    EXPECT_EQ(config->GetStreamCaps(1, nullptr, reinterpret_cast<BYTE*>(&caps)), E_POINTER);
    EXPECT_EQ(config->GetStreamCaps(1, &type, nullptr), E_POINTER);
}

// The current type as GetFormat hands it out; checks that it is a whole
// 24-bit video-info type, which a host reads without looking at cbFormat.
MediaFormat formatOf(IAMStreamConfig* config) {
    AM_MEDIA_TYPE* type = reinterpret_cast<AM_MEDIA_TYPE*>(0x1);
    EXPECT_EQ(config->GetFormat(&type), S_OK);
    MediaFormat copy;
    if (!type || type == reinterpret_cast<AM_MEDIA_TYPE*>(0x1)) {
        ADD_FAILURE() << "GetFormat gave no type";
        return copy;
    }
    copy.assign(*type);
    deleteMediaType(type);
    EXPECT_EQ(copy.formatType(), FORMAT_VideoInfo);
    EXPECT_EQ(copy.formatLength(), 88u);
    EXPECT_NE(copy.videoInfo(), nullptr);
    if (copy.videoInfo()) {
        EXPECT_EQ(copy.videoInfo()->bmiHeader.biBitCount, 24);
        EXPECT_GT(copy.videoInfo()->AvgTimePerFrame, 0);
    }
    return copy;
}

// What GetFormat, position 0, the format enumerator and GetStreamCaps must all
// still describe after the connection has gone or a connection attempt failed.
void expectWholeCurrentType(ComposedVideoPin* pin, LONG width, LONG height, const char* when) {
    SCOPED_TRACE(when);
    ComPtr<IAMStreamConfig> config;
    ASSERT_EQ(ComPtr<IPin>(pin).As(&config), S_OK);
    const MediaFormat current = formatOf(config.Get());
    ASSERT_NE(current.videoInfo(), nullptr);
    EXPECT_EQ(current.videoInfo()->bmiHeader.biWidth, width);
    EXPECT_EQ(current.videoInfo()->bmiHeader.biHeight, height);

    MediaFormat position0;
    ASSERT_EQ(pin->proposeFormat(0, &position0), S_OK);
    EXPECT_TRUE(position0 == current);
    ComPtr<IEnumMediaTypes> types;
    ASSERT_EQ(pin->EnumMediaTypes(types.GetAddressOf()), S_OK);
    AM_MEDIA_TYPE* first = nullptr;
    ASSERT_EQ(types->Next(1, &first, nullptr), S_OK);
    EXPECT_TRUE(mediaTypesEqual(*first, current.get()));
    deleteMediaType(first);

    AM_MEDIA_TYPE* type = nullptr;
    VIDEO_STREAM_CONFIG_CAPS caps{};
    ASSERT_EQ(config->GetStreamCaps(2, &type, reinterpret_cast<BYTE*>(&caps)), S_OK);
    ASSERT_NE(videoInfoOf(*type), nullptr);
    EXPECT_EQ(videoInfoOf(*type)->bmiHeader.biWidth, 160);
    EXPECT_EQ(videoInfoOf(*type)->AvgTimePerFrame, 333333);
    deleteMediaType(type);
}

TEST_F(FilterObjectTest, CurrentTypeSurvivesDisconnectionAndFailedConnections) {
    expectWholeCurrentType(output, 320, 240, "as constructed");

    // Every attempt is refused downstream after the pin adopted the type.
    ComPtr<FakeSinkFilter> refusing(new FakeSinkFilter);
    refusing->pin->acceptResult = VFW_E_TYPE_NOT_ACCEPTED;
    EXPECT_EQ(output->Connect(refusing->pin, nullptr), VFW_E_NO_ACCEPTABLE_TYPES);
    EXPECT_FALSE(output->isConnected());
    expectWholeCurrentType(output, 320, 240, "after a failed connection");

    // A given type that fails is not the current type either.
    MediaFormat big = rgb24Format(640, 480);
    EXPECT_EQ(output->Connect(refusing->pin, big.raw()), VFW_E_TYPE_NOT_ACCEPTED);
    expectWholeCurrentType(output, 320, 240, "after a failed connection with a given type");

    // The type last agreed stays current after the disconnection.
    StereoRig rig(640, 480);
    ComposedVideoPin* out = rig.filter->visibleOutput();
    ASSERT_TRUE(out->isConnected());
    expectWholeCurrentType(out, 640, 480, "connected");
    ASSERT_EQ(out->Disconnect(), S_OK);
    AM_MEDIA_TYPE connection{};
    EXPECT_EQ(out->ConnectionMediaType(&connection), VFW_E_NOT_CONNECTED);
    freeMediaType(connection);
    expectWholeCurrentType(out, 640, 480, "after Disconnect");
}

TEST_F(FilterObjectTest, SetFormatTakesOnlyATypeOfACaptureSize) {
    ComPtr<IAMStreamConfig> config = outputAs<IAMStreamConfig>();
    EXPECT_EQ(config->SetFormat(nullptr), E_POINTER);
    EXPECT_EQ(config->GetFormat(nullptr), E_POINTER);

    MediaFormat noBlock;  // no format block at all
    noBlock.setMajorType(MEDIATYPE_Video);
    noBlock.setSubtype(MEDIASUBTYPE_RGB24);
    noBlock.setFormatType(FORMAT_VideoInfo);
    MediaFormat shortBlock = rgb24Format(320, 240);
    shortBlock.allocFormatBlock(sizeof(VIDEOINFOHEADER) - 1);
    MediaFormat info2 = rgb24Format(320, 240);
    info2.setFormatType(FORMAT_VideoInfo2);
    MediaFormat rgb32Subtype = rgb24Format(320, 240);
    rgb32Subtype.setSubtype(MEDIASUBTYPE_RGB32);
    MediaFormat audio = rgb24Format(320, 240);
    audio.setMajorType(MEDIATYPE_Audio);
    MediaFormat compressed = rgb24Format(640, 480);
    compressed.videoInfo()->bmiHeader.biCompression = BI_BITFIELDS;
    MediaFormat slow = rgb24Format(640, 480);
    slow.videoInfo()->AvgTimePerFrame = 666666;
    MediaFormat noInterval = rgb24Format(320, 240);
    noInterval.videoInfo()->AvgTimePerFrame = 0;
    noInterval.videoInfo()->bmiHeader.biSizeImage = 0;

    const struct {
        const char* what;
        MediaFormat type;
        HRESULT result;
        int32_t sizeIndex;  // after the call
        LONG width;         // of the current type after the call
        REFERENCE_TIME interval;
    } cases[] = {
        {"640x480", slow, S_OK, 1, 640, 666666},
        {"80x60 (caps index 1)", rgb24Format(80, 60), VFW_E_INVALIDMEDIATYPE, 1, 640, 666666},
        {"160x120 (caps index 2)", rgb24Format(160, 120), VFW_E_INVALIDMEDIATYPE, 1, 640, 666666},
        {"560x420 (caps index 7)", rgb24Format(560, 420), VFW_E_INVALIDMEDIATYPE, 1, 640, 666666},
        {"800x600", rgb24Format(800, 600), VFW_E_INVALIDMEDIATYPE, 1, 640, 666666},
        {"top-down 320x240", rgb24Format(320, -240), VFW_E_INVALIDMEDIATYPE, 1, 640, 666666},
        {"bit count 0", rgb24Format(320, 240, 0), VFW_E_INVALIDMEDIATYPE, 1, 640, 666666},
        {"32 bits", rgb24Format(640, 480, 32), VFW_E_INVALIDMEDIATYPE, 1, 640, 666666},
        {"RGB32 subtype", rgb32Subtype, VFW_E_INVALIDMEDIATYPE, 1, 640, 666666},
        {"audio major type", audio, VFW_E_INVALIDMEDIATYPE, 1, 640, 666666},
        {"bit fields", compressed, VFW_E_INVALIDMEDIATYPE, 1, 640, 666666},
        {"no format block", noBlock, E_INVALIDARG, 1, 640, 666666},
        {"short format block", shortBlock, E_INVALIDARG, 1, 640, 666666},
        {"VideoInfo2", info2, E_INVALIDARG, 1, 640, 666666},
        // No frame interval: the frame store's; no image size: computed.
        {"320x240", noInterval, S_OK, 0, 320, 333333},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MediaFormat type = c.type;
        const LONG version = output->formatVersion();
        EXPECT_EQ(config->SetFormat(type.raw()), c.result);
        EXPECT_EQ(output->formatVersion() != version, c.result == S_OK);
        EXPECT_EQ(runtimeSettings.sizeIndex, c.sizeIndex);
        EXPECT_EQ(videoFormat.width, c.sizeIndex == 1 ? 640 : 320);
        const MediaFormat current = formatOf(config.Get());
        ASSERT_NE(current.videoInfo(), nullptr);
        EXPECT_EQ(current.videoInfo()->bmiHeader.biWidth, c.width);
        EXPECT_EQ(current.videoInfo()->bmiHeader.biHeight, c.width * 3 / 4);
        EXPECT_EQ(current.videoInfo()->bmiHeader.biSizeImage,
                  static_cast<DWORD>(c.width * 3 * c.width * 3 / 4));
        EXPECT_EQ(current.sampleSize(), current.videoInfo()->bmiHeader.biSizeImage);
        EXPECT_EQ(current.videoInfo()->AvgTimePerFrame, c.interval);
        // The capability records describe the running size.
        AM_MEDIA_TYPE* capsType = nullptr;
        VIDEO_STREAM_CONFIG_CAPS caps{};
        ASSERT_EQ(config->GetStreamCaps(2, &capsType, reinterpret_cast<BYTE*>(&caps)), S_OK);
        EXPECT_EQ(videoInfoOf(*capsType)->bmiHeader.biWidth, 160);
        EXPECT_EQ(videoInfoOf(*capsType)->AvgTimePerFrame, c.interval);
        deleteMediaType(capsType);
        EXPECT_EQ(caps.InputSize.cx, c.sizeIndex == 1 ? 640 : 320);
        EXPECT_EQ(caps.MaxOutputSize.cy, c.sizeIndex == 1 ? 480 : 240);
    }
    // Nothing reached the registry: the next filter starts at 320 x 240 again.
    StereoCameraFilter* second = nullptr;
    ComPtr<IBaseFilter> again = makeStereoFilter(&second);
    EXPECT_EQ(runtimeSettings.sizeIndex, 0);
}

TEST_F(FilterObjectTest, PinCategoryProperty) {
    ComPtr<IKsPropertySet> props = outputAs<IKsPropertySet>();
    GUID category{};
    DWORD returned = 0;
    EXPECT_EQ(props->Get(PIN_CATEGORY_CAPTURE, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category,
                         sizeof(category), &returned),
              E_PROP_SET_UNSUPPORTED);
    EXPECT_EQ(props->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_MEDIUM, nullptr, 0, &category, sizeof(category),
                         &returned),
              E_PROP_ID_UNSUPPORTED);
    EXPECT_EQ(E_PROP_SET_UNSUPPORTED, static_cast<HRESULT>(0x80070492));
    EXPECT_EQ(E_PROP_ID_UNSUPPORTED, static_cast<HRESULT>(0x80070490));
    EXPECT_EQ(props->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, nullptr, 0, nullptr),
              E_POINTER);

    returned = 0;
    EXPECT_EQ(props->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, nullptr, 0, &returned), S_OK);
    EXPECT_EQ(returned, 16u);

    returned = 0;
    BYTE small[15] = {};
    EXPECT_EQ(
        props->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, small, sizeof(small), &returned),
        E_UNEXPECTED);
    EXPECT_EQ(returned, 16u);

    EXPECT_EQ(props->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, sizeof(category),
                         nullptr),
              S_OK);
    EXPECT_EQ(category, PIN_CATEGORY_CAPTURE);

    DWORD support = 0;
    EXPECT_EQ(props->QuerySupported(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, &support), S_OK);
    EXPECT_EQ(support, static_cast<DWORD>(KSPROPERTY_SUPPORT_GET));
    EXPECT_EQ(props->QuerySupported(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr), S_OK);
    EXPECT_EQ(props->QuerySupported(PIN_CATEGORY_CAPTURE, AMPROPERTY_PIN_CATEGORY, &support),
              E_PROP_SET_UNSUPPORTED);
    EXPECT_EQ(props->QuerySupported(AMPROPSETID_Pin, 7, &support), E_PROP_ID_UNSUPPORTED);
    EXPECT_EQ(props->Set(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, sizeof(category)),
              E_NOTIMPL);
}

TEST_F(FilterObjectTest, SendSampleWhileInactiveDeliversNothing) {
    ComPtr<FakeSample> sample(new FakeSample(16));
    const ULONG before = refsOf(sample.Get());
    EXPECT_FALSE(output->hasDeliveryQueue());
    EXPECT_EQ(output->sendSample(sample.Get()), S_OK);
    EXPECT_EQ(refsOf(sample.Get()), before);
    // Forwarded stream control goes nowhere either.
    EXPECT_EQ(output->forwardEndOfStream(), S_OK);
    EXPECT_EQ(output->forwardBeginFlush(), S_OK);
    EXPECT_EQ(output->forwardEndFlush(), S_OK);
    EXPECT_EQ(output->forwardNewSegment(0, 10, 1.0), S_OK);
}

// ---- connection with fake cameras and a fake downstream pin ----------------------------

TEST_F(FilterObjectTest, ConnectionOffersTheLeftCameraTypesAndSharesItsAllocator) {
    StereoRig rig(640, 480);
    ComposedVideoPin* out = rig.filter->visibleOutput();
    ASSERT_TRUE(out->isConnected());
    // The agreed type is the left camera's.
    EXPECT_TRUE(out->connectionMediaFormat() == rgb24Format(640, 480));
    // The downstream pin got the allocator the left camera announced, writable.
    ASSERT_NE(rig.filter->leftInput()->upstreamAllocatorPtr(), nullptr);
    EXPECT_EQ(rig.sink->pin->notifiedAllocator, rig.filter->leftInput()->upstreamAllocatorPtr());
    EXPECT_EQ(rig.sink->pin->notifiedReadOnly, FALSE);

    // The media types offered are the left camera's own list (one type).
    ComPtr<IEnumMediaTypes> types;
    ASSERT_EQ(out->EnumMediaTypes(types.GetAddressOf()), S_OK);
    AM_MEDIA_TYPE* got[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(types->Next(3, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);
    EXPECT_EQ(videoInfoOf(*got[0])->bmiHeader.biWidth, 640);
    deleteMediaType(got[0]);

    // Already connected.
    EXPECT_EQ(out->Connect(rig.sink->pin, nullptr), VFW_E_ALREADY_CONNECTED);
    EXPECT_EQ(out->Connect(nullptr, nullptr), E_POINTER);
}

// While the filter runs, Connect is refused before the cameras would be
// attached: the host's graph gains nothing from a connection it cannot make.
// (In a graph, so that attaching would be tried and, with no cameras
// installed here, fail with another answer.)
TEST_F(FilterObjectTest, ConnectWhileRunningIsRefusedBeforeAttachingCameras) {
    ComPtr<IFilterGraph> graph;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                               reinterpret_cast<void**>(graph.GetAddressOf())),
              S_OK);
    ASSERT_EQ(graph->AddFilter(filter.Get(), L"Virtual camera"), S_OK);
    ComPtr<FakeSinkFilter> sink(new FakeSinkFilter);
    ASSERT_HRESULT_SUCCEEDED(filter->Run(0));
    EXPECT_EQ(output->Connect(sink->pin, nullptr), VFW_E_NOT_STOPPED);
    EXPECT_FALSE(output->isConnected());
    EXPECT_FALSE(raw->leftInput()->isConnected());
    EXPECT_EQ(filter->Stop(), S_OK);
    EXPECT_EQ(graph->RemoveFilter(filter.Get()), S_OK);
}

// Before the left camera has announced an allocator, the output pin hands
// downstream the one Input1 would offer it, writable.
TEST_F(FilterObjectTest, WithoutAnAnnouncedAllocatorOutputSharesInput1sOwn) {
    ComPtr<FakeSinkFilter> sink(new FakeSinkFilter);
    ASSERT_EQ(raw->leftInput()->upstreamAllocatorPtr(), nullptr);
    ComPtr<IMemAllocator> inputOwn;
    ASSERT_EQ(raw->leftInput()->GetAllocator(inputOwn.GetAddressOf()), S_OK);
    ASSERT_TRUE(inputOwn);
    ComPtr<IMemAllocator> chosen;
    EXPECT_EQ(output->chooseAllocator(static_cast<IMemInputPin*>(sink->pin), chosen.GetAddressOf()), S_OK);
    EXPECT_EQ(chosen.Get(), inputOwn.Get());
    EXPECT_EQ(sink->pin->notifiedAllocator, inputOwn.Get());
    EXPECT_EQ(sink->pin->notifiedReadOnly, FALSE);
}

TEST_F(FilterObjectTest, DisconnectWhileActiveKeepsTheConnection) {
    StereoRig rig;
    ASSERT_EQ(rig.start(), S_OK);
    EXPECT_EQ(rig.filter->visibleOutput()->Disconnect(), VFW_E_NOT_STOPPED);
    EXPECT_TRUE(rig.filter->visibleOutput()->isConnected());
    EXPECT_TRUE(rig.filter->leftInput()->isConnected());
    rig.stop();
    EXPECT_EQ(rig.filter->visibleOutput()->Disconnect(), S_OK);
    EXPECT_FALSE(rig.filter->visibleOutput()->isConnected());
}

}  // namespace
