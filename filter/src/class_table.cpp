// The classes Duoview2 creates, in search order.

#include "filter/component_server.h"
#include "filter/stereo_camera_filter.h"
#include "filter/stereo_interfaces.h"
#include "pages/camera_selection_page.h"
#include "pages/image_type_page.h"

const ClassEntry classTable[] = {
    {L"VantoDuoviewFilter", &CLSID_StereoCameraFilter, &StereoCameraFilter::create, nullptr,
     &stereoFilterSetup},
    // Property pages, registered without a setup record:
    {L"VANTO 3D Vcam Props", &CLSID_ImageTypePage, &ImageTypePage::create, nullptr, nullptr},
    {L"VANTO 3D Pin Property Page", &CLSID_CameraSelectionPage, &CameraSelectionPage::create, nullptr,
     nullptr},
};

const size_t classTableSize = sizeof(classTable) / sizeof(classTable[0]);
