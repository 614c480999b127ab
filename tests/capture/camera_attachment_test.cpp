// Camera attachment: every outcome of attachCameras with its exact message,
// the capture format step, findFirstPin and detachCameras, against a graph
// that records its calls and cameras built from the framework.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/camera_attachment.h"
#include "capture/camera_list.h"
#include "capture_fakes.h"
#include "compositor/frame_store.h"
#include "framework/runtime_settings.h"

using namespace capture_test;

namespace {

using Calls = std::vector<std::string>;

const char* const leftNoRgb =
    "Left camera does not support RGB24 or video size is not 320x240 or 640x480, it may not work.";
const char* const rightNoRgb =
    "Right camera does not support RGB24 or video size is not 320x240 or 640x480, it may not work";

// A camera whose one capability (and current type) is RGB24 at 640 x 480, as
// many webcams start.
ComPtr<TestCameraFilter> webcam() {
    ComPtr<TestCameraFilter> camera = makeCamera();
    camera->pin->capabilities = {videoType(640, 480)};
    camera->pin->proposals = {videoType(640, 480)};
    return camera;
}

class CameraAttachmentTest : public ::testing::Test {
protected:
    void SetUp() override {
        releaseCameraList();
        runtimeSettings.sizeIndex = 0;
        applySizeIndex(runtimeSettings.sizeIndex);
        liveBefore = liveObjectCount();
        graph = makeGraph();
        stereo = makeStereoFilter();
        ASSERT_EQ(graph->AddFilter(stereo.Get(), L"Vanto 3D Virtual Camera2"), S_OK);
        devices = makeDeviceEnum();
    }

    void TearDown() override {
        detachCameras(stereo.Get(), stereo->input1.get(), stereo->input2.get());
        stereo->input1->Disconnect();
        stereo->input2->Disconnect();
        for (const auto& device : devices->devices)
            if (device->camera && device->camera->pin) device->camera->pin->Disconnect();
        graph->clear();
        graph.Reset();
        stereo.Reset();
        devices.Reset();
        releaseCameraList();
        EXPECT_FALSE(attachedCamera(true));
        EXPECT_FALSE(attachedCamera(false));
        EXPECT_EQ(liveObjectCount(), liveBefore);
        EXPECT_TRUE(messages.take().empty()) << "unchecked messages";
    }

    // Lists the virtual camera (its device names the stereo filter's class,
    // as the product's registration does) and `count - 1` webcams, left = 1,
    // right = 2.
    void listCameras(int count) {
        for (int i = 0; i < count; ++i) {
            ComPtr<TestMoniker> device = makeMoniker(i == 0 ? L"Vanto 3D Virtual Camera2" : L"Webcam");
            if (i > 0) device->camera = webcam();
            if (i == 0) device->classIdText = stereoClassText();
            devices->devices.push_back(device);
        }
        enumerateCamerasFrom(devices.Get());
        ASSERT_EQ(cameraList.size(), static_cast<size_t>(count));
        runtimeSettings.leftCameraIndex = 1;
        runtimeSettings.rightCameraIndex = 2;
    }

    TestCameraFilter* cameraAt(size_t i) { return devices->devices[i]->camera.Get(); }

    std::wstring stereoClassText() {
        CLSID id = GUID_NULL;
        EXPECT_EQ(stereo->GetClassID(&id), S_OK);
        WCHAR text[40] = {};
        StringFromGUID2(id, text, 40);
        return text;
    }

    HRESULT attach() {
        graph->calls.clear();
        return attachCameras(stereo.Get(), stereo->input1.get(), stereo->input2.get());
    }

    void expectOneMessage(const char* text) {
        const std::vector<ShownMessage> shown = messages.take();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].text, text);
        EXPECT_EQ(shown[0].caption, "Error");
        EXPECT_EQ(shown[0].type, static_cast<unsigned>(MB_ICONERROR));
    }

    LONG liveBefore = 0;
    MessageCapture messages;
    ComPtr<TestGraph> graph;
    ComPtr<StereoTestFilter> stereo;
    ComPtr<TestDeviceEnum> devices;
};

TEST_F(CameraAttachmentTest, AttachesBothCamerasWithTheCaptureFormatAndDetachesThem) {
    listCameras(3);
    ASSERT_EQ(attach(), S_OK);
    // Both sides are checked before either camera joins the graph.
    EXPECT_EQ(graph->calls, (Calls{"FindFilterByName Stereo Camera 1", "FindFilterByName Stereo Camera 2",
                                   "AddFilter Stereo Camera 1", "AddFilter Stereo Camera 2",
                                   "ConnectDirect Input1", "ConnectDirect Input2"}));
    EXPECT_TRUE(messages.take().empty());

    EXPECT_EQ(attachedCamera(true).Get(), static_cast<IBaseFilter*>(cameraAt(1)));
    EXPECT_EQ(attachedCamera(false).Get(), static_cast<IBaseFilter*>(cameraAt(2)));
    for (size_t i : {1, 2}) {
        TestCameraPin& pin = *cameraAt(i)->pin;
        ASSERT_EQ(pin.setFormats.size(), 1u);
        const VIDEOINFOHEADER* info = pin.setFormats[0].videoInfo();
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->bmiHeader.biWidth, 320);
        EXPECT_EQ(info->bmiHeader.biHeight, 240);
        EXPECT_EQ(info->AvgTimePerFrame, 333333);
        EXPECT_EQ(info->bmiHeader.biSizeImage, 230400u);
    }
    EXPECT_EQ(stereo->input1->connectedPeer().Get(), static_cast<IPin*>(cameraAt(1)->pin.get()));
    EXPECT_EQ(stereo->input2->connectedPeer().Get(), static_cast<IPin*>(cameraAt(2)->pin.get()));

    // A frame held while stopped is dropped by the detachment.
    ComPtr<TestSample> sample = makeSample();
    EXPECT_EQ(stereo->input1->Receive(sample.Get()), VFW_E_WRONG_STATE);

    graph->calls.clear();
    EXPECT_EQ(detachCameras(stereo.Get(), stereo->input1.get(), stereo->input2.get()), S_OK);
    EXPECT_EQ(graph->calls, (Calls{"Disconnect Input1", "Disconnect Capture", "Disconnect Input2",
                                   "Disconnect Capture", "RemoveFilter", "RemoveFilter"}));
    EXPECT_FALSE(attachedCamera(true));
    EXPECT_FALSE(attachedCamera(false));
    EXPECT_FALSE(graph->contains(cameraAt(1)));
    EXPECT_FALSE(stereo->input1->isConnected());
    EXPECT_FALSE(cameraAt(2)->pin->isConnected());
    EXPECT_EQ(stereo->input1->heldSample(), nullptr);
    EXPECT_EQ(sample->references(), 1u);

    // A second connection creates the camera filters again from the monikers.
    ASSERT_EQ(attach(), S_OK);
    EXPECT_EQ(devices->devices[1]->binds, 2);
    EXPECT_EQ(devices->devices[2]->binds, 2);
    EXPECT_TRUE(stereo->input2->isConnected());
}

TEST_F(CameraAttachmentTest, TwoIdenticalCamerasAreBothAttached) {
    listCameras(3);
    matchCameraNames("Webcam", "Webcam");
    ASSERT_EQ(runtimeSettings.leftCameraIndex.load(), 1);
    ASSERT_EQ(runtimeSettings.rightCameraIndex.load(), 2);
    ASSERT_EQ(attach(), S_OK);
    EXPECT_TRUE(stereo->input1->isConnected());
    EXPECT_TRUE(stereo->input2->isConnected());
}

TEST_F(CameraAttachmentTest, OutsideAGraphNothingIsAttached) {
    listCameras(3);
    graph->clear();
    EXPECT_EQ(attach(), S_OK);
    EXPECT_TRUE(graph->calls.empty());
    EXPECT_FALSE(attachedCamera(true));
    EXPECT_EQ(attachCameras(nullptr, stereo->input1.get(), stereo->input2.get()), E_POINTER);
}

TEST_F(CameraAttachmentTest, FewerThanThreeDevicesFailSilently) {
    listCameras(2);
    EXPECT_EQ(attach(), E_FAIL);
    EXPECT_TRUE(graph->calls.empty());
}

TEST_F(CameraAttachmentTest, EqualIndicesFailSilently) {
    listCameras(3);
    runtimeSettings.rightCameraIndex = 1;
    EXPECT_EQ(attach(), E_FAIL);
    EXPECT_EQ(graph->calls, Calls{"FindFilterByName Stereo Camera 1"});
    EXPECT_EQ(devices->devices[1]->binds, 0);

    // With the left camera already in the graph the test applies to the right.
    ComPtr<TestCameraFilter> present = webcam();
    ASSERT_EQ(graph->AddFilter(present.Get(), leftCameraName), S_OK);
    EXPECT_EQ(attach(), E_FAIL);
    EXPECT_EQ(graph->calls, (Calls{"FindFilterByName Stereo Camera 1", "FindFilterByName Stereo Camera 2"}));
    // The filter found stays in the graph, but a failed attachment holds no camera.
    EXPECT_TRUE(graph->contains(present.Get()));
    EXPECT_FALSE(attachedCamera(true));
}

TEST_F(CameraAttachmentTest, CameraThatCannotBeCreatedIsReported) {
    listCameras(3);
    devices->devices[1]->bindResult = E_ACCESSDENIED;
    EXPECT_EQ(attach(), E_ACCESSDENIED);
    expectOneMessage("Can't find left camera");
    EXPECT_FALSE(attachedCamera(true));

    devices->devices[1]->bindResult = S_OK;
    devices->devices[2]->bindResult = E_OUTOFMEMORY;
    EXPECT_EQ(attach(), E_OUTOFMEMORY);
    expectOneMessage("Can't find right camera");
    // The left camera was added before the right one failed; it is taken out again.
    EXPECT_FALSE(graph->contains(cameraAt(1)));
    EXPECT_FALSE(attachedCamera(true));
    EXPECT_FALSE(attachedCamera(false));
}

TEST_F(CameraAttachmentTest, IndexOutsideTheListIsACameraThatCannotBeFound) {
    listCameras(3);
    runtimeSettings.leftCameraIndex = 7;
    EXPECT_EQ(attach(), E_FAIL);
    expectOneMessage("Can't find left camera");

    runtimeSettings.leftCameraIndex = 1;
    runtimeSettings.rightCameraIndex = -1;
    EXPECT_EQ(attach(), E_FAIL);
    expectOneMessage("Can't find right camera");
    EXPECT_EQ(devices->devices[2]->binds, 0);
}

TEST_F(CameraAttachmentTest, CameraThatCannotBeAddedIsReportedAndTheLeftOneTakenOutAgain) {
    listCameras(3);
    graph->addFilterResult = E_OUTOFMEMORY;
    graph->failAddFilterName = leftCameraName;
    EXPECT_EQ(attach(), E_OUTOFMEMORY);
    expectOneMessage("failed add cam1");

    graph->failAddFilterName = rightCameraName;
    EXPECT_EQ(attach(), E_OUTOFMEMORY);
    expectOneMessage("failed add cam2");
    EXPECT_EQ(graph->calls,
              (Calls{"FindFilterByName Stereo Camera 1", "FindFilterByName Stereo Camera 2",
                     "AddFilter Stereo Camera 1", "AddFilter Stereo Camera 2", "RemoveFilter"}));
    EXPECT_FALSE(graph->contains(cameraAt(1)));

    graph->addFilterResult = S_OK;
    ASSERT_EQ(attach(), S_OK);
    EXPECT_EQ(devices->devices[1]->binds, 3);  // created again, not found by name
}

TEST_F(CameraAttachmentTest, MissingRgb24CapabilityIsReportedAndTheAttachmentGoesOn) {
    listCameras(3);
    cameraAt(1)->pin->capabilities = {videoType(320, 240, 16, MEDIASUBTYPE_YUY2)};
    // The left camera keeps proposing 640 x 480, which Input1 refuses; the
    // result is the right connection's.
    EXPECT_EQ(attach(), S_OK);
    expectOneMessage(leftNoRgb);
    EXPECT_FALSE(stereo->input1->isConnected());
    EXPECT_TRUE(stereo->input2->isConnected());
    EXPECT_TRUE(cameraAt(1)->pin->setFormats.empty());
    detachCameras(stereo.Get(), stereo->input1.get(), stereo->input2.get());

    cameraAt(1)->pin->capabilities = {videoType(640, 480)};
    cameraAt(2)->pin->capabilities.clear();
    cameraAt(2)->pin->proposals = {videoType(640, 480)};
    // The right connection fails: the left one is broken again.
    EXPECT_TRUE(FAILED(attach()));
    expectOneMessage(rightNoRgb);
    EXPECT_FALSE(stereo->input1->isConnected());
    EXPECT_FALSE(cameraAt(1)->pin->isConnected());
    EXPECT_FALSE(stereo->input2->isConnected());
    EXPECT_FALSE(graph->contains(cameraAt(1)));
}

TEST_F(CameraAttachmentTest, RefusedCaptureFormatIsReportedAndTheAttachmentGoesOn) {
    listCameras(3);
    cameraAt(1)->pin->setFormatResult = E_FAIL;
    EXPECT_EQ(attach(), S_OK);
    expectOneMessage("Set video format not successful");
    // The camera still proposes 640 x 480: Input1 stays unconnected.
    EXPECT_FALSE(stereo->input1->isConnected());
    EXPECT_TRUE(stereo->input2->isConnected());

    // A refusing camera that already proposes the capture size connects.
    detachCameras(stereo.Get(), stereo->input1.get(), stereo->input2.get());
    cameraAt(1)->pin->proposals = {videoType(320, 240)};
    EXPECT_EQ(attach(), S_OK);
    expectOneMessage("Set video format not successful");
    EXPECT_TRUE(stereo->input1->isConnected());
}

TEST_F(CameraAttachmentTest, FilterAlreadyNamedStereoCamera1IsReused) {
    listCameras(3);
    ComPtr<TestCameraFilter> present = webcam();
    ASSERT_EQ(graph->AddFilter(present.Get(), leftCameraName), S_OK);
    ASSERT_EQ(attach(), S_OK);
    EXPECT_EQ(devices->devices[1]->binds, 0);
    EXPECT_EQ(attachedCamera(true).Get(), static_cast<IBaseFilter*>(present.Get()));
    EXPECT_EQ(stereo->input1->connectedPeer().Get(), static_cast<IPin*>(present->pin.get()));
    EXPECT_EQ(graph->calls,
              (Calls{"FindFilterByName Stereo Camera 1", "FindFilterByName Stereo Camera 2",
                     "AddFilter Stereo Camera 2", "ConnectDirect Input1", "ConnectDirect Input2"}));
    detachCameras(stereo.Get(), stereo->input1.get(), stereo->input2.get());
    present->pin->Disconnect();
}

TEST_F(CameraAttachmentTest, CameraWithoutOutputPinStopsTheAttachment) {
    listCameras(3);
    devices->devices[1]->camera = makeCamera(false);
    EXPECT_EQ(attach(), VFW_E_NOT_FOUND);
    EXPECT_EQ(graph->calls, (Calls{"FindFilterByName Stereo Camera 1", "FindFilterByName Stereo Camera 2",
                                   "AddFilter Stereo Camera 1", "AddFilter Stereo Camera 2", "RemoveFilter",
                                   "RemoveFilter"}));
    EXPECT_TRUE(cameraAt(2)->pin->setFormats.empty());

    devices->devices[1]->camera = webcam();
    devices->devices[2]->camera = makeCamera(false);
    graph->clear();
    ASSERT_EQ(graph->AddFilter(stereo.Get(), L"Vanto 3D Virtual Camera2"), S_OK);
    EXPECT_EQ(attach(), VFW_E_NOT_FOUND);
    // The left camera was set up and connected; it is disconnected and taken out.
    EXPECT_EQ(graph->calls,
              (Calls{"FindFilterByName Stereo Camera 1", "FindFilterByName Stereo Camera 2",
                     "AddFilter Stereo Camera 1", "AddFilter Stereo Camera 2", "ConnectDirect Input1",
                     "RemoveFilter", "Disconnect Input1", "Disconnect Capture", "RemoveFilter"}));
    EXPECT_FALSE(stereo->input1->isConnected());
    EXPECT_FALSE(stereo->input2->isConnected());
    EXPECT_EQ(graph->filterCount(), 1u);
}

// The virtual camera chosen as one of its own cameras, however it shows up:
// refused with its message before anything joins the graph (or, found only
// by the created filter's class, taken out again), and the same filter then
// attaches real cameras.
TEST_F(CameraAttachmentTest, TheVirtualCameraIsNeverItsOwnCamera) {
    struct Case {
        const char* what;
        int left;
        int right;
        // Makes the virtual camera known only through the filter its moniker creates.
        bool bagWithoutClass;
        // Puts another instance of the stereo filter under "Stereo Camera 2".
        bool instanceInGraph;
        const char* message;
        Calls calls;
        int selfBinds;
    };
    const Case cases[] = {
        {"left entry", 0, 1, false, false, selfAsLeftCameraText, {"FindFilterByName Stereo Camera 1"}, 0},
        {"right entry",
         1,
         0,
         false,
         false,
         selfAsRightCameraText,
         {"FindFilterByName Stereo Camera 1", "FindFilterByName Stereo Camera 2"},
         0},
        {"right entry without its class in the bag",
         1,
         0,
         true,
         false,
         selfAsRightCameraText,
         {"FindFilterByName Stereo Camera 1", "FindFilterByName Stereo Camera 2", "AddFilter Stereo Camera 1",
          "RemoveFilter"},
         1},
        {"stereo filter found under the right name",
         1,
         2,
         false,
         true,
         selfAsRightCameraText,
         {"FindFilterByName Stereo Camera 1", "FindFilterByName Stereo Camera 2"},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        releaseCameraList();
        devices = makeDeviceEnum();
        listCameras(3);
        ComPtr<StereoTestFilter> other = makeStereoFilter();
        if (c.bagWithoutClass) {
            devices->devices[0]->classIdText.clear();
            devices->devices[0]->filter = static_cast<IBaseFilter*>(other.Get());
            releaseCameraList();
            enumerateCamerasFrom(devices.Get());
            ASSERT_EQ(cameraList[0].classId, GUID_NULL);
        }
        if (c.instanceInGraph) {
            ASSERT_EQ(graph->AddFilter(other.Get(), rightCameraName), S_OK);
        }
        const size_t filtersBefore = graph->filterCount();
        runtimeSettings.leftCameraIndex = c.left;
        runtimeSettings.rightCameraIndex = c.right;

        EXPECT_EQ(attach(), VFW_E_TYPE_NOT_ACCEPTED);
        expectOneMessage(c.message);
        EXPECT_EQ(graph->calls, c.calls);
        EXPECT_EQ(devices->devices[0]->binds, c.selfBinds);
        EXPECT_EQ(graph->filterCount(), filtersBefore);
        EXPECT_FALSE(stereo->input1->isConnected());
        EXPECT_FALSE(stereo->input2->isConnected());
        EXPECT_FALSE(attachedCamera(true));
        EXPECT_FALSE(attachedCamera(false));
        // The positions stay as they were stored.
        EXPECT_EQ(runtimeSettings.leftCameraIndex.load(), c.left);
        EXPECT_EQ(runtimeSettings.rightCameraIndex.load(), c.right);

        // The same filter, given two real cameras, attaches them.
        if (c.instanceInGraph) {
            ASSERT_EQ(graph->RemoveFilter(other.Get()), S_OK);
        }
        runtimeSettings.leftCameraIndex = 1;
        runtimeSettings.rightCameraIndex = 2;
        ASSERT_EQ(attach(), S_OK);
        EXPECT_TRUE(messages.take().empty());
        EXPECT_EQ(stereo->input1->connectedPeer().Get(), static_cast<IPin*>(cameraAt(1)->pin.get()));
        EXPECT_EQ(stereo->input2->connectedPeer().Get(), static_cast<IPin*>(cameraAt(2)->pin.get()));
        EXPECT_EQ(graph->filterCount(), filtersBefore + 2 - (c.instanceInGraph ? 1 : 0));
        detachCameras(stereo.Get(), stereo->input1.get(), stereo->input2.get());
        for (size_t i : {1, 2})
            cameraAt(i)->pin->Disconnect();
    }
}

TEST_F(CameraAttachmentTest, DetachingOutsideAGraphStillReleasesTheCameras) {
    listCameras(3);
    ASSERT_EQ(attach(), S_OK);
    stereo->input1->Disconnect();
    stereo->input2->Disconnect();
    cameraAt(1)->pin->Disconnect();
    cameraAt(2)->pin->Disconnect();
    graph->clear();
    graph->calls.clear();
    EXPECT_EQ(detachCameras(stereo.Get(), stereo->input1.get(), stereo->input2.get()), S_OK);
    EXPECT_TRUE(graph->calls.empty());
    EXPECT_FALSE(attachedCamera(true));
    EXPECT_FALSE(attachedCamera(false));
    EXPECT_EQ(detachCameras(nullptr, nullptr, nullptr), S_OK);
}

// ---- setCaptureFormat and findFirstPin ---------------------------------------------

class CaptureFormatTest : public ::testing::Test {
protected:
    void SetUp() override {
        liveBefore = liveObjectCount();
        camera = makeCamera();
    }
    void TearDown() override {
        camera.Reset();
        EXPECT_EQ(liveObjectCount(), liveBefore);
        EXPECT_TRUE(messages.take().empty());
    }
    int set(int width, int height, int fps = 30) {
        return setCaptureFormat(camera->pin.get(), MEDIASUBTYPE_RGB24, width, height, fps);
    }
    TestCameraPin& pin() { return *camera->pin; }

    LONG liveBefore = 0;
    MessageCapture messages;
    ComPtr<TestCameraFilter> camera;
};

TEST_F(CaptureFormatTest, TheFirstRgb24VideoInfoCapabilityIsRewrittenAndSet) {
    MediaFormat info2 = videoType(640, 480);
    info2.setFormatType(FORMAT_VideoInfo2);
    MediaFormat shortBlock = videoType(640, 480);
    shortBlock.setFormatBlock(shortBlock.formatBlock(), sizeof(VIDEOINFOHEADER) - 8);
    MediaFormat audio = videoType(640, 480);
    audio.setMajorType(MEDIATYPE_Audio);
    pin().capabilities = {videoType(640, 480, 16, MEDIASUBTYPE_YUY2),
                          info2,
                          shortBlock,
                          audio,
                          videoType(640, 480),      // fails to be read
                          videoType(640, 480, 32),  // RGB24 subtype carrying 32 bits
                          videoType(160, 120)};
    pin().failingCapability = 4;

    EXPECT_GT(set(320, 240), 0);
    ASSERT_EQ(pin().setFormats.size(), 1u);
    const MediaFormat& chosen = pin().setFormats[0];
    EXPECT_EQ(chosen.subtype(), MEDIASUBTYPE_RGB24);
    const VIDEOINFOHEADER* info = chosen.videoInfo();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->bmiHeader.biWidth, 320);
    EXPECT_EQ(info->bmiHeader.biHeight, 240);
    EXPECT_EQ(info->bmiHeader.biBitCount, 32);
    EXPECT_EQ(info->bmiHeader.biSizeImage, 320u * 4 * 240);
    EXPECT_EQ(info->AvgTimePerFrame, 333333);
}

TEST_F(CaptureFormatTest, SizeAndRateAreWrittenWhateverTheCameraLists) {
    pin().capabilities = {videoType(640, 480)};
    EXPECT_GT(set(640, 480, 15), 0);
    EXPECT_GT(set(322, -240, 7), 0);
    ASSERT_EQ(pin().setFormats.size(), 2u);
    EXPECT_EQ(pin().setFormats[0].videoInfo()->AvgTimePerFrame, 666666);
    EXPECT_EQ(pin().setFormats[0].videoInfo()->bmiHeader.biSizeImage, 921600u);
    const VIDEOINFOHEADER* odd = pin().setFormats[1].videoInfo();
    EXPECT_EQ(odd->AvgTimePerFrame, 1428571);
    EXPECT_EQ(odd->bmiHeader.biHeight, -240);
    EXPECT_EQ(odd->bmiHeader.biSizeImage, 968u * 240);  // 322 x 3 = 966, padded to 968
}

TEST_F(CaptureFormatTest, NoSuitableCapabilityIsNegative) {
    EXPECT_LT(setCaptureFormat(nullptr, MEDIASUBTYPE_RGB24, 320, 240, 30), 0);
    EXPECT_LT(set(320, 240), 0);  // no capabilities at all
    pin().capabilities = {videoType(320, 240, 16, MEDIASUBTYPE_YUY2)};
    EXPECT_LT(set(320, 240), 0);
    pin().offersStreamConfig = false;
    pin().capabilities = {videoType(320, 240)};
    EXPECT_LT(set(320, 240), 0);
    EXPECT_TRUE(pin().setFormats.empty());
}

TEST_F(CaptureFormatTest, UnknownCapabilityRecordSizeSetsNothing) {
    pin().capabilities = {videoType(640, 480)};
    pin().capabilitySize = 64;
    EXPECT_GT(set(320, 240), 0);
    pin().capabilities.clear();
    EXPECT_LT(set(320, 240), 0);
    EXPECT_TRUE(pin().setFormats.empty());
}

TEST_F(CaptureFormatTest, RefusedFormatIsReportedButPositive) {
    pin().capabilities = {videoType(640, 480)};
    pin().setFormatResult = E_FAIL;
    EXPECT_GT(set(320, 240), 0);
    const std::vector<ShownMessage> shown = messages.take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "Set video format not successful");
    EXPECT_EQ(shown[0].caption, "Error");
}

TEST_F(CaptureFormatTest, FindFirstPinByDirection) {
    EXPECT_FALSE(findFirstPin(nullptr, PINDIR_OUTPUT));
    EXPECT_EQ(findFirstPin(camera.Get(), PINDIR_OUTPUT).Get(), static_cast<IPin*>(camera->pin.get()));
    EXPECT_FALSE(findFirstPin(camera.Get(), PINDIR_INPUT));
    ComPtr<TestCameraFilter> pinless = makeCamera(false);
    EXPECT_FALSE(findFirstPin(pinless.Get(), PINDIR_OUTPUT));

    ComPtr<StereoTestFilter> stereo = makeStereoFilter();
    EXPECT_EQ(findFirstPin(stereo.Get(), PINDIR_INPUT).Get(), static_cast<IPin*>(stereo->input1.get()));
    EXPECT_EQ(findFirstPin(stereo.Get(), PINDIR_OUTPUT).Get(), static_cast<IPin*>(stereo->output1.get()));
}

}  // namespace

// ---- with the platform's graph manager -------------------------------------------

TEST(CameraAttachmentPlatformGraph, AttachAndDetachInThePlatformGraph) {
    releaseCameraList();
    runtimeSettings.sizeIndex = 0;
    applySizeIndex(runtimeSettings.sizeIndex);
    const LONG liveBefore = liveObjectCount();
    MessageCapture messages;
    {
        ComPtr<IFilterGraph> graph;
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, iidOf<IFilterGraph>(),
                                   reinterpret_cast<void**>(graph.GetAddressOf())),
                  S_OK);
        ComPtr<StereoTestFilter> stereo = makeStereoFilter();
        ASSERT_EQ(graph->AddFilter(stereo.Get(), L"Vanto 3D Virtual Camera2"), S_OK);

        ComPtr<TestDeviceEnum> devices = makeDeviceEnum();
        for (int i = 0; i < 3; ++i) {
            ComPtr<TestMoniker> device = makeMoniker(L"Webcam");
            device->camera = webcam();
            devices->devices.push_back(device);
        }
        enumerateCamerasFrom(devices.Get());
        matchCameraNames("NONE", "Webcam");
        ASSERT_EQ(runtimeSettings.leftCameraIndex.load(), 1);
        ASSERT_EQ(runtimeSettings.rightCameraIndex.load(), 0);

        ASSERT_EQ(attachCameras(stereo.Get(), stereo->input1.get(), stereo->input2.get()), S_OK);
        ComPtr<IBaseFilter> found;
        ASSERT_EQ(graph->FindFilterByName(leftCameraName, found.GetAddressOf()), S_OK);
        EXPECT_EQ(found.Get(), static_cast<IBaseFilter*>(devices->devices[1]->camera.Get()));
        found.Reset();
        EXPECT_EQ(stereo->input1->connectedPeer().Get(),
                  static_cast<IPin*>(devices->devices[1]->camera->pin.get()));
        EXPECT_EQ(stereo->input2->connectedPeer().Get(),
                  static_cast<IPin*>(devices->devices[0]->camera->pin.get()));

        EXPECT_TRUE(SUCCEEDED(detachCameras(stereo.Get(), stereo->input1.get(), stereo->input2.get())));
        EXPECT_TRUE(FAILED(graph->FindFilterByName(leftCameraName, found.GetAddressOf())));
        EXPECT_TRUE(FAILED(graph->FindFilterByName(rightCameraName, found.GetAddressOf())));
        EXPECT_FALSE(stereo->input1->isConnected());
        EXPECT_FALSE(devices->devices[0]->camera->pin->isConnected());
        EXPECT_EQ(graph->RemoveFilter(stereo.Get()), S_OK);
        releaseCameraList();
    }
    EXPECT_TRUE(messages.take().empty());
    EXPECT_EQ(liveObjectCount(), liveBefore);
}
