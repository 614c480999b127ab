// The process-wide media-time counters: they start at 1 in a fresh process,
// advance once per pair and carry over to the next filter instance. Its own
// program, so that no other test has moved them first.

#include <gtest/gtest.h>

#include "filter_fakes.h"

namespace {

TEST(SampleMediaTimes, HundredPairsThenASecondInstanceContinues) {
    const LONG liveAtStart = liveObjectCount();
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\VANTO Automation");
    EXPECT_EQ(currentSampleMediaTimes().start, 1);
    EXPECT_EQ(currentSampleMediaTimes().end, 1);
    {
        StereoRig rig;
        ASSERT_EQ(rig.start(), S_OK);
        // From pair 51 on the downstream pin fails (and the delivery queue
        // keeps that failure): the counters advance all the same.
        for (int i = 0; i < 100; ++i) {
            if (i == 50) rig.sink->pin->receiveResult = E_FAIL;
            ASSERT_EQ(rig.leftCamera->deliver(1), S_OK);
            ASSERT_EQ(rig.rightCamera->deliver(2), S_OK);
        }
        ASSERT_EQ(rig.sink->pin->deliveries.size(), 51u);
        EXPECT_EQ(rig.sink->pin->deliveries.front().mediaStart, 1);
        EXPECT_EQ(rig.sink->pin->deliveries.back().mediaEnd, 51);
        EXPECT_EQ(rig.filter->leftInput()->heldSample(), nullptr);
    }
    EXPECT_EQ(currentSampleMediaTimes().start, 101);
    EXPECT_EQ(currentSampleMediaTimes().end, 101);
    {
        StereoRig second;
        ASSERT_EQ(second.start(), S_OK);
        ASSERT_EQ(second.leftCamera->deliver(3), S_OK);
        ASSERT_EQ(second.rightCamera->deliver(4), S_OK);
        ASSERT_EQ(second.sink->pin->deliveries.size(), 1u);
        EXPECT_EQ(second.sink->pin->deliveries[0].mediaStart, 101);
        EXPECT_EQ(second.sink->pin->deliveries[0].mediaEnd, 101);
    }
    EXPECT_EQ(currentSampleMediaTimes().start, 102);
    EXPECT_EQ(liveObjectCount(), liveAtStart);
}

}  // namespace
