// The image type page on the real filter of this program: what it shows, what
// each control sends at once, and what the filter and the settings store hold
// after each way out of the frame.
#include <gtest/gtest.h>

#include "../../pages/dialog_templates.h"
#include "compositor/image_mode.h"
#include "framework/runtime_settings.h"
#include "page_test_support.h"
#include "pages/image_type_page.h"

namespace {

using namespace pagetest;

std::string itemText(HWND dialog, int id, int index) {
    char text[256] = {};
    SendDlgItemMessageA(dialog, id, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
    return text;
}

class ImageTypePageTest : public ::testing::Test {
protected:
    void SetUp() override {
        baseline = liveObjectCount();
        filter = std::make_unique<RealFilter>();
        filter->imageControl->SetImageMode(3);
        filter->imageControl->SetSwapFlag(0);
        clearStoredSettings();
        HRESULT hr = S_OK;
        ComponentCore* object = ImageTypePage::create(nullptr, &hr);
        ASSERT_EQ(S_OK, hr);
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
        openPage(page.Get(), &site, filter->unknown.Get(), windows);
        dialog = FindWindowExW(windows.container, nullptr, L"#32770", nullptr);
        ASSERT_NE(nullptr, dialog);
    }
    void chooseMode(int mode) {
        ASSERT_TRUE(dvUserSelectComboItem(GetDlgItem(dialog, IDC_IMAGE_MODE_LIST), mode));
    }
    void clickSwap() { SendMessageW(GetDlgItem(dialog, IDC_SWAP_CAMERAS), BM_CLICK, 0, 0); }
    static DWORD stored(const char* name) {
        DWORD value = 0xDEAD;
        EXPECT_TRUE(readStoredDword(name, &value)) << name;
        return value;
    }

    LONG baseline = 0;
    std::unique_ptr<RealFilter> filter;
    ComPtr<IPropertyPage> page;
    RecordingSite site;
    FrameWindows windows;
    HWND dialog = nullptr;
};

TEST_F(ImageTypePageTest, ShowsTheTwelveModesWithTheFiltersModeSelected) {
    filter->imageControl->SetSwapFlag(7);
    open();
    const int list = IDC_IMAGE_MODE_LIST;
    ASSERT_EQ(12, SendDlgItemMessageA(dialog, list, CB_GETCOUNT, 0, 0));
    const char* texts[] = {"Left Image",
                           "Right Image",
                           "Side By Side",
                           "Picture In Picture",
                           "Color Anaglyph 3D Image",
                           "Gray Anaglyph 3D Image",
                           "True Anaglyph 3D Image",
                           "SideBySide with Ratio",
                           "Up And Down",
                           "UpAndDown with Ratio",
                           "2D in 3D",
                           "3D in 2D"};
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(texts[i], itemText(dialog, list, i));
        EXPECT_EQ(i, SendDlgItemMessageA(dialog, list, CB_GETITEMDATA, static_cast<WPARAM>(i), 0));
    }
    EXPECT_EQ(3, SendDlgItemMessageA(dialog, list, CB_GETCURSEL, 0, 0));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, list)));
    EXPECT_EQ(static_cast<UINT>(BST_CHECKED), IsDlgButtonChecked(dialog, IDC_SWAP_CAMERAS));
    EXPECT_EQ(S_FALSE, page->IsPageDirty());
    EXPECT_TRUE(site.statusChanges.empty());

    // The box turns the 7 into 0 or 1.
    clickSwap();
    EXPECT_EQ(0, filter->swap());
    clickSwap();
    EXPECT_EQ(1, filter->swap());
    EXPECT_EQ(S_OK, page->IsPageDirty());
    closePage(page.Get());
}

TEST_F(ImageTypePageTest, EveryChangeReachesTheFilterAtOnce) {
    open();
    chooseMode(ThreeDInTwoD);
    EXPECT_EQ(11, filter->mode());
    EXPECT_EQ(S_OK, page->IsPageDirty());
    ASSERT_FALSE(site.statusChanges.empty());
    EXPECT_EQ(static_cast<DWORD>(PROPPAGESTATUS_DIRTY), site.statusChanges.back());

    // Any notification of the list counts, also one without a change.
    ASSERT_EQ(S_OK, page->Apply());
    filter->imageControl->SetImageMode(5);  // someone else changed it meanwhile
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_IMAGE_MODE_LIST, CBN_SETFOCUS),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_IMAGE_MODE_LIST)));
    EXPECT_EQ(11, filter->mode());
    EXPECT_EQ(S_OK, page->IsPageDirty());
    closePage(page.Get());
}

void CALLBACK countFrame(HWND, HWND, void* count) {
    ++*static_cast<int*>(count);
}

TEST_F(ImageTypePageTest, CameraSettingsWithoutAttachedCamerasDoNothing) {
    open();
    MessageBoxRecorder boxes;
    int framesShown = 0;
    const DvPropertyFrameScript previous = dvSetPropertyFrameScript(&countFrame, &framesShown);
    for (int button : {IDC_LEFT_CAMERA_SETTINGS, IDC_RIGHT_CAMERA_SETTINGS}) {
        SendMessageW(GetDlgItem(dialog, button), BM_CLICK, 0, 0);
        EXPECT_EQ(S_FALSE, page->IsPageDirty());
    }
    dvSetPropertyFrameScript(previous, nullptr);
    EXPECT_EQ(0, framesShown) << "no camera, no settings frame";
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_TRUE(site.statusChanges.empty());
    closePage(page.Get());
}

// The table of outcomes: what the filter and the store hold after each way out.
TEST_F(ImageTypePageTest, ChangeThenOkKeepsAndStoresTheChange) {
    open();
    chooseMode(GrayAnaglyph);
    clickSwap();
    ASSERT_EQ(S_OK, page->Apply());  // OK applies the dirty page, then the frame closes
    closePage(page.Get());
    EXPECT_EQ(5, filter->mode());
    EXPECT_EQ(1, filter->swap());
    EXPECT_EQ(5u, stored("camMode"));
    EXPECT_EQ(1u, stored("camPosition"));
}

TEST_F(ImageTypePageTest, ChangeApplyThenCancelKeepsTheAppliedValues) {
    open();
    chooseMode(UpAndDown);
    ASSERT_EQ(S_OK, page->Apply());
    chooseMode(LeftImage);
    clickSwap();
    EXPECT_EQ(0, filter->mode());
    closePage(page.Get());  // Cancel
    EXPECT_EQ(8, filter->mode());
    EXPECT_EQ(0, filter->swap());
    EXPECT_EQ(8u, stored("camMode"));
    EXPECT_EQ(0u, stored("camPosition"));
}

TEST_F(ImageTypePageTest, ChangeThenCancelRestoresTheValuesReadAtActivate) {
    open();
    chooseMode(SideBySide);
    clickSwap();
    closePage(page.Get());
    EXPECT_EQ(3, filter->mode());
    EXPECT_EQ(0, filter->swap());
    EXPECT_EQ(3u, stored("camMode"));
    EXPECT_EQ(0u, stored("camPosition"));
}

TEST_F(ImageTypePageTest, ClosingWithoutChangeRewritesTheStore) {
    filter->imageControl->SetImageMode(40);  // accepted unchecked, stored as it is
    open();
    EXPECT_EQ(CB_ERR, SendDlgItemMessageA(dialog, IDC_IMAGE_MODE_LIST, CB_GETCURSEL, 0, 0));
    // A list without selection sends nothing.
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_IMAGE_MODE_LIST, CBN_SETFOCUS), 0);
    EXPECT_EQ(40, filter->mode());
    closePage(page.Get());
    EXPECT_EQ(40u, stored("camMode"));
    EXPECT_EQ(0u, stored("camPosition"));
}

TEST_F(ImageTypePageTest, FinalReleaseOfAnOpenPageRestoresAndSaves) {
    open();
    chooseMode(TrueAnaglyph);
    ASSERT_EQ(S_OK, page->Deactivate());
    ASSERT_EQ(S_OK, page->SetPageSite(nullptr));
    page.Reset();  // still attached: the last release detaches
    EXPECT_EQ(3, filter->mode());
    EXPECT_EQ(3u, stored("camMode"));
}

TEST_F(ImageTypePageTest, ReactivationRefillsFromTheFilter) {
    open();
    chooseMode(SideBySideRatio);
    ASSERT_EQ(S_OK, page->Deactivate());
    ASSERT_EQ(S_OK, page->Activate(windows.container, &windows.pageRect, TRUE));
    dialog = FindWindowExW(windows.container, nullptr, L"#32770", nullptr);
    EXPECT_EQ(7, SendDlgItemMessageA(dialog, IDC_IMAGE_MODE_LIST, CB_GETCURSEL, 0, 0));
    EXPECT_EQ(12, SendDlgItemMessageA(dialog, IDC_IMAGE_MODE_LIST, CB_GETCOUNT, 0, 0));
    // The unapplied change became the committed value: Cancel keeps it.
    closePage(page.Get());
    EXPECT_EQ(7, filter->mode());
    EXPECT_EQ(7u, stored("camMode"));
}

TEST_F(ImageTypePageTest, ObjectWithoutTheInterfaceIsRefusedAndShowsEmptyControls) {
    RecordingSite notAFilter;
    IUnknown* object = &notAFilter;
    ASSERT_EQ(S_OK, page->SetPageSite(&site));
    EXPECT_EQ(E_NOINTERFACE, page->SetObjects(1, &object));
    ASSERT_EQ(S_OK, page->Activate(windows.container, &windows.pageRect, TRUE));
    dialog = FindWindowExW(windows.container, nullptr, L"#32770", nullptr);
    EXPECT_EQ(0, SendDlgItemMessageA(dialog, IDC_IMAGE_MODE_LIST, CB_GETCOUNT, 0, 0));
    SendMessageW(GetDlgItem(dialog, IDC_SWAP_CAMERAS), BM_CLICK, 0, 0);
    EXPECT_EQ(S_FALSE, page->IsPageDirty());
    DWORD value = 0;
    closePage(page.Get());
    EXPECT_FALSE(readStoredDword("camMode", &value));  // nothing held, nothing saved
    EXPECT_EQ(E_POINTER, page->SetObjects(1, nullptr));
}

class PlacementTest : public ImageTypePageTest {};

TEST_F(PlacementTest, ActivatePlacesTheFrameInTheLowerRightCorner) {
    open();
    RECT before{};
    GetWindowRect(windows.frame, &before);
    EXPECT_EQ(1, dvPumpMessages());  // the WM_APP posted at Activate
    RECT frame{}, owner{};
    GetWindowRect(windows.frame, &frame);
    GetWindowRect(windows.owner, &owner);
    const LONG width = before.right - before.left, height = before.bottom - before.top;
    EXPECT_EQ(1920 - width - 10, frame.left);
    EXPECT_EQ(1080 - height - 40, frame.top);
    EXPECT_EQ(width, frame.right - frame.left);
    EXPECT_EQ(height, frame.bottom - frame.top);
    EXPECT_EQ(50, owner.left);  // a host that is not GraphEdit stays where it is
    EXPECT_EQ(60, owner.top);

    // Every activation places it again.
    MoveWindow(windows.frame, 0, 0, width, height, TRUE);
    ASSERT_EQ(S_OK, page->Deactivate());
    ASSERT_EQ(S_OK, page->Activate(windows.container, &windows.pageRect, TRUE));
    dvPumpMessages();
    GetWindowRect(windows.frame, &frame);
    EXPECT_EQ(1920 - width - 10, frame.left);
    closePage(page.Get());
}

TEST(GraphEditPlacement, AGraphEditHostStandsBesideTheFrame) {
    const LONG baseline = liveObjectCount();
    {
        RealFilter filter;
        for (const wchar_t* title : {L"Untitled - GraphEdit", L"graphedit (lower case)"}) {
            FrameWindows windows(title);
            RecordingSite site;
            ComPtr<IPropertyPage> page;
            HRESULT hr = S_OK;
            ASSERT_HRESULT_SUCCEEDED(
                ComPtr<IUnknown>(ImageTypePage::create(nullptr, &hr)->innerUnknown()).As(&page));
            openPage(page.Get(), &site, filter.unknown.Get(), windows);
            dvPumpMessages();
            RECT frame{}, owner{};
            GetWindowRect(windows.frame, &frame);
            GetWindowRect(windows.owner, &owner);
            const LONG width = frame.right - frame.left, height = frame.bottom - frame.top;
            if (title[0] == L'U') {
                EXPECT_EQ(10, owner.left);
                EXPECT_EQ(frame.top, owner.top);
                EXPECT_EQ(1920 - width - 30, owner.right - owner.left);
                EXPECT_EQ(height, owner.bottom - owner.top);
                EXPECT_EQ(owner.right + 10, frame.left);  // side by side, a 10-pixel gap
            } else {
                EXPECT_EQ(50, owner.left);  // the test is case-sensitive
                EXPECT_EQ(700, owner.right - owner.left);
            }
            closePage(page.Get());
        }
    }
    EXPECT_EQ(baseline, liveObjectCount());
}

TEST(PlacementWithoutFrame, APageWithoutGrandparentIsNotPlaced) {
    // A page activated directly in a top-level window has no frame to move.
    RealFilter filter;
    HWND host = CreateWindowExW(0, L"Static", L"GraphEdit", WS_POPUP, 5, 6, 300, 200, nullptr, nullptr,
                                nullptr, nullptr);
    RecordingSite site;
    ComPtr<IPropertyPage> page;
    HRESULT hr = S_OK;
    ASSERT_HRESULT_SUCCEEDED(ComPtr<IUnknown>(ImageTypePage::create(nullptr, &hr)->innerUnknown()).As(&page));
    IUnknown* object = filter.unknown.Get();
    ASSERT_EQ(S_OK, page->SetPageSite(&site));
    ASSERT_EQ(S_OK, page->SetObjects(1, &object));
    const RECT rect{0, 0, 100, 100};
    ASSERT_EQ(S_OK, page->Activate(host, &rect, TRUE));
    dvPumpMessages();
    RECT placed{};
    GetWindowRect(host, &placed);
    EXPECT_EQ(5, placed.left);
    EXPECT_EQ(6, placed.top);
    closePage(page.Get());
    DestroyWindow(host);
}

}  // namespace
