// The pairing step with fake cameras and a fake downstream pin: pairing order,
// media times, the frame callback, failure paths and release rules.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "compositor/image_mode.h"
#include "filter_fakes.h"
#include "framework/runtime_settings.h"

namespace {

class PairingTest : public ::testing::Test {
protected:
    void SetUp() override {
        liveAtStart = liveObjectCount();
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\VANTO Automation");
    }
    void TearDown() override {
        runtimeSettings.imageMode = defaultImageMode;
        runtimeSettings.swapCameras = 0;
        EXPECT_EQ(liveObjectCount(), liveAtStart);
    }
    LONG liveAtStart = 0;
};

// What the frame callback saw, for one pair: the headers as declared, and
// their bytes as a host compiled against the classic header layout reads them.
struct CallbackRecord {
    StereoImageHeader left;
    StereoImageHeader right;
    BYTE leftFirst;
    BYTE rightFirst;
    std::vector<BYTE> leftRaw;
    std::vector<BYTE> rightRaw;
};
std::vector<CallbackRecord> callbackRecords;

// The classic header's size: 144 bytes with 8-byte pointers, 112 with 4-byte ones.
constexpr size_t classicHeaderSize = sizeof(void*) == 8 ? 144 : 112;

int STDMETHODCALLTYPE recordPair(StereoImageHeader* left, StereoImageHeader* right) {
    const auto* leftBytes = reinterpret_cast<const BYTE*>(left);
    const auto* rightBytes = reinterpret_cast<const BYTE*>(right);
    callbackRecords.push_back({*left, *right, static_cast<BYTE>(left->imageData[0]),
                               static_cast<BYTE>(right->imageData[0]),
                               std::vector<BYTE>(leftBytes, leftBytes + classicHeaderSize),
                               std::vector<BYTE>(rightBytes, rightBytes + classicHeaderSize)});
    return 0;
}

// A field of the classic header at its offset for this target's pointer size.
template <class T>
T classicField(const std::vector<BYTE>& raw, size_t offset64, size_t offset32) {
    const size_t offset = sizeof(void*) == 8 ? offset64 : offset32;
    T value{};
    if (offset + sizeof value <= raw.size()) std::memcpy(&value, raw.data() + offset, sizeof value);
    return value;
}

TEST_F(PairingTest, NothingIsSentUntilBothCamerasDelivered) {
    StereoRig rig;
    runtimeSettings.imageMode = LeftImage;
    ASSERT_EQ(rig.start(), S_OK);
    for (BYTE fill = 1; fill <= 3; ++fill)
        EXPECT_EQ(rig.leftCamera->deliver(fill), S_OK);
    EXPECT_TRUE(rig.sink->pin->deliveries.empty());
    // The right camera's first frame pairs with the first kept left frame.
    EXPECT_EQ(rig.rightCamera->deliver(0x80), S_OK);
    ASSERT_EQ(rig.sink->pin->deliveries.size(), 1u);
    EXPECT_EQ(rig.sink->pin->deliveries[0].firstByte, 1);
    EXPECT_EQ(rig.filter->leftInput()->heldSample(), nullptr);
    EXPECT_EQ(rig.filter->rightInput()->heldSample(), nullptr);
}

TEST_F(PairingTest, FasterCameraSurplusFramesAreNotKept) {
    StereoRig rig;
    runtimeSettings.imageMode = LeftImage;
    ASSERT_EQ(rig.start(), S_OK);
    const SampleMediaTimes first = currentSampleMediaTimes();
    // Left at 30 frames per second, right at 15: L R? pattern L1 L2 R1 L3 L4 R2 ...
    BYTE left = 0;
    for (int pair = 0; pair < 10; ++pair) {
        EXPECT_EQ(rig.leftCamera->deliver(++left), S_OK);
        EXPECT_EQ(rig.leftCamera->deliver(++left), S_OK);
        EXPECT_EQ(rig.rightCamera->deliver(200), S_OK);
    }
    const auto& got = rig.sink->pin->deliveries;
    ASSERT_EQ(got.size(), 10u);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].firstByte, static_cast<BYTE>(2 * i + 1))
            << i;  // the first left frame after the last pair
        EXPECT_EQ(got[i].mediaStart, first.start + static_cast<LONGLONG>(i));
        EXPECT_EQ(got[i].mediaEnd, first.end + static_cast<LONGLONG>(i));
    }
    EXPECT_EQ(currentSampleMediaTimes().start, first.start + 10);
}

TEST_F(PairingTest, DeliveredSampleIsTheLeftCamerasComposedBuffer) {
    StereoRig rig;
    runtimeSettings.imageMode = RightImage;  // the right picture is copied into the left buffer
    ASSERT_EQ(rig.start(), S_OK);
    EXPECT_EQ(rig.leftCamera->deliver(0x10), S_OK);
    IMediaSample* leftSample = rig.filter->leftInput()->heldSample();
    EXPECT_EQ(rig.rightCamera->deliver(0x20), S_OK);
    ASSERT_EQ(rig.sink->pin->deliveries.size(), 1u);
    EXPECT_EQ(rig.sink->pin->deliveries[0].sample, leftSample);
    EXPECT_EQ(rig.sink->pin->deliveries[0].firstByte, 0x20);
}

TEST_F(PairingTest, CallbackSeesThePicturesBeforeCompositionFirstCameraAsLeft) {
    StereoRig rig(640, 480);
    ComPtr<IStereoFrameCallback> callbacks;
    ASSERT_HRESULT_SUCCEEDED(rig.filterRef.As(&callbacks));
    ASSERT_EQ(callbacks->SetFrameCallback(&recordPair), S_OK);
    callbackRecords.clear();
    runtimeSettings.imageMode = RightImage;
    runtimeSettings.swapCameras = 1;
    ASSERT_EQ(rig.start(), S_OK);

    EXPECT_EQ(rig.leftCamera->deliver(0x31), S_OK);
    EXPECT_EQ(rig.rightCamera->deliver(0x32), S_OK);
    ASSERT_EQ(callbackRecords.size(), 1u);
    const CallbackRecord& r = callbackRecords[0];
    EXPECT_EQ(r.leftFirst, 0x31);
    EXPECT_EQ(r.rightFirst, 0x32);
    EXPECT_EQ(r.left.width, 640);
    EXPECT_EQ(r.left.height, 480);
    EXPECT_EQ(r.left.widthStep, 1920);
    EXPECT_EQ(r.left.imageSize, 1920 * 480);
    EXPECT_EQ(r.right.width, 640);
    EXPECT_EQ(r.right.height, 480);
    // The delivered picture is composed (swapped "right image" = first camera).
    ASSERT_EQ(rig.sink->pin->deliveries.size(), 1u);
    EXPECT_EQ(rig.sink->pin->deliveries[0].firstByte, 0x31);

    // Cleared: pairs go on without it.
    ASSERT_EQ(callbacks->SetFrameCallback(nullptr), S_OK);
    EXPECT_EQ(rig.leftCamera->deliver(1), S_OK);
    EXPECT_EQ(rig.rightCamera->deliver(2), S_OK);
    EXPECT_EQ(callbackRecords.size(), 1u);
    EXPECT_EQ(rig.sink->pin->deliveries.size(), 2u);
}

TEST_F(PairingTest, FailedDeliveryDropsThePairAndStillAdvancesTheCounters) {
    StereoRig rig;
    ASSERT_EQ(rig.start(), S_OK);
    rig.sink->pin->receiveResult = E_FAIL;
    const SampleMediaTimes before = currentSampleMediaTimes();
    EXPECT_EQ(rig.leftCamera->deliver(1), S_OK);
    EXPECT_EQ(rig.rightCamera->deliver(2), S_OK);
    EXPECT_EQ(rig.sink->pin->deliveries.size(), 1u);
    EXPECT_EQ(currentSampleMediaTimes().start, before.start + 1);
    EXPECT_EQ(rig.filter->leftInput()->heldSample(), nullptr);
    EXPECT_EQ(rig.filter->rightInput()->heldSample(), nullptr);
}

// The failure paths with hand-made samples: Receive on the input pins directly.
class PairingSampleTest : public PairingTest {
protected:
    void SetUp() override {
        PairingTest::SetUp();
        rig.reset(new StereoRig);
        ASSERT_EQ(rig->start(), S_OK);
        callbackRecords.clear();
    }
    void TearDown() override {
        rig.reset();
        PairingTest::TearDown();
    }
    std::unique_ptr<StereoRig> rig;
};

TEST_F(PairingSampleTest, LeftMediaTimeFailureDropsTheLeftFrameOnly) {
    ComPtr<FakeSample> left(new FakeSample(230400, 1));
    ComPtr<FakeSample> right(new FakeSample(230400, 2));
    left->setMediaTimeResult = E_UNEXPECTED;
    const SampleMediaTimes before = currentSampleMediaTimes();
    EXPECT_EQ(rig->filter->rightInput()->Receive(right.Get()), S_OK);
    EXPECT_EQ(rig->filter->leftInput()->Receive(left.Get()), S_OK);  // the pairing result is not passed on
    EXPECT_EQ(rig->filter->leftInput()->heldSample(), nullptr);
    EXPECT_EQ(rig->filter->rightInput()->heldSample(), right.Get());
    EXPECT_EQ(right->setMediaTimeCalls, 0);
    EXPECT_TRUE(rig->sink->pin->deliveries.empty());
    EXPECT_EQ(currentSampleMediaTimes().start, before.start);
    EXPECT_EQ(refsOf(left.Get()), 1u);
}

TEST_F(PairingSampleTest, RightMediaTimeFailureDropsBothFrames) {
    ComPtr<FakeSample> left(new FakeSample(230400, 1));
    ComPtr<FakeSample> right(new FakeSample(230400, 2));
    right->setMediaTimeResult = E_UNEXPECTED;
    EXPECT_EQ(rig->filter->leftInput()->Receive(left.Get()), S_OK);
    EXPECT_EQ(rig->filter->rightInput()->Receive(right.Get()), S_OK);
    EXPECT_EQ(rig->filter->leftInput()->heldSample(), nullptr);
    EXPECT_EQ(rig->filter->rightInput()->heldSample(), nullptr);  // it would block its slot for good
    EXPECT_TRUE(rig->sink->pin->deliveries.empty());
    EXPECT_EQ(refsOf(left.Get()), 1u);
    EXPECT_EQ(refsOf(right.Get()), 1u);

    // The next pair goes through.
    ComPtr<FakeSample> nextRight(new FakeSample(230400, 3));
    ComPtr<FakeSample> nextLeft(new FakeSample(230400, 4));
    EXPECT_EQ(rig->filter->rightInput()->Receive(nextRight.Get()), S_OK);
    EXPECT_EQ(rig->filter->leftInput()->Receive(nextLeft.Get()), S_OK);
    EXPECT_EQ(rig->sink->pin->deliveries.size(), 1u);
}

TEST_F(PairingSampleTest, SamplesSmallerThanTheirFormatAreNotShownToTheCallback) {
    ComPtr<IStereoFrameCallback> callbacks;
    ASSERT_HRESULT_SUCCEEDED(rig->filterRef.As(&callbacks));
    callbacks->SetFrameCallback(&recordPair);
    // 320 x 240 x 3 = 230400 bytes claimed, 1000 present.
    ComPtr<FakeSample> left(new FakeSample(1000, 5));
    ComPtr<FakeSample> right(new FakeSample(230400, 6));
    EXPECT_EQ(rig->filter->leftInput()->Receive(left.Get()), S_OK);
    EXPECT_EQ(rig->filter->rightInput()->Receive(right.Get()), S_OK);
    EXPECT_TRUE(callbackRecords.empty());
    // Composition left the short buffer alone; the pair is still delivered.
    ASSERT_EQ(rig->sink->pin->deliveries.size(), 1u);
    EXPECT_EQ(left->buffer[999], 5);
    EXPECT_TRUE(left->mediaTimeSet);
    EXPECT_EQ(refsOf(left.Get()), 1u);
    EXPECT_EQ(refsOf(right.Get()), 1u);
}

// Every field of both headers, read at the classic layout's offsets (as a
// host built against the image library's header reads them), on both
// targets: the filter fills them as the library fills a header over a
// buffer it does not own.
TEST_F(PairingSampleTest, CallbackHeadersHaveTheClassicLayoutAndFilling) {
    ComPtr<IStereoFrameCallback> callbacks;
    ASSERT_HRESULT_SUCCEEDED(rig->filterRef.As(&callbacks));
    ASSERT_EQ(callbacks->SetFrameCallback(&recordPair), S_OK);
    ComPtr<FakeSample> left(new FakeSample(230400, 7));
    ComPtr<FakeSample> right(new FakeSample(230400, 8));
    EXPECT_EQ(rig->filter->leftInput()->Receive(left.Get()), S_OK);
    EXPECT_EQ(rig->filter->rightInput()->Receive(right.Get()), S_OK);
    ASSERT_EQ(callbackRecords.size(), 1u);
    EXPECT_EQ(sizeof(StereoImageHeader), classicHeaderSize);

    struct IntField {
        const char* name;
        size_t offset64, offset32;
        int expected;
    };
    const IntField intFields[] = {
        {"nSize", 0, 0, static_cast<int>(classicHeaderSize)},
        {"ID", 4, 4, 0},
        {"nChannels", 8, 8, 3},
        {"alphaChannel", 12, 12, 0},
        {"depth", 16, 16, 8},
        {"dataOrder", 28, 28, 0},
        {"origin", 32, 32, 1},
        {"align", 36, 36, 4},
        {"width", 40, 40, 320},
        {"height", 44, 44, 240},
        {"imageSize", 80, 64, 230400},
        {"widthStep", 96, 72, 960},
    };
    struct PointerField {
        const char* name;
        size_t offset64, offset32;
    };
    const PointerField nullFields[] = {
        {"roi", 48, 48}, {"maskROI", 56, 52}, {"imageId", 64, 56}, {"tileInfo", 72, 60}};
    const std::pair<const std::vector<BYTE>*, FakeSample*> sides[] = {
        {&callbackRecords[0].leftRaw, left.Get()}, {&callbackRecords[0].rightRaw, right.Get()}};
    for (const auto& [raw, sample] : sides) {
        for (const IntField& f : intFields)
            EXPECT_EQ(classicField<int>(*raw, f.offset64, f.offset32), f.expected) << f.name;
        for (const PointerField& f : nullFields)
            EXPECT_EQ(classicField<void*>(*raw, f.offset64, f.offset32), nullptr) << f.name;
        EXPECT_EQ(std::string(classicField<std::array<char, 4>>(*raw, 20, 20).data()), "RGB");
        EXPECT_EQ(std::string(classicField<std::array<char, 4>>(*raw, 24, 24).data()), "BGR");
        EXPECT_EQ(classicField<void*>(*raw, 88, 68), sample->buffer.data()) << "imageData";
        EXPECT_EQ(classicField<void*>(*raw, 136, 108), sample->buffer.data()) << "imageDataOrigin";
        EXPECT_EQ((classicField<std::array<int, 8>>(*raw, 100, 76)), (std::array<int, 8>{}))
            << "BorderMode, BorderConst";
    }
}

TEST_F(PairingSampleTest, EveryReferenceIsReleasedAfterAPair) {
    ComPtr<FakeSample> left(new FakeSample(230400, 1));
    ComPtr<FakeSample> right(new FakeSample(230400, 2));
    EXPECT_EQ(rig->filter->leftInput()->Receive(left.Get()), S_OK);
    EXPECT_EQ(refsOf(left.Get()), 2u);  // held by Input1
    EXPECT_EQ(rig->filter->rightInput()->Receive(right.Get()), S_OK);
    EXPECT_EQ(refsOf(left.Get()), 1u);
    EXPECT_EQ(refsOf(right.Get()), 1u);
    ASSERT_EQ(rig->sink->pin->deliveries.size(), 1u);
    EXPECT_EQ(rig->sink->pin->deliveries[0].sample, static_cast<IMediaSample*>(left.Get()));
    EXPECT_EQ(left->mediaStart, right->mediaStart);
    EXPECT_EQ(left->mediaEnd, right->mediaEnd);
}

// Two cameras delivering from their own threads while the host pauses and
// runs the filter: no frame is lost track of, nothing deadlocks.
TEST_F(PairingTest, CamerasOnTheirOwnThreads) {
    StereoRig rig;
    ASSERT_EQ(rig.start(), S_OK);
    std::atomic<bool> stop{false};
    auto camera = [&stop](FakeCameraFilter* cam) {
        BYTE n = 0;
        while (!stop)
            cam->deliver(++n);
    };
    std::thread left(camera, rig.leftCamera.Get());
    std::thread right(camera, rig.rightCamera.Get());
    // Pairs flow before the cycles and again after them.
    EXPECT_TRUE(rig.sink->pin->waitForDeliveries(5, 10000)) << "no pair delivered";
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(rig.filter->Pause(), S_OK);
        EXPECT_EQ(rig.filter->Run(0), S_OK);
        std::this_thread::yield();
    }
    const size_t afterCycles = rig.sink->pin->deliveryCount();
    EXPECT_TRUE(rig.sink->pin->waitForDeliveries(afterCycles + 5, 10000)) << "no pair after pause and run";
    stop = true;
    left.join();
    right.join();
    rig.stop();
    EXPECT_EQ(rig.filter->leftInput()->heldSample(), nullptr);
    EXPECT_EQ(rig.filter->rightInput()->heldSample(), nullptr);
    // No frame is kept anywhere: every buffer of both cameras can be taken again.
    for (FakeCameraFilter* cam : {rig.leftCamera.Get(), rig.rightCamera.Get()}) {
        IMemAllocator* allocator = cam->pin->currentAllocator();
        ASSERT_NE(allocator, nullptr);
        ALLOCATOR_PROPERTIES props{};
        ASSERT_EQ(allocator->GetProperties(&props), S_OK);
        ASSERT_GT(props.cBuffers, 0);
        ASSERT_EQ(allocator->Commit(), S_OK);
        std::vector<ComPtr<IMediaSample>> taken(static_cast<size_t>(props.cBuffers));
        for (auto& sample : taken)
            EXPECT_EQ(allocator->GetBuffer(sample.GetAddressOf(), nullptr, nullptr, AM_GBF_NOWAIT), S_OK);
        taken.clear();
        EXPECT_EQ(allocator->Decommit(), S_OK);
    }
}

}  // namespace
