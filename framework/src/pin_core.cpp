#include "framework/pin_core.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

#include "platform/trace.h"

namespace {

// Failures that only say "this type will not do" and so do not end the search.
bool isIgnorableRefusal(HRESULT hr) {
    return hr == E_FAIL || hr == E_INVALIDARG || hr == VFW_E_TYPE_NOT_ACCEPTED;
}

// acceptFormat's answer as a connection attempt sees it.
HRESULT asConnectionResult(HRESULT accepted) {
    if (accepted == S_OK) return S_OK;
    if (SUCCEEDED(accepted) || accepted == E_FAIL || accepted == E_INVALIDARG) return VFW_E_TYPE_NOT_ACCEPTED;
    return accepted;
}

void copyName(WCHAR* target, size_t capacity, const std::wstring& name) {
    size_t length = std::min(name.size(), capacity - 1);
    if (length) std::wmemcpy(target, name.data(), length);
    target[length] = L'\0';
}

// "<filter name>/<pin name>" for trace lines. Reads the filter's name under
// the filter lock.
struct PinLabel {
    PinLabel(const FilterCore* filter, const std::wstring& pinName) {
        const TraceText owner(filter ? filterName(*filter).c_str() : L"");
        const TraceText pin(pinName.c_str());
        std::snprintf(text, sizeof(text), "\"%s\"/%s", owner.text, pin.text);
    }
    char text[2 * sizeof(TraceText::text) + 4];  // both names and the punctuation, never cut

private:
    static std::wstring filterName(const FilterCore& filter) {
        ScopedLock hold(filter.filterLockPtr());
        return filter.graphName();
    }
};

}  // namespace

// ---- PinCore ----------------------------------------------------------------------

PinCore::PinCore(FilterCore* owner, CriticalSection* filterLock, HRESULT* status, LPCWSTR pinName,
                 PIN_DIRECTION pinDirection)
    : name(pinName ? pinName : L""), direction(pinDirection), lock(filterLock), filter(owner) {
    if (status) *status = S_OK;
}

PinCore::~PinCore() = default;

HRESULT PinCore::nonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IPin || riid == IID_IUnknown)
        return ComponentCore::getInterface(static_cast<IPin*>(this), ppv);
    if (riid == IID_IQualityControl)
        return ComponentCore::getInterface(static_cast<IQualityControl*>(this), ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

LONG PinCore::formatVersion() {
    return typeVersion.load();
}
HRESULT PinCore::onActivate() {
    return S_OK;
}
HRESULT PinCore::onDeactivate() {
    runtimeError = false;
    return S_OK;
}
HRESULT PinCore::onRun(REFERENCE_TIME) {
    return S_OK;
}

HRESULT PinCore::adoptFormat(const AM_MEDIA_TYPE& format) {
    return FAILED(connectionFormat.assign(format)) ? E_OUTOFMEMORY : S_OK;
}

HRESULT PinCore::checkPeer(IPin* peer) {
    if (!peer) return E_POINTER;
    PIN_DIRECTION peerDirection;
    HRESULT hr = peer->QueryDirection(&peerDirection);
    if (FAILED(hr)) return hr;
    return peerDirection == direction ? VFW_E_INVALID_DIRECTION : S_OK;
}

HRESULT PinCore::onDisconnected() {
    return S_OK;
}
HRESULT PinCore::onConnected(IPin*) {
    return S_OK;
}
HRESULT PinCore::proposeFormat(int, MediaFormat*) {
    return E_UNEXPECTED;
}

LONG PinCore::bumpFormatVersion() {
    return typeVersion.fetch_add(1) + 1;
}

bool PinCore::isConnected() const {
    std::lock_guard<std::mutex> hold(peerGuard);
    return connected != nullptr;
}

ComPtr<IPin> PinCore::connectedPeer() const {
    std::lock_guard<std::mutex> hold(peerGuard);
    return connected;
}

void PinCore::setPeer(IPin* peer) {
    ComPtr<IPin> previous;  // released outside the guard
    std::lock_guard<std::mutex> hold(peerGuard);
    previous = std::move(connected);
    connected = peer;
}

bool PinCore::mayChangeConnection() const {
    return canReconnectWhenActive || filter->isStopped();
}

STDMETHODIMP PinCore::Connect(IPin* receiver, const AM_MEDIA_TYPE* format) {
    if (!receiver) return E_POINTER;
    ScopedLock hold(lock);
    if (isConnected()) return VFW_E_ALREADY_CONNECTED;
    if (!mayChangeConnection()) return VFW_E_NOT_STOPPED;
    HRESULT hr = agreeFormat(receiver, format);
    if (FAILED(hr)) {
        DV_TRACE(TraceLevel::error, "pin %s: connect failed: %s (asked for %s)", PinLabel(filter, name).text,
                 TraceHr(hr).text, TraceType(format).text);
        onDisconnected();
        return hr;
    }
    DV_TRACE(TraceLevel::state, "pin %s: connected as %s", PinLabel(filter, name).text,
             TraceType(&connectionFormat.get()).text);
    return S_OK;
}

HRESULT PinCore::agreeFormat(IPin* receiver, const AM_MEDIA_TYPE* format) {
    if (format && mediaTypeFullySpecified(*format)) return attemptConnection(receiver, *format);

    HRESULT overall = VFW_E_NO_ACCEPTABLE_TYPES;
    for (int pass = 0; pass < 2; ++pass) {
        const bool ownList = (pass == 0) == tryMyTypesFirst;
        ComPtr<IEnumMediaTypes> list;
        // Through the interface, so that a derived pin's list is used.
        HRESULT hr = ownList ? static_cast<IPin*>(this)->EnumMediaTypes(list.GetAddressOf())
                             : receiver->EnumMediaTypes(list.GetAddressOf());
        if (FAILED(hr) || !list) continue;
        hr = tryFormatList(receiver, format, list.Get());
        if (SUCCEEDED(hr)) return S_OK;
        if (!isIgnorableRefusal(hr)) overall = hr;
    }
    return overall;
}

HRESULT PinCore::tryFormatList(IPin* receiver, const AM_MEDIA_TYPE* format, IEnumMediaTypes* list) {
    HRESULT hr = list->Reset();
    if (FAILED(hr)) return hr;
    HRESULT firstFailure = S_OK;
    for (;;) {
        AM_MEDIA_TYPE* type = nullptr;
        ULONG got = 0;
        hr = list->Next(1, &type, &got);
        if (hr != S_OK || got != 1 || !type) {
            deleteMediaType(got == 1 ? type : nullptr);
            break;
        }
        if (!format || mediaTypeMatchesPartial(*type, *format)) {
            HRESULT attempt = attemptConnection(receiver, *type);
            deleteMediaType(type);
            if (SUCCEEDED(attempt)) return S_OK;
            if (!isIgnorableRefusal(attempt) && SUCCEEDED(firstFailure)) firstFailure = attempt;
        } else {
            deleteMediaType(type);
        }
    }
    return FAILED(firstFailure) ? firstFailure : VFW_E_NO_ACCEPTABLE_TYPES;
}

HRESULT PinCore::attemptConnection(IPin* receiver, const AM_MEDIA_TYPE& type) {
    HRESULT hr = checkPeer(receiver);
    if (FAILED(hr)) {
        onDisconnected();
        return hr;
    }
    hr = asConnectionResult(acceptFormat(type));
    if (hr != S_OK)
        DV_TRACE(TraceLevel::verbose, "pin %s: type %s not accepted: %s", PinLabel(filter, name).text,
                 TraceType(&type).text, TraceHr(hr).text);
    if (hr == S_OK) {
        setPeer(receiver);
        hr = adoptFormat(type);
        if (SUCCEEDED(hr)) {
            hr = receiver->ReceiveConnection(static_cast<IPin*>(this), &type);
            if (SUCCEEDED(hr)) {
                hr = onConnected(receiver);
                if (SUCCEEDED(hr)) return S_OK;
                DV_TRACE(TraceLevel::error, "pin %s: completing the connection as %s failed: %s",
                         PinLabel(filter, name).text, TraceType(&type).text, TraceHr(hr).text);
                receiver->Disconnect();
            } else {
                DV_TRACE(TraceLevel::verbose, "pin %s: peer refused %s: %s", PinLabel(filter, name).text,
                         TraceType(&type).text, TraceHr(hr).text);
            }
        }
    }
    onDisconnected();
    setPeer(nullptr);
    connectionFormat.clear();
    return hr;
}

STDMETHODIMP PinCore::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* format) {
    if (!connector || !format) return E_POINTER;
    ScopedLock hold(lock);
    if (isConnected()) return VFW_E_ALREADY_CONNECTED;
    if (!mayChangeConnection()) return VFW_E_NOT_STOPPED;
    HRESULT hr = checkPeer(connector);
    if (SUCCEEDED(hr)) hr = asConnectionResult(acceptFormat(*format));
    if (FAILED(hr)) {
        onDisconnected();
        return hr;
    }
    setPeer(connector);
    hr = adoptFormat(*format);
    if (SUCCEEDED(hr)) hr = onConnected(connector);
    if (FAILED(hr)) {
        DV_TRACE(TraceLevel::error, "pin %s: accepting a connection as %s failed: %s",
                 PinLabel(filter, name).text, TraceType(format).text, TraceHr(hr).text);
        setPeer(nullptr);
        connectionFormat.clear();
        onDisconnected();
        return hr;
    }
    DV_TRACE(TraceLevel::state, "pin %s: connected as %s", PinLabel(filter, name).text,
             TraceType(&connectionFormat.get()).text);
    return S_OK;
}

STDMETHODIMP PinCore::Disconnect() {
    ScopedLock hold(lock);
    if (!mayChangeConnection()) return VFW_E_NOT_STOPPED;
    if (!isConnected()) return S_FALSE;
    HRESULT hr = onDisconnected();
    if (FAILED(hr)) {
        DV_TRACE(TraceLevel::error, "pin %s: disconnect failed: %s", PinLabel(filter, name).text,
                 TraceHr(hr).text);
        return hr;
    }
    setPeer(nullptr);
    connectionFormat.clear();
    DV_TRACE(TraceLevel::state, "pin %s: disconnected", PinLabel(filter, name).text);
    return S_OK;
}

STDMETHODIMP PinCore::ConnectedTo(IPin** out) {
    if (!out) return E_POINTER;
    ComPtr<IPin> peer = connectedPeer();
    *out = nullptr;
    if (!peer) return VFW_E_NOT_CONNECTED;
    return peer.CopyTo(out);
}

STDMETHODIMP PinCore::ConnectionMediaType(AM_MEDIA_TYPE* out) {
    if (!out) return E_POINTER;
    ScopedLock hold(lock);
    if (!isConnected()) {
        MediaFormat().moveTo(out);
        return VFW_E_NOT_CONNECTED;
    }
    return connectionFormat.copyTo(out);
}

STDMETHODIMP PinCore::QueryPinInfo(PIN_INFO* out) {
    if (!out) return E_POINTER;
    ComPtr<IBaseFilter>(static_cast<IBaseFilter*>(filter)).CopyTo(&out->pFilter);
    out->dir = direction;
    copyName(out->achName, MAX_PIN_NAME, name);
    return S_OK;
}

STDMETHODIMP PinCore::QueryDirection(PIN_DIRECTION* out) {
    if (!out) return E_POINTER;
    *out = direction;
    return S_OK;
}

STDMETHODIMP PinCore::QueryId(LPWSTR* out) {
    if (!out) return E_POINTER;
    *out = static_cast<LPWSTR>(CoTaskMemAlloc((name.size() + 1) * sizeof(WCHAR)));
    if (!*out) return E_OUTOFMEMORY;
    std::wmemcpy(*out, name.c_str(), name.size() + 1);
    return S_OK;
}

STDMETHODIMP PinCore::QueryAccept(const AM_MEDIA_TYPE* format) {
    if (!format) return E_POINTER;
    HRESULT hr = acceptFormat(*format);
    return FAILED(hr) ? S_FALSE : hr;
}

STDMETHODIMP PinCore::EnumMediaTypes(IEnumMediaTypes** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    auto* enumerator = new (std::nothrow) FormatEnumerator(this);
    if (!enumerator) return E_OUTOFMEMORY;
    return ComponentCore::getInterface(static_cast<IEnumMediaTypes*>(enumerator),
                                       reinterpret_cast<void**>(out));
}

STDMETHODIMP PinCore::QueryInternalConnections(IPin**, ULONG*) {
    return E_NOTIMPL;
}
STDMETHODIMP PinCore::EndOfStream() {
    return S_OK;
}

STDMETHODIMP PinCore::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    segmentStart = start;
    segmentStop = stop;
    segmentRate = rate;
    return S_OK;
}

STDMETHODIMP PinCore::Notify(IBaseFilter*, Quality) {
    return E_NOTIMPL;
}

STDMETHODIMP PinCore::SetSink(IQualityControl* sink) {
    ScopedLock hold(lock);
    qualitySink = sink;
    return S_OK;
}

// ---- InputPinCore -----------------------------------------------------------------

InputPinCore::InputPinCore(FilterCore* owner, CriticalSection* filterLock, HRESULT* status, LPCWSTR pinName)
    : PinCore(owner, filterLock, status, pinName, PINDIR_INPUT) {}

InputPinCore::~InputPinCore() = default;

HRESULT InputPinCore::nonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IMemInputPin) return ComponentCore::getInterface(static_cast<IMemInputPin*>(this), ppv);
    return PinCore::nonDelegatingQueryInterface(riid, ppv);
}

HRESULT InputPinCore::onDisconnected() {
    if (allocator) {
        HRESULT hr = allocator->Decommit();
        if (FAILED(hr)) return hr;
        allocator.Reset();
    }
    return S_OK;
}

HRESULT InputPinCore::onDeactivate() {
    runtimeError = false;
    if (!allocator) return VFW_E_NO_ALLOCATOR;
    flushing = false;
    return allocator->Decommit();
}

HRESULT InputPinCore::checkReceiveState() {
    ScopedLock hold(lock);
    if (filter->isStopped()) return VFW_E_WRONG_STATE;
    if (flushing) return S_FALSE;
    if (runtimeError) return VFW_E_RUNTIME_ERROR;
    return S_OK;
}

STDMETHODIMP InputPinCore::BeginFlush() {
    ScopedLock hold(lock);
    flushing = true;
    return S_OK;
}

STDMETHODIMP InputPinCore::EndFlush() {
    ScopedLock hold(lock);
    flushing = false;
    runtimeError = false;
    return S_OK;
}

STDMETHODIMP InputPinCore::Notify(IBaseFilter* sender, Quality) {
    return sender ? S_OK : E_POINTER;
}

STDMETHODIMP InputPinCore::GetAllocator(IMemAllocator** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ScopedLock hold(lock);
    if (!allocator) {
        ComPtr<IMemAllocator> created;
        HRESULT hr = createMemoryAllocator(created.GetAddressOf());
        if (FAILED(hr)) return hr;
        if (!created) return E_FAIL;
        allocator = std::move(created);
    }
    return allocator.CopyTo(out);
}

STDMETHODIMP InputPinCore::NotifyAllocator(IMemAllocator* newAllocator, BOOL isReadOnly) {
    if (!newAllocator) return E_POINTER;
    ScopedLock hold(lock);
    allocator = newAllocator;
    readOnly = isReadOnly != FALSE;
    return S_OK;
}

STDMETHODIMP InputPinCore::GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) {
    return E_NOTIMPL;
}

STDMETHODIMP InputPinCore::Receive(IMediaSample* sample) {
    if (!sample) return E_POINTER;
    HRESULT hr = checkReceiveState();
    if (hr != S_OK) return hr;

    // A type the sample announced through the plain interface is ours to free.
    struct OwnedType {
        AM_MEDIA_TYPE* type = nullptr;
        ~OwnedType() { deleteMediaType(type); }
    } owned;

    ComPtr<IMediaSample2> sample2;
    if (SUCCEEDED(ComPtr<IMediaSample>(sample).As(&sample2)) && sample2) {
        hr = sample2->GetProperties(sizeof(sampleProps), reinterpret_cast<BYTE*>(&sampleProps));
        if (FAILED(hr)) return hr;
    } else {
        sampleProps = AM_SAMPLE2_PROPERTIES{};
        sampleProps.cbData = sizeof(sampleProps);
        sampleProps.dwTypeSpecificFlags = 0;
        if (sample->IsSyncPoint() == S_OK) sampleProps.dwSampleFlags |= AM_SAMPLE_SPLICEPOINT;
        if (sample->IsPreroll() == S_OK) sampleProps.dwSampleFlags |= AM_SAMPLE_PREROLL;
        if (sample->IsDiscontinuity() == S_OK) sampleProps.dwSampleFlags |= AM_SAMPLE_DATADISCONTINUITY;
        if (SUCCEEDED(sample->GetTime(&sampleProps.tStart, &sampleProps.tStop)))
            sampleProps.dwSampleFlags |= AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID;
        if (sample->GetMediaType(&owned.type) == S_OK && owned.type) {
            sampleProps.pMediaType = owned.type;
            sampleProps.dwSampleFlags |= AM_SAMPLE_TYPECHANGED;
        }
        sample->GetPointer(&sampleProps.pbBuffer);
        sampleProps.lActual = sample->GetActualDataLength();
        sampleProps.cbBuffer = sample->GetSize();
    }

    hr = S_OK;
    if ((sampleProps.dwSampleFlags & AM_SAMPLE_TYPECHANGED) && sampleProps.pMediaType &&
        acceptFormat(*sampleProps.pMediaType) != S_OK) {
        DV_TRACE(TraceLevel::error, "pin %s: the stream changed its type to %s, refused; stream stopped: %s",
                 PinLabel(filter, name).text, TraceType(sampleProps.pMediaType).text,
                 TraceHr(VFW_E_INVALIDMEDIATYPE).text);
        {
            ScopedLock hold(lock);
            runtimeError = true;
        }
        static_cast<IPin*>(this)->EndOfStream();
        filter->postGraphEvent(EC_ERRORABORT, VFW_E_TYPE_NOT_ACCEPTED, 0);
        hr = VFW_E_INVALIDMEDIATYPE;
    }
    sampleProps.pMediaType = nullptr;  // not kept beyond this call
    return hr;
}

STDMETHODIMP InputPinCore::ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed) {
    if (!samples || !processed) return E_POINTER;
    *processed = 0;
    HRESULT hr = S_OK;
    for (LONG i = 0; i < count; ++i) {
        // Through the interface, so that a derived pin's Receive runs.
        hr = static_cast<IMemInputPin*>(this)->Receive(samples[i]);
        if (hr != S_OK) break;
        ++*processed;
    }
    return hr;
}

STDMETHODIMP InputPinCore::ReceiveCanBlock() {
    const int n = filter->pinCount();
    bool anyOutput = false;
    for (int i = 0; i < n; ++i) {
        PinCore* pin = filter->pinAt(i);
        if (!pin || pin->pinDirection() != PINDIR_OUTPUT) continue;
        ComPtr<IPin> peer = pin->connectedPeer();
        if (!peer) continue;
        anyOutput = true;
        ComPtr<IMemInputPin> peerInput;
        if (FAILED(peer.As(&peerInput)) || !peerInput) return S_OK;
        if (peerInput->ReceiveCanBlock() != S_FALSE) return S_OK;
    }
    return anyOutput ? S_FALSE : S_OK;
}

// ---- OutputPinCore ----------------------------------------------------------------

OutputPinCore::OutputPinCore(FilterCore* owner, CriticalSection* filterLock, HRESULT* status, LPCWSTR pinName)
    : PinCore(owner, filterLock, status, pinName, PINDIR_OUTPUT) {}

OutputPinCore::~OutputPinCore() = default;

HRESULT OutputPinCore::checkPeer(IPin* peer) {
    HRESULT hr = PinCore::checkPeer(peer);
    if (FAILED(hr)) return hr;
    return ComPtr<IPin>(peer).As(&peerInput);
}

HRESULT OutputPinCore::onConnected(IPin*) {
    if (!peerInput) return E_NOINTERFACE;
    const HRESULT hr = chooseAllocator(peerInput.Get(), allocator.ReleaseAndGetAddressOf());
    if (FAILED(hr))
        DV_TRACE(TraceLevel::error, "pin %s: no allocator agreed with the peer: %s",
                 PinLabel(filter, pinName()).text, TraceHr(hr).text);
    return hr;
}

HRESULT OutputPinCore::onDisconnected() {
    if (allocator) {
        HRESULT hr = allocator->Decommit();
        if (FAILED(hr)) return hr;
        allocator.Reset();
    }
    peerInput.Reset();
    return S_OK;
}

HRESULT OutputPinCore::onActivate() {
    const HRESULT hr = allocator ? allocator->Commit() : VFW_E_NO_ALLOCATOR;
    if (FAILED(hr))
        DV_TRACE(TraceLevel::error, "pin %s: allocator commit failed: %s", PinLabel(filter, pinName()).text,
                 TraceHr(hr).text);
    return hr;
}

HRESULT OutputPinCore::onDeactivate() {
    runtimeError = false;
    if (!allocator) return VFW_E_NO_ALLOCATOR;
    return allocator->Decommit();
}

HRESULT OutputPinCore::chooseAllocator(IMemInputPin* peer, IMemAllocator** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!peer) return E_POINTER;
    ALLOCATOR_PROPERTIES requirements{};
    if (FAILED(peer->GetAllocatorRequirements(&requirements))) requirements = ALLOCATOR_PROPERTIES{};
    if (requirements.cbAlign == 0) requirements.cbAlign = 1;

    ComPtr<IMemAllocator> candidate;
    HRESULT hr = peer->GetAllocator(candidate.GetAddressOf());
    if (SUCCEEDED(hr) && candidate) {
        ALLOCATOR_PROPERTIES wanted = requirements;
        hr = sizeBuffers(candidate.Get(), &wanted);
        if (SUCCEEDED(hr)) hr = peer->NotifyAllocator(candidate.Get(), FALSE);
        if (SUCCEEDED(hr)) {
            *out = candidate.Detach();
            return S_OK;
        }
    }
    candidate.Reset();
    hr = makeDefaultAllocator(candidate.GetAddressOf());
    if (FAILED(hr)) return hr;
    if (!candidate) return E_FAIL;
    ALLOCATOR_PROPERTIES wanted = requirements;
    hr = sizeBuffers(candidate.Get(), &wanted);
    if (FAILED(hr)) return hr;
    hr = peer->NotifyAllocator(candidate.Get(), FALSE);
    if (FAILED(hr)) return hr;
    *out = candidate.Detach();
    return S_OK;
}

HRESULT OutputPinCore::obtainOutputBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop,
                                          DWORD flags) {
    if (!allocator) return E_NOINTERFACE;
    return allocator->GetBuffer(sample, start, stop, flags);
}

HRESULT OutputPinCore::sendSample(IMediaSample* sample) {
    if (!peerInput || !isConnected()) return VFW_E_NOT_CONNECTED;
    return peerInput->Receive(sample);
}

HRESULT OutputPinCore::makeDefaultAllocator(IMemAllocator** out) {
    return createMemoryAllocator(out);
}

HRESULT OutputPinCore::forwardEndOfStream() {
    ComPtr<IPin> peer = connectedPeer();
    return peer ? peer->EndOfStream() : VFW_E_NOT_CONNECTED;
}

HRESULT OutputPinCore::forwardBeginFlush() {
    ComPtr<IPin> peer = connectedPeer();
    return peer ? peer->BeginFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT OutputPinCore::forwardEndFlush() {
    ComPtr<IPin> peer = connectedPeer();
    return peer ? peer->EndFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT OutputPinCore::forwardNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    ComPtr<IPin> peer = connectedPeer();
    return peer ? peer->NewSegment(start, stop, rate) : VFW_E_NOT_CONNECTED;
}

STDMETHODIMP OutputPinCore::EndOfStream() {
    return E_UNEXPECTED;
}
STDMETHODIMP OutputPinCore::BeginFlush() {
    return E_UNEXPECTED;
}
STDMETHODIMP OutputPinCore::EndFlush() {
    return E_UNEXPECTED;
}

// ---- FormatEnumerator -------------------------------------------------------------

FormatEnumerator::FormatEnumerator(PinCore* owner)
    : pinRef(static_cast<IPin*>(owner)), pin(owner), version(owner->formatVersion()) {}

FormatEnumerator::FormatEnumerator(const FormatEnumerator& other)
    : ComponentCore(nullptr),
      IEnumMediaTypes(),
      pinRef(other.pinRef),
      pin(other.pin),
      position(other.position),
      version(other.version) {}

HRESULT FormatEnumerator::nonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IEnumMediaTypes) return getInterface(static_cast<IEnumMediaTypes*>(this), ppv);
    return ComponentCore::nonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP FormatEnumerator::Next(ULONG requested, AM_MEDIA_TYPE** types, ULONG* fetched) {
    if (!types) return E_POINTER;
    if (pin->formatVersion() != version) return VFW_E_ENUM_OUT_OF_SYNC;
    if (!fetched && requested > 1) return E_INVALIDARG;
    if (fetched) *fetched = 0;
    ULONG got = 0;
    while (got < requested) {
        MediaFormat format;
        int at = position;
        if (position < INT_MAX) ++position;  // advances even when the hook fails
        if (pin->proposeFormat(at, &format) != S_OK) break;
        auto* type = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
        if (!type) {
            if (got == 0) return E_OUTOFMEMORY;
            break;
        }
        format.moveTo(type);  // takes over the format block
        types[got++] = type;
    }
    if (fetched) *fetched = got;
    return got == requested ? S_OK : S_FALSE;
}

STDMETHODIMP FormatEnumerator::Skip(ULONG count) {
    if (count == 0) return S_OK;
    if (pin->formatVersion() != version) return VFW_E_ENUM_OUT_OF_SYNC;
    position = count > static_cast<ULONG>(INT_MAX - position) ? INT_MAX : position + static_cast<int>(count);
    MediaFormat format;
    // VFW_S_NO_MORE_ITEMS is a success code but means the skip ran past the end.
    return pin->proposeFormat(position - 1, &format) == S_OK ? S_OK : S_FALSE;
}

STDMETHODIMP FormatEnumerator::Reset() {
    position = 0;
    version = pin->formatVersion();
    return S_OK;
}

STDMETHODIMP FormatEnumerator::Clone(IEnumMediaTypes** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (pin->formatVersion() != version) return VFW_E_ENUM_OUT_OF_SYNC;
    auto* copy = new (std::nothrow) FormatEnumerator(*this);
    if (!copy) return E_OUTOFMEMORY;
    return getInterface(static_cast<IEnumMediaTypes*>(copy), reinterpret_cast<void**>(out));
}

// ---- CapturePinCategory -------------------------------------------------------

STDMETHODIMP CapturePinCategory::Set(REFGUID, DWORD, LPVOID, DWORD, LPVOID, DWORD) {
    return E_NOTIMPL;
}

STDMETHODIMP CapturePinCategory::Get(REFGUID propSet, DWORD id, LPVOID, DWORD, LPVOID propertyData,
                                     DWORD dataLength, DWORD* returned) {
    if (propSet != AMPROPSETID_Pin) return E_PROP_SET_UNSUPPORTED;
    if (id != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
    if (!propertyData && !returned) return E_POINTER;
    if (returned) *returned = sizeof(GUID);
    if (!propertyData) return S_OK;
    if (dataLength < sizeof(GUID)) return E_UNEXPECTED;
    std::memcpy(propertyData, &PIN_CATEGORY_CAPTURE, sizeof(GUID));
    return S_OK;
}

STDMETHODIMP CapturePinCategory::QuerySupported(REFGUID propSet, DWORD id, DWORD* typeSupport) {
    if (propSet != AMPROPSETID_Pin) return E_PROP_SET_UNSUPPORTED;
    if (id != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
    if (typeSupport) *typeSupport = KSPROPERTY_SUPPORT_GET;
    return S_OK;
}
