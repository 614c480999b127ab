// The base of every property page of the module: a page whose face is a
// dialog template from the module's own resources.
//
// DialogPropertyPage implements IPropertyPage as a property frame drives it
// (SetPageSite, SetObjects, GetPageInfo, Activate, Show/Move/IsPageDirty/Apply,
// Deactivate, SetObjects(0, null), SetPageSite(null), last Release), owns the
// page's dialog window and its dirty flag, and hands the concrete page six
// hooks. It checks only each call's own precondition; it never asserts.
//
// Threads: a frame drives its pages from one user-interface thread; every
// method except the reference counting assumes that thread and takes no lock.
// The count is interlocked, so the last Release may come from any thread and
// then runs the detach hook there.
#pragma once

#include <atomic>
#include <new>
#include <string>

#include "framework/component.h"
#include "platform/com_ptr.h"
#include "platform/win.h"

class DialogPropertyPage : public ComponentCore, public IPropertyPage {
public:
    DV_FORWARD_IUNKNOWN

    // IPropertyPage.
    STDMETHODIMP SetPageSite(IPropertyPageSite* site) override;
    STDMETHODIMP Activate(HWND parent, LPCRECT rect, BOOL modal) override;
    STDMETHODIMP Deactivate() override;
    STDMETHODIMP GetPageInfo(PROPPAGEINFO* info) override;
    STDMETHODIMP SetObjects(ULONG count, IUnknown** objects) override;
    STDMETHODIMP Show(UINT command) override;
    STDMETHODIMP Move(LPCRECT rect) override;
    STDMETHODIMP IsPageDirty() override;
    STDMETHODIMP Apply() override;
    STDMETHODIMP Help(LPCOLESTR directory) override;
    STDMETHODIMP TranslateAccelerator(MSG* message) override;

    // The non-delegating face: IPropertyPage and IUnknown. The count starts at
    // 0; the release that reaches 0 sets it to 1, runs SetPageSite(null) and
    // SetObjects(0, null) (so a page still attached detaches), then deletes.
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    ULONG nonDelegatingAddRef() override;
    ULONG nonDelegatingRelease() override;

    // The one dialog procedure of all pages. The page given as the creation
    // parameter is kept in the dialog's DWLP_USER slot at WM_INITDIALOG; a
    // dialog without one (the measuring dialog of getDialogSize) answers TRUE
    // to everything.
    static INT_PTR CALLBACK dialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

protected:
    // `outer`: the aggregating object, or null. `dialogId`: the template;
    // `titleId`: the string resource of the tab title.
    DialogPropertyPage(IUnknown* outer, int dialogId, int titleId);
    ~DialogPropertyPage() override;

    // Hooks, in this order. SetObjects(1, ...) runs attachObject with the first
    // object and answers its result; SetObjects(0, ...) and the final Release
    // run detachObject. Activate runs initControls after the dialog exists and
    // before it is moved and shown (its result is ignored); Deactivate runs
    // releaseControls before the dialog is destroyed. Apply on a dirty page runs
    // commitChanges and clears `dirty` only when it succeeds.
    virtual HRESULT attachObject(IUnknown* object) = 0;
    virtual HRESULT detachObject() = 0;
    virtual HRESULT initControls() = 0;
    virtual HRESULT releaseControls() = 0;
    virtual HRESULT commitChanges() = 0;
    // Every message of the dialog. This default keeps WS_EX_CONTROLPARENT on
    // the page while it is active and passes the rest to DefWindowProc.
    virtual INT_PTR handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    // Sets `dirty` and tells the site (PROPPAGESTATUS_DIRTY), so that the frame
    // enables its Apply button.
    void markDirty();

    ComPtr<IPropertyPageSite> pageSite;  // the frame's site, between SetPageSite calls
    HWND pageWindow = nullptr;           // the dialog from Activate to Deactivate
    HWND dialogWindow = nullptr;  // the same, recorded at WM_INITDIALOG; controls are addressed through it
    BOOL dirty = FALSE;           // changes that Apply has not yet committed; survives Deactivate
    int titleId;
    int dialogId;
    BOOL objectsSet = FALSE;  // SetObjects has handed over one object

private:
    std::atomic<LONG> referenceCount{0};
};

// The module that holds the pages' resources (templates, titles, logo): the
// module this code is linked into. On POSIX the first call registers the
// templates and strings of dialog_templates.h with the window model; they
// are unregistered when the module is unloaded.
HINSTANCE pageResourceModule();

// Creates dialog `dialogId` modeless, owned by the desktop window, with
// `procedure` and `param`, stores its outer size in pixels in `size`,
// destroys it and answers true; answers false and leaves `size` untouched
// when the dialog cannot be created.
bool getDialogSize(int dialogId, DLGPROC procedure, LPARAM param, SIZE* size);

// String resource `id` of the module (at most 255 characters); empty when missing.
std::wstring loadTitleString(int id);

// Creation for the component server's class table: constructs a Page with
// the outer object and answers it (the factory hands out its non-delegating
// IUnknown); on allocation failure sets *result to E_OUTOFMEMORY and answers
// null.
template <class Page>
ComponentCore* createPropertyPage(IUnknown* outer, HRESULT* result) {
    Page* page = new (std::nothrow) Page(outer);
    if (!page && result) *result = E_OUTOFMEMORY;
    return page;
}
