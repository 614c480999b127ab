// Reference-counted components and the module's live-object count.
#pragma once

#include <atomic>

#include "platform/com_ptr.h"
#include "platform/win.h"

// Number of framework objects (components, pins, enumerators, factories...)
// of this module that currently exist. The component server answers
// DllCanUnloadNow from it. Each module linking the framework has its own count.
LONG liveObjectCount();

// On Windows, loads the automation library (OleAut32.dll) once for this
// module; it is freed again when the live-object count falls to 0. Returns
// the module handle (null on failure). On POSIX there is no such library and
// the call returns null without doing anything.
HMODULE loadAutomationLibrary();

// A member that counts its owner in the live-object count for as long as the
// owner exists. Copies count as new objects.
class LiveObject {
public:
    LiveObject();
    LiveObject(const LiveObject&);
    LiveObject& operator=(const LiveObject&) { return *this; }
    ~LiveObject();
};

// The inner unknown of an aggregatable component: the methods that never
// delegate to the controlling (outer) unknown.
class NonDelegatingUnknown {
public:
    virtual HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG nonDelegatingAddRef() = 0;
    virtual ULONG nonDelegatingRelease() = 0;

protected:
    ~NonDelegatingUnknown() = default;
};

// Base of every reference-counted framework object.
//
// The count starts at 0. AddRef returns the new count but never less than 1.
// Release to 0 sets the count to 1 (so releases made during destruction cannot
// destroy the object twice), deletes the object through its virtual destructor
// and returns 0.
//
// The interfaces a derived class implements forward their IUnknown methods to
// the controlling unknown (`outer`): the aggregating object when aggregated,
// else this object's inner unknown. Use DV_FORWARD_IUNKNOWN in the most
// derived class, and extend nonDelegatingQueryInterface (ask the base last).
class ComponentCore : public NonDelegatingUnknown {
public:
    // `outer`: the controlling unknown when aggregated, else null. Not counted:
    // the aggregating object owns this one.
    explicit ComponentCore(IUnknown* outer = nullptr);
    virtual ~ComponentCore();
    ComponentCore(const ComponentCore&) = delete;
    ComponentCore& operator=(const ComponentCore&) = delete;

    // Answers IUnknown only (with the inner unknown).
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    ULONG nonDelegatingAddRef() override;
    ULONG nonDelegatingRelease() override;

    // The non-delegating unknown as an IUnknown (what an aggregating object or
    // a class factory holds). Its identity is the object's IUnknown identity.
    IUnknown* innerUnknown() { return &inner; }
    // The controlling unknown (outer when aggregated, else innerUnknown()).
    IUnknown* controllingUnknown() const { return outer; }

    // For QueryInterface implementations: stores `itf` in *ppv with one
    // reference added through it.
    static HRESULT getInterface(IUnknown* itf, void** ppv);

protected:
    HRESULT unknownQueryInterface(REFIID riid, void** ppv) { return outer->QueryInterface(riid, ppv); }
    ULONG unknownAddRef() { return outer->AddRef(); }
    ULONG unknownRelease() { return outer->Release(); }

private:
    // Forwards to the owner's non-delegating methods.
    struct InnerUnknown final : IUnknown {
        explicit InnerUnknown(ComponentCore* owner) : owner(owner) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
            return owner->nonDelegatingQueryInterface(riid, ppv);
        }
        STDMETHODIMP_(ULONG) AddRef() override { return owner->nonDelegatingAddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return owner->nonDelegatingRelease(); }
        ComponentCore* owner;  // the object this is embedded in
    };

    InnerUnknown inner{this};
    IUnknown* outer;  // not counted: either our own inner unknown or the aggregating object
    std::atomic<LONG> refCount{0};
    LiveObject live;
};

// IUnknown methods for a class derived from ComponentCore or PinCore (which
// both provide unknownQueryInterface/unknownAddRef/unknownRelease). Needed in
// every class that adds an interface of its own, so that all its IUnknown
// bases share one implementation.
#define DV_FORWARD_IUNKNOWN                                         \
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { \
        return unknownQueryInterface(riid, ppv);                    \
    }                                                               \
    STDMETHODIMP_(ULONG) AddRef() override {                        \
        return unknownAddRef();                                     \
    }                                                               \
    STDMETHODIMP_(ULONG) Release() override {                       \
        return unknownRelease();                                    \
    }

// Creates the platform's standard memory allocator (CLSID_MemoryAllocator).
// `out` receives a new reference or null.
HRESULT createMemoryAllocator(IMemAllocator** out);
