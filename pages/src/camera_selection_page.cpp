#include "pages/camera_selection_page.h"

#include "../dialog_templates.h"
#include "capture/camera_list.h"
#include "filter/settings_store.h"
#include "pages/frame_placement.h"

namespace {

const char* const resolutionNames[] = {"320x240", "640x480"};
constexpr const char* sameCameraCaption = "Camera's Selection";
// The two sides' messages differ only in the space after the comma.
constexpr const char* sameCameraLeftText = "Left and Right camera can not be the same one,please reselect.";
constexpr const char* sameCameraRightText = "Left and Right camera can not be the same one, please reselect.";
constexpr const char* selfAsLeftText =
    "The virtual camera can not use itself as the left camera, please reselect.";
constexpr const char* selfAsRightText =
    "The virtual camera can not use itself as the right camera, please reselect.";

// Item data of the selected entry of list `id`, or CB_ERR without a selection.
LRESULT selectedItemData(HWND dialog, int id) {
    const LRESULT position = SendDlgItemMessageA(dialog, id, CB_GETCURSEL, 0, 0);
    if (position == CB_ERR) return CB_ERR;
    return SendDlgItemMessageA(dialog, id, CB_GETITEMDATA, static_cast<WPARAM>(position), 0);
}

}  // namespace

CameraSelectionPage::CameraSelectionPage(IUnknown* outer)
    : DialogPropertyPage(outer, IDD_CAMERA_SELECTION_PAGE, IDS_CAMERA_SELECTION_PAGE_TITLE) {}

HRESULT CameraSelectionPage::attachObject(IUnknown* object) {
    if (!object) return E_POINTER;
    valuesRead = false;
    return object->QueryInterface(IID_ICameraSelection,
                                  reinterpret_cast<void**>(cameraSelection.ReleaseAndGetAddressOf()));
}

HRESULT CameraSelectionPage::detachObject() {
    if (!cameraSelection) return S_OK;
    if (!valuesRead) {
        // Never activated: there is nothing to restore, and the store keeps what it has.
        cameraSelection.Reset();
        return S_OK;
    }
    cameraSelection->SetSizeIndex(static_cast<unsigned>(committedSize));
    cameraSelection->SetCameraIndices(committedLeft, committedRight);
    cameraSelection.Reset();
    saveCameraSettings();
    return S_OK;
}

HRESULT CameraSelectionPage::initControls() {
    // Placement waits until the frame has laid itself out.
    PostMessageW(dialogWindow, WM_APP, 0, 0);
    // SetObjects marks the page as having an object even when the object is no
    // output pin; such a page shows empty lists.
    if (!cameraSelection) return E_UNEXPECTED;

    const HRESULT camerasResult = cameraSelection->GetCameraIndices(&committedLeft, &committedRight);
    pendingLeft = committedLeft;
    pendingRight = committedRight;
    if (SUCCEEDED(camerasResult)) {
        // Item data = position in the camera list; the lists keep insertion order.
        for (size_t i = 0; i < cameraList.size(); ++i) {
            const auto name = reinterpret_cast<LPARAM>(cameraList[i].name);
            const LRESULT left =
                SendDlgItemMessageA(dialogWindow, IDC_LEFT_CAMERA_LIST, CB_ADDSTRING, 0, name);
            SendDlgItemMessageA(dialogWindow, IDC_LEFT_CAMERA_LIST, CB_SETITEMDATA, static_cast<WPARAM>(left),
                                static_cast<LPARAM>(i));
            const LRESULT right =
                SendDlgItemMessageA(dialogWindow, IDC_RIGHT_CAMERA_LIST, CB_ADDSTRING, 0, name);
            SendDlgItemMessageA(dialogWindow, IDC_RIGHT_CAMERA_LIST, CB_SETITEMDATA,
                                static_cast<WPARAM>(right), static_cast<LPARAM>(i));
        }
        // An index beyond the list leaves that list without a selection.
        SendDlgItemMessageA(dialogWindow, IDC_LEFT_CAMERA_LIST, CB_SETCURSEL,
                            static_cast<WPARAM>(committedLeft), 0);
        EnableWindow(GetDlgItem(dialogWindow, IDC_LEFT_CAMERA_LIST), TRUE);
        SendDlgItemMessageA(dialogWindow, IDC_RIGHT_CAMERA_LIST, CB_SETCURSEL,
                            static_cast<WPARAM>(committedRight), 0);
        EnableWindow(GetDlgItem(dialogWindow, IDC_RIGHT_CAMERA_LIST), TRUE);
    }

    const HRESULT sizeResult = cameraSelection->GetSizeIndex(&committedSize);
    pendingSize = committedSize;
    valuesRead = true;
    if (FAILED(sizeResult)) return sizeResult;
    for (int i = 0; i < 2; ++i) {
        const LRESULT position = SendDlgItemMessageA(dialogWindow, IDC_RESOLUTION_LIST, CB_ADDSTRING, 0,
                                                     reinterpret_cast<LPARAM>(resolutionNames[i]));
        SendDlgItemMessageA(dialogWindow, IDC_RESOLUTION_LIST, CB_SETITEMDATA, static_cast<WPARAM>(position),
                            i);
    }
    SendDlgItemMessageA(dialogWindow, IDC_RESOLUTION_LIST, CB_SETCURSEL, static_cast<WPARAM>(committedSize),
                        0);
    EnableWindow(GetDlgItem(dialogWindow, IDC_RESOLUTION_LIST), TRUE);
    return sizeResult;
}

HRESULT CameraSelectionPage::releaseControls() {
    return S_OK;
}

HRESULT CameraSelectionPage::commitChanges() {
    committedSize = pendingSize;
    committedRight = pendingRight;
    committedLeft = pendingLeft;
    return S_OK;
}

void CameraSelectionPage::cameraChosen(bool left) {
    const int listId = left ? IDC_LEFT_CAMERA_LIST : IDC_RIGHT_CAMERA_LIST;
    const LRESULT chosen = selectedItemData(dialogWindow, listId);
    // A list without a selection (its index lies beyond the camera list) has nothing to send.
    if (chosen == CB_ERR) return;
    int& pending = left ? pendingLeft : pendingRight;
    const int other = left ? pendingRight : pendingLeft;
    const int committed = left ? committedLeft : committedRight;
    const int previous = pending;
    // The virtual camera lists itself among the devices; it can never be one
    // of its own cameras (the attachment refuses it as well). Only a change
    // to it is refused: a notification that leaves a stored choice of it in
    // place (focus, drop-down) shows nothing.
    const auto isSelf = [](int index) { return cameraList.isOfClass(index, CLSID_StereoCameraFilter); };
    pending = static_cast<int>(chosen);
    const bool selfChosen = pending != previous && isSelf(pending);
    if (pending == other || selfChosen) {
        const char* text = selfChosen ? (left ? selfAsLeftText : selfAsRightText)
                                      : (left ? sameCameraLeftText : sameCameraRightText);
        // Fall back to the committed camera of this side; if that one is
        // refused too (the other side has meanwhile taken it, or it is the
        // virtual camera), keep the camera this side had before.
        pending = committed != other && !isSelf(committed) ? committed : previous;
        MessageBoxA(nullptr, text, sameCameraCaption, MB_ICONWARNING | MB_OK);
        SendDlgItemMessageA(dialogWindow, listId, CB_SETCURSEL, static_cast<WPARAM>(pending), 0);
        EnableWindow(GetDlgItem(dialogWindow, listId), TRUE);
    }
    cameraSelection->SetCameraIndices(pendingLeft, pendingRight);
    markDirty();
}

INT_PTR CameraSelectionPage::handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP) {
        placePropertyFrame(dialogWindow);
        return 0;
    }
    if (message == WM_COMMAND && cameraSelection) {
        // Every notification of a list counts, whatever its code.
        switch (LOWORD(wParam)) {
        case IDC_LEFT_CAMERA_LIST:
            cameraChosen(true);
            break;
        case IDC_RIGHT_CAMERA_LIST:
            cameraChosen(false);
            break;
        case IDC_RESOLUTION_LIST: {
            const LRESULT size = selectedItemData(dialogWindow, IDC_RESOLUTION_LIST);
            if (size == CB_ERR) break;
            pendingSize = static_cast<int>(size);
            cameraSelection->SetSizeIndex(static_cast<unsigned>(pendingSize));
            markDirty();
            break;
        }
        default:
            break;
        }
    }
    return DialogPropertyPage::handleMessage(window, message, wParam, lParam);
}
