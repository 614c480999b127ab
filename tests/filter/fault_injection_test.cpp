// The virtual camera in an environment that fails: a downstream pin that
// refuses samples, a camera that stalls, a camera that changes its type in the
// middle of the stream, a settings store that cannot be written, and a process
// killed while it saves. Each case checks that the component stays correct
// and that it says what went wrong on the trace channel.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#endif

#include "../platform/trace_capture.h"
#include "compositor/image_mode.h"
#include "filter/settings_store.h"
#include "filter_fakes.h"
#include "framework/runtime_settings.h"

namespace {

bool anyLineHas(const std::vector<std::string>& lines, const std::string& a, const std::string& b = "") {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(a) != std::string::npos && line.find(b) != std::string::npos;
    });
}

std::string joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines)
        all += line;
    return all;
}

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        liveAtStart = liveObjectCount();
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\VANTO Automation");
    }
    void TearDown() override { EXPECT_EQ(liveObjectCount(), liveAtStart); }
    LONG liveAtStart = 0;
};

// One pair: both cameras deliver once.
void deliverPair(StereoRig& rig, BYTE fill) {
    EXPECT_HRESULT_SUCCEEDED(rig.leftCamera->deliver(fill));
    EXPECT_HRESULT_SUCCEEDED(rig.rightCamera->deliver(fill));
}

// A failed Receive downstream stops delivery (the queue keeps the failure)
// until a flush or a stop and run clears it; the failure is traced once.
TEST_F(FaultTest, RefusedDeliveryIsStickyTracedAndClearedByFlushOrRestart) {
    for (const bool byFlush : {true, false}) {
        SCOPED_TRACE(byFlush ? "cleared by a flush" : "cleared by stop and run");
        TraceCapture trace("1");
        StereoRig rig;
        ASSERT_HRESULT_SUCCEEDED(rig.start());
        deliverPair(rig, 1);
        ASSERT_EQ(rig.sink->pin->deliveryCount(), 1u);

        rig.sink->pin->receiveResult = E_FAIL;
        deliverPair(rig, 2);  // reaches the sink, which refuses it
        deliverPair(rig, 3);  // not sent: the failure is kept
        deliverPair(rig, 4);
        EXPECT_EQ(rig.sink->pin->deliveryCount(), 2u);
        const std::vector<std::string> lines = trace.take();
        EXPECT_TRUE(anyLineHas(lines, "0x80004005")) << joined(lines);
        EXPECT_LE(
            std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("0x80004005") != std::string::npos; }),
            1)
            << "a refused delivery is traced once, not per frame:\n"
            << joined(lines);

        rig.sink->pin->receiveResult = S_OK;
        if (byFlush) {
            // As a camera flushes: both inputs, begin then end.
            for (CameraFramePin* input : {rig.filter->leftInput(), rig.filter->rightInput()}) {
                EXPECT_HRESULT_SUCCEEDED(input->BeginFlush());
            }
            for (CameraFramePin* input : {rig.filter->leftInput(), rig.filter->rightInput()}) {
                EXPECT_HRESULT_SUCCEEDED(input->EndFlush());
            }
        } else {
            rig.stop();
            ASSERT_HRESULT_SUCCEEDED(rig.start());
        }
        deliverPair(rig, 5);
        const std::vector<FakeSinkPin::Delivery> seen = rig.sink->pin->deliveriesSoFar();
        ASSERT_EQ(seen.size(), 3u);
        EXPECT_GT(seen[2].mediaStart, seen[1].mediaStart);
    }
}

// One camera never delivers: the other camera's samples are not kept (its
// buffers stay free, so it never waits for one) and nothing is sent. The
// stalled left camera's end of stream reaches downstream once (the right
// input's stream control goes to the hidden second output, which nothing is
// connected to).
TEST_F(FaultTest, StalledCameraKeepsNothingOfTheOtherAndEndsTheStream) {
    StereoRig rig;
    ASSERT_HRESULT_SUCCEEDED(rig.start());
    const LONG buffers = rig.rightCamera->pin->bufferCount;
    for (LONG i = 0; i < 3 * buffers; ++i) {
        ComPtr<IMediaSample> sample;
        // Without waiting: a sample the filter kept beyond one would show as
        // an allocator with no free buffer.
        ASSERT_EQ(
            rig.rightCamera->pin->obtainOutputBuffer(sample.GetAddressOf(), nullptr, nullptr, AM_GBF_NOWAIT),
            S_OK)
            << "frame " << i << ": the filter keeps the right camera's buffers";
        sample->SetActualDataLength(sample->GetSize());
        EXPECT_EQ(rig.rightCamera->pin->sendSample(sample.Get()), S_OK);
    }
    EXPECT_EQ(rig.sink->pin->deliveryCount(), 0u);
    EXPECT_HRESULT_SUCCEEDED(rig.filter->leftInput()->EndOfStream());
    EXPECT_EQ(rig.sink->pin->endOfStreams, 1);
    rig.stop();
}

// A camera sample that announces a type the input pin does not take (another
// size) stops that camera's stream: refused, end of stream downstream, the
// refusal traced; nothing of it is composed over the other camera's frame. A
// stop and run starts cleanly again.
TEST_F(FaultTest, TypeChangedMidStreamIsRefusedTracedAndRecoveredByRestart) {
    TraceCapture trace("1");
    StereoRig rig;
    ASSERT_HRESULT_SUCCEEDED(rig.start());
    deliverPair(rig, 1);
    ASSERT_EQ(rig.sink->pin->deliveryCount(), 1u);

    ComPtr<IMediaSample> sample;
    ASSERT_EQ(rig.leftCamera->pin->obtainOutputBuffer(sample.GetAddressOf(), nullptr, nullptr, 0), S_OK);
    MediaFormat larger = rgb24Format(640, 480);
    ASSERT_HRESULT_SUCCEEDED(sample->SetMediaType(larger.raw()));
    EXPECT_EQ(rig.leftCamera->pin->sendSample(sample.Get()), VFW_E_INVALIDMEDIATYPE);
    sample.Reset();
    EXPECT_EQ(rig.sink->pin->endOfStreams, 1);
    const std::vector<std::string> lines = trace.take();
    EXPECT_TRUE(anyLineHas(lines, "Input1", "640x480")) << joined(lines);
    EXPECT_EQ(rig.leftCamera->deliver(2), VFW_E_RUNTIME_ERROR);  // the stream stays stopped

    rig.stop();
    ASSERT_HRESULT_SUCCEEDED(rig.start());
    deliverPair(rig, 3);
    const std::vector<FakeSinkPin::Delivery> seen = rig.sink->pin->deliveriesSoFar();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].length, 320 * 3 * 240);
}

#ifndef _WIN32

// Settings saved where nothing can be written (a store folder that cannot be
// created, or a file size limit as on a full disk) stay in effect in memory,
// the failure is traced, and what was stored before is kept whole.
TEST_F(FaultTest, UnwritableStoreKeepsSettingsInMemoryReportsAndCorruptsNothing) {
    const std::string folder = std::getenv("DV_REGISTRY_DIR");
    // Something stored first, to be kept.
    runtimeSettings.imageMode = 5;
    runtimeSettings.swapCameras = 1;
    saveImageSettings();

    struct Case {
        const char* name;
        bool sizeLimit;  // else: the store folder cannot be created
    };
    for (const Case& c : {Case{"store folder cannot be created", false}, Case{"file size limit", true}}) {
        SCOPED_TRACE(c.name);
        std::ifstream before(folder + "/HKCU.dvreg", std::ios::binary);
        std::stringstream stored;
        stored << before.rdbuf();
        ASSERT_FALSE(stored.str().empty());

        TraceCapture trace("1");
        rlimit oldLimit{};
        if (c.sizeLimit) {
            signal(SIGXFSZ, SIG_IGN);
            getrlimit(RLIMIT_FSIZE, &oldLimit);
            rlimit small = oldLimit;
            small.rlim_cur = 16;
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        } else {
            setenv("DV_REGISTRY_DIR", "/proc/self/duoview2-store", 1);
        }
        runtimeSettings.imageMode = 9;
        runtimeSettings.swapCameras = 0;
        saveImageSettings();
        if (c.sizeLimit) {
            setrlimit(RLIMIT_FSIZE, &oldLimit);
            signal(SIGXFSZ, SIG_DFL);
        } else {
            setenv("DV_REGISTRY_DIR", folder.c_str(), 1);
        }
        EXPECT_EQ(runtimeSettings.imageMode, 9);
        EXPECT_EQ(runtimeSettings.swapCameras, 0);
        const std::vector<std::string> lines = trace.take();
        EXPECT_TRUE(anyLineHas(lines, "settings")) << joined(lines);

        std::ifstream after(folder + "/HKCU.dvreg", std::ios::binary);
        std::stringstream kept;
        kept << after.rdbuf();
        EXPECT_EQ(kept.str(), stored.str());
        loadSettings();
        EXPECT_EQ(runtimeSettings.imageMode, 5);
        EXPECT_EQ(runtimeSettings.swapCameras, 1);
    }
}

// A process killed at any moment while it saves the settings leaves values
// that it wrote (this round's or an earlier one's), never damaged ones.
TEST_F(FaultTest, SettingsSavedByAKilledProcessLoadAsWrittenValues) {
    for (int round = 0; round < 6; ++round) {
        runtimeSettings.imageMode = 0;
        runtimeSettings.swapCameras = 0;
        runtimeSettings.sizeIndex = 0;
        saveImageSettings();
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 1;; ++i) {
                runtimeSettings.imageMode = i % imageModeCount;
                runtimeSettings.swapCameras = i % 2;
                runtimeSettings.sizeIndex = (i / 2) % 2;
                saveImageSettings();
                saveCameraSettings();
            }
        }
        usleep(static_cast<useconds_t>(20000 + 7000 * round));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);

        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, settingsKeyPath, 0, KEY_READ, &key), ERROR_SUCCESS)
            << "round " << round << ": the store does not read";
        for (const char* name : {"camMode", "camPosition"}) {
            DWORD value = 0xDEADBEEF, size = sizeof value, type = 0;
            ASSERT_EQ(RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
                      ERROR_SUCCESS)
                << name;
            EXPECT_EQ(type, DWORD(REG_DWORD));
            EXPECT_LT(value, std::string(name) == "camMode" ? DWORD(imageModeCount) : DWORD(2)) << name;
        }
        RegCloseKey(key);
    }
}

#endif  // !_WIN32

}  // namespace
