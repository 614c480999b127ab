#include "page_test_support.h"

namespace pagetest {

namespace {
constexpr const char* settingsKeyText = "Software\\VANTO Automation\\stereoWebcam";
}

bool readStoredDword(const char* name, DWORD* value) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, settingsKeyText, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD type = 0, size = sizeof(DWORD);
    const LSTATUS status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(DWORD);
}

bool readStoredName(const char* name, std::string* value) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, settingsKeyText, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    char data[300] = {};
    DWORD type = 0, size = sizeof(data) - 1;
    const LSTATUS status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) return false;
    *value = std::string(data, size).c_str();
    return true;
}

void clearStoredSettings() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, settingsKeyText, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    for (const char* name : {"camMode", "camPosition", "camSize", "lcamName", "rcamName"})
        RegDeleteValueA(key, name);
    RegCloseKey(key);
}

void openPage(IPropertyPage* page, IPropertyPageSite* site, IUnknown* object, const FrameWindows& windows) {
    ASSERT_EQ(S_OK, page->SetPageSite(site));
    ASSERT_EQ(S_OK, page->SetObjects(1, &object));
    PROPPAGEINFO info{};
    ASSERT_EQ(S_OK, page->GetPageInfo(&info));
    CoTaskMemFree(info.pszTitle);
    ASSERT_EQ(S_OK, page->Activate(windows.container, &windows.pageRect, TRUE));
}

void closePage(IPropertyPage* page) {
    EXPECT_EQ(S_OK, page->Deactivate());
    EXPECT_EQ(S_OK, page->SetObjects(0, nullptr));
    EXPECT_EQ(S_OK, page->SetPageSite(nullptr));
}

}  // namespace pagetest
