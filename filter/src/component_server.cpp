#include <atomic>
#include <new>

#include "capture/camera_list.h"
#include "compositor/frame_store.h"
#include "filter/component_server.h"

namespace {

std::atomic<LONG> serverLocks{0};
HINSTANCE instanceHandle = nullptr;

// IClassFactory for one class table entry; one per serverGetClassObject call.
// Counts in the module's live-object count while it exists.
class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(const ClassEntry& entry) : entry(entry) {}
    ClassFactory(const ClassFactory&) = delete;
    ClassFactory& operator=(const ClassFactory&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(refCount.fetch_add(1) + 1); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG count = refCount.fetch_sub(1) - 1;
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        // An aggregated object hands out its inner unknown only.
        if (outer && riid != IID_IUnknown) return E_NOINTERFACE;
        HRESULT hr = S_OK;
        ComponentCore* object = entry.create(outer, &hr);
        if (!object) return FAILED(hr) ? hr : E_OUTOFMEMORY;
        if (FAILED(hr)) {
            delete object;
            return hr;
        }
        object->nonDelegatingAddRef();
        hr = object->nonDelegatingQueryInterface(riid, ppv);
        object->nonDelegatingRelease();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock)
            serverLocks.fetch_add(1);
        else
            serverLocks.fetch_sub(1);
        return S_OK;
    }

private:
    ~ClassFactory() = default;

    const ClassEntry& entry;
    std::atomic<LONG> refCount{0};
    LiveObject live;
};

}  // namespace

const ClassEntry* findClassEntry(REFCLSID classId) {
    for (size_t i = 0; i < classTableSize; ++i) {
        if (*classTable[i].classId == classId) return &classTable[i];
    }
    return nullptr;
}

HRESULT serverGetClassObject(REFCLSID classId, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IClassFactory && riid != IID_IUnknown) return E_NOINTERFACE;
    const ClassEntry* entry = findClassEntry(classId);
    if (!entry) return CLASS_E_CLASSNOTAVAILABLE;
    ClassFactory* factory = new (std::nothrow) ClassFactory(*entry);
    if (!factory) return E_OUTOFMEMORY;
    factory->AddRef();
    *ppv = static_cast<IClassFactory*>(factory);
    return S_OK;
}

HRESULT serverCanUnloadNow() {
    return serverLocks.load() > 0 || liveObjectCount() != 0 ? S_FALSE : S_OK;
}

LONG serverLockCount() {
    return serverLocks.load();
}

void moduleAttach(HINSTANCE instance) {
    instanceHandle = instance;
    for (size_t i = 0; i < classTableSize; ++i) {
        if (classTable[i].load) classTable[i].load(TRUE, classTable[i].classId);
    }
}

void moduleDetach(bool processEnding) {
    releaseWorkImages();
    for (size_t i = 0; i < classTableSize; ++i) {
        if (classTable[i].load) classTable[i].load(FALSE, classTable[i].classId);
    }
    // The list's monikers are objects of the platform's device enumerator,
    // which at process exit may already be gone.
    if (!processEnding) releaseCameraList();
}

HINSTANCE moduleInstance() {
    return instanceHandle;
}
