// The classes Duoview2 creates, in search order.

#include "filter/component_server.h"
#include "filter/stereo_camera_filter.h"
#include "filter/stereo_interfaces.h"

const ClassEntry classTable[] = {
    {L"VantoDuoviewFilter", &CLSID_StereoCameraFilter, &StereoCameraFilter::create, nullptr, &stereoFilterSetup},
    // Property pages, registered without a setup record:
    //   {L"VANTO 3D Vcam Props", &CLSID_ImageTypePage, <image type page creation>, nullptr, nullptr},
    //   {L"VANTO 3D Pin Property Page", &CLSID_CameraSelectionPage, <camera selection page creation>, nullptr, nullptr},
};

const size_t classTableSize = sizeof(classTable) / sizeof(classTable[0]);
