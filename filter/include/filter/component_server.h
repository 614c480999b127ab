// The in-process component server of Duoview2: the class table, the class
// factory, the unload decision and the (un)registration. The exported Dll*
// entry points (filter/src/module_entry.cpp) forward to the server* functions.
#pragma once

#include <cstddef>

#include "framework/component.h"
#include "framework/filter_core.h"
#include "platform/win.h"

// Creates a new object of a class: `outer` is the aggregating object or null;
// `result` starts as S_OK and may receive a failure. Returns the object
// (possibly together with a failure, then the caller deletes it) or null.
using CreateInstanceFunction = ComponentCore* (*)(IUnknown* outer, HRESULT* result);
// Called with TRUE at module load and FALSE at module unload.
using ModuleLoadFunction = void (*)(BOOL loading, const CLSID* classId);

struct ClassEntry {
    const WCHAR* name;
    const CLSID* classId;
    CreateInstanceFunction create;
    ModuleLoadFunction load;         // null: nothing to do at load/unload
    const FilterSetupRecord* setup;  // null: not registered with the filter mapper
};

// The classes this module creates, in search order (filter/src/class_table.cpp).
extern const ClassEntry classTable[];
extern const size_t classTableSize;

// The entry for `classId`, or null.
const ClassEntry* findClassEntry(REFCLSID classId);

// Registration data of the filter ("Vanto 3D Virtual Camera2", MERIT_DO_NOT_USE,
// pins Input1, Input2, Output1 with MEDIATYPE_Video / MEDIASUBTYPE_RGB24).
extern const FilterSetupRecord stereoFilterSetup;

// DllGetClassObject: a new class factory for `classId` (IClassFactory or
// IUnknown only).
HRESULT serverGetClassObject(REFCLSID classId, REFIID riid, void** ppv);
// DllCanUnloadNow: S_FALSE while a server lock is held or any object lives.
HRESULT serverCanUnloadNow();
// DllRegisterServer / DllUnregisterServer: component server keys, the general
// filter registration and the video input device registration.
HRESULT serverRegister();
HRESULT serverUnregister();

// The server-lock count (IClassFactory::LockServer).
LONG serverLockCount();

// Module load and unload (DllMain's process attach/detach, or the shared
// object's constructor/destructor). `processEnding`: the process is exiting,
// so other modules' objects must not be touched.
void moduleAttach(HINSTANCE instance);
void moduleDetach(bool processEnding);
// What moduleAttach recorded: the instance handle (null before).
HINSTANCE moduleInstance();
