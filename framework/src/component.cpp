#include "framework/component.h"

#include <mutex>

namespace {

std::atomic<LONG> liveCount{0};

#ifdef _WIN32
// The automation library handle; loaded by loadAutomationLibrary, freed when
// the live-object count falls to 0. Guarded by automationGuard.
std::mutex automationGuard;
HMODULE automationLibrary = nullptr;

void freeAutomationLibraryIfIdle() {
    std::lock_guard<std::mutex> hold(automationGuard);
    if (automationLibrary && liveCount.load() == 0) {
        FreeLibrary(automationLibrary);
        automationLibrary = nullptr;
    }
}
#endif

}  // namespace

LONG liveObjectCount() {
    return liveCount.load();
}

HMODULE loadAutomationLibrary() {
#ifdef _WIN32
    std::lock_guard<std::mutex> hold(automationGuard);
    if (!automationLibrary) automationLibrary = LoadLibraryW(L"OleAut32.dll");
    return automationLibrary;
#else
    return nullptr;
#endif
}

LiveObject::LiveObject() {
    liveCount.fetch_add(1);
}
LiveObject::LiveObject(const LiveObject&) {
    liveCount.fetch_add(1);
}
LiveObject::~LiveObject() {
    if (liveCount.fetch_sub(1) == 1) {
#ifdef _WIN32
        freeAutomationLibraryIfIdle();
#endif
    }
}

ComponentCore::ComponentCore(IUnknown* outerUnknown) : outer(outerUnknown ? outerUnknown : &inner) {}

ComponentCore::~ComponentCore() = default;

HRESULT ComponentCore::nonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown) return getInterface(&inner, ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG ComponentCore::nonDelegatingAddRef() {
    LONG count = refCount.fetch_add(1) + 1;
    return static_cast<ULONG>(count < 1 ? 1 : count);
}

ULONG ComponentCore::nonDelegatingRelease() {
    LONG count = refCount.fetch_sub(1) - 1;
    if (count == 0) {
        // Releases made by the destructor (e.g. through pins) must not reach 0 again.
        refCount.store(1);
        delete this;
        return 0;
    }
    return static_cast<ULONG>(count < 1 ? 1 : count);
}

HRESULT ComponentCore::getInterface(IUnknown* itf, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = itf;
    itf->AddRef();
    return S_OK;
}

HRESULT createMemoryAllocator(IMemAllocator** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    return CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                            reinterpret_cast<void**>(out));
}
