#include "pages/image_type_page.h"

#include "../dialog_templates.h"
#include "capture/camera_attachment.h"
#include "filter/settings_store.h"
#include "framework/runtime_settings.h"
#include "pages/frame_placement.h"

ImageTypePage::ImageTypePage(IUnknown* outer)
    : DialogPropertyPage(outer, IDD_IMAGE_TYPE_PAGE, IDS_IMAGE_TYPE_PAGE_TITLE) {}

HRESULT ImageTypePage::attachObject(IUnknown* object) {
    if (!object) return E_POINTER;
    valuesRead = false;
    return object->QueryInterface(IID_IStereoImageControl,
                                  reinterpret_cast<void**>(imageControl.ReleaseAndGetAddressOf()));
}

HRESULT ImageTypePage::detachObject() {
    if (!imageControl) return S_OK;
    if (!valuesRead) {
        // Never activated: there is nothing to restore, and the store keeps what it has.
        imageControl.Reset();
        return S_OK;
    }
    imageControl->SetImageMode(committedMode);
    imageControl->SetSwapFlag(committedSwap);
    imageControl.Reset();
    saveImageSettings();
    return S_OK;
}

HRESULT ImageTypePage::initControls() {
    // Placement waits until the frame has laid itself out.
    PostMessageW(dialogWindow, WM_APP, 0, 0);
    // SetObjects marks the page as having an object even when the object is no
    // filter; such a page shows empty controls.
    if (!imageControl) return E_UNEXPECTED;

    const HRESULT modeResult = imageControl->GetImageMode(&committedMode);
    pendingMode = committedMode;
    if (SUCCEEDED(modeResult)) {
        // Item data = position = mode number: the list must keep insertion order.
        for (int mode = 0; imageModeName(mode); ++mode) {
            SendDlgItemMessageA(dialogWindow, IDC_IMAGE_MODE_LIST, CB_ADDSTRING, 0,
                                reinterpret_cast<LPARAM>(imageModeName(mode)));
            SendDlgItemMessageA(dialogWindow, IDC_IMAGE_MODE_LIST, CB_SETITEMDATA, static_cast<WPARAM>(mode),
                                mode);
        }
        SendDlgItemMessageA(dialogWindow, IDC_IMAGE_MODE_LIST, CB_SETCURSEL,
                            static_cast<WPARAM>(committedMode), 0);
        EnableWindow(GetDlgItem(dialogWindow, IDC_IMAGE_MODE_LIST), TRUE);
    }

    const HRESULT swapResult = imageControl->GetSwapFlag(&committedSwap);
    pendingSwap = committedSwap;
    valuesRead = true;
    if (SUCCEEDED(swapResult))
        CheckDlgButton(dialogWindow, IDC_SWAP_CAMERAS, committedSwap ? BST_CHECKED : BST_UNCHECKED);
    return swapResult;
}

HRESULT ImageTypePage::releaseControls() {
    return S_OK;
}

HRESULT ImageTypePage::commitChanges() {
    committedMode = pendingMode;
    committedSwap = pendingSwap;
    return S_OK;
}

INT_PTR ImageTypePage::handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP) {
        placePropertyFrame(dialogWindow);
        return 0;
    }
    if (message == WM_COMMAND && imageControl) {
        // Every notification of a control counts, whatever its code.
        switch (LOWORD(wParam)) {
        case IDC_LEFT_CAMERA_SETTINGS:
            if (!openCameraSettings(true, L"Left Camera Settings")) return 0;
            break;
        case IDC_RIGHT_CAMERA_SETTINGS:
            if (!openCameraSettings(false, L"Right Camera Settings")) return 0;
            break;
        case IDC_SWAP_CAMERAS:
            pendingSwap = IsDlgButtonChecked(dialogWindow, IDC_SWAP_CAMERAS) == BST_CHECKED ? 1 : 0;
            imageControl->SetSwapFlag(pendingSwap);
            markDirty();
            break;
        case IDC_IMAGE_MODE_LIST: {
            const LRESULT position =
                SendDlgItemMessageA(dialogWindow, IDC_IMAGE_MODE_LIST, CB_GETCURSEL, 0, 0);
            // A list without a selection (the filter's mode was not listed) has no mode to send.
            if (position == CB_ERR) break;
            pendingMode = static_cast<int>(SendDlgItemMessageA(
                dialogWindow, IDC_IMAGE_MODE_LIST, CB_GETITEMDATA, static_cast<WPARAM>(position), 0));
            imageControl->SetImageMode(pendingMode);
            markDirty();
            break;
        }
        default:
            break;
        }
    }
    return DialogPropertyPage::handleMessage(window, message, wParam, lParam);
}

bool ImageTypePage::openCameraSettings(bool left, LPCOLESTR caption) {
    ComPtr<IBaseFilter> camera = attachedCamera(left);
    if (!camera) return false;
    ComPtr<ISpecifyPropertyPages> specify;
    if (FAILED(camera.As(&specify))) return false;
    CAUUID pages{0, nullptr};
    const HRESULT listed = specify->GetPages(&pages);
    specify.Reset();
    // A camera that cannot list its pages gets no frame.
    if (FAILED(listed)) return false;
    IUnknown* object = camera.Get();
    OleCreatePropertyFrame(dialogWindow, 0, 0, caption, 1, &object, pages.cElems, pages.pElems, 0, 0,
                           nullptr);
    CoTaskMemFree(pages.pElems);
    markDirty();
    return true;
}
