// The pairing step with fake cameras and a fake downstream pin: pairing order,
// media times, the frame callback, failure paths and release rules.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "compositor/runtime_settings.h"
#include "filter_fakes.h"

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

// What the frame callback saw, for one pair.
struct CallbackRecord {
    StereoImageHeader left;
    StereoImageHeader right;
    BYTE leftFirst;
    BYTE rightFirst;
};
std::vector<CallbackRecord> callbackRecords;

int recordPair(const StereoImageHeader* left, const StereoImageHeader* right) {
    callbackRecords.push_back({*left, *right, left->imageData[0], right->imageData[0]});
    return 0;
}

TEST_F(PairingTest, NothingIsSentUntilBothCamerasDelivered) {
    StereoRig rig;
    runtimeSettings.imageMode = LeftImage;
    ASSERT_EQ(rig.start(), S_OK);
    for (BYTE fill = 1; fill <= 3; ++fill) EXPECT_EQ(rig.leftCamera->deliver(fill), S_OK);
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
        EXPECT_EQ(got[i].firstByte, static_cast<BYTE>(2 * i + 1)) << i;  // the first left frame after the last pair
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
    EXPECT_EQ(r.left.nChannels, 3);
    EXPECT_EQ(r.left.depth, 8);
    EXPECT_EQ(r.left.origin, 1);
    EXPECT_EQ(r.right.width, 640);
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
        while (!stop) cam->deliver(++n);
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
