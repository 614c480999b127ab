// The test camera as a component: stream configuration, pin category, media
// types of each device kind, and streaming with no graph and no clock.
#include <gtest/gtest.h>

#include <cstring>

#include "test_sink.h"
#include "testcams/test_camera_filter.h"

namespace {

class TestCameraTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(liveObjectCount(), 0); }

    static ComPtr<IBaseFilter> make(const CLSID& clsid) {
        ComPtr<IBaseFilter> filter;
        EXPECT_EQ(createTestCamera(findTestCamera(clsid), nullptr, IID_IBaseFilter,
                                   reinterpret_cast<void**>(filter.GetAddressOf())),
                  S_OK);
        return filter;
    }
    static ComPtr<IPin> capturePin(IBaseFilter* filter) {
        ComPtr<IPin> pin;
        EXPECT_EQ(filter->FindPin(L"Capture", pin.GetAddressOf()), S_OK);
        return pin;
    }
    static MediaFormat videoType(const GUID& subtype, int width, int height, int bits) {
        MediaFormat type;
        type.setMajorType(MEDIATYPE_Video);
        type.setSubtype(subtype);
        type.setFormatType(FORMAT_VideoInfo);
        auto* info = reinterpret_cast<VIDEOINFOHEADER*>(type.allocFormatBlock(sizeof(VIDEOINFOHEADER)));
        info->AvgTimePerFrame = 333333;
        info->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info->bmiHeader.biWidth = width;
        info->bmiHeader.biHeight = height;
        info->bmiHeader.biPlanes = 1;
        info->bmiHeader.biBitCount = static_cast<WORD>(bits);
        info->bmiHeader.biSizeImage = bitmapImageSize(info->bmiHeader);
        return type;
    }
    struct Cap {
        GUID subtype;
        LONG width, height;
        WORD bits;
    };
    static std::vector<Cap> capabilities(IPin* pin) {
        ComPtr<IAMStreamConfig> config;
        EXPECT_EQ(ComPtr<IPin>(pin).As(&config), S_OK);
        int count = -1, size = -1;
        EXPECT_EQ(config->GetNumberOfCapabilities(&count, &size), S_OK);
        EXPECT_EQ(size, 128);
        std::vector<Cap> caps;
        for (int i = 0; i < count; ++i) {
            AM_MEDIA_TYPE* type = nullptr;
            VIDEO_STREAM_CONFIG_CAPS scc;
            EXPECT_EQ(config->GetStreamCaps(i, &type, reinterpret_cast<BYTE*>(&scc)), S_OK);
            const VIDEOINFOHEADER* info = videoInfoOf(*type);
            EXPECT_NE(info, nullptr);
            EXPECT_EQ(scc.guid, FORMAT_VideoInfo);
            caps.push_back({type->subtype, info->bmiHeader.biWidth, info->bmiHeader.biHeight,
                            info->bmiHeader.biBitCount});
            EXPECT_EQ(type->lSampleSize, bitmapImageSize(info->bmiHeader));
            deleteMediaType(type);
        }
        AM_MEDIA_TYPE* type = reinterpret_cast<AM_MEDIA_TYPE*>(0x1);
        VIDEO_STREAM_CONFIG_CAPS scc;
        EXPECT_EQ(config->GetStreamCaps(count, &type, reinterpret_cast<BYTE*>(&scc)), S_FALSE);
        EXPECT_EQ(type, nullptr);
        return caps;
    }
    static std::vector<MediaFormat> proposed(IPin* pin) {
        ComPtr<IEnumMediaTypes> types;
        EXPECT_EQ(pin->EnumMediaTypes(types.GetAddressOf()), S_OK);
        std::vector<MediaFormat> list;
        AM_MEDIA_TYPE* type = nullptr;
        while (types->Next(1, &type, nullptr) == S_OK) {
            list.emplace_back(*type);
            deleteMediaType(type);
        }
        return list;
    }
};

TEST_F(TestCameraTest, OrdinaryCameraListsRgb32FirstThenRgb24SizesAndAcceptsAnySetFormat) {
    ComPtr<IBaseFilter> camera = make(CLSID_DuoviewTestCameraA);
    ComPtr<IPin> pin = capturePin(camera.Get());
    auto caps = capabilities(pin.Get());
    ASSERT_EQ(caps.size(), 5u);
    EXPECT_EQ(caps[0].subtype, MEDIASUBTYPE_RGB32);
    EXPECT_EQ(caps[0].bits, 32);
    EXPECT_EQ(caps[1].subtype, MEDIASUBTYPE_RGB24);
    EXPECT_EQ(caps[1].width, 640);
    EXPECT_EQ(caps[1].height, 480);
    EXPECT_EQ(caps[2].width, 320);
    EXPECT_EQ(caps[2].height, 240);
    for (size_t i = 1; i < caps.size(); ++i)
        EXPECT_EQ(caps[i].bits, 24);
    EXPECT_EQ(proposed(pin.Get()).size(), 5u);

    ComPtr<IAMStreamConfig> config;
    ASSERT_EQ(pin.As(&config), S_OK);
    EXPECT_EQ(config->SetFormat(nullptr), E_POINTER);
    // Any RGB24 video-info size with a positive height; not top-down, not YUY2.
    MediaFormat odd = videoType(MEDIASUBTYPE_RGB24, 352, 288, 24);
    odd.videoInfo()->bmiHeader.biSizeImage = 0;
    EXPECT_EQ(config->SetFormat(odd.raw()), S_OK);
    EXPECT_EQ(config->SetFormat(videoType(MEDIASUBTYPE_RGB24, 320, -240, 24).raw()), VFW_E_TYPE_NOT_ACCEPTED);
    EXPECT_EQ(config->SetFormat(videoType(MEDIASUBTYPE_YUY2, 320, 240, 16).raw()), VFW_E_TYPE_NOT_ACCEPTED);
    EXPECT_EQ(config->SetFormat(videoType(MEDIASUBTYPE_RGB24, 320, 240, 32).raw()), VFW_E_TYPE_NOT_ACCEPTED);

    // The set format is the only proposed type, its image size filled in.
    auto list = proposed(pin.Get());
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].videoInfo()->bmiHeader.biWidth, 352);
    EXPECT_EQ(list[0].videoInfo()->bmiHeader.biSizeImage, 352u * 3u * 288u);
    AM_MEDIA_TYPE* current = nullptr;
    ASSERT_EQ(config->GetFormat(&current), S_OK);
    EXPECT_EQ(videoInfoOf(*current)->bmiHeader.biHeight, 288);
    deleteMediaType(current);
    EXPECT_EQ(pin->QueryAccept(videoType(MEDIASUBTYPE_RGB24, 640, 480, 24).raw()), S_FALSE);
    EXPECT_EQ(pin->QueryAccept(videoType(MEDIASUBTYPE_RGB24, 352, 288, 24).raw()), S_OK);
}

TEST_F(TestCameraTest, VariantsOfferNoRgb24OrOnlyTopDown) {
    {
        ComPtr<IBaseFilter> camera = make(CLSID_DuoviewTestCameraNoRGB24);
        ComPtr<IPin> pin = capturePin(camera.Get());
        for (const Cap& cap : capabilities(pin.Get()))
            EXPECT_NE(cap.subtype, MEDIASUBTYPE_RGB24);
        ComPtr<IAMStreamConfig> config;
        ASSERT_EQ(pin.As(&config), S_OK);
        EXPECT_EQ(config->SetFormat(videoType(MEDIASUBTYPE_RGB24, 320, 240, 24).raw()),
                  VFW_E_TYPE_NOT_ACCEPTED);
        EXPECT_EQ(config->SetFormat(videoType(MEDIASUBTYPE_RGB32, 320, 240, 32).raw()), S_OK);
    }
    {
        ComPtr<IBaseFilter> camera = make(CLSID_DuoviewTestCameraTopDown);
        ComPtr<IPin> pin = capturePin(camera.Get());
        auto caps = capabilities(pin.Get());
        ASSERT_FALSE(caps.empty());
        for (const Cap& cap : caps) {
            EXPECT_EQ(cap.subtype, MEDIASUBTYPE_RGB24);
            EXPECT_LT(cap.height, 0);
        }
        ComPtr<IAMStreamConfig> config;
        ASSERT_EQ(pin.As(&config), S_OK);
        EXPECT_EQ(config->SetFormat(videoType(MEDIASUBTYPE_RGB24, 320, 240, 24).raw()),
                  VFW_E_TYPE_NOT_ACCEPTED);
        EXPECT_EQ(config->SetFormat(videoType(MEDIASUBTYPE_RGB24, 320, -240, 24).raw()), S_OK);
    }
}

TEST_F(TestCameraTest, CapturePinCategoryThroughKsPropertySet) {
    ComPtr<IBaseFilter> camera = make(CLSID_DuoviewTestCameraB);
    ComPtr<IPin> pin = capturePin(camera.Get());
    ComPtr<IKsPropertySet> properties;
    ASSERT_EQ(pin.As(&properties), S_OK);
    GUID category = GUID_NULL;
    DWORD returned = 0;
    EXPECT_EQ(properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category,
                              sizeof(category), &returned),
              S_OK);
    EXPECT_EQ(category, PIN_CATEGORY_CAPTURE);
    EXPECT_EQ(returned, sizeof(GUID));
    EXPECT_EQ(properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, 4, &returned),
              E_UNEXPECTED);
    EXPECT_TRUE(FAILED(
        properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_MEDIUM, nullptr, 0, &category, 16, &returned)));
    EXPECT_TRUE(FAILED(properties->Get(PIN_CATEGORY_CAPTURE, 0, nullptr, 0, &category, 16, &returned)));
    DWORD support = 0;
    EXPECT_EQ(properties->QuerySupported(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, &support), S_OK);
    EXPECT_EQ(support, static_cast<DWORD>(KSPROPERTY_SUPPORT_GET));
    // The filter side: one output pin, class id, live-source GetState.
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(camera->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_DuoviewTestCameraB);
    PIN_DIRECTION direction = PINDIR_INPUT;
    EXPECT_EQ(pin->QueryDirection(&direction), S_OK);
    EXPECT_EQ(direction, PINDIR_OUTPUT);
}

// Without a graph and without a clock: filters driven directly; samples carry
// no time, pictures are exact, frame numbers count from 0 after each stop.
TEST_F(TestCameraTest, StreamsWithoutClockExactPicturesAndRestartsNumbering) {
    setenv("DV_TESTCAM_FPS", "0", 1);
    ComPtr<IBaseFilter> camera = make(CLSID_DuoviewTestCameraB);
    auto* sink = new TestSinkFilter;
    ComPtr<IBaseFilter> sinkFilter(static_cast<IBaseFilter*>(sink));
    sink->keepPictures = true;
    sink->receiveCanBlock = false;
    ComPtr<IPin> pin = capturePin(camera.Get());
    ComPtr<IAMStreamConfig> config;
    ASSERT_EQ(pin.As(&config), S_OK);
    ASSERT_EQ(config->SetFormat(videoType(MEDIASUBTYPE_RGB24, 320, 240, 24).raw()), S_OK);
    ASSERT_EQ(pin->Connect(sink->inputPin(), nullptr), S_OK);

    for (int cycle = 0; cycle < 2; ++cycle) {
        const size_t base = sink->frameCount();
        ASSERT_EQ(sinkFilter->Run(0), S_OK);
        ASSERT_EQ(camera->Run(0), S_OK);
        ASSERT_TRUE(sink->waitForFrames(base + 5, 5000));
        EXPECT_EQ(camera->Stop(), S_OK);
        EXPECT_EQ(sinkFilter->Stop(), S_OK);
        auto frames = sink->frames();
        const TestPictureFormat format{320, 240, 24};
        std::vector<uint8_t> expected(testPictureSize(format));
        for (size_t i = base; i < base + 5; ++i) {
            const ReceivedFrame& frame = frames[i];
            EXPECT_EQ(frame.stamp, i - base);
            EXPECT_FALSE(frame.timeValid);
            EXPECT_TRUE(frame.syncPoint);
            EXPECT_EQ(frame.discontinuity, i == base);
            renderTestFrame(1, format, frame.stamp, expected.data());
            ASSERT_EQ(frame.bytes.size(), expected.size());
            EXPECT_EQ(std::memcmp(frame.bytes.data(), expected.data(), expected.size()), 0);
        }
    }
    EXPECT_EQ(pin->Disconnect(), S_OK);
    EXPECT_EQ(sink->inputPin()->Disconnect(), S_OK);
    unsetenv("DV_TESTCAM_FPS");
}

TEST(TestPictures, StampRoundTripsAndEyesDiffer) {
    const TestPictureFormat format{640, 480, 24};
    std::vector<uint8_t> frame(testPictureSize(format));
    for (uint32_t value : {0u, 1u, 0x80000000u, 0x12345678u, 0xFFFFFFFFu}) {
        renderTestFrame(0, format, value, frame.data());
        EXPECT_EQ(readFrameStamp(frame.data(), 640, 3), value);
        EXPECT_EQ(readFrameStamp(frame.data() + 7 * testPictureStride(format), 640, 3), value);
    }
    auto left = testEyePicture(0, format);
    auto right = testEyePicture(1, format);
    EXPECT_NE(*left, *right);
    EXPECT_EQ(testEyePicture(0, format), left);  // rendered once, shared
    // A top-down picture is the bottom-up one with its rows reversed.
    auto topDown = testEyePicture(0, TestPictureFormat{640, -480, 24});
    const int stride = testPictureStride(format);
    EXPECT_EQ(std::memcmp(topDown->data(), left->data() + 479 * stride, stride), 0);
    // 32-bit pictures carry the same colours.
    auto wide = testEyePicture(0, TestPictureFormat{640, 480, 32});
    EXPECT_EQ(std::memcmp(wide->data() + 4 * 100, left->data() + 3 * 100, 3), 0);
}

}  // namespace
