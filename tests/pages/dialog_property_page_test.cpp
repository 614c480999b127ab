// The property page protocol of DialogPropertyPage: preconditions, results,
// the dirty flag, the hooks' order and the page's dialog window.
#include <gtest/gtest.h>

#include "../../pages/dialog_templates.h"
#include "page_test_support.h"
#include "pages/dialog_property_page.h"

namespace {

using pagetest::FrameWindows;
using pagetest::RecordingSite;

// What the hooks of a test page saw.
struct HookLog {
    int attached = 0, detached = 0, initialised = 0, released = 0, committed = 0;
    IUnknown* lastObject = nullptr;
    HRESULT attachResult = S_OK;
    HRESULT commitResult = S_OK;
    HWND windowAtInit = nullptr;
    LONG exStyleAtRelease = -1;
    bool destroyed = false;
};

class TestPage final : public DialogPropertyPage {
public:
    TestPage(IUnknown* outer, HookLog* log, int dialog = IDD_IMAGE_TYPE_PAGE)
        : DialogPropertyPage(outer, dialog, IDS_IMAGE_TYPE_PAGE_TITLE), log(log) {}
    void makeDirty() { markDirty(); }
    HWND dialog() const { return dialogWindow; }

protected:
    HRESULT attachObject(IUnknown* object) override {
        ++log->attached;
        log->lastObject = object;
        return log->attachResult;
    }
    HRESULT detachObject() override {
        ++log->detached;
        return S_OK;
    }
    HRESULT initControls() override {
        ++log->initialised;
        log->windowAtInit = dialogWindow;
        return E_FAIL;  // ignored by Activate
    }
    HRESULT releaseControls() override {
        ++log->released;
        log->exStyleAtRelease = GetWindowLongW(dialogWindow, GWL_EXSTYLE);
        return S_OK;
    }
    HRESULT commitChanges() override {
        ++log->committed;
        return log->commitResult;
    }

private:
    ~TestPage() override { log->destroyed = true; }
    HookLog* log;
};

class DialogPropertyPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        baseline = liveObjectCount();
        page = new TestPage(nullptr, &log);
        unknown = page->innerUnknown();
        ASSERT_HRESULT_SUCCEEDED(unknown.As(&propertyPage));
    }
    void TearDown() override {
        propertyPage.Reset();
        unknown.Reset();
        EXPECT_TRUE(log.destroyed);
        EXPECT_EQ(baseline, liveObjectCount());
        EXPECT_EQ(0u, site.refs);
    }
    void attach() {
        IUnknown* object = &dummyObject;
        ASSERT_EQ(S_OK, propertyPage->SetObjects(1, &object));
    }

    LONG baseline = 0;
    HookLog log;
    TestPage* page = nullptr;
    ComPtr<IUnknown> unknown;
    ComPtr<IPropertyPage> propertyPage;
    RecordingSite site;
    RecordingSite dummyObject;  // any IUnknown will do as the object
    FrameWindows windows;
};

TEST_F(DialogPropertyPageTest, AnswersPropertyPageAndUnknownOnlyAndCountsAsLiveObject) {
    EXPECT_EQ(baseline + 1, liveObjectCount());
    ComPtr<IUnknown> again;
    EXPECT_EQ(S_OK,
              propertyPage->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(again.GetAddressOf())));
    EXPECT_EQ(unknown.Get(), again.Get());
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, unknown->QueryInterface(IID_IPersist, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_NOINTERFACE, unknown->QueryInterface(IID_IPropertyPageSite, &out));
    EXPECT_EQ(E_POINTER, unknown->QueryInterface(IID_IPropertyPage, nullptr));
    EXPECT_EQ(S_FALSE, propertyPage->IsPageDirty());
    EXPECT_EQ(E_NOTIMPL, propertyPage->Help(L"x"));
    EXPECT_EQ(E_NOTIMPL, propertyPage->TranslateAccelerator(nullptr));
}

TEST_F(DialogPropertyPageTest, SetPageSiteRefusesASecondSiteAndAMissingOne) {
    EXPECT_EQ(E_UNEXPECTED, propertyPage->SetPageSite(nullptr));
    EXPECT_EQ(S_OK, propertyPage->SetPageSite(&site));
    EXPECT_EQ(1u, site.refs);
    RecordingSite other;
    EXPECT_EQ(E_UNEXPECTED, propertyPage->SetPageSite(&other));
    EXPECT_EQ(0u, other.refs);
    EXPECT_EQ(S_OK, propertyPage->SetPageSite(nullptr));
    EXPECT_EQ(0u, site.refs);
    EXPECT_EQ(E_UNEXPECTED, propertyPage->SetPageSite(nullptr));
}

TEST_F(DialogPropertyPageTest, SetObjectsRunsTheHooksByCount) {
    IUnknown* object = &dummyObject;
    IUnknown* two[2] = {object, object};
    EXPECT_EQ(E_UNEXPECTED, propertyPage->SetObjects(2, two));
    IUnknown* none[1] = {nullptr};
    EXPECT_EQ(E_POINTER, propertyPage->SetObjects(1, none));
    EXPECT_EQ(E_POINTER, propertyPage->SetObjects(1, nullptr));
    EXPECT_EQ(0, log.attached);
    EXPECT_EQ(0, log.detached);

    log.attachResult = E_NOINTERFACE;
    EXPECT_EQ(E_NOINTERFACE, propertyPage->SetObjects(1, &object));
    EXPECT_EQ(object, log.lastObject);
    // A failed attach still counts as an object set: Activate is allowed.
    EXPECT_EQ(S_OK, propertyPage->Activate(windows.container, &windows.pageRect, FALSE));
    EXPECT_EQ(S_OK, propertyPage->Deactivate());
    EXPECT_EQ(S_OK, propertyPage->SetObjects(0, nullptr));
    EXPECT_EQ(1, log.detached);
    EXPECT_EQ(E_UNEXPECTED, propertyPage->Activate(windows.container, &windows.pageRect, FALSE));
}

TEST_F(DialogPropertyPageTest, ActivateChecksItsPreconditionsAndCreatesTheDialogInTheParent) {
    EXPECT_EQ(E_UNEXPECTED, propertyPage->Activate(windows.container, &windows.pageRect, TRUE));
    EXPECT_EQ(nullptr, FindWindowExW(windows.container, nullptr, nullptr, nullptr));
    EXPECT_EQ(0, log.initialised);
    attach();
    EXPECT_EQ(E_POINTER, propertyPage->Activate(windows.container, nullptr, TRUE));
    EXPECT_EQ(E_UNEXPECTED, propertyPage->Show(SW_SHOW));
    EXPECT_EQ(E_UNEXPECTED, propertyPage->Move(&windows.pageRect));
    EXPECT_EQ(E_UNEXPECTED, propertyPage->Deactivate());

    ASSERT_EQ(S_OK, propertyPage->Activate(windows.container, &windows.pageRect, TRUE));
    HWND dialog = FindWindowExW(windows.container, nullptr, L"#32770", nullptr);
    ASSERT_NE(nullptr, dialog);
    EXPECT_EQ(dialog, page->dialog());
    EXPECT_EQ(dialog, log.windowAtInit);  // initControls runs with the dialog recorded
    EXPECT_EQ(1, log.initialised);
    EXPECT_TRUE(GetWindowLongW(dialog, GWL_STYLE) & WS_VISIBLE);  // the frame itself is hidden here
    RECT rect{}, parent{};
    GetWindowRect(dialog, &rect);
    GetWindowRect(windows.container, &parent);
    EXPECT_EQ(parent.left + windows.pageRect.left, rect.left);
    EXPECT_EQ(parent.top + windows.pageRect.top, rect.top);
    EXPECT_EQ(windows.pageRect.right - windows.pageRect.left, rect.right - rect.left);
    EXPECT_NE(nullptr, GetDlgItem(dialog, IDC_IMAGE_MODE_LIST));

    EXPECT_EQ(E_UNEXPECTED, propertyPage->Activate(windows.container, &windows.pageRect, TRUE));
    EXPECT_EQ(1, log.initialised);

    EXPECT_EQ(E_INVALIDARG, propertyPage->Show(SW_SHOWMAXIMIZED));
    EXPECT_EQ(S_OK, propertyPage->Show(SW_HIDE));
    EXPECT_FALSE(GetWindowLongW(dialog, GWL_STYLE) & WS_VISIBLE);
    EXPECT_EQ(S_OK, propertyPage->Show(SW_SHOW));
    EXPECT_EQ(E_POINTER, propertyPage->Move(nullptr));
    const RECT moved{10, 20, 110, 220};
    EXPECT_EQ(S_OK, propertyPage->Move(&moved));
    GetWindowRect(dialog, &rect);
    EXPECT_EQ(100, rect.right - rect.left);
    EXPECT_EQ(200, rect.bottom - rect.top);

    EXPECT_EQ(S_OK, propertyPage->Deactivate());
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(1, log.released);
    EXPECT_EQ(E_UNEXPECTED, propertyPage->Deactivate());
    // Activate and Deactivate may repeat while attached.
    EXPECT_EQ(S_OK, propertyPage->Activate(windows.container, &windows.pageRect, TRUE));
    EXPECT_EQ(2, log.initialised);
    EXPECT_EQ(S_OK, propertyPage->Deactivate());
}

TEST_F(DialogPropertyPageTest, ActivePageKeepsControlParentStyleUntilDeactivateRemovesIt) {
    attach();
    ASSERT_EQ(S_OK, propertyPage->Activate(windows.container, &windows.pageRect, TRUE));
    HWND dialog = page->dialog();
    ASSERT_TRUE(GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_CONTROLPARENT);
    SetWindowLongW(dialog, GWL_EXSTYLE, 0);
    EXPECT_TRUE(GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_CONTROLPARENT);

    // Deactivate takes the style away itself, before releaseControls runs.
    EXPECT_EQ(S_OK, propertyPage->Deactivate());
    EXPECT_EQ(0, log.exStyleAtRelease & WS_EX_CONTROLPARENT);
    EXPECT_FALSE(IsWindow(dialog));
}

TEST_F(DialogPropertyPageTest, GetPageInfoReportsTitleAndDialogSize) {
    EXPECT_EQ(E_POINTER, propertyPage->GetPageInfo(nullptr));
    PROPPAGEINFO info{};
    ASSERT_EQ(S_OK, propertyPage->GetPageInfo(&info));
    EXPECT_EQ(sizeof(PROPPAGEINFO), info.cb);
    ASSERT_NE(nullptr, info.pszTitle);
    EXPECT_STREQ(L"VANTO 3D Lumra Property Page", info.pszTitle);
    EXPECT_EQ(nullptr, info.pszDocString);
    EXPECT_EQ(nullptr, info.pszHelpFile);
    EXPECT_EQ(0u, info.dwHelpContext);
    // 266 x 213 dialog units in pixels, as the dialog itself measures.
    HWND probe = CreateDialogParamW(pageResourceModule(), MAKEINTRESOURCEW(IDD_IMAGE_TYPE_PAGE),
                                    GetDesktopWindow(), nullptr, 0);
    ASSERT_NE(nullptr, probe);
    RECT units{0, 0, DV_IMAGE_TYPE_PAGE_WIDTH, DV_IMAGE_TYPE_PAGE_HEIGHT};
    MapDialogRect(probe, &units);
    DestroyWindow(probe);
    EXPECT_EQ(units.right, info.size.cx);
    EXPECT_EQ(units.bottom, info.size.cy);
    EXPECT_NE(340, info.size.cx);
    CoTaskMemFree(info.pszTitle);
}

TEST(DialogPropertyPageSizes, TemplateThatCannotBeCreatedGivesTheDefaultSize) {
    HookLog log;
    auto* page = new TestPage(nullptr, &log, 4321);
    ComPtr<IPropertyPage> propertyPage;
    ASSERT_HRESULT_SUCCEEDED(ComPtr<IUnknown>(page->innerUnknown()).As(&propertyPage));
    PROPPAGEINFO info{};
    ASSERT_EQ(S_OK, propertyPage->GetPageInfo(&info));
    EXPECT_EQ(340, info.size.cx);
    EXPECT_EQ(150, info.size.cy);
    CoTaskMemFree(info.pszTitle);
    SIZE untouched{-7, -9};
    EXPECT_FALSE(getDialogSize(4321, &DialogPropertyPage::dialogProcedure, 0, &untouched));
    EXPECT_EQ(-7, untouched.cx);
    // A missing title string is the empty string.
    EXPECT_EQ(L"", loadTitleString(4321));
    EXPECT_EQ(L"VANTO 3D Pin Property Page", loadTitleString(IDS_CAMERA_SELECTION_PAGE_TITLE));
}

TEST_F(DialogPropertyPageTest, ApplyCommitsOnlyADirtyPageWithObjectAndSite) {
    EXPECT_EQ(E_UNEXPECTED, propertyPage->Apply());  // no object
    attach();
    page->makeDirty();  // no site yet: only the flag
    EXPECT_EQ(S_OK, propertyPage->IsPageDirty());
    EXPECT_EQ(E_UNEXPECTED, propertyPage->Apply());  // no site
    EXPECT_EQ(S_OK, propertyPage->IsPageDirty());
    EXPECT_EQ(0, log.committed);

    ASSERT_EQ(S_OK, propertyPage->SetPageSite(&site));
    page->makeDirty();
    ASSERT_EQ(1u, site.statusChanges.size());
    EXPECT_EQ(static_cast<DWORD>(PROPPAGESTATUS_DIRTY), site.statusChanges[0]);

    log.commitResult = E_FAIL;
    EXPECT_EQ(E_FAIL, propertyPage->Apply());
    EXPECT_EQ(S_OK, propertyPage->IsPageDirty());
    log.commitResult = S_FALSE;
    EXPECT_EQ(S_FALSE, propertyPage->Apply());
    EXPECT_EQ(S_FALSE, propertyPage->IsPageDirty());
    EXPECT_EQ(2, log.committed);
    EXPECT_EQ(S_OK, propertyPage->Apply());  // clean: the hook is not called
    EXPECT_EQ(2, log.committed);
    EXPECT_EQ(S_OK, propertyPage->SetPageSite(nullptr));
}

TEST_F(DialogPropertyPageTest, DirtySurvivesDeactivateAndActivate) {
    attach();
    ASSERT_EQ(S_OK, propertyPage->Activate(windows.container, &windows.pageRect, TRUE));
    page->makeDirty();
    ASSERT_EQ(S_OK, propertyPage->Deactivate());
    ASSERT_EQ(S_OK, propertyPage->Activate(windows.container, &windows.pageRect, TRUE));
    EXPECT_EQ(S_OK, propertyPage->IsPageDirty());
    ASSERT_EQ(S_OK, propertyPage->Deactivate());
}

TEST_F(DialogPropertyPageTest, LastReleaseOfAnAttachedPageDropsTheSiteAndDetaches) {
    attach();
    ASSERT_EQ(S_OK, propertyPage->SetPageSite(&site));
    ASSERT_EQ(1u, site.refs);
    propertyPage.Reset();
    EXPECT_FALSE(log.destroyed);
    unknown.Reset();
    EXPECT_TRUE(log.destroyed);
    EXPECT_EQ(1, log.detached);
    EXPECT_EQ(0u, site.refs);
}

// An aggregating object that counts the references its inner page forwards.
class OuterObject final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IPropertyPage && inner) return inner->QueryInterface(riid, ppv);
        if (riid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    ULONG refs = 0;
    IUnknown* inner = nullptr;
};

TEST(DialogPropertyPageAggregation, PropertyPageFaceDelegatesToTheOuterObject) {
    const LONG baseline = liveObjectCount();
    OuterObject outer;
    HookLog log;
    auto* page = new TestPage(&outer, &log);
    outer.inner = page->innerUnknown();
    outer.inner->AddRef();  // the outer object's one reference to its inner page
    {
        ComPtr<IPropertyPage> face;
        ASSERT_EQ(S_OK,
                  outer.QueryInterface(IID_IPropertyPage, reinterpret_cast<void**>(face.GetAddressOf())));
        EXPECT_EQ(1u, outer.refs);  // the face's AddRef went to the outer object
        ComPtr<IUnknown> identity;
        ASSERT_EQ(S_OK,
                  face->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(identity.GetAddressOf())));
        EXPECT_EQ(static_cast<IUnknown*>(&outer), identity.Get());
        EXPECT_EQ(S_FALSE, face->IsPageDirty());
    }
    EXPECT_EQ(0u, outer.refs);
    EXPECT_FALSE(log.destroyed);
    outer.inner->Release();
    EXPECT_TRUE(log.destroyed);
    EXPECT_EQ(baseline, liveObjectCount());
}

}  // namespace
