// The headless window model: control state, messages, queues and styles as
// the pages rely on them.
#include <gtest/gtest.h>

#include <vector>

#include "platform/win.h"

namespace {

std::vector<MSG> received;
LRESULT CALLBACK recordingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND || message >= WM_USER || message == WM_STYLECHANGING)
        received.push_back(MSG{window, message, wParam, lParam, 0, {0, 0}});
    if (message == WM_STYLECHANGING && wParam == static_cast<WPARAM>(GWL_STYLE))
        reinterpret_cast<STYLESTRUCT*>(lParam)->styleNew |= WS_GROUP;  // the window insists on WS_GROUP
    return DefWindowProcW(window, message, wParam, lParam);
}

class WindowModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        received.clear();
        WNDCLASSW wc{};
        wc.lpfnWndProc = &recordingProcedure;
        wc.lpszClassName = L"RecordingWindow";
        RegisterClassW(&wc);  // once per process; later calls fail harmlessly
        parent = CreateWindowExW(0, L"recordingwindow", L"Parent", WS_POPUP, 10, 20, 300, 200, nullptr,
                                 nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, parent);
    }
    void TearDown() override { DestroyWindow(parent); }
    HWND child(const wchar_t* cls, DWORD style, int id) {
        return CreateWindowExW(0, cls, L"", WS_CHILD | WS_VISIBLE | style, 5, 6, 50, 20, parent,
                               reinterpret_cast<HMENU>(static_cast<intptr_t>(id)), nullptr, nullptr);
    }
    HWND parent = nullptr;
};

TEST_F(WindowModelTest, ComboBoxKeepsItemsDataAndSelection) {
    HWND combo = child(L"ComboBox", CBS_DROPDOWNLIST, 7);
    EXPECT_EQ(0, SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("one")));
    EXPECT_EQ(1, SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"two")));
    EXPECT_EQ(CB_OKAY, SendDlgItemMessageA(parent, 7, CB_SETITEMDATA, 1, 42));
    EXPECT_EQ(42, SendDlgItemMessageA(parent, 7, CB_GETITEMDATA, 1, 0));
    EXPECT_EQ(CB_ERR, SendDlgItemMessageA(parent, 7, CB_GETITEMDATA, 2, 0));
    EXPECT_EQ(CB_ERR, SendMessageA(combo, CB_GETCURSEL, 0, 0));
    EXPECT_EQ(1, SendMessageA(combo, CB_SETCURSEL, 1, 0));
    EXPECT_EQ(1, SendMessageA(combo, CB_GETCURSEL, 0, 0));
    // Out of range clears the selection.
    EXPECT_EQ(CB_ERR, SendMessageA(combo, CB_SETCURSEL, 5, 0));
    EXPECT_EQ(CB_ERR, SendMessageA(combo, CB_GETCURSEL, 0, 0));
    wchar_t wide[8] = {};
    EXPECT_EQ(3, SendMessageW(combo, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(wide)));
    EXPECT_STREQ(L"one", wide);
    EXPECT_EQ(2, SendMessageA(combo, CB_GETCOUNT, 0, 0));
    EXPECT_EQ(CB_OKAY, SendMessageA(combo, CB_RESETCONTENT, 0, 0));
    EXPECT_EQ(0, SendMessageA(combo, CB_GETCOUNT, 0, 0));
    EXPECT_FALSE(dvUserSelectComboItem(combo, 0));  // nothing to select
    EXPECT_TRUE(received.empty());
    SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("x"));
    EXPECT_TRUE(dvUserSelectComboItem(combo, 0));
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ(static_cast<UINT>(WM_COMMAND), received[0].message);
    EXPECT_EQ(MAKEWPARAM(7, CBN_SELCHANGE), received[0].wParam);
    EXPECT_EQ(reinterpret_cast<LPARAM>(combo), received[0].lParam);
}

TEST_F(WindowModelTest, ClickTogglesAnAutomaticCheckBoxAndNotifiesTheParent) {
    HWND box = child(L"Button", BS_AUTOCHECKBOX, 9);
    HWND plain = child(L"Button", BS_PUSHBUTTON, 10);
    EXPECT_EQ(static_cast<UINT>(BST_UNCHECKED), IsDlgButtonChecked(parent, 9));
    SendMessageW(box, BM_CLICK, 0, 0);
    EXPECT_EQ(static_cast<UINT>(BST_CHECKED), IsDlgButtonChecked(parent, 9));
    CheckDlgButton(parent, 9, BST_UNCHECKED);
    EXPECT_EQ(BST_UNCHECKED, SendMessageW(box, BM_GETCHECK, 0, 0));
    SendMessageW(plain, BM_CLICK, 0, 0);
    EXPECT_EQ(BST_UNCHECKED, SendMessageW(plain, BM_GETCHECK, 0, 0));
    ASSERT_EQ(2u, received.size());
    EXPECT_EQ(MAKEWPARAM(9, BN_CLICKED), received[0].wParam);
    EXPECT_EQ(MAKEWPARAM(10, BN_CLICKED), received[1].wParam);
    // A disabled button does not click.
    EXPECT_FALSE(EnableWindow(box, FALSE));
    EXPECT_FALSE(IsWindowEnabled(box));
    SendMessageW(box, BM_CLICK, 0, 0);
    EXPECT_EQ(2u, received.size());
    EXPECT_TRUE(EnableWindow(box, TRUE));  // it was disabled
}

TEST_F(WindowModelTest, PostedMessagesRunInOrderAndDieWithTheirWindow) {
    PostMessageW(parent, WM_APP, 1, 0);
    PostMessageW(parent, WM_APP + 1, 2, 0);
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(2u, dvPumpMessages());
    ASSERT_EQ(2u, received.size());
    EXPECT_EQ(static_cast<UINT>(WM_APP), received[0].message);
    EXPECT_EQ(static_cast<UINT>(WM_APP + 1), received[1].message);

    HWND other =
        CreateWindowExW(0, L"RecordingWindow", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    PostMessageW(other, WM_APP, 0, 0);
    DestroyWindow(other);
    EXPECT_EQ(0u, dvPumpMessages());
    EXPECT_FALSE(PostMessageW(other, WM_APP, 0, 0));
}

TEST_F(WindowModelTest, StyleChangesPassThroughStyleChanging) {
    SetWindowLongW(parent, GWL_STYLE, static_cast<LONG>(WS_POPUP));
    EXPECT_EQ(static_cast<LONG>(WS_POPUP | WS_GROUP), GetWindowLongW(parent, GWL_STYLE));
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ(static_cast<UINT>(WM_STYLECHANGING), received[0].message);
}

TEST_F(WindowModelTest, GeometryParentsAndTitles) {
    HWND c = child(L"Static", SS_LEFT, 3);
    RECT r{};
    ASSERT_TRUE(GetWindowRect(c, &r));
    EXPECT_EQ(15, r.left);  // parent at 10, 20; child at 5, 6 in it
    EXPECT_EQ(26, r.top);
    EXPECT_EQ(parent, GetParent(c));
    HWND owned =
        CreateWindowExW(0, L"Static", L"Owned", WS_POPUP, 0, 0, 1, 1, parent, nullptr, nullptr, nullptr);
    HWND overlapped = CreateWindowExW(0, L"Static", L"Overlapped", WS_OVERLAPPED, 0, 0, 1, 1, parent, nullptr,
                                      nullptr, nullptr);
    EXPECT_EQ(parent, GetParent(owned));
    EXPECT_EQ(nullptr, GetParent(overlapped));  // an owned overlapped window has no parent
    DestroyWindow(overlapped);
    ASSERT_TRUE(SetWindowPos(parent, nullptr, 100, 200, 0, 0, SWP_NOSIZE | SWP_NOZORDER));
    GetWindowRect(c, &r);
    EXPECT_EQ(105, r.left);
    GetWindowRect(parent, &r);
    EXPECT_EQ(300, r.right - r.left);
    GetWindowRect(GetDesktopWindow(), &r);
    EXPECT_EQ(1920, r.right);
    EXPECT_EQ(1080, r.bottom);
    char title[4] = {};
    EXPECT_EQ(3, GetWindowTextA(parent, title, sizeof title));  // cut to fit
    EXPECT_STREQ("Par", title);
    EXPECT_EQ(nullptr, CreateWindowExW(0, L"NoSuchClass", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                       nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS), GetLastError());
    DestroyWindow(parent);  // the owned popup goes with it
    EXPECT_FALSE(IsWindow(owned));
    EXPECT_FALSE(IsWindow(c));
    parent =
        CreateWindowExW(0, L"RecordingWindow", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
}

TEST(WindowModelResources, StringsAndTemplatesBelongToTheirModule) {
    auto module = reinterpret_cast<HINSTANCE>(0x5000);
    ASSERT_TRUE(dvRegisterStringResource(module, 7, "Seven \xC3\xA9"));
    wchar_t text[16] = {};
    EXPECT_EQ(7, LoadStringW(module, 7, text, 16));
    EXPECT_STREQ(L"Seven \u00E9", text);
    EXPECT_EQ(3, LoadStringW(module, 7, text, 4));
    EXPECT_STREQ(L"Sev", text);
    EXPECT_EQ(0, LoadStringW(reinterpret_cast<HINSTANCE>(0x6000), 7, text, 16));
    const DvDialogControl controls[] = {{11, "ComboBox", "", CBS_DROPDOWNLIST | WS_TABSTOP, 4, 8, 40, 80}};
    const DvDialogTemplate tpl{77, DS_CONTROL | WS_CHILD, 100, 50, controls, 1};
    ASSERT_TRUE(dvRegisterDialogTemplate(module, &tpl));
    HWND dialog = CreateDialogParamW(module, MAKEINTRESOURCEW(77), GetDesktopWindow(), nullptr, 0);
    ASSERT_NE(nullptr, dialog);
    EXPECT_TRUE(GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_CONTROLPARENT);
    RECT r{};
    GetWindowRect(dialog, &r);
    RECT units{0, 0, 100, 50};
    MapDialogRect(dialog, &units);
    EXPECT_EQ(units.right, r.right - r.left);
    EXPECT_NE(nullptr, GetDlgItem(dialog, 11));
    EXPECT_FALSE(IsWindowVisible(dialog));  // no WS_VISIBLE in the template
    DestroyWindow(dialog);
    dvUnregisterModuleResources(module);
    EXPECT_EQ(nullptr, CreateDialogParamW(module, MAKEINTRESOURCEW(77), GetDesktopWindow(), nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND), GetLastError());
    EXPECT_EQ(0, LoadStringW(module, 7, text, 16));
}

}  // namespace
