// ComPtr: the one owner of counted COM references in this code base.
#pragma once

#include <type_traits>
#include <utility>

#include "platform/win.h"

// Maps an interface type to its IID. Specialised for every interface the
// system queries by type (platform ones here, private ones next to their
// declaration with DV_DECLARE_IID).
template <class T>
struct InterfaceId;

#define DV_DECLARE_IID(Itf, iidConstant)                \
    template <>                                         \
    struct InterfaceId<Itf> {                           \
        static const IID& get() { return iidConstant; } \
    }

DV_DECLARE_IID(IUnknown, IID_IUnknown);
DV_DECLARE_IID(IClassFactory, IID_IClassFactory);
DV_DECLARE_IID(IPersist, IID_IPersist);
DV_DECLARE_IID(IMoniker, IID_IMoniker);
DV_DECLARE_IID(IEnumMoniker, IID_IEnumMoniker);
DV_DECLARE_IID(IPropertyBag, IID_IPropertyBag);
DV_DECLARE_IID(IBaseFilter, IID_IBaseFilter);
DV_DECLARE_IID(IMediaFilter, IID_IMediaFilter);
DV_DECLARE_IID(IPin, IID_IPin);
DV_DECLARE_IID(IEnumPins, IID_IEnumPins);
DV_DECLARE_IID(IEnumFilters, IID_IEnumFilters);
DV_DECLARE_IID(IEnumMediaTypes, IID_IEnumMediaTypes);
DV_DECLARE_IID(IReferenceClock, IID_IReferenceClock);
DV_DECLARE_IID(IMediaSample, IID_IMediaSample);
DV_DECLARE_IID(IMediaSample2, IID_IMediaSample2);
DV_DECLARE_IID(IMemAllocator, IID_IMemAllocator);
DV_DECLARE_IID(IMemInputPin, IID_IMemInputPin);
DV_DECLARE_IID(IQualityControl, IID_IQualityControl);
DV_DECLARE_IID(IFilterGraph, IID_IFilterGraph);
DV_DECLARE_IID(IGraphBuilder, IID_IGraphBuilder);
DV_DECLARE_IID(IFilterGraph2, IID_IFilterGraph2);
DV_DECLARE_IID(IMediaControl, IID_IMediaControl);
DV_DECLARE_IID(IMediaEvent, IID_IMediaEvent);
DV_DECLARE_IID(IMediaEventSink, IID_IMediaEventSink);
DV_DECLARE_IID(IAMStreamConfig, IID_IAMStreamConfig);
DV_DECLARE_IID(IKsPropertySet, IID_IKsPropertySet);
DV_DECLARE_IID(ISpecifyPropertyPages, IID_ISpecifyPropertyPages);
DV_DECLARE_IID(IPropertyPage, IID_IPropertyPage);
DV_DECLARE_IID(IPropertyPageSite, IID_IPropertyPageSite);
DV_DECLARE_IID(ICreateDevEnum, IID_ICreateDevEnum);
DV_DECLARE_IID(IFilterMapper2, IID_IFilterMapper2);
DV_DECLARE_IID(IAMovieSetup, IID_IAMovieSetup);

template <class T>
const IID& iidOf() {
    return InterfaceId<T>::get();
}

// Holds at most one counted reference to a T. Copying adds a reference,
// moving transfers it, destruction and Reset release it.
template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Adds a reference to `p` (use Attach to adopt one instead).
    ComPtr(T* p) noexcept : ptr(p) {
        if (ptr) ptr->AddRef();
    }
    ComPtr(const ComPtr& other) noexcept : ComPtr(other.ptr) {}
    ComPtr(ComPtr&& other) noexcept : ptr(other.ptr) { other.ptr = nullptr; }
    ~ComPtr() { Reset(); }

    // Copy and swap: the copy is made before anything is released, so
    // assigning a pointer to itself keeps its reference.
    ComPtr& operator=(const ComPtr& other) noexcept {  // NOLINT(bugprone-unhandled-self-assignment)
        ComPtr(other).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        ComPtr(std::move(other)).Swap(*this);
        return *this;
    }
    ComPtr& operator=(T* p) noexcept {
        ComPtr(p).Swap(*this);
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) noexcept {
        Reset();
        return *this;
    }

    T* Get() const noexcept { return ptr; }
    T* operator->() const noexcept { return ptr; }
    T& operator*() const noexcept { return *ptr; }
    explicit operator bool() const noexcept { return ptr != nullptr; }

    // Releases the held reference and returns the address for an
    // out-parameter that delivers a new one.
    T** ReleaseAndGetAddressOf() noexcept {
        Reset();
        return &ptr;
    }
    // Address for an out-parameter; the pointer must be empty.
    T** GetAddressOf() noexcept { return &ptr; }

    // Adopts a reference the caller owns (no AddRef).
    void Attach(T* p) noexcept {
        Reset();
        ptr = p;
    }
    // Gives up ownership without Release; the caller now owns the reference.
    T* Detach() noexcept {
        T* p = ptr;
        ptr = nullptr;
        return p;
    }
    void Reset() noexcept {
        if (T* p = ptr) {
            ptr = nullptr;
            p->Release();
        }
    }
    void Swap(ComPtr& other) noexcept { std::swap(ptr, other.ptr); }

    // QueryInterface for U; `out` receives a new reference or stays empty.
    template <class U>
    HRESULT As(ComPtr<U>* out) const noexcept {
        if (!out) return E_POINTER;
        out->Reset();
        if (!ptr) return E_POINTER;
        return ptr->QueryInterface(iidOf<U>(), reinterpret_cast<void**>(out->GetAddressOf()));
    }
    // Hands a new reference to a raw out-parameter (AddRef; null stays null).
    HRESULT CopyTo(T** out) const noexcept {
        if (!out) return E_POINTER;
        *out = ptr;
        if (ptr) ptr->AddRef();
        return S_OK;
    }

    friend bool operator==(const ComPtr& a, const ComPtr& b) noexcept { return a.ptr == b.ptr; }
    friend bool operator!=(const ComPtr& a, const ComPtr& b) noexcept { return a.ptr != b.ptr; }
    friend bool operator==(const ComPtr& a, std::nullptr_t) noexcept { return a.ptr == nullptr; }
    friend bool operator!=(const ComPtr& a, std::nullptr_t) noexcept { return a.ptr != nullptr; }

private:
    T* ptr = nullptr;
};

// Reads `p`'s IID through InterfaceId, for IID_PPV_ARGS-style calls.
#define DV_IID_PPV(pp) iidOf<std::remove_reference_t<decltype(**(pp))>>(), reinterpret_cast<void**>(pp)
