// The image type page: image mode, camera swap and the real cameras' own
// settings, for the filter object (named by its ISpecifyPropertyPages).
//
// Every control change goes to the filter at once (IStereoImageControl);
// Apply makes the current choice the committed one; letting go of the filter
// puts the committed values back and writes them to the settings store.
// Thread: the property frame's user-interface thread; no lock of its own.
#pragma once

#include "filter/stereo_interfaces.h"
#include "pages/dialog_property_page.h"

class ImageTypePage final : public DialogPropertyPage {
public:
    // Dialog template 109, title string 108 ("VANTO 3D Lumra Property Page").
    explicit ImageTypePage(IUnknown* outer);

    // The class table's creation function.
    static ComponentCore* create(IUnknown* outer, HRESULT* result) {
        return createPropertyPage<ImageTypePage>(outer, result);
    }

protected:
    // The object's IStereoImageControl (the query's result is the hook's).
    HRESULT attachObject(IUnknown* object) override;
    // Restores the committed mode and swap in the filter, releases it and
    // saves the image settings; a page never activated since attachObject
    // only releases the filter (it has no committed values to restore).
    // Always S_OK.
    HRESULT detachObject() override;
    // Fills the mode list and the swap box from the filter; answers
    // GetSwapFlag's result.
    HRESULT initControls() override;
    HRESULT releaseControls() override;
    // committed = pending; writes nothing.
    HRESULT commitChanges() override;
    INT_PTR handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    ~ImageTypePage() override = default;

    // Shows the left or right camera's own pages in a modal frame owned by
    // this page; marks the page dirty afterwards. Answers false (nothing
    // shown, page clean) when that camera is not attached or has no pages.
    bool openCameraSettings(bool left, LPCOLESTR caption);

    ComPtr<IStereoImageControl> imageControl;
    int committedMode = 0;
    int pendingMode = 0;
    int committedSwap = 0;
    int pendingSwap = 0;
    // The committed values were read from the filter (initControls ran)
    // since the filter was attached.
    bool valuesRead = false;
};
