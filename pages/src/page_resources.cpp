// The module handle of the pages' resources and, on POSIX, their registration
// with the window model.
#include "../dialog_templates.h"
#include "pages/dialog_property_page.h"

namespace {

HINSTANCE findOwnModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&pageResourceModule), &module);
    return module;
}

#ifndef _WIN32
#define DV_WINDOW_MODEL_CONTROL(id, cls, text, style, x, y, w, h) \
    {id, cls, text, static_cast<DWORD>(style), x, y, w, h},

const DvDialogControl imageTypeControls[] = {DV_IMAGE_TYPE_PAGE_CONTROLS(DV_WINDOW_MODEL_CONTROL)};
const DvDialogControl cameraSelectionControls[] = {
    DV_CAMERA_SELECTION_PAGE_CONTROLS(DV_WINDOW_MODEL_CONTROL)};

// Registers this module's templates and strings for as long as the module is
// loaded (a function-local static: destroyed when the module is unloaded).
class ResourceRegistration {
public:
    explicit ResourceRegistration(HINSTANCE module) : module(module) {
        const DvDialogTemplate imageType{
            IDD_IMAGE_TYPE_PAGE,      DV_PAGE_DIALOG_STYLE,
            DV_IMAGE_TYPE_PAGE_WIDTH, DV_IMAGE_TYPE_PAGE_HEIGHT,
            imageTypeControls,        sizeof(imageTypeControls) / sizeof(imageTypeControls[0])};
        const DvDialogTemplate cameraSelection{
            IDD_CAMERA_SELECTION_PAGE,
            DV_PAGE_DIALOG_STYLE,
            DV_CAMERA_SELECTION_PAGE_WIDTH,
            DV_CAMERA_SELECTION_PAGE_HEIGHT,
            cameraSelectionControls,
            sizeof(cameraSelectionControls) / sizeof(cameraSelectionControls[0])};
        dvRegisterDialogTemplate(module, &imageType);
        dvRegisterDialogTemplate(module, &cameraSelection);
        dvRegisterStringResource(module, IDS_IMAGE_TYPE_PAGE_TITLE, DV_IMAGE_TYPE_PAGE_TITLE);
        dvRegisterStringResource(module, IDS_CAMERA_SELECTION_PAGE_TITLE, DV_CAMERA_SELECTION_PAGE_TITLE);
    }
    ~ResourceRegistration() { dvUnregisterModuleResources(module); }
    ResourceRegistration(const ResourceRegistration&) = delete;
    ResourceRegistration& operator=(const ResourceRegistration&) = delete;

private:
    HINSTANCE module;
};
#endif

}  // namespace

HINSTANCE pageResourceModule() {
    // The handle is what stays constant, not the module it names.
    static const HINSTANCE module = findOwnModule();  // NOLINT(misc-misplaced-const)
#ifndef _WIN32
    static const ResourceRegistration registration(module);
#endif
    return module;
}
