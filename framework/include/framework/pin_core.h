// PinCore, InputPinCore, OutputPinCore and the format enumerator.
#pragma once

#include <mutex>
#include <string>

#include "framework/component.h"
#include "framework/filter_core.h"
#include "framework/media_format.h"
#include "framework/sync.h"
#include "platform/com_ptr.h"
#include "platform/win.h"

// The property set results of IKsPropertySet (ERROR_SET_NOT_FOUND,
// ERROR_NOT_FOUND), for platforms whose headers lack them.
#ifndef E_PROP_SET_UNSUPPORTED
#define E_PROP_SET_UNSUPPORTED ((HRESULT)0x80070492L)
#endif
#ifndef E_PROP_ID_UNSUPPORTED
#define E_PROP_ID_UNSUPPORTED ((HRESULT)0x80070490L)
#endif

// The pin base: IPin and IQualityControl.
//
// A pin has no reference count of its own: AddRef/Release on any of its
// interfaces count on the owning filter, so the pin lives exactly as long as
// the filter (which owns and deletes it).
//
// Locking: `lock` is the filter's lock. Connect, ReceiveConnection,
// Disconnect, ConnectionMediaType, SetSink and the hooks called from them run
// under it. ConnectedTo, QueryDirection, QueryPinInfo and QueryId do not take
// it (the peer reference has its own small guard, so reading it from another
// thread is safe).
class PinCore : public IPin, public IQualityControl {
public:
    // `filter` owns the pin (not counted: the filter deletes its pins);
    // `lock` is the filter's lock; `status`, when given, receives S_OK.
    PinCore(FilterCore* filter, CriticalSection* lock, HRESULT* status, LPCWSTR name,
            PIN_DIRECTION direction);
    virtual ~PinCore();
    PinCore(const PinCore&) = delete;
    PinCore& operator=(const PinCore&) = delete;

    DV_FORWARD_IUNKNOWN
    // IPin, IQualityControl, IUnknown (this pin's own identity).
    virtual HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv);

    // ---- hooks, in slot order ----
    // Version of the list of proposed formats (see bumpFormatVersion).
    virtual LONG formatVersion();
    // The filter leaves the stopped state (connected pins only). S_OK.
    virtual HRESULT onActivate();
    // The filter stops (connected pins only). Clears the run-time error; S_OK.
    virtual HRESULT onDeactivate();
    // The filter starts running (connected pins only). S_OK.
    virtual HRESULT onRun(REFERENCE_TIME start);
    // S_OK if the pin accepts `format`; S_FALSE, E_FAIL, E_INVALIDARG or
    // VFW_E_TYPE_NOT_ACCEPTED for a plain refusal. No default.
    virtual HRESULT acceptFormat(const AM_MEDIA_TYPE& format) = 0;
    // Records `format` as the connection format; E_OUTOFMEMORY if its block
    // cannot be copied.
    virtual HRESULT adoptFormat(const AM_MEDIA_TYPE& format);
    // May this pin connect to `peer`? VFW_E_INVALID_DIRECTION if the peer's
    // direction equals this pin's; else S_OK.
    virtual HRESULT checkPeer(IPin* peer);
    // Undo what checkPeer/onConnected set up; also runs after failed
    // connection attempts, so it must cope with a half-made connection. S_OK.
    virtual HRESULT onDisconnected();
    // The connection with `peer` is complete. S_OK.
    virtual HRESULT onConnected(IPin* peer);
    // The format at `position` of this pin's list: S_OK with *out set,
    // VFW_S_NO_MORE_ITEMS past the end, or a failure. Default E_UNEXPECTED.
    virtual HRESULT proposeFormat(int position, MediaFormat* out);

    // ---- helpers ----
    // Atomically increments the format version (invalidates format enumerators).
    LONG bumpFormatVersion();
    bool isConnected() const;
    // The peer pin with a reference, or null.
    ComPtr<IPin> connectedPeer() const;
    PIN_DIRECTION pinDirection() const { return direction; }
    const std::wstring& pinName() const { return name; }
    FilterCore* owner() const { return filter; }
    // The agreed format; empty while unconnected. Read under the lock.
    const MediaFormat& connectionMediaFormat() const { return connectionFormat; }

    // IPin
    STDMETHODIMP Connect(IPin* receiver, const AM_MEDIA_TYPE* format) override;
    STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* format) override;
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP ConnectedTo(IPin** out) override;
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* out) override;
    STDMETHODIMP QueryPinInfo(PIN_INFO* out) override;
    STDMETHODIMP QueryDirection(PIN_DIRECTION* out) override;
    STDMETHODIMP QueryId(LPWSTR* out) override;
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* format) override;
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** out) override;
    STDMETHODIMP QueryInternalConnections(IPin** pins, ULONG* count) override;
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
    // IQualityControl
    STDMETHODIMP Notify(IBaseFilter* sender, Quality quality) override;
    STDMETHODIMP SetSink(IQualityControl* sink) override;

protected:
    HRESULT unknownQueryInterface(REFIID riid, void** ppv) { return nonDelegatingQueryInterface(riid, ppv); }
    ULONG unknownAddRef() { return filter->AddRef(); }
    ULONG unknownRelease() { return filter->Release(); }

    // Sets or clears the peer.
    void setPeer(IPin* peer) DV_REQUIRES(lock);

    std::wstring name;
    PIN_DIRECTION direction;
    CriticalSection* lock;  // the filter's lock
    bool runtimeError = false;
    bool canReconnectWhenActive = false;
    bool tryMyTypesFirst = false;
    FilterCore* filter;                      // weak: the filter owns the pin
    IQualityControl* qualitySink = nullptr;  // weak: set by SetSink, owned by the caller
    std::atomic<LONG> typeVersion{1};
    MediaFormat connectionFormat;
    REFERENCE_TIME segmentStart = 0;
    REFERENCE_TIME segmentStop = 0x7FFFFFFFFFFFFFFFLL;
    double segmentRate = 1.0;

private:
    HRESULT agreeFormat(IPin* receiver, const AM_MEDIA_TYPE* format) DV_REQUIRES(lock);
    HRESULT tryFormatList(IPin* receiver, const AM_MEDIA_TYPE* format, IEnumMediaTypes* list)
        DV_REQUIRES(lock);
    HRESULT attemptConnection(IPin* receiver, const AM_MEDIA_TYPE& type) DV_REQUIRES(lock);
    bool mayChangeConnection() const;

    mutable std::mutex peerGuard;  // guards `connected` for readers outside `lock`
    ComPtr<IPin> connected;
    LiveObject live;
};

// An input pin: IPin, IQualityControl and IMemInputPin.
class InputPinCore : public PinCore, public IMemInputPin {
public:
    InputPinCore(FilterCore* filter, CriticalSection* lock, HRESULT* status, LPCWSTR name);
    ~InputPinCore() override;

    DV_FORWARD_IUNKNOWN
    // IMemInputPin, then the PinCore interfaces.
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // Decommits and releases the allocator; S_OK (a Decommit failure is returned).
    HRESULT onDisconnected() override;
    // Clears the run-time error and flushing; decommits the allocator
    // (VFW_E_NO_ALLOCATOR without one).
    HRESULT onDeactivate() override;
    // Stopped filter: VFW_E_WRONG_STATE; flushing: S_FALSE; run-time error:
    // VFW_E_RUNTIME_ERROR; else S_OK.
    virtual HRESULT checkReceiveState();

    // IPin
    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;
    // IQualityControl: S_OK, E_POINTER for a null sender.
    STDMETHODIMP Notify(IBaseFilter* sender, Quality quality) override;
    // IMemInputPin
    STDMETHODIMP GetAllocator(IMemAllocator** out) override;
    STDMETHODIMP NotifyAllocator(IMemAllocator* newAllocator, BOOL readOnly) override;
    STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override;
    // The receive checks (null sample, state, type change); stores the
    // sample's properties in sampleProps. S_OK means deliverable.
    STDMETHODIMP Receive(IMediaSample* sample) override;
    STDMETHODIMP ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed) override;
    STDMETHODIMP ReceiveCanBlock() override;

protected:
    ComPtr<IMemAllocator> allocator;
    bool readOnly = false;
    bool flushing = false;
    AM_SAMPLE2_PROPERTIES sampleProps{};  // of the last received sample; pMediaType valid only during Receive
};

// An output pin: delivers through the peer's IMemInputPin.
class OutputPinCore : public PinCore {
public:
    OutputPinCore(FilterCore* filter, CriticalSection* lock, HRESULT* status, LPCWSTR name);
    ~OutputPinCore() override;

    // PinCore check, then obtains and keeps the peer's IMemInputPin.
    HRESULT checkPeer(IPin* peer) override;
    // chooseAllocator with the peer's IMemInputPin.
    HRESULT onConnected(IPin* peer) override;
    // Decommits and releases the allocator (a Decommit failure is returned
    // and nothing else done), releases the peer's IMemInputPin; S_OK.
    HRESULT onDisconnected() override;
    // Commits the allocator; VFW_E_NO_ALLOCATOR without one.
    HRESULT onActivate() override;
    // Clears the run-time error, decommits the allocator; VFW_E_NO_ALLOCATOR without one.
    HRESULT onDeactivate() override;

    // ---- hooks, in slot order after PinCore's ----
    // Agrees the allocator with the peer: the peer's own (GetAllocator,
    // sizeBuffers, NotifyAllocator), else makeDefaultAllocator. *out receives
    // a reference.
    virtual HRESULT chooseAllocator(IMemInputPin* peerInput, IMemAllocator** out);
    // Sets the buffer count and size on `allocator` given the peer's
    // requirements (alignment at least 1). No default.
    virtual HRESULT sizeBuffers(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* requirements) = 0;
    // The allocator's GetBuffer; E_NOINTERFACE without an allocator.
    virtual HRESULT obtainOutputBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop,
                                       DWORD flags);
    // The peer's IMemInputPin::Receive; VFW_E_NOT_CONNECTED when unconnected.
    virtual HRESULT sendSample(IMediaSample* sample);
    // createMemoryAllocator.
    virtual HRESULT makeDefaultAllocator(IMemAllocator** out);
    // The peer pin's EndOfStream/BeginFlush/EndFlush/NewSegment;
    // VFW_E_NOT_CONNECTED when unconnected.
    virtual HRESULT forwardEndOfStream();
    virtual HRESULT forwardBeginFlush();
    virtual HRESULT forwardEndFlush();
    virtual HRESULT forwardNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

    // IPin: not valid on an output pin (E_UNEXPECTED).
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;

protected:
    ComPtr<IMemAllocator> allocator;
    ComPtr<IMemInputPin> peerInput;  // the peer's IMemInputPin while connecting/connected
};

// IKsPropertySet of a capture pin: answers the pin category,
// PIN_CATEGORY_CAPTURE, read only. The pin that derives from it supplies
// IUnknown (DV_FORWARD_IUNKNOWN) and answers IID_IKsPropertySet with it.
class CapturePinCategory : public IKsPropertySet {
public:
    // E_NOTIMPL.
    STDMETHODIMP Set(REFGUID propSet, DWORD id, LPVOID instanceData, DWORD instanceLength,
                     LPVOID propertyData, DWORD dataLength) override;
    // AMPROPSETID_Pin/AMPROPERTY_PIN_CATEGORY only (E_PROP_SET_UNSUPPORTED,
    // E_PROP_ID_UNSUPPORTED); E_POINTER without data and `returned`; the
    // size alone without data; E_UNEXPECTED for a buffer smaller than a GUID.
    STDMETHODIMP Get(REFGUID propSet, DWORD id, LPVOID instanceData, DWORD instanceLength,
                     LPVOID propertyData, DWORD dataLength, DWORD* returned) override;
    // KSPROPERTY_SUPPORT_GET for the pin category.
    STDMETHODIMP QuerySupported(REFGUID propSet, DWORD id, DWORD* typeSupport) override;

protected:
    ~CapturePinCategory() = default;
};

// IEnumMediaTypes over a pin's proposeFormat positions. Holds a reference on
// the pin (and so on its filter).
class FormatEnumerator : public ComponentCore, public IEnumMediaTypes {
public:
    explicit FormatEnumerator(PinCore* pin);
    FormatEnumerator(const FormatEnumerator& other);

    DV_FORWARD_IUNKNOWN
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // Types are task-allocated; free each with deleteMediaType.
    STDMETHODIMP Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumMediaTypes** out) override;

private:
    ComPtr<IPin> pinRef;  // keeps the pin's filter alive
    PinCore* pin;         // the same pin, for its hooks
    int position = 0;
    LONG version;
};
