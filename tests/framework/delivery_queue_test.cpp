// DeliveryQueue: direct and worker delivery, ordering of markers, sticky
// failures, flushing, stopping while downstream blocks, no allocation on the
// steady path.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>

#include "fakes.h"

// Every operator new of this program is counted, so that a test can tell
// whether a stretch of work allocated (the queue's steady path must not).
namespace {
std::atomic<long> newCalls{0};

void* countedNew(std::size_t size) {
    newCalls.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size ? size : 1);
}
// Out of line, so that the compiler does not pair an inlined `new` with free().
__attribute__((noinline)) void countedDelete(void* block) noexcept {
    std::free(block);
}
}  // namespace

void* operator new(std::size_t size) {
    if (void* block = countedNew(size)) return block;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* block = countedNew(size)) return block;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return countedNew(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return countedNew(size);
}
void operator delete(void* block) noexcept {
    countedDelete(block);
}
void operator delete[](void* block) noexcept {
    countedDelete(block);
}
void operator delete(void* block, std::size_t) noexcept {
    countedDelete(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    countedDelete(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    countedDelete(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    countedDelete(block);
}

namespace {

using namespace std::chrono_literals;

// The downstream input pin: records what reaches it (thread-safe), can fail
// or block a chosen sample until its BeginFlush or open() is called.
class DownstreamPin : public TestInputPin {
public:
    using TestInputPin::TestInputPin;

    STDMETHODIMP Receive(IMediaSample* sample) override {
        int id = static_cast<FakeSample*>(sample)->id;
        std::unique_lock<std::mutex> hold(mutex);
        if (quiet) {
            ++quietCount;  // counts only: records nothing that allocates
        } else {
            log.push_back("s" + std::to_string(id));
            threads.push_back(std::this_thread::get_id());
        }
        changed.notify_all();
        if (id == blockOn) changed.wait(hold, [this] { return gateOpen; });
        return id == failOn ? failWith : S_OK;
    }
    STDMETHODIMP ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed) override {
        {
            std::lock_guard<std::mutex> hold(mutex);
            if (!quiet) batchSizes.push_back(count);
        }
        return InputPinCore::ReceiveMultiple(samples, count, processed);
    }
    STDMETHODIMP EndOfStream() override { return record("eos"); }
    STDMETHODIMP BeginFlush() override {
        open();
        return record("begin");
    }
    STDMETHODIMP EndFlush() override { return record("end"); }
    STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME, double) override {
        return record("seg" + std::to_string(start));
    }
    void open() {
        std::lock_guard<std::mutex> hold(mutex);
        gateOpen = true;
        changed.notify_all();
    }
    void close() {
        std::lock_guard<std::mutex> hold(mutex);
        gateOpen = false;
    }
    // Quiet mode: waits until `count` samples were received; false after 10 s.
    bool waitForQuiet(long count) {
        std::unique_lock<std::mutex> hold(mutex);
        return changed.wait_for(hold, 10s, [&] { return quietCount >= count; });
    }
    // Waits until `entry` was logged; false after 10 s (a hang, reported as failure).
    bool waitFor(const std::string& entry) {
        std::unique_lock<std::mutex> hold(mutex);
        return changed.wait_for(hold, 10s,
                                [&] { return std::find(log.begin(), log.end(), entry) != log.end(); });
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> hold(mutex);
        return log;
    }
    std::thread::id threadOf(size_t index) {
        std::lock_guard<std::mutex> hold(mutex);
        return threads.at(index);
    }

    bool quiet = false;  // set before the queue delivers
    int blockOn = -1;
    int failOn = -1;
    HRESULT failWith = E_FAIL;
    std::vector<LONG> batchSizes;

private:
    HRESULT record(const std::string& what) {
        std::lock_guard<std::mutex> hold(mutex);
        log.push_back(what);
        changed.notify_all();
        return S_OK;
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> log;
    std::vector<std::thread::id> threads;
    long quietCount = 0;
    bool gateOpen = false;
};

// Waits until `queue` has nothing in flight; false after 10 s (a hang,
// reported as failure).
bool waitUntilIdle(DeliveryQueue& queue) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!queue.isIdle()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class DeliveryQueueTest : public FrameworkTest {
protected:
    ComPtr<TestFilter> filter = makeFilter();
    DownstreamPin* pin = nullptr;
    std::vector<ComPtr<FakeSample>> samples;

    void SetUp() override {
        pin = new DownstreamPin(filter.Get(), &filter->filterLock, L"Down");
        filter->pins.push_back(pin);
        for (int i = 1; i <= 6; ++i)
            samples.emplace_back(new FakeSample(i));
    }
    void TearDown() override {
        // Every sample handed to a queue was released again.
        for (auto& s : samples)
            EXPECT_EQ(refsOf(s.Get()), 1u) << "sample " << s->id;
        samples.clear();
        filter = nullptr;
        FrameworkTest::TearDown();
    }
    void canBlock(HRESULT answer) { pin->canBlockAnswer.reset(new HRESULT(answer)); }
    std::unique_ptr<DeliveryQueue> makeQueue(bool autoDecide = true, bool queue = false, LONG batch = 1,
                                             bool exact = false) {
        HRESULT hr = S_OK;
        DeliveryQueueOptions options;
        options.autoDecide = autoDecide;
        options.queue = queue;
        options.batchSize = batch;
        options.batchExact = exact;
        std::unique_ptr<DeliveryQueue> q(new DeliveryQueue(pin, &hr, options));
        EXPECT_EQ(hr, S_OK);
        return q;
    }
    IMediaSample* sample(int id) { return samples[static_cast<size_t>(id - 1)].Get(); }
};

TEST_F(DeliveryQueueTest, WithoutBlockingDownstreamSamplesGoOutOnTheCallersThread) {
    canBlock(S_FALSE);
    auto q = makeQueue();
    EXPECT_FALSE(q->usesWorker());
    EXPECT_EQ(q->receive(sample(1)), S_OK);
    EXPECT_EQ(pin->snapshot(), (std::vector<std::string>{"s1"}));  // before receive returned
    EXPECT_EQ(pin->threadOf(0), std::this_thread::get_id());
    EXPECT_EQ(refsOf(sample(1)), 1u);  // released after delivery
    EXPECT_EQ(q->newSegment(7, 8, 1.0), S_OK);
    IMediaSample* two[2] = {ComPtr<IMediaSample>(sample(2)).Detach(),
                            ComPtr<IMediaSample>(sample(3)).Detach()};
    LONG processed = 0;
    EXPECT_EQ(q->receiveMultiple(two, 2, &processed), S_OK);
    EXPECT_EQ(processed, 2);
    EXPECT_EQ(q->endOfStream(), S_OK);
    EXPECT_EQ(pin->snapshot(), (std::vector<std::string>{"s1", "seg7", "s2", "s3", "eos"}));
    EXPECT_TRUE(q->isIdle());
}

TEST_F(DeliveryQueueTest, WorkerKeepsMarkersInPlaceBetweenSamples) {
    canBlock(S_OK);
    auto q = makeQueue();
    ASSERT_TRUE(q->usesWorker());
    Event popped(true);
    q->setPopEvent(&popped);
    EXPECT_EQ(q->receive(sample(1)), S_OK);
    EXPECT_EQ(q->newSegment(5, 6, 1.0), S_OK);
    EXPECT_EQ(q->receive(sample(2)), S_OK);
    EXPECT_EQ(q->receive(sample(3)), S_OK);
    EXPECT_EQ(q->receive(sample(4)), S_OK);
    EXPECT_EQ(q->endOfStream(), S_OK);
    ASSERT_TRUE(pin->waitFor("eos"));
    EXPECT_EQ(pin->snapshot(), (std::vector<std::string>{"s1", "seg5", "s2", "s3", "s4", "eos"}));
    EXPECT_NE(pin->threadOf(0), std::this_thread::get_id());
    EXPECT_TRUE(popped.isSignalled());
    q.reset();
}

TEST_F(DeliveryQueueTest, DirectFailureIsStickyUntilEndFlush) {
    canBlock(S_FALSE);
    pin->failOn = 1;
    pin->failWith = VFW_E_RUNTIME_ERROR;
    auto q = makeQueue();
    EXPECT_EQ(q->receive(sample(1)), VFW_E_RUNTIME_ERROR);
    EXPECT_EQ(q->receive(sample(2)), VFW_E_RUNTIME_ERROR);
    LONG processed = 9;
    IMediaSample* one[1] = {ComPtr<IMediaSample>(sample(3)).Detach()};
    EXPECT_EQ(q->receiveMultiple(one, 1, &processed), VFW_E_RUNTIME_ERROR);
    EXPECT_EQ(processed, 0);
    EXPECT_EQ(q->endOfStream(), S_OK);  // not passed on
    EXPECT_EQ(pin->snapshot(), (std::vector<std::string>{"s1"}));
    EXPECT_EQ(q->beginFlush(), S_OK);
    EXPECT_EQ(q->receive(sample(4)), VFW_E_RUNTIME_ERROR);  // the failure stays until end flush
    EXPECT_EQ(q->endFlush(), S_OK);
    EXPECT_EQ(q->receive(sample(5)), S_OK);
    EXPECT_EQ(pin->snapshot(), (std::vector<std::string>{"s1", "begin", "end", "s5"}));
}

TEST_F(DeliveryQueueTest, WorkerFailureIsStickyAndEndOfStreamIsNotPassedOn) {
    canBlock(S_OK);
    pin->failOn = 1;
    auto q = makeQueue();
    EXPECT_EQ(q->receive(sample(1)), S_OK);  // accepted; the failure comes later
    ASSERT_TRUE(pin->waitFor("s1"));
    ASSERT_TRUE(waitUntilIdle(*q));
    EXPECT_EQ(q->receive(sample(2)), E_FAIL);
    EXPECT_EQ(q->endOfStream(), S_OK);
    q->reset();  // clears the sticky failure after the worker has caught up
    EXPECT_EQ(q->receive(sample(3)), S_OK);
    EXPECT_EQ(q->endOfStream(), S_OK);
    ASSERT_TRUE(pin->waitFor("eos"));
    EXPECT_EQ(pin->snapshot(), (std::vector<std::string>{"s1", "s3", "eos"}));
}

TEST_F(DeliveryQueueTest, FlushReleasesQueuedSamplesAndUnblocksTheWorker) {
    canBlock(S_OK);
    pin->blockOn = 1;  // held in Receive until BeginFlush reaches the pin
    auto q = makeQueue();
    EXPECT_EQ(q->receive(sample(1)), S_OK);
    ASSERT_TRUE(pin->waitFor("s1"));
    EXPECT_EQ(q->receive(sample(2)), S_OK);
    EXPECT_EQ(q->receive(sample(3)), S_OK);
    EXPECT_EQ(q->beginFlush(), S_OK);
    EXPECT_EQ(q->receive(sample(4)), S_FALSE);
    EXPECT_EQ(q->endFlush(), S_OK);
    EXPECT_EQ(refsOf(sample(2)), 1u);  // released without delivery
    EXPECT_EQ(refsOf(sample(3)), 1u);
    EXPECT_EQ(q->receive(sample(5)), S_OK);
    EXPECT_EQ(q->endOfStream(), S_OK);
    ASSERT_TRUE(pin->waitFor("eos"));
    EXPECT_EQ(pin->snapshot(), (std::vector<std::string>{"s1", "begin", "end", "s5", "eos"}));
}

// End flush with no begin flush before it (a camera may send one alone):
// with a worker there is no flush for it to wait for, so it returns at once
// and passes the end flush on.
TEST_F(DeliveryQueueTest, EndFlushWithoutAFlushReturnsAndReachesDownstream) {
    canBlock(S_OK);
    auto q = makeQueue();
    ASSERT_TRUE(q->usesWorker());
    std::atomic<bool> returned{false};
    std::thread host([&] {
        q->endFlush();
        returned = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!returned && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    const bool hung = !returned;
    if (hung) q->beginFlush();  // lets the worker signal the flush the end flush waits for
    host.join();
    EXPECT_FALSE(hung) << "end flush waited for a flush that never began";
    EXPECT_EQ(pin->snapshot(), (std::vector<std::string>{"end"}));
    // The queue still delivers afterwards.
    EXPECT_EQ(q->receive(sample(1)), S_OK);
    EXPECT_TRUE(pin->waitFor("s1"));
}

TEST_F(DeliveryQueueTest, DirectFlushReachesDownstreamBeforeTheQueueLock) {
    canBlock(S_FALSE);
    pin->blockOn = 1;
    auto q = makeQueue();
    std::thread producer([&] { EXPECT_EQ(q->receive(sample(1)), S_OK); });
    ASSERT_TRUE(pin->waitFor("s1"));
    // The producer holds the queue lock inside the downstream receive; the
    // flush must still get through to release it.
    EXPECT_EQ(q->beginFlush(), S_OK);
    producer.join();
    EXPECT_EQ(q->endFlush(), S_OK);
    EXPECT_EQ(pin->snapshot(), (std::vector<std::string>{"s1", "begin", "end"}));
}

TEST_F(DeliveryQueueTest, DestructionWaitsForABlockedReceiveAndReleasesTheRest) {
    canBlock(S_OK);
    pin->blockOn = 1;
    auto q = makeQueue();
    EXPECT_EQ(q->receive(sample(1)), S_OK);
    ASSERT_TRUE(pin->waitFor("s1"));
    EXPECT_EQ(q->receive(sample(2)), S_OK);
    std::atomic<bool> destroyed{false};
    std::thread stopper([&] {
        q.reset();
        destroyed = true;
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(destroyed.load());  // cannot finish while downstream holds the worker
    pin->open();                     // downstream is stopped and returns
    stopper.join();
    EXPECT_TRUE(destroyed.load());
    EXPECT_EQ(pin->snapshot(), (std::vector<std::string>{"s1"}));
}

TEST_F(DeliveryQueueTest, ConstructionChoices) {
    HRESULT hr = E_OUTOFMEMORY;  // an earlier failure: the queue exists without worker
    {
        DeliveryQueueOptions withWorker;
        withWorker.queue = true;
        DeliveryQueue q(pin, &hr, withWorker);
        EXPECT_EQ(hr, E_OUTOFMEMORY);
        EXPECT_FALSE(q.usesWorker());
    }
    auto outputFilter = makeFilter();
    TestOutputPin* out = outputFilter->addOutput(L"Out");
    hr = S_OK;
    {
        DeliveryQueue q(out, &hr, DeliveryQueueOptions{});  // no IMemInputPin
        EXPECT_EQ(hr, E_NOINTERFACE);
    }
    canBlock(S_FALSE);
    auto forced = makeQueue(false, true);  // without auto, the queue argument decides
    EXPECT_TRUE(forced->usesWorker());
    canBlock(E_FAIL);
    auto fallback = makeQueue(true, true);  // a failed answer falls back to it
    EXPECT_TRUE(fallback->usesWorker());
    auto direct = makeQueue(true, false);
    EXPECT_FALSE(direct->usesWorker());
}

TEST_F(DeliveryQueueTest, ExactBatchesWaitUntilFullOrEndOfStream) {
    canBlock(S_FALSE);
    auto q = makeQueue(true, false, 2, true);
    EXPECT_EQ(q->receive(sample(1)), S_OK);
    EXPECT_TRUE(pin->snapshot().empty());
    EXPECT_EQ(q->receive(sample(2)), S_OK);
    EXPECT_EQ(q->receive(sample(3)), S_OK);
    EXPECT_EQ(q->endOfStream(), S_OK);
    EXPECT_EQ(pin->snapshot(), (std::vector<std::string>{"s1", "s2", "s3", "eos"}));
    EXPECT_EQ(pin->batchSizes, (std::vector<LONG>{2, 1}));
}

TEST_F(DeliveryQueueTest, WorkerWithExactBatchesHoldsSamplesBack) {
    canBlock(S_OK);
    auto q = makeQueue(true, false, 3, true);
    EXPECT_EQ(q->receive(sample(1)), S_OK);
    EXPECT_EQ(q->receive(sample(2)), S_OK);
    q->sendAnyway();
    ASSERT_TRUE(pin->waitFor("s2"));
    EXPECT_EQ(q->receive(sample(3)), S_OK);
    EXPECT_EQ(q->receive(sample(4)), S_OK);
    EXPECT_EQ(q->receive(sample(5)), S_OK);
    ASSERT_TRUE(pin->waitFor("s5"));
    q.reset();
    EXPECT_EQ(pin->batchSizes, (std::vector<LONG>{2, 3}));
}

TEST_F(DeliveryQueueTest, SteadyDeliveryAllocatesNothing) {
    {
        // The count is live: this program's operator new is the one in use.
        const long probe = newCalls.load();
        void* block = ::operator new(8);
        ::operator delete(block);
        ASSERT_EQ(newCalls.load() - probe, 1);
    }
    pin->quiet = true;
    long received = 0;
    for (HRESULT answer : {S_FALSE, S_OK}) {  // direct, then with a worker
        canBlock(answer);
        auto q = makeQueue();
        ASSERT_EQ(q->usesWorker(), answer == S_OK);
        auto cycle = [&](int rounds) {
            for (int i = 0; i < rounds; ++i) {
                EXPECT_EQ(q->receive(sample(1 + i % 6)), S_OK);
                ASSERT_TRUE(pin->waitForQuiet(++received));
            }
        };
        cycle(12);  // warm-up
        const long before = newCalls.load();
        cycle(300);
        EXPECT_EQ(newCalls.load() - before, 0) << (answer == S_OK ? "with a worker" : "direct");
    }
    // Direct batches of 4, filled across calls of 3 samples.
    canBlock(S_FALSE);
    auto q = makeQueue(true, false, 4, true);
    const long before = newCalls.load();
    for (int i = 0; i < 8; ++i) {
        IMediaSample* three[3];
        for (int k = 0; k < 3; ++k)
            three[k] = ComPtr<IMediaSample>(sample(1 + k)).Detach();
        LONG processed = 0;
        EXPECT_EQ(q->receiveMultiple(three, 3, &processed), S_OK);
        EXPECT_EQ(processed, 3);
    }
    EXPECT_EQ(newCalls.load() - before, 0);
    EXPECT_TRUE(pin->waitForQuiet(received + 24));
}

TEST_F(DeliveryQueueTest, WorkerKeepsOrderPastItsNodeCacheAndReusesItsNodes) {
    canBlock(S_OK);
    pin->blockOn = 1;  // holds the worker while the queue fills far past 10 entries
    auto q = makeQueue();
    std::vector<std::string> expected{"s1"};
    EXPECT_EQ(q->receive(sample(1)), S_OK);
    ASSERT_TRUE(pin->waitFor("s1"));
    for (int i = 0; i < 24; ++i) {
        const int id = 2 + i % 5;
        EXPECT_EQ(q->receive(sample(id)), S_OK);
        expected.push_back("s" + std::to_string(id));
        if (i == 11) {
            EXPECT_EQ(q->newSegment(42, 43, 1.0), S_OK);
            expected.push_back("seg42");
        }
    }
    EXPECT_EQ(q->endOfStream(), S_OK);
    expected.push_back("eos");
    pin->open();
    ASSERT_TRUE(pin->waitFor("eos"));
    EXPECT_EQ(pin->snapshot(), expected);
    ASSERT_TRUE(waitUntilIdle(*q));
    for (int id = 1; id <= 6; ++id)
        EXPECT_EQ(refsOf(sample(id)), 1u) << "sample " << id;

    // The same depth again: every node comes from the ones kept for reuse.
    pin->quiet = true;
    pin->close();
    EXPECT_EQ(q->receive(sample(1)), S_OK);
    ASSERT_TRUE(pin->waitForQuiet(1));
    const long before = newCalls.load();
    for (int i = 0; i < 24; ++i)
        EXPECT_EQ(q->receive(sample(2 + i % 5)), S_OK);
    EXPECT_EQ(q->newSegment(44, 45, 1.0), S_OK);
    const long allocated = newCalls.load() - before;
    pin->open();
    EXPECT_TRUE(pin->waitForQuiet(25));
    EXPECT_EQ(allocated, 0);
    q.reset();
}

}  // namespace
