// A tiny in-process component server for the class activation tests: one
// class, {D1F0A2B3-4C5D-4E6F-8091-A2B3C4D5E6F7}, whose objects answer
// IPersist::GetClassID. Exports DllGetClassObject and DllCanUnloadNow only.
#include <atomic>

#include "platform/win.h"

#define TEST_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

DEFINE_GUID(CLSID_TestObject, 0xd1f0a2b3, 0x4c5d, 0x4e6f, 0x80, 0x91, 0xa2, 0xb3, 0xc4, 0xd5, 0xe6, 0xf7);

std::atomic<long> liveObjects{0};  // objects and class objects alive
std::atomic<long> serverLocks{0};

class TestObject final : public IPersist {
public:
    TestObject() { ++liveObjects; }
    ~TestObject() { --liveObjects; }
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IPersist) {
            *ppv = static_cast<IPersist*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --refs;
        if (left == 0) delete this;
        return left;
    }
    STDMETHODIMP GetClassID(CLSID* clsid) override {
        if (!clsid) return E_POINTER;
        *clsid = CLSID_TestObject;
        return S_OK;
    }

private:
    std::atomic<ULONG> refs{1};
};

class Factory final : public IClassFactory {
public:
    Factory() { ++liveObjects; }
    ~Factory() { --liveObjects; }
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
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --refs;
        if (left == 0) delete this;
        return left;
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        auto* object = new TestObject;
        const HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        serverLocks += lock ? 1 : -1;
        return S_OK;
    }

private:
    std::atomic<ULONG> refs{1};
};

}  // namespace

TEST_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_TestObject) return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new Factory;
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

TEST_EXPORT HRESULT DllCanUnloadNow() {
    return liveObjects == 0 && serverLocks == 0 ? S_OK : S_FALSE;
}
