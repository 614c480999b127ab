// The V4L2 capture source over a fake device folder: the device enumerator's
// listing and monikers, the stream configuration built from the device's
// formats, SetFormat's device calls, streaming into a graph, a device that
// disappears mid-stream and a device busy in another program.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "../platform/loaded_module.h"
#include "../platform/trace_capture.h"
#include "fake_v4l2.h"
#include "test_sink.h"
#include "v4l2/frame_converter.h"
#include "v4l2/v4l2_source.h"

namespace {

constexpr REFERENCE_TIME second = 10000000;

// Whether a line captured since the last look contains `text`.
bool traced(TraceCapture& trace, const char* text) {
    for (const std::string& line : trace.take())
        if (line.find(text) != std::string::npos) return true;
    return false;
}

FakeNode camera(const char* name, const char* card, std::vector<FakeFormat> formats) {
    FakeNode node;
    node.name = name;
    node.card = card;
    node.formats = std::move(formats);
    return node;
}

FakeFormat yuyv(std::vector<std::pair<int, int>> sizes, std::vector<int> fps = {30}) {
    return {V4L2_PIX_FMT_YUYV, std::move(sizes), std::move(fps)};
}

std::wstring readBag(IMoniker* moniker, const wchar_t* name) {
    ComPtr<IPropertyBag> bag;
    if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                      reinterpret_cast<void**>(bag.GetAddressOf()))))
        return L"(no bag)";
    VARIANT value;
    std::memset(&value, 0, sizeof value);
    if (FAILED(bag->Read(name, &value, nullptr))) return L"(missing)";
    std::wstring text(value.bstrVal, SysStringLen(value.bstrVal));
    VariantClear(&value);
    return text;
}

std::vector<ComPtr<IMoniker>> videoInputs() {
    std::vector<ComPtr<IMoniker>> list;
    ComPtr<ICreateDevEnum> devices;
    if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                reinterpret_cast<void**>(devices.GetAddressOf()))))
        return list;
    ComPtr<IEnumMoniker> monikers;
    if (devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers.GetAddressOf(), 0) != S_OK)
        return list;
    ComPtr<IMoniker> m;
    while (monikers->Next(1, m.GetAddressOf(), nullptr) == S_OK) {
        list.push_back(m);
        m = nullptr;
    }
    return list;
}

MediaFormat rgb24(int width, int height, REFERENCE_TIME interval = 333333) {
    MediaFormat type;
    type.setMajorType(MEDIATYPE_Video);
    type.setSubtype(MEDIASUBTYPE_RGB24);
    type.setFormatType(FORMAT_VideoInfo);
    auto* info = reinterpret_cast<VIDEOINFOHEADER*>(type.allocFormatBlock(sizeof(VIDEOINFOHEADER)));
    std::memset(info, 0, sizeof *info);
    info->AvgTimePerFrame = interval;
    info->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info->bmiHeader.biWidth = width;
    info->bmiHeader.biHeight = height;
    info->bmiHeader.biPlanes = 1;
    info->bmiHeader.biBitCount = 24;
    info->bmiHeader.biSizeImage = bitmapImageSize(info->bmiHeader);
    return type;
}

class V4l2SourceTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (control) control->Stop();
        control = nullptr;
        sinkFilter = nullptr;
        source = nullptr;
        graph = nullptr;
        EXPECT_EQ(liveObjectCount(), 0);
    }

    // A source of this executable's framework copy, loaded from the node's moniker bag.
    void makeSource(const char* node) {
        ComPtr<IMoniker> moniker;
        for (const ComPtr<IMoniker>& m : videoInputs())
            if (readBag(m.Get(), L"DevicePath") == dvrtWide(std::string(FakeV4l2::folder) + "/" + node))
                moniker = m;
        ASSERT_TRUE(moniker) << node;
        ComPtr<IPropertyBag> bag;
        ASSERT_EQ(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                         reinterpret_cast<void**>(bag.GetAddressOf())),
                  S_OK);
        ComPtr<IPersistPropertyBag> persist;
        ASSERT_EQ(createV4l2Source(nullptr, IID_IPersistPropertyBag,
                                   reinterpret_cast<void**>(persist.GetAddressOf())),
                  S_OK);
        ASSERT_EQ(persist->Load(bag.Get(), nullptr), S_OK);
        ASSERT_EQ(persist.As(&source), S_OK);
        sourceObject = static_cast<V4l2SourceFilter*>(source.Get());
    }
    ComPtr<IAMStreamConfig> streamConfig() {
        ComPtr<IPin> pin;
        EXPECT_EQ(source->FindPin(L"Capture", pin.GetAddressOf()), S_OK);
        ComPtr<IAMStreamConfig> config;
        EXPECT_EQ(pin.As(&config), S_OK);
        return config;
    }
    // The source and a picture-keeping sink in a graph, connected at the given size.
    void connect(int width, int height) {
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph2,
                                   reinterpret_cast<void**>(graph.GetAddressOf())),
                  S_OK);
        ASSERT_EQ(graph.As(&control), S_OK);
        sink = new TestSinkFilter;
        sinkFilter = static_cast<IBaseFilter*>(sink);
        sink->keepPictures = true;
        ASSERT_EQ(graph->AddFilter(source.Get(), L"Camera"), S_OK);
        ASSERT_EQ(graph->AddFilter(sinkFilter.Get(), L"Sink"), S_OK);
        ASSERT_EQ(streamConfig()->SetFormat(rgb24(width, height).raw()), S_OK);
        ComPtr<IPin> out;
        ASSERT_EQ(source->FindPin(L"Capture", out.GetAddressOf()), S_OK);
        ASSERT_EQ(graph->ConnectDirect(out.Get(), sink->inputPin(), nullptr), S_OK);
    }
    static std::wstring dvrtWide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

    ComPtr<IBaseFilter> source;
    V4l2SourceFilter* sourceObject = nullptr;
    ComPtr<IFilterGraph2> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IBaseFilter> sinkFilter;
    TestSinkFilter* sink = nullptr;
};

// ---- enumeration ------------------------------------------------------------------

TEST_F(V4l2SourceTest, EnumeratorListsCaptureNodesAfterRegisteredEntriesByNumber) {
    auto node = [](const char* name, const char* card, uint32_t caps, bool deviceCaps = true) {
        FakeNode n = camera(name, card, {yuyv({{320, 240}})});
        n.caps = caps;
        n.reportsDeviceCaps = deviceCaps;
        return n;
    };
    const uint32_t capture = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    FakeV4l2 fake({
        node("video10", "Cam B", capture),
        node("video0", "Cam A", capture),
        node("video1", "Metadata", V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING),
        node("video2", "Loopback out", V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING),
        node("video3", "Read only", V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE),
        node("video4", "Old driver", capture, false),
        node("video5", "Multi-planar", V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING),
        node("video6", "Cam A", capture),  // a second camera of the same model
        node("videox", "Not a node number", capture),
    });
    ComPtr<IFilterMapper2> mapper;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                               reinterpret_cast<void**>(mapper.GetAddressOf())),
              S_OK);
    REGFILTER2 record{};
    record.dwVersion = 2;
    ASSERT_EQ(mapper->RegisterFilter(CLSID_DvV4l2CaptureSource, L"Registered", nullptr,
                                     &CLSID_VideoInputDeviceCategory, L"Registered", &record),
              S_OK);

    const struct {
        const wchar_t* name;
        const wchar_t* path;
    } expected[] = {{L"Registered", L"(missing)"},
                    {L"Cam A", L"/fake/dev/video0"},
                    {L"Old driver", L"/fake/dev/video4"},
                    {L"Cam A", L"/fake/dev/video6"},
                    {L"Cam B", L"/fake/dev/video10"}};
    const std::vector<ComPtr<IMoniker>> list = videoInputs();
    ASSERT_EQ(list.size(), std::size(expected));
    for (size_t i = 0; i < list.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(readBag(list[i].Get(), L"FriendlyName"), expected[i].name);
        EXPECT_EQ(readBag(list[i].Get(), L"DevicePath"), expected[i].path);
        WCHAR clsid[40] = {};
        StringFromGUID2(CLSID_DvV4l2CaptureSource, clsid, 40);
        EXPECT_EQ(readBag(list[i].Get(), L"CLSID"), clsid);
    }
    EXPECT_EQ(list[1]->IsEqual(list[1].Get()), S_OK);
    EXPECT_EQ(list[1]->IsEqual(list[3].Get()), S_FALSE);  // same card name, another node
    EXPECT_EQ(fake.openDescriptors(), 0);

    // Other categories never list V4L2 nodes.
    ComPtr<ICreateDevEnum> devices;
    ASSERT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                               reinterpret_cast<void**>(devices.GetAddressOf())),
              S_OK);
    ComPtr<IEnumMoniker> others;
    EXPECT_EQ(devices->CreateClassEnumerator(CLSID_LegacyAmFilterCategory, others.GetAddressOf(), 0),
              S_FALSE);
    mapper->UnregisterFilter(&CLSID_VideoInputDeviceCategory, L"Registered", CLSID_DvV4l2CaptureSource);
}

TEST_F(V4l2SourceTest, BindingCreatesTheSourceOnlyOnceItsModuleIsRegistered) {
    FakeV4l2 fake({camera("video0", "Cam A", {yuyv({{320, 240}})})});
    std::vector<ComPtr<IMoniker>> list = videoInputs();
    ASSERT_EQ(list.size(), 1u);

    ComPtr<IUnknown> direct;
    const HRESULT unregistered =
        CoCreateInstance(CLSID_DvV4l2CaptureSource, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                         reinterpret_cast<void**>(direct.GetAddressOf()));
    ASSERT_TRUE(FAILED(unregistered));
    ComPtr<IBaseFilter> filter;
    EXPECT_EQ(list[0]->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                    reinterpret_cast<void**>(filter.GetAddressOf())),
              unregistered);
    EXPECT_FALSE(filter);

    LoadedModule module(DV_V4L2_MODULE);
    ASSERT_EQ(module.call("DllRegisterServer"), S_OK);
    ASSERT_EQ(list[0]->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                    reinterpret_cast<void**>(filter.GetAddressOf())),
              S_OK);
    CLSID clsid{};
    EXPECT_EQ(filter->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_DvV4l2CaptureSource);
    ComPtr<IPin> pin;
    ASSERT_EQ(filter->FindPin(L"Capture", pin.GetAddressOf()), S_OK);
    ComPtr<IKsPropertySet> properties;
    ASSERT_EQ(pin.As(&properties), S_OK);
    GUID category{};
    DWORD returned = 0;
    EXPECT_EQ(properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category,
                              sizeof category, &returned),
              S_OK);
    EXPECT_EQ(category, PIN_CATEGORY_CAPTURE);
    EXPECT_EQ(fake.openDescriptors(), 0);  // listing formats closed the node again
    pin = nullptr;
    properties = nullptr;
    filter = nullptr;
    EXPECT_EQ(module.call("DllCanUnloadNow"), S_OK);
    EXPECT_EQ(module.call("DllUnregisterServer"), S_OK);
}

// ---- stream configuration ---------------------------------------------------------------

TEST_F(V4l2SourceTest, StreamCapsFollowTheDeviceFormatsAndSetFormatConfiguresTheDevice) {
    struct Offered {
        int width, height;
        REFERENCE_TIME interval;
        uint32_t deviceFormat;
    };
    const struct Case {
        const char* what;
        std::vector<FakeFormat> formats;
        std::vector<Offered> offered;
    } cases[] = {
        {"YUYV sizes, one size only as MJPEG",
         {yuyv({{640, 480}, {320, 240}}, {30, 15}), {V4L2_PIX_FMT_MJPEG, {{640, 480}, {1280, 720}}, {30}}},
         {{640, 480, 333333, V4L2_PIX_FMT_YUYV},
          {320, 240, 333333, V4L2_PIX_FMT_YUYV},
          {1280, 720, 333333, V4L2_PIX_FMT_MJPEG}}},
        {"YUYV under 15 fps, MJPEG faster",
         {yuyv({{1280, 720}}, {10, 5}), {V4L2_PIX_FMT_MJPEG, {{1280, 720}}, {30, 15}}},
         {{1280, 720, 333333, V4L2_PIX_FMT_MJPEG}}},
        {"YUYV at 15 fps stays before MJPEG",
         {{V4L2_PIX_FMT_MJPEG, {{640, 480}}, {30}}, yuyv({{640, 480}}, {15})},
         {{640, 480, 666666, V4L2_PIX_FMT_YUYV}}},
        {"NV12 only, 25 fps",
         {{V4L2_PIX_FMT_NV12, {{640, 480}}, {25}}},
         {{640, 480, 400000, V4L2_PIX_FMT_NV12}}},
        {"library format; an unconvertible one left out",
         {{V4L2_PIX_FMT_H264, {{1920, 1080}}, {30}}, {V4L2_PIX_FMT_UYVY, {{320, 240}}, {20}}},
         {{320, 240, 500000, V4L2_PIX_FMT_UYVY}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeV4l2 fake({camera("video0", "Cam", c.formats)});
        makeSource("video0");
        ComPtr<IAMStreamConfig> config = streamConfig();
        int count = -1, size = -1;
        ASSERT_EQ(config->GetNumberOfCapabilities(&count, &size), S_OK);
        EXPECT_EQ(size, static_cast<int>(sizeof(VIDEO_STREAM_CONFIG_CAPS)));
        ASSERT_EQ(count, static_cast<int>(c.offered.size()));
        for (int i = 0; i < count; ++i) {
            const Offered& want = c.offered[static_cast<size_t>(i)];
            AM_MEDIA_TYPE* type = nullptr;
            VIDEO_STREAM_CONFIG_CAPS caps;
            ASSERT_EQ(config->GetStreamCaps(i, &type, reinterpret_cast<BYTE*>(&caps)), S_OK);
            const VIDEOINFOHEADER* info = videoInfoOf(*type);
            ASSERT_NE(info, nullptr);
            EXPECT_EQ(type->subtype, MEDIASUBTYPE_RGB24);
            EXPECT_EQ(info->bmiHeader.biWidth, want.width);
            EXPECT_EQ(info->bmiHeader.biHeight, want.height);  // bottom-up
            EXPECT_EQ(info->bmiHeader.biSizeImage,
                      static_cast<DWORD>(((want.width * 3 + 3) & ~3) * want.height));
            EXPECT_EQ(info->AvgTimePerFrame, want.interval);
            EXPECT_EQ(caps.MinFrameInterval, want.interval);
            EXPECT_EQ(caps.InputSize.cx, want.width);

            ASSERT_EQ(config->SetFormat(type), S_OK);
            deleteMediaType(type);
            const std::vector<FormatRequest> formats = fake.formatRequests();
            ASSERT_FALSE(formats.empty());
            EXPECT_EQ(formats.back().pixelFormat, want.deviceFormat);
            EXPECT_EQ(formats.back().width, want.width);
            const std::vector<RateRequest> rates = fake.rateRequests();
            ASSERT_FALSE(rates.empty());
            EXPECT_EQ(static_cast<REFERENCE_TIME>(rates.back().numerator) * second / rates.back().denominator,
                      want.interval);
            AM_MEDIA_TYPE* current = nullptr;
            ASSERT_EQ(config->GetFormat(&current), S_OK);
            EXPECT_EQ(videoInfoOf(*current)->bmiHeader.biWidth, want.width);
            deleteMediaType(current);
        }
        EXPECT_EQ(fake.openDescriptors(), 0);
        config = nullptr;
        source = nullptr;
    }
}

TEST_F(V4l2SourceTest, SetFormatRefusals) {
    const struct Case {
        const char* what;
        MediaFormat type;
        int busyErrno;  // S_FMT fails with this errno (0: not)
        HRESULT expected;
        const char* traceText;
    } cases[] = {
        {"size not offered", rgb24(1024, 768), 0, VFW_E_INVALIDMEDIATYPE, nullptr},
        {"top-down", rgb24(320, -240), 0, VFW_E_INVALIDMEDIATYPE, nullptr},
        {"device busy", rgb24(320, 240), EBUSY, HRESULT_FROM_WIN32(ERROR_BUSY), "device busy"},
        {"device gone", rgb24(320, 240), ENODEV, HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED),
         "S_FMT failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeV4l2 fake({camera("video0", "Cam", {yuyv({{320, 240}})})});
        makeSource("video0");
        if (c.busyErrno) fake.setFailing("video0", VIDIOC_S_FMT, c.busyErrno);
        TraceCapture trace("1");
        MediaFormat type = c.type;
        EXPECT_EQ(streamConfig()->SetFormat(type.raw()), c.expected);
        if (c.traceText) {
            EXPECT_TRUE(traced(trace, c.traceText));
        }
        EXPECT_TRUE(fake.formatRequests().empty());
        EXPECT_EQ(fake.openDescriptors(), 0);
        source = nullptr;
    }
}

// ---- streaming --------------------------------------------------------------------

TEST_F(V4l2SourceTest, StreamsConvertedFramesWithGraphTimes) {
    // Every node delivers red (Y 81, Cb 90, Cr 240): B 0, G 0, R 254 by the
    // kernels' formula; the JPEG path within its loss, the conversion library
    // within the difference of its own coefficients (G 12 here).
    const struct Case {
        uint32_t format;
        int tolerance;
    } cases[] = {
        {V4L2_PIX_FMT_YUYV, 0}, {V4L2_PIX_FMT_NV12, 0}, {V4L2_PIX_FMT_MJPEG, 4}, {V4L2_PIX_FMT_UYVY, 16}};
    constexpr int width = 162, height = 120;  // rows padded from 486 to 488 bytes
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        FakeV4l2 fake({camera("video0", "Cam", {{c.format, {{width, height}}, {30}}})});
        makeSource("video0");
        connect(width, height);
        ASSERT_TRUE(SUCCEEDED(control->Run()));
        ASSERT_TRUE(sink->waitForFrames(5, 5000));
        EXPECT_EQ(fake.streamingNodes(), 1);
        EXPECT_TRUE(SUCCEEDED(control->Stop()));
        EXPECT_EQ(fake.openDescriptors(), 0);  // released when the graph stops
        const std::vector<ReceivedFrame> frames = sink->frames();
        REFERENCE_TIME last = -1;
        for (const ReceivedFrame& f : frames) {
            ASSERT_TRUE(f.timeValid);
            EXPECT_GT(f.start, last);
            EXPECT_EQ(f.stop - f.start, 333333);
            last = f.start;
            ASSERT_EQ(f.bytes.size(), static_cast<size_t>(488 * height));
            for (int y : {0, height / 2, height - 1}) {
                for (int x : {0, width / 2, width - 1}) {
                    const uint8_t* p = &f.bytes[static_cast<size_t>(y * 488 + 3 * x)];
                    EXPECT_NEAR(p[0], 0, c.tolerance);
                    EXPECT_NEAR(p[1], 0, c.tolerance);
                    EXPECT_NEAR(p[2], 254, c.tolerance);
                }
            }
        }
        EXPECT_EQ(sink->endOfStreamCount(), 0);
        control = nullptr;
        graph = nullptr;
        sinkFilter = nullptr;
        source = nullptr;
    }
}

TEST_F(V4l2SourceTest, SamplesAreStampedWithTheDriversCaptureTime) {
    // A sample's start is the stream time of the capture: the driver's
    // monotonic stamp when it is believable, the arrival otherwise. The lag
    // from start to the sink's receipt is at least the capture's age.
    constexpr REFERENCE_TIME ms = 10000;
    const struct Case {
        int64_t captureAgeMicros;
        REFERENCE_TIME minLag, maxLag;
    } cases[] = {
        {300000, 300 * ms, 600 * ms},  // stamped 300 ms before the dequeue
        {-1, 0, 250 * ms},             // a driver stamping with another clock
        {5000000, 0, 250 * ms},        // a stamp too old to be the same clock
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.captureAgeMicros);
        FakeNode node = camera("video0", "Cam", {yuyv({{64, 48}})});
        node.captureAgeMicros = c.captureAgeMicros;
        FakeV4l2 fake({node});
        makeSource("video0");
        connect(64, 48);
        ASSERT_TRUE(SUCCEEDED(control->Run()));
        ASSERT_TRUE(sink->waitForFrames(3, 5000));
        EXPECT_TRUE(SUCCEEDED(control->Stop()));
        for (const ReceivedFrame& f : sink->frames()) {
            ASSERT_TRUE(f.timeValid && f.receivedAtValid);
            EXPECT_GE(f.receivedAt - f.start, c.minLag);
            EXPECT_LE(f.receivedAt - f.start, c.maxLag);
        }
        control = nullptr;
        graph = nullptr;
        sinkFilter = nullptr;
        source = nullptr;
    }
}

TEST_F(V4l2SourceTest, DeviceVanishingMidStreamEndsTheStreamOnce) {
    FakeV4l2 fake({camera("video0", "Cam", {yuyv({{160, 120}})})});
    makeSource("video0");
    connect(160, 120);
    TraceCapture trace("1");
    fake.setVanishAfter("video0", 4);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (sink->endOfStreamCount() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(sink->endOfStreamCount(), 1);
    EXPECT_LE(sink->frameCount(), 4u);
    const V4l2StreamStats stats = sourceObject->capturePin()->stats();
    EXPECT_TRUE(stats.endOfStreamSent);
    EXPECT_EQ(stats.deviceFailure, HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_TRUE(traced(trace, "end of stream"));
    EXPECT_TRUE(SUCCEEDED(control->Stop()));
    EXPECT_EQ(fake.openDescriptors(), 0);
    // The graph runs again once the device is back.
    fake.setVanishAfter("video0", 0);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    EXPECT_TRUE(sink->waitForFrames(sink->frameCount() + 3, 5000));
    EXPECT_TRUE(SUCCEEDED(control->Stop()));
}

TEST_F(V4l2SourceTest, DeviceBusyWhenTheGraphRunsIsReported) {
    for (unsigned long request : {VIDIOC_S_FMT, VIDIOC_REQBUFS, VIDIOC_STREAMON}) {
        SCOPED_TRACE(request);
        FakeV4l2 fake({camera("video0", "Cam", {yuyv({{160, 120}})})});
        makeSource("video0");
        connect(160, 120);
        fake.setFailing("video0", request, EBUSY);
        TraceCapture trace("1");
        const HRESULT hr = control->Run();
        EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_BUSY));
        EXPECT_TRUE(traced(trace, "device busy"));
        EXPECT_EQ(fake.openDescriptors(), 0);
        EXPECT_EQ(fake.streamingNodes(), 0);
        EXPECT_TRUE(SUCCEEDED(control->Stop()));
        control = nullptr;
        graph = nullptr;
        sinkFilter = nullptr;
        source = nullptr;
    }
}

// ---- frame conversion ---------------------------------------------------------------

TEST(FrameConverter, JpegDecodesIntoBottomUpRowsAndShortFramesAreRefused) {
    // A gradient picture (top line first) encoded at high quality.
    constexpr int width = 64, height = 48;
    std::vector<uint8_t> picture(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &picture[static_cast<size_t>((y * width + x) * 3)];
            p[0] = static_cast<uint8_t>(x * 4);
            p[1] = static_cast<uint8_t>(y * 5);
            p[2] = static_cast<uint8_t>(255 - x * 2);
        }
    tjhandle encoder = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    ASSERT_EQ(tjCompress2(encoder, picture.data(), width, width * 3, height, TJPF_BGR, &jpeg, &jpegSize,
                          TJSAMP_444, 98, 0),
              0);
    tjDestroy(encoder);

    v4l2_pix_format format{};
    format.pixelformat = V4L2_PIX_FMT_MJPEG;
    format.width = width;
    format.height = height;
    std::unique_ptr<FrameConverter> converter;
    ASSERT_EQ(FrameConverter::create(format, -1, &converter), S_OK);
    const std::ptrdiff_t stride = 192;
    std::vector<uint8_t> out(static_cast<size_t>(stride) * height);
    ASSERT_TRUE(converter->convert(jpeg, jpegSize, {out.data(), stride, width, height, true}));
    int worst = 0;
    for (int y = 0; y < height; ++y)
        for (int i = 0; i < width * 3; ++i)
            worst = std::max(worst, std::abs(out[static_cast<size_t>((height - 1 - y) * stride + i)] -
                                             picture[static_cast<size_t>(y * width * 3 + i)]));
    EXPECT_LE(worst, 6);
    EXPECT_FALSE(converter->convert(jpeg, jpegSize / 2, {out.data(), stride, width, height, true}));
    EXPECT_FALSE(converter->convert(jpeg, jpegSize, {out.data(), stride, width / 2, height, true}));
    tjFree(jpeg);

    // Packed and semi-planar frames shorter than the format are refused.
    for (uint32_t pixelFormat : {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_NV12}) {
        format.pixelformat = pixelFormat;
        format.bytesperline = 0;
        ASSERT_EQ(FrameConverter::create(format, -1, &converter), S_OK);
        const size_t full = pixelFormat == V4L2_PIX_FMT_YUYV ? width * height * 2 : width * height * 3 / 2;
        std::vector<uint8_t> frame(full, 128);
        EXPECT_TRUE(converter->convert(frame.data(), full, {out.data(), stride, width, height, true}));
        EXPECT_FALSE(converter->convert(frame.data(), full - 1, {out.data(), stride, width, height, true}));
    }
    format.pixelformat = V4L2_PIX_FMT_H264;
    EXPECT_EQ(FrameConverter::create(format, -1, &converter), VFW_E_INVALIDMEDIATYPE);
}

}  // namespace
