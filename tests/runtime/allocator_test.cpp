// CLSID_MemoryAllocator and its samples: properties, commit/decommit,
// blocking GetBuffer, sample state, and use from several threads.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

class Allocator : public FreshRegistry {
protected:
    void SetUp() override {
        FreshRegistry::SetUp();
        ASSERT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                   reinterpret_cast<void**>(allocator.GetAddressOf())),
                  S_OK);
    }
    void configure(LONG count, LONG size, LONG align = 1, LONG prefix = 0) {
        ALLOCATOR_PROPERTIES request{count, size, align, prefix};
        ALLOCATOR_PROPERTIES actual{};
        ASSERT_EQ(allocator->SetProperties(&request, &actual), S_OK);
    }
    ComPtr<IMediaSample> get(DWORD flags = 0, HRESULT expected = S_OK) {
        ComPtr<IMediaSample> sample;
        EXPECT_EQ(allocator->GetBuffer(sample.GetAddressOf(), nullptr, nullptr, flags), expected);
        return sample;
    }
    ComPtr<IMemAllocator> allocator;
};

TEST_F(Allocator, PropertiesAreRoundedAndReturned) {
    ALLOCATOR_PROPERTIES request{3, 1000, 16, 0};
    ALLOCATOR_PROPERTIES actual{};
    ASSERT_EQ(allocator->SetProperties(&request, &actual), S_OK);
    EXPECT_EQ(actual.cBuffers, 3);
    EXPECT_EQ(actual.cbBuffer, 1008);
    EXPECT_EQ(actual.cbAlign, 16);
    request = {2, 1000, 16, 8};  // prefix + buffer already a multiple of 16
    ASSERT_EQ(allocator->SetProperties(&request, &actual), S_OK);
    EXPECT_EQ(actual.cbBuffer, 1000);
    EXPECT_EQ(actual.cbPrefix, 8);
    ALLOCATOR_PROPERTIES now{};
    ASSERT_EQ(allocator->GetProperties(&now), S_OK);
    EXPECT_EQ(std::memcmp(&now, &actual, sizeof now), 0);

    request.cbAlign = 3;
    EXPECT_EQ(allocator->SetProperties(&request, &actual), VFW_E_BADALIGN);
    request.cbAlign = 0;
    EXPECT_EQ(allocator->SetProperties(&request, &actual), VFW_E_BADALIGN);
    EXPECT_EQ(allocator->SetProperties(nullptr, &actual), E_POINTER);

    // The buffers honour alignment and prefix.
    request = {2, 100, 64, 16};
    ASSERT_EQ(allocator->SetProperties(&request, &actual), S_OK);
    ASSERT_EQ(allocator->Commit(), S_OK);
    ComPtr<IMediaSample> a = get();
    BYTE* p = nullptr;
    ASSERT_EQ(a->GetPointer(&p), S_OK);
    EXPECT_EQ((reinterpret_cast<uintptr_t>(p) + 0) % 16, 0u);
    EXPECT_EQ((reinterpret_cast<uintptr_t>(p) - 16) % 64, 0u);
    EXPECT_EQ(a->GetSize(), actual.cbBuffer);
}

TEST_F(Allocator, CommitDecommitRules) {
    EXPECT_EQ(allocator->Commit(), VFW_E_SIZENOTSET);
    get(0, VFW_E_NOT_COMMITTED);
    configure(2, 64);
    ASSERT_EQ(allocator->Commit(), S_OK);
    EXPECT_EQ(allocator->Commit(), S_OK);
    ALLOCATOR_PROPERTIES request{4, 64, 1, 0};
    ALLOCATOR_PROPERTIES actual{};
    EXPECT_EQ(allocator->SetProperties(&request, &actual), VFW_E_ALREADY_COMMITTED);

    ComPtr<IMediaSample> out = get();
    ASSERT_EQ(allocator->Decommit(), S_OK);
    get(0, VFW_E_NOT_COMMITTED);
    // The sample handed out stays usable until it comes back.
    BYTE* p = nullptr;
    ASSERT_EQ(out->GetPointer(&p), S_OK);
    std::memset(p, 0x5A, 64);
    EXPECT_EQ(allocator->SetProperties(&request, &actual), VFW_E_BUFFERS_OUTSTANDING);
    out.Reset();
    EXPECT_EQ(allocator->SetProperties(&request, &actual), S_OK);
    ASSERT_EQ(allocator->Commit(), S_OK);
    std::vector<ComPtr<IMediaSample>> all;
    for (int i = 0; i < 4; ++i)
        all.push_back(get());
    get(AM_GBF_NOWAIT, VFW_E_TIMEOUT);
}

TEST_F(Allocator, LastReleaseReturnsTheSampleAndReleaseOutlivesTheAllocator) {
    configure(1, 32);
    ASSERT_EQ(allocator->Commit(), S_OK);
    ComPtr<IMediaSample> sample = get();
    get(AM_GBF_NOWAIT, VFW_E_TIMEOUT);
    IMediaSample* raw = sample.Get();
    raw->AddRef();
    sample.Reset();
    get(AM_GBF_NOWAIT, VFW_E_TIMEOUT);                       // one reference still out
    EXPECT_EQ(allocator->ReleaseBuffer(raw), E_INVALIDARG);  // not idle
    raw->Release();
    sample = get(AM_GBF_NOWAIT);
    ASSERT_NE(sample, nullptr);

    // Dropping the allocator while a sample is out: the sample keeps it alive.
    allocator->Decommit();
    allocator.Reset();
    BYTE* p = nullptr;
    ASSERT_EQ(sample->GetPointer(&p), S_OK);
    std::memset(p, 1, 32);
    sample.Reset();  // frees everything (checked by the sanitizers)
}

TEST_F(Allocator, GetBufferBlocksUntilASampleReturns) {
    configure(1, 16);
    ASSERT_EQ(allocator->Commit(), S_OK);
    ComPtr<IMediaSample> held = get();
    std::atomic<bool> done{false};
    HRESULT result = E_FAIL;
    std::thread waiter([&] {
        ComPtr<IMediaSample> s;
        result = allocator->GetBuffer(s.GetAddressOf(), nullptr, nullptr, 0);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(done.load());
    held.Reset();
    waiter.join();
    EXPECT_EQ(result, S_OK);
}

TEST_F(Allocator, DecommitReleasesBlockedWaiters) {
    configure(1, 16);
    ASSERT_EQ(allocator->Commit(), S_OK);
    ComPtr<IMediaSample> held = get();
    std::vector<std::thread> waiters;
    std::atomic<int> notCommitted{0};
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            ComPtr<IMediaSample> s;
            if (allocator->GetBuffer(s.GetAddressOf(), nullptr, nullptr, 0) == VFW_E_NOT_COMMITTED && !s) {
                ++notCommitted;
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(allocator->Decommit(), S_OK);
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(notCommitted.load(), 3);
    held.Reset();
}

TEST_F(Allocator, SampleTimesFlagsAndType) {
    configure(1, 100);
    ASSERT_EQ(allocator->Commit(), S_OK);
    ComPtr<IMediaSample> s = get();
    REFERENCE_TIME start = -1, stop = -1;
    EXPECT_EQ(s->GetTime(&start, &stop), VFW_E_SAMPLE_TIME_NOT_SET);
    REFERENCE_TIME t0 = 1000, t1 = 2000;
    ASSERT_EQ(s->SetTime(&t0, nullptr), S_OK);
    EXPECT_EQ(s->GetTime(&start, &stop), VFW_S_NO_STOP_TIME);
    EXPECT_EQ(start, 1000);
    EXPECT_EQ(stop, 1001);
    ASSERT_EQ(s->SetTime(&t0, &t1), S_OK);
    EXPECT_EQ(s->GetTime(&start, &stop), S_OK);
    EXPECT_EQ(stop, 2000);
    ASSERT_EQ(s->SetTime(nullptr, nullptr), S_OK);
    EXPECT_EQ(s->GetTime(&start, &stop), VFW_E_SAMPLE_TIME_NOT_SET);

    LONGLONG m0 = 5, m1 = 6;
    EXPECT_EQ(s->GetMediaTime(&m0, &m1), VFW_E_MEDIA_TIME_NOT_SET);
    m0 = 5;
    m1 = 6;
    ASSERT_EQ(s->SetMediaTime(&m0, &m1), S_OK);
    LONGLONG g0 = 0, g1 = 0;
    EXPECT_EQ(s->GetMediaTime(&g0, &g1), S_OK);
    EXPECT_EQ(g0, 5);
    EXPECT_EQ(g1, 6);

    EXPECT_EQ(s->IsSyncPoint(), S_FALSE);
    EXPECT_EQ(s->SetSyncPoint(TRUE), S_OK);
    EXPECT_EQ(s->IsSyncPoint(), S_OK);
    EXPECT_EQ(s->SetPreroll(TRUE), S_OK);
    EXPECT_EQ(s->IsPreroll(), S_OK);
    EXPECT_EQ(s->SetDiscontinuity(TRUE), S_OK);
    EXPECT_EQ(s->IsDiscontinuity(), S_OK);

    EXPECT_EQ(s->GetActualDataLength(), 100);
    EXPECT_EQ(s->SetActualDataLength(101), VFW_E_BUFFER_OVERFLOW);
    EXPECT_EQ(s->SetActualDataLength(60), S_OK);
    EXPECT_EQ(s->GetActualDataLength(), 60);

    AM_MEDIA_TYPE* type = reinterpret_cast<AM_MEDIA_TYPE*>(1);
    EXPECT_EQ(s->GetMediaType(&type), S_FALSE);
    EXPECT_EQ(type, nullptr);
    VIDEOINFOHEADER vih{};
    vih.bmiHeader.biWidth = 320;
    AM_MEDIA_TYPE mt{};
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = MEDIASUBTYPE_RGB24;
    mt.formattype = FORMAT_VideoInfo;
    mt.cbFormat = sizeof vih;
    mt.pbFormat = reinterpret_cast<BYTE*>(&vih);
    ASSERT_EQ(s->SetMediaType(&mt), S_OK);
    vih.bmiHeader.biWidth = 1;  // the sample holds its own copy
    ASSERT_EQ(s->GetMediaType(&type), S_OK);
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(type->subtype, MEDIASUBTYPE_RGB24);
    ASSERT_EQ(type->cbFormat, sizeof(VIDEOINFOHEADER));
    EXPECT_EQ(reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat)->bmiHeader.biWidth, 320);
    CoTaskMemFree(type->pbFormat);
    CoTaskMemFree(type);

    // IMediaSample2 sees the same state.
    ComPtr<IMediaSample2> s2;
    ASSERT_EQ(s.As(&s2), S_OK);
    AM_SAMPLE2_PROPERTIES props{};
    ASSERT_EQ(s2->GetProperties(sizeof props, reinterpret_cast<BYTE*>(&props)), S_OK);
    EXPECT_EQ(props.cbData, sizeof props);
    EXPECT_EQ(props.lActual, 60);
    EXPECT_TRUE(props.dwSampleFlags & AM_SAMPLE_SPLICEPOINT);
    EXPECT_TRUE(props.dwSampleFlags & AM_SAMPLE_TYPECHANGED);
    EXPECT_EQ(props.cbBuffer, 100);
    BYTE* p = nullptr;
    s->GetPointer(&p);
    EXPECT_EQ(props.pbBuffer, p);

    props.dwSampleFlags = AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID;
    props.tStart = 7;
    props.tStop = 9;
    props.lActual = 10;
    ASSERT_EQ(s2->SetProperties(sizeof props, reinterpret_cast<BYTE*>(&props)), S_OK);
    EXPECT_EQ(s->GetTime(&start, &stop), S_OK);
    EXPECT_EQ(start, 7);
    EXPECT_EQ(s->GetActualDataLength(), 10);
    EXPECT_EQ(s->IsSyncPoint(), S_FALSE);
    EXPECT_EQ(s->GetMediaType(&type), S_FALSE);
    props.pbBuffer = p + 1;
    EXPECT_EQ(s2->SetProperties(sizeof props, reinterpret_cast<BYTE*>(&props)), E_INVALIDARG);

    // A sample comes back clean for its next user.
    s2.Reset();
    s.Reset();
    s = get();
    EXPECT_EQ(s->GetTime(&start, &stop), VFW_E_SAMPLE_TIME_NOT_SET);
    EXPECT_EQ(s->IsSyncPoint(), S_FALSE);
    EXPECT_EQ(s->IsPreroll(), S_FALSE);
    EXPECT_EQ(s->IsDiscontinuity(), S_FALSE);
    EXPECT_EQ(s->GetActualDataLength(), 100);
    EXPECT_EQ(s->GetMediaType(&type), S_FALSE);
}

// Producers and a decommitting thread racing (for the thread sanitizer).
TEST_F(Allocator, ManyThreadsShareThePool) {
    configure(3, 256);
    ASSERT_EQ(allocator->Commit(), S_OK);
    std::atomic<bool> stop{false};
    std::atomic<long> served{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
        workers.emplace_back([&, w] {
            while (!stop) {
                ComPtr<IMediaSample> s;
                const HRESULT hr = allocator->GetBuffer(s.GetAddressOf(), nullptr, nullptr, 0);
                if (hr == VFW_E_NOT_COMMITTED) {
                    std::this_thread::yield();
                    continue;
                }
                ASSERT_EQ(hr, S_OK);
                BYTE* p = nullptr;
                s->GetPointer(&p);
                std::memset(p, w, 256);
                REFERENCE_TIME t = w;
                s->SetTime(&t, nullptr);
                ++served;
            }
        });
    }
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        allocator->Decommit();
        allocator->Commit();
    }
    stop = true;
    allocator->Decommit();
    for (auto& t : workers)
        t.join();
    EXPECT_GT(served.load(), 0);
}

TEST(Clock, MonotonicIn100nsUnits) {
    ComPtr<IReferenceClock> clock;
    ASSERT_EQ(CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_IReferenceClock,
                               reinterpret_cast<void**>(clock.GetAddressOf())),
              S_OK);
    // The clock's interval is bracketed by the steady clock's: no bound here
    // depends on how fast the machine runs the test.
    REFERENCE_TIME a = 0, b = 0;
    const auto outerBegin = std::chrono::steady_clock::now();
    ASSERT_TRUE(SUCCEEDED(clock->GetTime(&a)));
    const auto innerBegin = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto innerEnd = std::chrono::steady_clock::now();
    ASSERT_TRUE(SUCCEEDED(clock->GetTime(&b)));
    const auto outerEnd = std::chrono::steady_clock::now();
    auto units = [](std::chrono::steady_clock::duration d) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 100;
    };
    EXPECT_GE(b - a, units(innerEnd - innerBegin));      // at least the sleep, in 100 ns units
    EXPECT_LE(b - a, units(outerEnd - outerBegin) + 1);  // at most the whole span: not some other unit
    EXPECT_EQ(clock->GetTime(nullptr), E_POINTER);
    DWORD_PTR cookie = 1;
    EXPECT_EQ(clock->AdviseTime(0, 0, 0, &cookie), E_NOTIMPL);
    EXPECT_EQ(cookie, 0u);
}

}  // namespace
