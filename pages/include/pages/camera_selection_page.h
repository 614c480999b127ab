// The camera selection page: left and right camera and the resolution, for
// the output pin "Output1" (named by its ISpecifyPropertyPages).
//
// Every change goes to the running settings at once (ICameraSelection): the
// resolution reaches the frame store immediately, the camera pair applies at
// the next attachment. Apply commits; letting go of the pin puts the
// committed values back and writes them to the settings store.
// Thread: the property frame's user-interface thread; no lock of its own.
#pragma once

#include "filter/stereo_interfaces.h"
#include "pages/dialog_property_page.h"

class CameraSelectionPage final : public DialogPropertyPage {
public:
    // Dialog template 106, title string 110 ("VANTO 3D Pin Property Page").
    explicit CameraSelectionPage(IUnknown* outer);

    // The class table's creation function.
    static ComponentCore* create(IUnknown* outer, HRESULT* result) {
        return createPropertyPage<CameraSelectionPage>(outer, result);
    }

protected:
    // The object's ICameraSelection (the query's result is the hook's).
    HRESULT attachObject(IUnknown* object) override;
    // Restores the committed size and cameras, releases the pin and saves the
    // camera settings; a page never activated since attachObject only
    // releases the pin (it has no committed values to restore). Always S_OK.
    HRESULT detachObject() override;
    // Fills the camera lists from the camera list and the resolution list;
    // answers GetSizeIndex's result.
    HRESULT initControls() override;
    HRESULT releaseControls() override;
    // committed = pending; writes nothing.
    HRESULT commitChanges() override;
    INT_PTR handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    ~CameraSelectionPage() override = default;

    // A choice in the left (`left` true) or right camera list. A camera equal
    // to the other side's, or a change to the virtual camera's own entry, is
    // refused with its message and the side falls back to its committed
    // camera (or, when that one is refused as well, to the camera it had
    // before).
    void cameraChosen(bool left);

    ComPtr<ICameraSelection> cameraSelection;
    int committedSize = 0;
    int pendingSize = 0;
    int committedLeft = 0;
    int pendingLeft = 0;
    int committedRight = 0;
    int pendingRight = 0;
    // The committed values were read from the pin (initControls ran) since
    // the pin was attached.
    bool valuesRead = false;
};
