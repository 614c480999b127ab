// Both pages handed their object and let go of it without ever being
// activated (a frame that creates tabs on demand, a host that only asks
// GetPageInfo): the running settings and the store stay as they were. A page
// that was activated restores and stores what it read, as before.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

#include "framework/runtime_settings.h"
#include "page_test_support.h"
#include "pages/camera_selection_page.h"
#include "pages/image_type_page.h"

namespace {

using namespace pagetest;

constexpr const char* settingsKeyText = "Software\\VANTO Automation\\stereoWebcam";

void storeDword(const char* name, DWORD value) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, settingsKeyText, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

void storeString(const char* name, const std::string& value) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, settingsKeyText, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.data()),
                   static_cast<DWORD>(value.size()));
    RegCloseKey(key);
}

// The five running settings and the five stored values, as one comparable record.
struct Snapshot {
    int mode, swap, size, left, right;
    DWORD camMode, camPosition, camSize;
    std::string lcamName, rcamName;

    static Snapshot take() {
        Snapshot s{runtimeSettings.imageMode,
                   runtimeSettings.swapCameras,
                   runtimeSettings.sizeIndex,
                   runtimeSettings.leftCameraIndex,
                   runtimeSettings.rightCameraIndex,
                   0xDEAD,
                   0xDEAD,
                   0xDEAD,
                   "<missing>",
                   "<missing>"};
        readStoredDword("camMode", &s.camMode);
        readStoredDword("camPosition", &s.camPosition);
        readStoredDword("camSize", &s.camSize);
        readStoredName("lcamName", &s.lcamName);
        readStoredName("rcamName", &s.rcamName);
        return s;
    }
    bool operator==(const Snapshot& o) const {
        return mode == o.mode && swap == o.swap && size == o.size && left == o.left && right == o.right &&
               camMode == o.camMode && camPosition == o.camPosition && camSize == o.camSize &&
               lcamName == o.lcamName && rcamName == o.rcamName;
    }
};

std::ostream& operator<<(std::ostream& out, const Snapshot& s) {
    return out << "running (mode " << s.mode << ", swap " << s.swap << ", size " << s.size << ", cameras "
               << s.left << "/" << s.right << ") stored (camMode " << s.camMode << ", camPosition "
               << s.camPosition << ", camSize " << s.camSize << ", " << s.lcamName << "/" << s.rcamName
               << ")";
}

TEST(UnshownPage, LeavesRunningSettingsAndStoreAsTheyWere) {
    const LONG baseline = liveObjectCount();
    enum class Kind { imageType, cameraSelection };
    enum class WayOut { setObjectsZero, finalRelease };
    struct Case {
        const char* what;
        Kind kind;
        int activations;     // before the last SetObjects(1)
        bool activatedLast;  // activated after the last SetObjects(1)
        WayOut wayOut;
        // What an activated page writes: the running values into the store.
        std::function<void(Snapshot&)> written;
    };
    const auto imageWritten = [](Snapshot& s) {
        s.camMode = static_cast<DWORD>(s.mode);
        s.camPosition = static_cast<DWORD>(s.swap);
    };
    const auto cameraWritten = [](Snapshot& s) {
        s.camSize = static_cast<DWORD>(s.size);
        s.lcamName = "Cam C";
        s.rcamName = "Cam B";
    };
    const auto unchanged = [](Snapshot&) {};
    const Case cases[] = {
        {"image type, never shown", Kind::imageType, 0, false, WayOut::setObjectsZero, unchanged},
        {"image type, never shown, final release", Kind::imageType, 0, false, WayOut::finalRelease,
         unchanged},
        {"image type, shown for an earlier object", Kind::imageType, 1, false, WayOut::setObjectsZero,
         unchanged},
        {"image type, shown", Kind::imageType, 0, true, WayOut::setObjectsZero, imageWritten},
        {"image type, shown, final release", Kind::imageType, 0, true, WayOut::finalRelease, imageWritten},
        {"camera selection, never shown", Kind::cameraSelection, 0, false, WayOut::setObjectsZero, unchanged},
        {"camera selection, never shown, final release", Kind::cameraSelection, 0, false,
         WayOut::finalRelease, unchanged},
        {"camera selection, shown for an earlier object", Kind::cameraSelection, 1, false,
         WayOut::setObjectsZero, unchanged},
        {"camera selection, shown", Kind::cameraSelection, 0, true, WayOut::setObjectsZero, cameraWritten},
        {"camera selection, shown, final release", Kind::cameraSelection, 0, true, WayOut::finalRelease,
         cameraWritten},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        {
            RealFilter filter;
            setCameras({L"Cam A", L"Cam B", L"Cam C"});
            // Running settings and store deliberately differ in every value.
            filter.imageControl->SetImageMode(7);
            filter.imageControl->SetSwapFlag(1);
            filter.cameraSelection->SetSizeIndex(1);
            filter.cameraSelection->SetCameraIndices(2, 1);
            clearStoredSettings();
            storeDword("camMode", 5);
            storeDword("camPosition", 0);
            storeDword("camSize", 0);
            storeString("lcamName", "Cam A");
            storeString("rcamName", "Cam B");
            const Snapshot before = Snapshot::take();

            HRESULT hr = S_OK;
            ComponentCore* object = c.kind == Kind::imageType ? ImageTypePage::create(nullptr, &hr)
                                                              : CameraSelectionPage::create(nullptr, &hr);
            ASSERT_NE(nullptr, object);
            ComPtr<IPropertyPage> page;
            ASSERT_HRESULT_SUCCEEDED(ComPtr<IUnknown>(object->innerUnknown()).As(&page));
            IUnknown* target = c.kind == Kind::imageType ? filter.unknown.Get() : filter.pin.Get();
            RecordingSite site;
            FrameWindows windows;
            ASSERT_EQ(S_OK, page->SetPageSite(&site));
            for (int i = 0; i < c.activations; ++i) {
                ASSERT_EQ(S_OK, page->SetObjects(1, &target));
                ASSERT_EQ(S_OK, page->Activate(windows.container, &windows.pageRect, TRUE));
                ASSERT_EQ(S_OK, page->Deactivate());
                ASSERT_EQ(S_OK, page->SetObjects(0, nullptr));
                // That page wrote what it read; the next object starts from this.
                storeDword("camMode", 5);
                storeDword("camPosition", 0);
                storeDword("camSize", 0);
                storeString("lcamName", "Cam A");
                storeString("rcamName", "Cam B");
            }
            ASSERT_EQ(S_OK, page->SetObjects(1, &target));
            PROPPAGEINFO info{};
            ASSERT_EQ(S_OK, page->GetPageInfo(&info));
            CoTaskMemFree(info.pszTitle);
            if (c.activatedLast) {
                ASSERT_EQ(S_OK, page->Activate(windows.container, &windows.pageRect, TRUE));
                ASSERT_EQ(S_OK, page->Deactivate());
            }
            if (c.wayOut == WayOut::setObjectsZero) {
                EXPECT_EQ(S_OK, page->SetObjects(0, nullptr));
                EXPECT_EQ(S_OK, page->SetPageSite(nullptr));
            }
            page.Reset();  // the final release detaches a page still attached

            Snapshot expected = before;
            c.written(expected);
            EXPECT_EQ(expected, Snapshot::take());
            EXPECT_EQ(0u, site.refs);
        }
        EXPECT_EQ(baseline, liveObjectCount());
    }
}

}  // namespace
