// What every component server module of this system shares: its class
// objects, unloading, the creation steps of a component, and its class keys.
// The framework is linked statically into each module, so the server-lock
// count and the module path here are the module's own.
#pragma once

#include <string>

#include "framework/component.h"
#include "platform/win.h"

// A component server module exports these four from its own source (on
// POSIX they are its only exported names; a Windows module lists them in its
// module-definition file).
#ifdef _WIN32
#define DV_MODULE_EXPORT
#else
#define DV_MODULE_EXPORT __attribute__((visibility("default")))
#endif
extern "C" {
DV_MODULE_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv);
DV_MODULE_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow();
DV_MODULE_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer();
DV_MODULE_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer();
}

// A class's creation function, as IClassFactory::CreateInstance, with the
// context its class object was made with (static storage, or null).
using ComponentCreator = HRESULT (*)(const void* context, IUnknown* outer, REFIID riid, void** ppv);

// The class object of one class: CreateInstance calls `create` with
// `context`; LockServer counts the module's server locks. Counts in the
// live-object count like every framework object, so the module cannot unload
// while one exists.
class ClassFactory : public ComponentCore, public IClassFactory {
public:
    ClassFactory(ComponentCreator create, const void* context) : create(create), context(context) {}

    DV_FORWARD_IUNKNOWN
    // IClassFactory, then IUnknown.
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lockIt) override;

private:
    ComponentCreator create;
    const void* context;  // not owned: static storage
};

// For DllGetClassObject, once the class is known to be this module's: a new
// class object for `create` and `context`, asked for `riid`.
HRESULT makeClassObject(ComponentCreator create, const void* context, REFIID riid, void** ppv);
// DllCanUnloadNow's answer: S_OK when no framework object exists and no
// server lock is held, else S_FALSE.
HRESULT moduleUnloadAnswer();

// The common steps of CreateInstance for an aggregatable component: checks
// `ppv` (E_POINTER; else cleared), refuses aggregation asked for anything but
// IUnknown (CLASS_E_NOAGGREGATION), then makes the component with `make`
// (called with a status the constructor may set; returns the new object or
// null when out of memory) and answers `riid` from it. A failed status is
// returned and the object released.
template <class Make>
HRESULT createComponent(IUnknown* outer, REFIID riid, void** ppv, Make make);

// The part of createComponent after `make`: E_OUTOFMEMORY without an
// object; else, when `status` succeeded, `riid` from it; the creation
// reference is released either way.
HRESULT answerNewComponent(ComponentCore* made, HRESULT status, REFIID riid, void** ppv);

template <class Make>
HRESULT createComponent(IUnknown* outer, REFIID riid, void** ppv, Make make) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
    HRESULT status = S_OK;
    ComponentCore* made = make(&status);
    return answerNewComponent(made, status, riid, ppv);
}

// The file path of the module this code is linked into; empty when unknown.
std::wstring thisModulePath();
// "CLSID\{clsid}", the class's key under HKEY_CLASSES_ROOT.
std::wstring classKeyPath(REFCLSID clsid);
// Writes HKCR\CLSID\{clsid} (default value: `name`) and its InprocServer32
// (default value: `modulePath`, ThreadingModel "Both").
HRESULT writeClassKeys(REFCLSID clsid, const WCHAR* name, const std::wstring& modulePath);
// Deletes HKCR\CLSID\{clsid} with its subkeys; S_OK also when it is absent.
HRESULT removeClassKeys(REFCLSID clsid);
