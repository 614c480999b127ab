// CLSID_MemoryAllocator: a fixed pool of equally sized buffers in one block,
// handed out as IMediaSample2 objects.
//
// Lifetime: the allocator owns its samples. A sample handed out by GetBuffer
// holds one reference on the allocator until it comes back (its last
// Release), so the allocator outlives every outstanding sample. Decommit with
// samples outstanding defers freeing the pool until the last one is back.
//
// Threads: every allocator method may be called from any thread; `lock`
// guards the pool state. A sample's own fields are not locked: a sample has
// one user at a time, as the media framework's contract says.
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "runtime.h"

namespace {

class MemoryAllocator;

class Sample final : public IMediaSample2 {
public:
    Sample(MemoryAllocator* owner, BYTE* buffer, LONG size) : owner(owner), buffer(buffer), size(size) {}
    ~Sample() { clearMediaType(); }

    // Prepares the sample for a new user: no flags, no times, no type, full length.
    void reset() {
        flags = 0;
        typeSpecificFlags = 0;
        streamId = AM_STREAM_MEDIA;
        actual = size;
        start = stop = 0;
        mediaStart = mediaStop = 0;
        mediaTimeValid = false;
        clearMediaType();
        refs.store(1, std::memory_order_relaxed);
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IMediaSample || riid == IID_IMediaSample2) {
            *ppv = static_cast<IMediaSample2*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return refs.fetch_add(1, std::memory_order_relaxed) + 1; }
    STDMETHODIMP_(ULONG) Release() override;
    bool idle() const { return refs.load(std::memory_order_acquire) == 0; }

    STDMETHODIMP GetPointer(BYTE** out) override {
        if (!out) return E_POINTER;
        *out = buffer;
        return S_OK;
    }
    STDMETHODIMP_(LONG) GetSize() override { return size; }
    STDMETHODIMP GetTime(REFERENCE_TIME* outStart, REFERENCE_TIME* outStop) override {
        if (!outStart || !outStop) return E_POINTER;
        if (!(flags & AM_SAMPLE_TIMEVALID)) return VFW_E_SAMPLE_TIME_NOT_SET;
        *outStart = start;
        if (!(flags & AM_SAMPLE_STOPVALID)) {
            *outStop = start + 1;
            return VFW_S_NO_STOP_TIME;
        }
        *outStop = stop;
        return S_OK;
    }
    STDMETHODIMP SetTime(REFERENCE_TIME* newStart, REFERENCE_TIME* newStop) override {
        if (!newStart) {
            flags &= ~(AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID);
            return S_OK;
        }
        start = *newStart;
        flags |= AM_SAMPLE_TIMEVALID;
        if (newStop) {
            stop = *newStop;
            flags |= AM_SAMPLE_STOPVALID;
        } else {
            flags &= ~AM_SAMPLE_STOPVALID;
        }
        return S_OK;
    }
    STDMETHODIMP IsSyncPoint() override { return flag(AM_SAMPLE_SPLICEPOINT); }
    STDMETHODIMP SetSyncPoint(BOOL on) override { return setFlag(AM_SAMPLE_SPLICEPOINT, on); }
    STDMETHODIMP IsPreroll() override { return flag(AM_SAMPLE_PREROLL); }
    STDMETHODIMP SetPreroll(BOOL on) override { return setFlag(AM_SAMPLE_PREROLL, on); }
    STDMETHODIMP_(LONG) GetActualDataLength() override { return actual; }
    STDMETHODIMP SetActualDataLength(LONG length) override {
        if (length < 0 || length > size) return VFW_E_BUFFER_OVERFLOW;
        actual = length;
        return S_OK;
    }
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!(flags & AM_SAMPLE_TYPECHANGED) || !mediaType) return S_FALSE;
        AM_MEDIA_TYPE* copy = copyType(*mediaType);
        if (!copy) return E_OUTOFMEMORY;
        *out = copy;
        return S_OK;
    }
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE* type) override {
        clearMediaType();
        if (!type) return S_OK;
        mediaType = copyType(*type);
        if (!mediaType) return E_OUTOFMEMORY;
        flags |= AM_SAMPLE_TYPECHANGED;
        return S_OK;
    }
    STDMETHODIMP IsDiscontinuity() override { return flag(AM_SAMPLE_DATADISCONTINUITY); }
    STDMETHODIMP SetDiscontinuity(BOOL on) override { return setFlag(AM_SAMPLE_DATADISCONTINUITY, on); }
    STDMETHODIMP GetMediaTime(LONGLONG* outStart, LONGLONG* outStop) override {
        if (!outStart || !outStop) return E_POINTER;
        if (!mediaTimeValid) return VFW_E_MEDIA_TIME_NOT_SET;
        *outStart = mediaStart;
        *outStop = mediaStop;
        return S_OK;
    }
    STDMETHODIMP SetMediaTime(LONGLONG* newStart, LONGLONG* newStop) override {
        if (!newStart) {
            mediaTimeValid = false;
            return S_OK;
        }
        if (!newStop) return E_POINTER;
        mediaStart = *newStart;
        mediaStop = *newStop;
        mediaTimeValid = true;
        return S_OK;
    }

    // IMediaSample2: the first `bytes` bytes of an AM_SAMPLE2_PROPERTIES.
    STDMETHODIMP GetProperties(DWORD bytes, BYTE* out) override {
        if (bytes == 0) return S_OK;
        if (!out) return E_POINTER;
        AM_SAMPLE2_PROPERTIES p{};
        p.cbData = bytes < sizeof p ? bytes : static_cast<DWORD>(sizeof p);
        p.dwTypeSpecificFlags = typeSpecificFlags;
        p.dwSampleFlags = flags;
        p.lActual = actual;
        p.tStart = start;
        p.tStop = stop;
        p.dwStreamId = streamId;
        p.pMediaType = (flags & AM_SAMPLE_TYPECHANGED) ? mediaType : nullptr;
        p.pbBuffer = buffer;
        p.cbBuffer = size;
        std::memcpy(out, &p, p.cbData);
        return S_OK;
    }
    STDMETHODIMP SetProperties(DWORD bytes, const BYTE* in) override {
        constexpr DWORD required = offsetof(AM_SAMPLE2_PROPERTIES, pbBuffer);
        if (!in) return E_POINTER;
        if (bytes < required) return E_INVALIDARG;
        AM_SAMPLE2_PROPERTIES p{};
        std::memcpy(&p, in, bytes < sizeof p ? bytes : sizeof p);
        if (p.cbData < required || p.cbData > bytes) return E_INVALIDARG;
        const bool hasBuffer = p.cbData >= sizeof p;
        if (hasBuffer && ((p.pbBuffer && p.pbBuffer != buffer) || (p.cbBuffer && p.cbBuffer != size))) {
            return E_INVALIDARG;
        }
        if (p.lActual < 0 || p.lActual > size) return VFW_E_BUFFER_OVERFLOW;
        if (p.dwSampleFlags & AM_SAMPLE_TYPECHANGED) {
            const HRESULT hr = SetMediaType(p.pMediaType);
            if (FAILED(hr)) return hr;
        } else {
            clearMediaType();
        }
        flags = p.dwSampleFlags;
        if (!mediaType) flags &= ~AM_SAMPLE_TYPECHANGED;
        typeSpecificFlags = p.dwTypeSpecificFlags;
        actual = p.lActual;
        start = p.tStart;
        stop = p.tStop;
        streamId = p.dwStreamId;
        return S_OK;
    }

private:
    HRESULT flag(DWORD bit) const { return (flags & bit) ? S_OK : S_FALSE; }
    HRESULT setFlag(DWORD bit, BOOL on) {
        flags = on ? (flags | bit) : (flags & ~bit);
        return S_OK;
    }
    void clearMediaType() {
        if (!mediaType) return;
        CoTaskMemFree(mediaType->pbFormat);
        if (mediaType->pUnk) mediaType->pUnk->Release();
        CoTaskMemFree(mediaType);
        mediaType = nullptr;
        flags &= ~AM_SAMPLE_TYPECHANGED;
    }
    // A task-memory copy of `type`, as the media framework hands types out.
    static AM_MEDIA_TYPE* copyType(const AM_MEDIA_TYPE& type) {
        auto* copy = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
        if (!copy) return nullptr;
        *copy = type;
        copy->pbFormat = nullptr;
        if (type.cbFormat && type.pbFormat) {
            copy->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(type.cbFormat));
            if (!copy->pbFormat) {
                CoTaskMemFree(copy);
                return nullptr;
            }
            std::memcpy(copy->pbFormat, type.pbFormat, type.cbFormat);
        } else {
            copy->cbFormat = 0;
        }
        if (copy->pUnk) copy->pUnk->AddRef();
        return copy;
    }

    MemoryAllocator* const owner;  // counted while the sample is out (see MemoryAllocator)
    BYTE* const buffer;
    const LONG size;
    std::atomic<ULONG> refs{0};
    DWORD flags = 0;
    DWORD typeSpecificFlags = 0;
    DWORD streamId = AM_STREAM_MEDIA;
    LONG actual = 0;
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 0;
    LONGLONG mediaStart = 0;
    LONGLONG mediaStop = 0;
    bool mediaTimeValid = false;
    AM_MEDIA_TYPE* mediaType = nullptr;
};

class MemoryAllocator final : public IMemAllocator, public dvrt::RefCounted {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IMemAllocator) {
            *ppv = static_cast<IMemAllocator*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    DVRT_REFCOUNT_METHODS

    // Buffer sizes are rounded so that prefix + buffer is a multiple of the
    // alignment; the count is taken as asked.
    STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actualOut) override {
        if (!request || !actualOut) return E_POINTER;
        std::lock_guard<std::mutex> guard(lock);
        if (committed) return VFW_E_ALREADY_COMMITTED;
        if (outstanding > 0) return VFW_E_BUFFERS_OUTSTANDING;
        const LONG align = request->cbAlign;
        if (align <= 0 || (align & (align - 1)) != 0) return VFW_E_BADALIGN;
        if (request->cBuffers < 0 || request->cbBuffer < 0 || request->cbPrefix < 0) return E_INVALIDARG;
        int64_t total = static_cast<int64_t>(request->cbBuffer) + request->cbPrefix;
        if (total % align) total += align - total % align;
        if (total - request->cbPrefix > INT32_MAX) return E_OUTOFMEMORY;
        props.cBuffers = request->cBuffers;
        props.cbBuffer = static_cast<LONG>(total - request->cbPrefix);
        props.cbAlign = align;
        props.cbPrefix = request->cbPrefix;
        propertiesSet = true;
        *actualOut = props;
        return S_OK;
    }
    STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* out) override {
        if (!out) return E_POINTER;
        std::lock_guard<std::mutex> guard(lock);
        *out = props;
        return S_OK;
    }
    STDMETHODIMP Commit() override {
        std::lock_guard<std::mutex> guard(lock);
        if (committed) return S_OK;
        if (!propertiesSet || props.cBuffers <= 0 || props.cbBuffer <= 0) return VFW_E_SIZENOTSET;
        if (samples.empty()) {
            // (A pool kept by a decommit with samples outstanding is reused.)
            const size_t stride = static_cast<size_t>(props.cbPrefix) + static_cast<size_t>(props.cbBuffer);
            const size_t align = static_cast<size_t>(props.cbAlign) < alignof(std::max_align_t)
                                     ? alignof(std::max_align_t)
                                     : static_cast<size_t>(props.cbAlign);
            const size_t bytes = stride * static_cast<size_t>(props.cBuffers) + align;
            std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[bytes]);
            if (!block) return E_OUTOFMEMORY;
            auto base = reinterpret_cast<uintptr_t>(block.get());
            base = (base + align - 1) & ~(static_cast<uintptr_t>(align) - 1);
            // The buffer after the prefix starts on the alignment (prefix + buffer is a multiple of it).
            for (LONG i = 0; i < props.cBuffers; ++i) {
                BYTE* p = reinterpret_cast<BYTE*>(base) + static_cast<size_t>(i) * stride + props.cbPrefix;
                samples.push_back(std::make_unique<Sample>(this, p, props.cbBuffer));
                freeList.push_back(samples.back().get());
            }
            memory = std::move(block);
        }
        committed = true;
        return S_OK;
    }
    STDMETHODIMP Decommit() override {
        std::lock_guard<std::mutex> guard(lock);
        if (!committed) return S_OK;
        committed = false;
        if (outstanding == 0) freePool();
        available.notify_all();  // waiters in GetBuffer answer VFW_E_NOT_COMMITTED
        return S_OK;
    }
    STDMETHODIMP GetBuffer(IMediaSample** out, REFERENCE_TIME* /*start*/, REFERENCE_TIME* /*stop*/,
                           DWORD flags) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        Sample* sample = nullptr;
        {
            std::unique_lock<std::mutex> guard(lock);
            while (true) {
                if (!committed) return VFW_E_NOT_COMMITTED;
                if (!freeList.empty()) break;
                if (flags & AM_GBF_NOWAIT) return VFW_E_TIMEOUT;
                available.wait(guard);
            }
            sample = freeList.back();
            freeList.pop_back();
            ++outstanding;
            sample->reset();
        }
        AddRef();  // held by the sample until it comes back
        *out = sample;
        return S_OK;
    }
    // Called by a sample's last Release (and accepted from callers for
    // samples of this allocator, as the platform's allocator does).
    STDMETHODIMP ReleaseBuffer(IMediaSample* sample) override {
        if (!sample) return E_POINTER;
        {
            std::lock_guard<std::mutex> guard(lock);
            Sample* own = nullptr;
            for (auto& s : samples) {
                if (static_cast<IMediaSample*>(s.get()) == sample) own = s.get();
            }
            if (!own || !own->idle()) return E_INVALIDARG;
            for (Sample* f : freeList) {
                if (f == own) return E_INVALIDARG;
            }
            freeList.push_back(own);
            --outstanding;
            if (!committed && outstanding == 0) {
                freePool();
            } else {
                available.notify_one();
            }
        }
        Release();  // the reference the sample held; may delete the allocator
        return S_OK;
    }

private:
    ~MemoryAllocator() override = default;

    // Called with `lock` held and every sample back.
    void freePool() {
        freeList.clear();
        samples.clear();
        memory.reset();
    }

    std::mutex lock;
    std::condition_variable available;
    ALLOCATOR_PROPERTIES props{0, 0, 0, 0};
    bool propertiesSet = false;
    bool committed = false;
    LONG outstanding = 0;
    std::unique_ptr<BYTE[]> memory;
    std::vector<std::unique_ptr<Sample>> samples;
    std::vector<Sample*> freeList;
};

STDMETHODIMP_(ULONG) Sample::Release() {
    const ULONG left = refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) owner->ReleaseBuffer(this);
    return left;
}

}  // namespace

namespace dvrt {
HRESULT createMemoryAllocator(REFIID riid, void** ppv) {
    auto* allocator = new (std::nothrow) MemoryAllocator;
    if (!allocator) return E_OUTOFMEMORY;
    return handOut(allocator, riid, ppv);
}
}  // namespace dvrt
