// CameraFramePin: format checks, proposed formats, connection from a camera,
// allocator notification, held-frame rules of Receive and the forwarding of
// stream control to the linked output pin.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#ifndef _WIN32
#include <dlfcn.h>
#endif

#include "capture/camera_frame_pin.h"
#include "capture_fakes.h"
#include "compositor/frame_store.h"
#include "framework/runtime_settings.h"

using namespace capture_test;

#ifndef _WIN32
// Task-memory blocks of exactly this many bytes are refused while it is not
// 0, as an exhausted allocator would; every other request goes to the
// platform's allocator. Interposed for the code linked into this program.
static std::atomic<SIZE_T> refuseTaskAllocationsOf{0};

extern "C" void* CoTaskMemAlloc(SIZE_T size) {
    using Allocate = void* (*)(SIZE_T);
    static const auto platformAllocate = reinterpret_cast<Allocate>(dlsym(RTLD_NEXT, "CoTaskMemAlloc"));
    if (size != 0 && size == refuseTaskAllocationsOf.load()) return nullptr;
    return platformAllocate(size);
}
#endif

namespace {

void setSizeIndex(int index) {
    runtimeSettings.sizeIndex = index;
    applySizeIndex(runtimeSettings.sizeIndex);
}

class CameraFramePinTest : public ::testing::Test {
protected:
    void SetUp() override {
        setSizeIndex(0);
        liveBefore = liveObjectCount();
        filter = makeStereoFilter();
    }
    void TearDown() override {
        filter.Reset();
        setSizeIndex(0);
        EXPECT_EQ(liveObjectCount(), liveBefore);
    }

    CameraFramePin& input1() { return *filter->input1; }
    CameraFramePin& input2() { return *filter->input2; }

    LONG liveBefore = 0;
    ComPtr<StereoTestFilter> filter;
};

TEST_F(CameraFramePinTest, AcceptsOnly24BitVideoInfoOfTheCaptureSize) {
    EXPECT_EQ(input1().acceptFormat(videoType(320, 240).get()), S_OK);
    // Major type and subtype are not examined.
    EXPECT_EQ(input1().acceptFormat(videoType(320, 240, 24, MEDIASUBTYPE_RGB32).get()), S_OK);
    MediaFormat audio = videoType(320, 240);
    audio.setMajorType(MEDIATYPE_Audio);
    EXPECT_EQ(input1().acceptFormat(audio.get()), S_OK);

    EXPECT_EQ(input1().acceptFormat(videoType(320, 240, 32).get()), E_INVALIDARG);
    EXPECT_EQ(input1().acceptFormat(videoType(320, 240, 16).get()), E_INVALIDARG);
    MediaFormat info2 = videoType(320, 240);
    info2.setFormatType(FORMAT_VideoInfo2);
    EXPECT_EQ(input1().acceptFormat(info2.get()), E_INVALIDARG);
    MediaFormat shortBlock = videoType(320, 240);
    shortBlock.setFormatBlock(shortBlock.formatBlock(), sizeof(VIDEOINFOHEADER) - 1);
    EXPECT_EQ(input1().acceptFormat(shortBlock.get()), E_INVALIDARG);
    MediaFormat noBlock = videoType(320, 240);
    noBlock.raw()->cbFormat = 0;  // the block stays owned; only its length is hidden
    EXPECT_EQ(input1().acceptFormat(noBlock.get()), E_INVALIDARG);
    noBlock.raw()->cbFormat = sizeof(VIDEOINFOHEADER);

    EXPECT_EQ(input1().acceptFormat(videoType(640, 480).get()), E_FAIL);
    EXPECT_EQ(input1().acceptFormat(videoType(320, -240).get()), E_FAIL);
    EXPECT_EQ(input1().acceptFormat(videoType(321, 240).get()), E_FAIL);

    setSizeIndex(1);
    EXPECT_EQ(input1().acceptFormat(videoType(640, 480).get()), S_OK);
    EXPECT_EQ(input1().acceptFormat(videoType(320, 240).get()), E_FAIL);
}

TEST_F(CameraFramePinTest, AdoptFormatRefusesWhatAcceptFormatRefuses) {
    MessageCapture messages;
    EXPECT_EQ(input1().adoptFormat(videoType(640, 480).get()), E_FAIL);
    EXPECT_EQ(input1().connectionMediaFormat().majorType(), GUID_NULL);
    EXPECT_EQ(input1().adoptFormat(videoType(320, 240).get()), S_OK);
    EXPECT_TRUE(input1().connectionMediaFormat() == videoType(320, 240));
    EXPECT_TRUE(messages.take().empty());
}

#ifndef _WIN32
// A format the pin accepts but cannot record (its block cannot be copied):
// the user is told, and the failure goes back to the connecting pin.
TEST_F(CameraFramePinTest, FormatThatCannotBeRecordedShowsTheInputPinMediaMessage) {
    MessageCapture messages;
    const MediaFormat format = videoType(320, 240);
    ASSERT_EQ(input1().acceptFormat(format.get()), S_OK);
    refuseTaskAllocationsOf = format.formatLength();
    const HRESULT hr = input1().adoptFormat(format.get());
    refuseTaskAllocationsOf = 0;
    EXPECT_EQ(hr, E_OUTOFMEMORY);
    const std::vector<ShownMessage> shown = messages.take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "failed setting input pin media");
    EXPECT_EQ(shown[0].caption, "error");
    EXPECT_EQ(shown[0].type, static_cast<unsigned>(MB_ICONERROR));
}
#endif

TEST_F(CameraFramePinTest, ProposesTheConnectionFormatThenTenRgbSizes) {
    MediaFormat format;
    EXPECT_EQ(input1().proposeFormat(0, nullptr), E_POINTER);
    EXPECT_EQ(input1().proposeFormat(-1, &format), E_INVALIDARG);
    EXPECT_EQ(input1().proposeFormat(11, &format), VFW_S_NO_MORE_ITEMS);

    ASSERT_EQ(input1().proposeFormat(0, &format), S_OK);
    EXPECT_EQ(format.majorType(), GUID_NULL);  // nothing connected yet
    EXPECT_EQ(format.formatLength(), 0u);

    for (int position = 1; position <= 10; ++position) {
        SCOPED_TRACE(position);
        ASSERT_EQ(input1().proposeFormat(position, &format), S_OK);
        EXPECT_EQ(format.majorType(), MEDIATYPE_Video);
        EXPECT_EQ(format.subtype(), MEDIASUBTYPE_RGB24);
        EXPECT_EQ(format.formatType(), FORMAT_VideoInfo);
        EXPECT_FALSE(format.temporalCompression());
        EXPECT_TRUE(format.fixedSizeSamples());
        ASSERT_EQ(format.formatLength(), sizeof(VIDEOINFOHEADER));
        const VIDEOINFOHEADER* info = format.videoInfo();
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->AvgTimePerFrame, 333333);
        EXPECT_EQ(info->bmiHeader.biSize, 40u);
        EXPECT_EQ(info->bmiHeader.biWidth, 80 * position);
        EXPECT_EQ(info->bmiHeader.biHeight, 60 * position);
        EXPECT_EQ(info->bmiHeader.biPlanes, 1);
        EXPECT_EQ(info->bmiHeader.biBitCount, 24);
        EXPECT_EQ(info->bmiHeader.biCompression, static_cast<DWORD>(BI_RGB));
        EXPECT_EQ(info->bmiHeader.biSizeImage, static_cast<DWORD>(14400 * position * position));
        EXPECT_EQ(format.sampleSize(), info->bmiHeader.biSizeImage);
        EXPECT_EQ(info->rcSource.right, 0);
        EXPECT_EQ(info->rcTarget.bottom, 0);
    }
    ASSERT_EQ(input1().proposeFormat(4, &format), S_OK);
    EXPECT_EQ(format.videoInfo()->bmiHeader.biSizeImage, 230400u);
    ASSERT_EQ(input1().proposeFormat(8, &format), S_OK);
    EXPECT_EQ(format.videoInfo()->bmiHeader.biSizeImage, 921600u);
}

TEST_F(CameraFramePinTest, CameraConnectionRecordsFormatAllocatorAndFeedsTheLinkedOutput) {
    ComPtr<TestCameraFilter> camera = makeCamera();
    const MediaFormat rgb = videoType(320, 240);
    camera->pin->proposals = {rgb};

    ASSERT_EQ(camera->pin->Connect(&input1(), nullptr), S_OK);
    EXPECT_TRUE(input1().isConnected());
    EXPECT_TRUE(input1().connectionMediaFormat() == rgb);
    ASSERT_NE(input1().upstreamAllocatorPtr(), nullptr);
    // The unconnected output pin now proposes the camera's format at position 0.
    EXPECT_TRUE(filter->output1->connectionMediaFormat() == rgb);
    EXPECT_EQ(filter->output2->connectionMediaFormat().majorType(), GUID_NULL);

    MediaFormat proposed;
    ASSERT_EQ(input1().proposeFormat(0, &proposed), S_OK);
    EXPECT_TRUE(proposed == rgb);

    EXPECT_EQ(camera->pin->Disconnect(), S_OK);
    EXPECT_EQ(input1().Disconnect(), S_OK);
    EXPECT_EQ(input1().upstreamAllocatorPtr(), nullptr);
}

TEST_F(CameraFramePinTest, CameraOfferingOtherSizesOrTopDownIsRefused) {
    for (const MediaFormat& offered : {videoType(640, 480), videoType(320, -240), videoType(320, 240, 32)}) {
        ComPtr<TestCameraFilter> camera = makeCamera();
        camera->pin->proposals = {offered};
        EXPECT_TRUE(FAILED(camera->pin->Connect(&input1(), nullptr)));
        EXPECT_FALSE(input1().isConnected());
        EXPECT_FALSE(camera->pin->isConnected());
        EXPECT_EQ(filter->output1->connectionMediaFormat().majorType(), GUID_NULL);
    }
}

TEST_F(CameraFramePinTest, ConnectedOutputIsReconnectedOnlyWhenTheFormatDiffers) {
    ComPtr<TestGraph> graph = makeGraph();
    ASSERT_EQ(graph->AddFilter(filter.Get(), L"Stereo"), S_OK);
    ComPtr<TestSinkFilter> sink(new TestSinkFilter);
    const MediaFormat hostType = videoType(640, 480);
    ASSERT_EQ(filter->output1->Connect(sink->pin.get(), &hostType.get()), S_OK);

    ComPtr<TestCameraFilter> camera = makeCamera();
    const MediaFormat rgb = videoType(320, 240);
    camera->pin->proposals = {rgb};
    graph->calls.clear();
    graph->reconnectResult = E_FAIL;  // ignored by the pin
    ASSERT_EQ(camera->pin->Connect(&input1(), nullptr), S_OK);
    ASSERT_EQ(graph->calls, std::vector<std::string>{"ReconnectEx"});
    EXPECT_TRUE(graph->lastReconnectType == rgb);
    // A connected output keeps its own format.
    EXPECT_TRUE(filter->output1->connectionMediaFormat() == hostType);

    // Same format on both sides: no reconnection.
    ASSERT_EQ(camera->pin->Disconnect(), S_OK);
    ASSERT_EQ(input1().Disconnect(), S_OK);
    ASSERT_EQ(filter->output1->Disconnect(), S_OK);
    ASSERT_EQ(sink->pin->Disconnect(), S_OK);
    ASSERT_EQ(filter->output1->Connect(sink->pin.get(), &rgb.get()), S_OK);
    graph->calls.clear();
    ASSERT_EQ(camera->pin->Connect(&input1(), nullptr), S_OK);
    EXPECT_TRUE(graph->calls.empty());

    camera->pin->Disconnect();
    input1().Disconnect();
    filter->output1->Disconnect();
    sink->pin->Disconnect();
    graph->clear();
}

TEST_F(CameraFramePinTest, NotifyAllocatorKeepsTheLastAnnouncedAllocator) {
    EXPECT_EQ(input1().NotifyAllocator(nullptr, FALSE), E_FAIL);
    ComPtr<TestAllocator> first = makeAllocator();
    ComPtr<TestAllocator> second = makeAllocator();
    ASSERT_EQ(input1().NotifyAllocator(first.Get(), TRUE), S_OK);
    EXPECT_EQ(input1().upstreamAllocatorPtr(), static_cast<IMemAllocator*>(first.Get()));
    // The test, upstreamAllocator and the framework's allocator.
    first->AddRef();
    EXPECT_EQ(first->Release(), 3u);

    ASSERT_EQ(input1().NotifyAllocator(second.Get(), FALSE), S_OK);
    EXPECT_EQ(input1().upstreamAllocatorPtr(), static_cast<IMemAllocator*>(second.Get()));
    first->AddRef();
    EXPECT_EQ(first->Release(), 1u);
    ComPtr<IMemAllocator> offered;
    ASSERT_EQ(input1().GetAllocator(offered.GetAddressOf()), S_OK);
    EXPECT_EQ(offered.Get(), static_cast<IMemAllocator*>(second.Get()));
    offered.Reset();

    // Disconnection drops only upstreamAllocator.
    EXPECT_EQ(input1().onDisconnected(), S_OK);
    EXPECT_EQ(input1().upstreamAllocatorPtr(), nullptr);
    second->AddRef();
    EXPECT_EQ(second->Release(), 2u);
}

TEST_F(CameraFramePinTest, ReceiveWhileStoppedKeepsTheSampleAndRunsNoPairing) {
    ComPtr<TestSample> sample = makeSample();
    EXPECT_EQ(input1().Receive(nullptr), E_POINTER);
    EXPECT_EQ(input1().Receive(sample.Get()), VFW_E_WRONG_STATE);
    EXPECT_EQ(input1().heldSample(), static_cast<IMediaSample*>(sample.Get()));
    EXPECT_EQ(sample->references(), 2u);
    EXPECT_EQ(filter->pairCalls, 0);

    // Deactivation drops it (without an allocator the framework reports that).
    EXPECT_EQ(input1().onDeactivate(), VFW_E_NO_ALLOCATOR);
    EXPECT_EQ(input1().heldSample(), nullptr);
    EXPECT_EQ(sample->references(), 1u);
}

TEST_F(CameraFramePinTest, TheFirstSampleIsHeldUntilPairedAndPairingResultsAreIgnored) {
    ASSERT_EQ(filter->Pause(), S_OK);
    filter->pairResult = E_UNEXPECTED;
    ComPtr<TestSample> left1 = makeSample(), left2 = makeSample(), right1 = makeSample();

    EXPECT_EQ(input1().Receive(left1.Get()), S_OK);
    EXPECT_EQ(input1().Receive(left2.Get()), S_OK);
    EXPECT_EQ(filter->pairCalls, 2);
    EXPECT_EQ(input1().heldSample(), static_cast<IMediaSample*>(left1.Get()));
    EXPECT_EQ(left2->references(), 1u);  // not kept
    EXPECT_TRUE(filter->pairs.empty());

    EXPECT_EQ(input2().Receive(right1.Get()), S_OK);
    ASSERT_EQ(filter->pairs.size(), 1u);
    EXPECT_EQ(filter->pairs[0].first, static_cast<IMediaSample*>(left1.Get()));
    EXPECT_EQ(filter->pairs[0].second, static_cast<IMediaSample*>(right1.Get()));
    EXPECT_EQ(left1->references(), 1u);
    EXPECT_EQ(right1->references(), 1u);
    filter->Stop();
}

TEST_F(CameraFramePinTest, FastLeftCameraIsPairedWithItsFirstFrameAfterEachPair) {
    ASSERT_EQ(filter->Run(0), S_OK);
    std::vector<ComPtr<TestSample>> left, right;
    for (int i = 0; i < 6; ++i)
        left.push_back(makeSample());
    for (int i = 0; i < 3; ++i)
        right.push_back(makeSample());
    // Left at twice the right rate: L0 L1 R0 L2 L3 R1 L4 L5 R2.
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(input1().Receive(left[2 * i].Get()), S_OK);
        ASSERT_EQ(input1().Receive(left[2 * i + 1].Get()), S_OK);
        ASSERT_EQ(input2().Receive(right[i].Get()), S_OK);
    }
    ASSERT_EQ(filter->pairs.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(filter->pairs[i].first, static_cast<IMediaSample*>(left[2 * i].Get()));
        EXPECT_EQ(filter->pairs[i].second, static_cast<IMediaSample*>(right[i].Get()));
    }
    filter->Stop();
}

TEST_F(CameraFramePinTest, FlushingAndRefusedTypeChangesStopBeforePairing) {
    ASSERT_EQ(filter->Pause(), S_OK);
    ComPtr<TestSample> sample = makeSample();
    ASSERT_EQ(input1().BeginFlush(), S_OK);
    EXPECT_EQ(input1().Receive(sample.Get()), S_FALSE);
    EXPECT_EQ(filter->pairCalls, 0);
    EXPECT_EQ(input1().heldSample(), static_cast<IMediaSample*>(sample.Get()));
    ASSERT_EQ(input1().EndFlush(), S_OK);
    input1().dropHeldFrame();

    // An accepted type change (another subtype of the same size) passes.
    ComPtr<TestSample> changed = makeSample();
    changed->mediaType = std::make_unique<MediaFormat>(videoType(320, 240, 24, MEDIASUBTYPE_RGB32));
    EXPECT_EQ(input2().Receive(changed.Get()), S_OK);
    EXPECT_EQ(filter->pairCalls, 1);

    // A refused one ends the stream with a run-time error.
    ComPtr<TestSample> refused = makeSample();
    refused->mediaType = std::make_unique<MediaFormat>(videoType(640, 480));
    EXPECT_EQ(input1().Receive(refused.Get()), VFW_E_INVALIDMEDIATYPE);
    EXPECT_EQ(filter->output1->endOfStreams, 1);
    EXPECT_EQ(input1().Receive(makeSample().Get()), VFW_E_RUNTIME_ERROR);
    EXPECT_EQ(filter->pairCalls, 1);
    filter->Stop();
    input1().dropHeldFrame();
    input2().dropHeldFrame();
}

TEST_F(CameraFramePinTest, StreamControlIsForwardedToTheLinkedOutput) {
    TestLinkedOutput& out = *filter->output1;
    EXPECT_EQ(input1().EndOfStream(), S_OK);
    EXPECT_EQ(input1().NewSegment(1234, 5678, 1.0), S_OK);
    EXPECT_EQ(out.endOfStreams, 1);
    EXPECT_EQ(out.newSegments, 1);
    EXPECT_EQ(out.segmentStartSeen, 1234);
    EXPECT_EQ(filter->output2->endOfStreams, 0);

    // A success code other than S_OK from the output pin still gives S_OK.
    out.forwardResult = S_FALSE;
    EXPECT_EQ(input1().EndOfStream(), S_OK);

    // A failure is returned and the framework's step is skipped.
    out.forwardResult = E_UNEXPECTED;
    EXPECT_EQ(input1().EndOfStream(), E_UNEXPECTED);
    EXPECT_EQ(input1().NewSegment(0, 1, 1.0), E_UNEXPECTED);
    EXPECT_EQ(input1().BeginFlush(), E_UNEXPECTED);
    ASSERT_EQ(filter->Pause(), S_OK);
    ComPtr<TestSample> sample = makeSample();
    EXPECT_EQ(input1().Receive(sample.Get()), S_OK);  // not flushing
    EXPECT_EQ(input1().EndFlush(), E_UNEXPECTED);
    EXPECT_EQ(out.beginFlushes, 1);
    EXPECT_EQ(out.endFlushes, 1);

    out.forwardResult = S_OK;
    input1().dropHeldFrame();
    EXPECT_EQ(input1().BeginFlush(), S_OK);
    EXPECT_EQ(input1().Receive(sample.Get()), S_FALSE);
    EXPECT_EQ(input1().EndFlush(), S_OK);
    EXPECT_EQ(input1().Receive(sample.Get()), S_OK);
    filter->Stop();
    input1().dropHeldFrame();

    // Without a linked output nothing is forwarded.
    TestLinkedOutput& other = *filter->output2;
    input2().linkedOutput = nullptr;
    EXPECT_EQ(input2().EndOfStream(), S_OK);
    EXPECT_EQ(input2().BeginFlush(), S_OK);
    EXPECT_EQ(input2().EndFlush(), S_OK);
    EXPECT_EQ(input2().NewSegment(0, 1, 1.0), S_OK);
    EXPECT_EQ(other.endOfStreams + other.beginFlushes + other.endFlushes + other.newSegments, 0);
    EXPECT_EQ(out.endOfStreams, 3);  // only input1's three calls above
    EXPECT_EQ(out.newSegments, 2);
    EXPECT_EQ(input1().QueryInternalConnections(nullptr, nullptr), E_NOTIMPL);
}

TEST_F(CameraFramePinTest, DestroyingTheFilterReleasesTheHeldFrame) {
    ComPtr<TestSample> sample = makeSample();
    ASSERT_EQ(filter->Pause(), S_OK);
    ASSERT_EQ(input2().Receive(sample.Get()), S_OK);
    EXPECT_EQ(sample->references(), 2u);
    filter.Reset();
    EXPECT_EQ(sample->references(), 1u);
}

TEST_F(CameraFramePinTest, TwoCameraThreadsTakeTurnsUnderTheFilterLock) {
    ASSERT_EQ(filter->Run(0), S_OK);
    constexpr int frameTotal = 2000;
    std::vector<ComPtr<TestSample>> left, right;
    for (int i = 0; i < frameTotal; ++i) {
        left.push_back(makeSample());
        right.push_back(makeSample());
    }
    std::atomic<int> refused{0};
    auto feed = [&refused](CameraFramePin* pin, const std::vector<ComPtr<TestSample>>* samples) {
        for (const auto& sample : *samples)
            if (pin->Receive(sample.Get()) != S_OK) ++refused;
    };
    std::thread a(feed, &input1(), &left);
    std::thread b(feed, &input2(), &right);
    a.join();
    b.join();
    filter->Stop();

    EXPECT_EQ(refused.load(), 0);
    EXPECT_GT(filter->pairs.size(), 0u);
    EXPECT_EQ(filter->pairCalls, 2 * frameTotal);
    // Every pair is a left frame with a right frame, each camera's frames in
    // the order they were received, none used twice.
    std::map<IMediaSample*, int> leftIndex, rightIndex;
    for (int i = 0; i < frameTotal; ++i) {
        leftIndex[left[i].Get()] = i;
        rightIndex[right[i].Get()] = i;
    }
    int lastLeft = -1, lastRight = -1;
    for (const auto& pair : filter->pairs) {
        const auto l = leftIndex.find(pair.first);
        const auto r = rightIndex.find(pair.second);
        ASSERT_TRUE(l != leftIndex.end()) << "the first of a pair is not a left frame";
        ASSERT_TRUE(r != rightIndex.end()) << "the second of a pair is not a right frame";
        EXPECT_GT(l->second, lastLeft);
        EXPECT_GT(r->second, lastRight);
        lastLeft = l->second;
        lastRight = r->second;
    }
    input1().dropHeldFrame();
    input2().dropHeldFrame();
    for (int i = 0; i < frameTotal; ++i) {
        ASSERT_EQ(left[i]->references(), 1u);
        ASSERT_EQ(right[i]->references(), 1u);
    }
}

}  // namespace
