// Component server of the V4L2 capture source: its class object, unloading
// and self-registration. Only the class keys are registered: the devices are
// not registry entries but the V4L2 nodes the device enumerator finds when it
// lists the video input category.
#include <string>

#include "framework/framework.h"
#include "framework/module_server.h"
#include "platform/v4l2_io.h"
#include "v4l2/v4l2_source.h"

namespace {

HRESULT createSource(const void*, IUnknown* outer, REFIID riid, void** ppv) {
    return createV4l2Source(outer, riid, ppv);
}

}  // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_DvV4l2CaptureSource) return CLASS_E_CLASSNOTAVAILABLE;
    return makeClassObject(createSource, nullptr, riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return moduleUnloadAnswer();
}

// HKCR\CLSID\{class} (default: the source's name) and its InprocServer32
// (default: this module's path, ThreadingModel "Both").
extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    const std::wstring path = thisModulePath();
    if (path.empty()) return E_FAIL;
    return writeClassKeys(CLSID_DvV4l2CaptureSource, L"Duoview V4L2 Capture Source", path);
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    return removeClassKeys(CLSID_DvV4l2CaptureSource);
}
