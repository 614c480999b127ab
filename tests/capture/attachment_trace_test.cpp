// What the trace says about camera attachment: each failure names the side
// and carries its result code, a successful attachment names the cameras and
// the agreed capture types, and with the trace off nothing is written.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "capture/camera_attachment.h"
#include "capture/camera_list.h"
#include "capture_fakes.h"
#include "compositor/frame_store.h"
#include "framework/runtime_settings.h"
#include "trace_capture.h"

using namespace capture_test;

namespace {

class AttachmentTraceTest : public ::testing::Test {
public:
    void SetUp() override {
        releaseCameraList();
        runtimeSettings.sizeIndex = 0;
        applySizeIndex(runtimeSettings.sizeIndex);
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
        releaseCameraList();
        messages.take();
    }

    // The virtual camera and `count - 1` webcams named "Webcam <i>"; left = 1, right = 2.
    void listCameras(int count) {
        for (int i = 0; i < count; ++i) {
            const std::wstring name = i == 0 ? L"Vanto 3D Virtual Camera2" : L"Webcam " + std::to_wstring(i);
            ComPtr<TestMoniker> device = makeMoniker(name.c_str());
            if (i > 0) {
                device->camera = makeCamera();
                device->camera->pin->capabilities = {videoType(640, 480)};
                device->camera->pin->proposals = {videoType(640, 480)};
            }
            devices->devices.push_back(device);
        }
        enumerateCamerasFrom(devices.Get());
        runtimeSettings.leftCameraIndex = 1;
        runtimeSettings.rightCameraIndex = 2;
    }

    HRESULT attach() { return attachCameras(stereo.Get(), stereo->input1.get(), stereo->input2.get()); }

    MessageCapture messages;
    ComPtr<TestGraph> graph;
    ComPtr<StereoTestFilter> stereo;
    ComPtr<TestDeviceEnum> devices;
};

// The first line that contains every text of `parts`, or "".
std::string lineWith(const std::vector<std::string>& lines, const std::vector<std::string>& parts) {
    for (const std::string& line : lines) {
        bool all = true;
        for (const std::string& part : parts)
            all = all && line.find(part) != std::string::npos;
        if (all) return line;
    }
    return "";
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line;
    return text;
}

TEST_F(AttachmentTraceTest, EveryFailureNamesItsSideAndResult) {
    struct Case {
        const char* name;
        int devices;
        std::function<void(AttachmentTraceTest&)> arrange;
        HRESULT result;
        std::vector<std::string> line;
    };
    const Case cases[] = {
        {"too few devices",
         2,
         [](AttachmentTraceTest&) {},
         E_FAIL,
         {"error: cameras: 2 video input devices", "0x80004005 E_FAIL"}},
        {"left camera missing from the list",
         3,
         [](AttachmentTraceTest&) { runtimeSettings.leftCameraIndex = 7; },
         E_FAIL,
         {"error: camera left: not found (list entry 7 of 3)", "0x80004005 E_FAIL"}},
        {"right camera cannot be created",
         3,
         [](AttachmentTraceTest& t) { t.devices->devices[2]->bindResult = E_OUTOFMEMORY; },
         E_OUTOFMEMORY,
         {"error: camera right: \"Webcam 2\" cannot be created", "0x8007000E E_OUTOFMEMORY"}},
        {"left camera not added",
         3,
         [](AttachmentTraceTest& t) {
             t.graph->addFilterResult = E_ACCESSDENIED;
             t.graph->failAddFilterName = leftCameraName;
         },
         E_ACCESSDENIED,
         {"error: camera left: \"Webcam 1\" not added to the graph", "0x80070005 E_ACCESSDENIED"}},
        {"capture format not set",
         3,
         [](AttachmentTraceTest& t) { t.devices->devices[1]->camera->pin->capabilities.clear(); },
         S_OK,
         {"error: camera left: capture format RGB24 320x240 30 fps not set"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        listCameras(c.devices);
        c.arrange(*this);
        TraceCapture capture("1");
        EXPECT_EQ(attach(), c.result);
        const std::vector<std::string> lines = capture.take();
        EXPECT_NE(lineWith(lines, c.line), "") << joined(lines);
        EXPECT_EQ(lineWith(lines, {"] state: "}), "") << "state lines at level 1: " << joined(lines);
    }
}

TEST_F(AttachmentTraceTest, AttachmentAndDetachmentAreStateChangesAndSilentWhenOff) {
    listCameras(3);
    {
        TraceCapture capture("2");
        ASSERT_EQ(attach(), S_OK);
        ASSERT_EQ(detachCameras(stereo.Get(), stereo->input1.get(), stereo->input2.get()), S_OK);
        const std::vector<std::string> lines = capture.take();
        for (const std::vector<std::string>& parts : std::vector<std::vector<std::string>>{
                 {"state: camera left: \"Webcam 1\" attached as \"Stereo Camera 1\""},
                 {"state: camera right: \"Webcam 2\" attached as \"Stereo Camera 2\""},
                 {"state: pin \"Vanto 3D Virtual Camera2\"/Input1: connected as RGB24 320x240 24 bit 333333 "
                  "(30.00 fps)"},
                 {"state: camera left: connection to its input pin: 0x00000000 S_OK"},
                 {"state: camera right: detached"},
                 {"state: pin \"Vanto 3D Virtual Camera2\"/Input2: disconnected"},
             })
            EXPECT_NE(lineWith(lines, parts), "") << parts[0] << " in\n" << joined(lines);
    }
    TraceCapture off(nullptr);
    runtimeSettings.leftCameraIndex = 7;
    EXPECT_EQ(attach(), E_FAIL);
    EXPECT_TRUE(off.take().empty());
}

}  // namespace
