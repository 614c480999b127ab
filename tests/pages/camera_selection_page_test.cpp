// The camera selection page on the real output pin of this program: the
// lists, the same-camera warning, the resolution reaching the frame store at
// once, and what the settings and the store hold after each way out.
#include <gtest/gtest.h>

#include "../../pages/dialog_templates.h"
#include "compositor/frame_store.h"
#include "framework/runtime_settings.h"
#include "page_test_support.h"
#include "pages/camera_selection_page.h"

namespace {

using namespace pagetest;

constexpr const char* leftConflict = "Left and Right camera can not be the same one,please reselect.";
constexpr const char* rightConflict = "Left and Right camera can not be the same one, please reselect.";

class CameraSelectionPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        baseline = liveObjectCount();
        filter = std::make_unique<RealFilter>();
        setCameras({L"Cam A", L"Cam B", L"Cam C"});
        filter->cameraSelection->SetCameraIndices(0, 1);
        filter->cameraSelection->SetSizeIndex(0);
        clearStoredSettings();
        HRESULT hr = S_OK;
        ComponentCore* object = CameraSelectionPage::create(nullptr, &hr);
        ASSERT_NE(nullptr, object);
        ASSERT_HRESULT_SUCCEEDED(ComPtr<IUnknown>(object->innerUnknown()).As(&page));
    }
    void TearDown() override {
        page.Reset();
        filter.reset();
        EXPECT_EQ(baseline, liveObjectCount());
        EXPECT_EQ(0u, site.refs);
    }
    void open() {
        openPage(page.Get(), &site, filter->pin.Get(), windows);
        dialog = FindWindowExW(windows.container, nullptr, L"#32770", nullptr);
        ASSERT_NE(nullptr, dialog);
    }
    void choose(int list, int index) { ASSERT_TRUE(dvUserSelectComboItem(GetDlgItem(dialog, list), index)); }
    LRESULT selection(int list) const { return SendDlgItemMessageA(dialog, list, CB_GETCURSEL, 0, 0); }
    static std::pair<int, int> indices() {
        return {runtimeSettings.leftCameraIndex, runtimeSettings.rightCameraIndex};
    }
    static std::string storedName(const char* name) {
        std::string value = "<missing>";
        readStoredName(name, &value);
        return value;
    }
    static DWORD storedSize() {
        DWORD value = 0xDEAD;
        readStoredDword("camSize", &value);
        return value;
    }

    LONG baseline = 0;
    std::unique_ptr<RealFilter> filter;
    ComPtr<IPropertyPage> page;
    RecordingSite site;
    FrameWindows windows;
    HWND dialog = nullptr;
    MessageBoxRecorder boxes;
};

TEST_F(CameraSelectionPageTest, ListsEveryCameraOnBothSidesAndBothResolutions) {
    open();
    for (int list : {IDC_LEFT_CAMERA_LIST, IDC_RIGHT_CAMERA_LIST}) {
        ASSERT_EQ(3, SendDlgItemMessageA(dialog, list, CB_GETCOUNT, 0, 0));
        const char* names[] = {"Cam A", "Cam B", "Cam C"};
        for (int i = 0; i < 3; ++i) {
            char text[64] = {};
            SendDlgItemMessageA(dialog, list, CB_GETLBTEXT, static_cast<WPARAM>(i),
                                reinterpret_cast<LPARAM>(text));
            EXPECT_STREQ(names[i], text);
            EXPECT_EQ(i, SendDlgItemMessageA(dialog, list, CB_GETITEMDATA, static_cast<WPARAM>(i), 0));
        }
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, list)));
    }
    EXPECT_EQ(0, selection(IDC_LEFT_CAMERA_LIST));
    EXPECT_EQ(1, selection(IDC_RIGHT_CAMERA_LIST));
    ASSERT_EQ(2, SendDlgItemMessageA(dialog, IDC_RESOLUTION_LIST, CB_GETCOUNT, 0, 0));
    char text[16] = {};
    SendDlgItemMessageA(dialog, IDC_RESOLUTION_LIST, CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ("640x480", text);
    EXPECT_EQ(1, SendDlgItemMessageA(dialog, IDC_RESOLUTION_LIST, CB_GETITEMDATA, 1, 0));
    EXPECT_EQ(0, selection(IDC_RESOLUTION_LIST));
    char hint[64] = {};
    GetWindowTextA(GetDlgItem(dialog, IDC_RESOLUTION_HINT), hint, sizeof hint);
    EXPECT_STREQ("Select only size that your cameras support.", hint);
    closePage(page.Get());
}

TEST_F(CameraSelectionPageTest, SameCameraIsRefusedWithEachSidesMessage) {
    open();
    choose(IDC_LEFT_CAMERA_LIST, 1);
    ASSERT_EQ(1u, boxes.boxes().size());
    EXPECT_EQ(leftConflict, boxes.boxes()[0].text);
    EXPECT_EQ("Camera's Selection", boxes.boxes()[0].caption);
    EXPECT_EQ(static_cast<unsigned>(MB_ICONWARNING | MB_OK), boxes.boxes()[0].type);
    EXPECT_EQ(0, selection(IDC_LEFT_CAMERA_LIST));
    EXPECT_EQ(std::make_pair(0, 1), indices());

    choose(IDC_RIGHT_CAMERA_LIST, 0);
    ASSERT_EQ(2u, boxes.boxes().size());
    EXPECT_EQ(rightConflict, boxes.boxes()[1].text);
    EXPECT_EQ(1, selection(IDC_RIGHT_CAMERA_LIST));
    EXPECT_EQ(std::make_pair(0, 1), indices());
    EXPECT_EQ(S_OK, page->IsPageDirty());  // the pair was sent again

    choose(IDC_RIGHT_CAMERA_LIST, 2);
    EXPECT_EQ(2u, boxes.boxes().size());
    EXPECT_EQ(std::make_pair(0, 2), indices());
    closePage(page.Get());
    EXPECT_EQ(std::make_pair(0, 1), indices());  // Cancel
}

// The virtual camera's own entry is listed on both sides but refused as
// either camera, like a camera equal to the other side's; the stored
// positions are shown as they are, even when they name it.
TEST_F(CameraSelectionPageTest, TheVirtualCameraItselfIsRefusedOnEitherSide) {
    setCameras({L"Vanto 3D Virtual Camera2", L"Cam A", L"Cam B", L"Cam C"}, 0);
    filter->cameraSelection->SetCameraIndices(0, 2);  // stored with the virtual camera as the left one
    open();
    EXPECT_EQ(4, SendDlgItemMessageA(dialog, IDC_LEFT_CAMERA_LIST, CB_GETCOUNT, 0, 0));
    EXPECT_EQ(0, selection(IDC_LEFT_CAMERA_LIST));

    struct Step {
        int list, index;
        const char* message;  // null: accepted
        std::pair<int, int> sent;
        int shown;  // what the list shows afterwards
    };
    const Step steps[] = {
        // A notification that leaves the stored choice in place is no new choice.
        {IDC_LEFT_CAMERA_LIST, 0, nullptr, {0, 2}, 0},
        {IDC_LEFT_CAMERA_LIST, 1, nullptr, {1, 2}, 1},
        {IDC_RIGHT_CAMERA_LIST,
         0,
         "The virtual camera can not use itself as the right camera, please reselect.",
         {1, 2},
         2},
        // The committed left camera is the virtual camera: the side keeps the camera it had.
        {IDC_LEFT_CAMERA_LIST,
         0,
         "The virtual camera can not use itself as the left camera, please reselect.",
         {1, 2},
         1},
        {IDC_LEFT_CAMERA_LIST, 2, leftConflict, {1, 2}, 1},
        {IDC_RIGHT_CAMERA_LIST, 3, nullptr, {1, 3}, 3},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(testing::Message() << "list " << step.list << " index " << step.index);
        boxes.boxes().clear();
        choose(step.list, step.index);
        if (step.message) {
            ASSERT_EQ(1u, boxes.boxes().size());
            EXPECT_EQ(step.message, boxes.boxes()[0].text);
            EXPECT_EQ("Camera's Selection", boxes.boxes()[0].caption);
            EXPECT_EQ(static_cast<unsigned>(MB_ICONWARNING | MB_OK), boxes.boxes()[0].type);
        } else {
            EXPECT_TRUE(boxes.boxes().empty());
        }
        EXPECT_EQ(step.sent, indices());
        EXPECT_EQ(step.shown, selection(step.list));
    }
    ASSERT_EQ(S_OK, page->Apply());
    closePage(page.Get());
    EXPECT_EQ("Cam A", storedName("lcamName"));
    EXPECT_EQ("Cam C", storedName("rcamName"));
}

TEST_F(CameraSelectionPageTest, FallbackNeverLeavesBothSidesOnOneCamera) {
    open();
    choose(IDC_RIGHT_CAMERA_LIST, 2);  // (0, 2)
    choose(IDC_LEFT_CAMERA_LIST, 1);   // (1, 2): left now holds the right side's committed camera
    choose(IDC_RIGHT_CAMERA_LIST, 1);  // conflict; committed right (1) is taken by the left
    ASSERT_EQ(1u, boxes.boxes().size());
    EXPECT_EQ(rightConflict, boxes.boxes()[0].text);
    EXPECT_EQ(std::make_pair(1, 2), indices());
    EXPECT_EQ(2, selection(IDC_RIGHT_CAMERA_LIST));
    closePage(page.Get());
}

TEST_F(CameraSelectionPageTest, TwoCamerasOfOneNameAreBothListedAndUsable) {
    setCameras({L"Twin", L"Twin"});
    open();
    char first[16] = {}, second[16] = {};
    SendDlgItemMessageA(dialog, IDC_LEFT_CAMERA_LIST, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(first));
    SendDlgItemMessageA(dialog, IDC_LEFT_CAMERA_LIST, CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(second));
    EXPECT_STREQ("Twin", first);
    EXPECT_STREQ("Twin", second);
    // With exactly two cameras the lists cannot exchange them.
    choose(IDC_LEFT_CAMERA_LIST, 1);
    EXPECT_EQ(1u, boxes.boxes().size());
    EXPECT_EQ(std::make_pair(0, 1), indices());
    ASSERT_EQ(S_OK, page->Apply());
    closePage(page.Get());
    EXPECT_EQ("Twin", storedName("lcamName"));
    EXPECT_EQ("Twin", storedName("rcamName"));
}

TEST_F(CameraSelectionPageTest, WithOneCameraTheRightListHasNoSelectionAndSendsNothing) {
    setCameras({L"Solo"});
    open();
    EXPECT_EQ(0, selection(IDC_LEFT_CAMERA_LIST));
    EXPECT_EQ(CB_ERR, selection(IDC_RIGHT_CAMERA_LIST));
    HWND right = GetDlgItem(dialog, IDC_RIGHT_CAMERA_LIST);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_RIGHT_CAMERA_LIST, CBN_SETFOCUS),
                 reinterpret_cast<LPARAM>(right));
    EXPECT_EQ(std::make_pair(0, 1), indices());
    EXPECT_EQ(S_FALSE, page->IsPageDirty());
    EXPECT_TRUE(boxes.boxes().empty());
    closePage(page.Get());
    EXPECT_EQ("Solo", storedName("lcamName"));
    EXPECT_EQ("<missing>", storedName("rcamName"));  // index 1 names no camera
}

TEST_F(CameraSelectionPageTest, ResolutionReachesTheFrameStoreAtOnceAndCancelTakesItBack) {
    open();
    choose(IDC_RESOLUTION_LIST, 1);
    EXPECT_EQ(1, runtimeSettings.sizeIndex);
    EXPECT_EQ(640, videoFormat.width);
    EXPECT_EQ(480, videoFormat.height);
    EXPECT_EQ(S_OK, page->IsPageDirty());
    closePage(page.Get());
    EXPECT_EQ(0, runtimeSettings.sizeIndex);
    EXPECT_EQ(320, videoFormat.width);
    EXPECT_EQ(0u, storedSize());
}

TEST_F(CameraSelectionPageTest, ChangeThenOkStoresSizeAndTheNamesAtTheNewIndices) {
    open();
    choose(IDC_RESOLUTION_LIST, 1);
    choose(IDC_LEFT_CAMERA_LIST, 2);
    choose(IDC_RIGHT_CAMERA_LIST, 0);
    ASSERT_EQ(S_OK, page->Apply());
    closePage(page.Get());
    EXPECT_EQ(std::make_pair(2, 0), indices());
    EXPECT_EQ(1, runtimeSettings.sizeIndex);
    EXPECT_EQ(640, videoFormat.width);
    EXPECT_EQ(1u, storedSize());
    EXPECT_EQ("Cam C", storedName("lcamName"));
    EXPECT_EQ("Cam A", storedName("rcamName"));
}

TEST_F(CameraSelectionPageTest, ChangeApplyThenCancelKeepsTheAppliedChoice) {
    open();
    choose(IDC_LEFT_CAMERA_LIST, 2);
    ASSERT_EQ(S_OK, page->Apply());
    choose(IDC_RESOLUTION_LIST, 1);
    choose(IDC_RIGHT_CAMERA_LIST, 0);
    closePage(page.Get());
    EXPECT_EQ(std::make_pair(2, 1), indices());
    EXPECT_EQ(0, runtimeSettings.sizeIndex);
    EXPECT_EQ(0u, storedSize());
    EXPECT_EQ("Cam C", storedName("lcamName"));
    EXPECT_EQ("Cam B", storedName("rcamName"));
}

TEST_F(CameraSelectionPageTest, ClosingWithoutChangeWritesSizeAndNames) {
    open();
    closePage(page.Get());
    EXPECT_EQ(0u, storedSize());
    EXPECT_EQ("Cam A", storedName("lcamName"));
    EXPECT_EQ("Cam B", storedName("rcamName"));
}

TEST_F(CameraSelectionPageTest, FinalReleaseRestoresAndSaves) {
    open();
    choose(IDC_RESOLUTION_LIST, 1);
    ASSERT_EQ(S_OK, page->Deactivate());
    ASSERT_EQ(S_OK, page->SetPageSite(nullptr));
    page.Reset();
    EXPECT_EQ(0, runtimeSettings.sizeIndex);
    EXPECT_EQ(320, videoFormat.width);
    EXPECT_EQ(0u, storedSize());
}

TEST_F(CameraSelectionPageTest, ReactivationTakesTheCurrentSettingsAsCommitted) {
    open();
    choose(IDC_RIGHT_CAMERA_LIST, 2);
    ASSERT_EQ(S_OK, page->Deactivate());
    ASSERT_EQ(S_OK, page->Activate(windows.container, &windows.pageRect, TRUE));
    dialog = FindWindowExW(windows.container, nullptr, L"#32770", nullptr);
    EXPECT_EQ(2, selection(IDC_RIGHT_CAMERA_LIST));
    EXPECT_EQ(3, SendDlgItemMessageA(dialog, IDC_RIGHT_CAMERA_LIST, CB_GETCOUNT, 0, 0));
    closePage(page.Get());
    EXPECT_EQ(std::make_pair(0, 2), indices());
    EXPECT_EQ("Cam C", storedName("rcamName"));
}

TEST_F(CameraSelectionPageTest, TheFilterObjectIsNoOutputPin) {
    IUnknown* object = filter->unknown.Get();
    EXPECT_EQ(E_NOINTERFACE, page->SetObjects(1, &object));
    ASSERT_EQ(S_OK, page->Activate(windows.container, &windows.pageRect, TRUE));
    dialog = FindWindowExW(windows.container, nullptr, L"#32770", nullptr);
    EXPECT_EQ(0, SendDlgItemMessageA(dialog, IDC_LEFT_CAMERA_LIST, CB_GETCOUNT, 0, 0));
    EXPECT_EQ(0, SendDlgItemMessageA(dialog, IDC_RESOLUTION_LIST, CB_GETCOUNT, 0, 0));
    ASSERT_EQ(S_OK, page->Deactivate());
    ASSERT_EQ(S_OK, page->SetObjects(0, nullptr));
    EXPECT_EQ(0xDEADu, storedSize());  // nothing held, nothing written
}

}  // namespace
