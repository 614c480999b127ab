// DeliveryQueue: direct and worker delivery, ordering of markers, sticky
// failures, flushing, stopping while downstream blocks.
#include <algorithm>
#include <chrono>

#include "fakes.h"

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
        log.push_back("s" + std::to_string(id));
        threads.push_back(std::this_thread::get_id());
        changed.notify_all();
        if (id == blockOn) changed.wait(hold, [this] { return gateOpen; });
        return id == failOn ? failWith : S_OK;
    }
    STDMETHODIMP ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed) override {
        {
            std::lock_guard<std::mutex> hold(mutex);
            batchSizes.push_back(count);
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
    // Waits until `entry` was logged; false after 10 s (a hang, reported as failure).
    bool waitFor(const std::string& entry) {
        std::unique_lock<std::mutex> hold(mutex);
        return changed.wait_for(hold, 10s, [&] { return std::find(log.begin(), log.end(), entry) != log.end(); });
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> hold(mutex);
        return log;
    }
    std::thread::id threadOf(size_t index) {
        std::lock_guard<std::mutex> hold(mutex);
        return threads.at(index);
    }

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
    bool gateOpen = false;
};

class DeliveryQueueTest : public FrameworkTest {
protected:
    ComPtr<TestFilter> filter = makeFilter();
    DownstreamPin* pin = nullptr;
    std::vector<ComPtr<FakeSample>> samples;

    void SetUp() override {
        pin = new DownstreamPin(filter.Get(), &filter->filterLock, L"Down");
        filter->pins.push_back(pin);
        for (int i = 1; i <= 6; ++i) samples.emplace_back(new FakeSample(i));
    }
    void TearDown() override {
        // Every sample handed to a queue was released again.
        for (auto& s : samples) EXPECT_EQ(refsOf(s.Get()), 1u) << "sample " << s->id;
        samples.clear();
        filter = nullptr;
        FrameworkTest::TearDown();
    }
    void canBlock(HRESULT answer) { pin->canBlockAnswer.reset(new HRESULT(answer)); }
    std::unique_ptr<DeliveryQueue> makeQueue(bool autoDecide = true, bool queue = false, LONG batch = 1,
                                             bool exact = false) {
        HRESULT hr = S_OK;
        std::unique_ptr<DeliveryQueue> q(
            new DeliveryQueue(pin, &hr, autoDecide, queue, batch, exact, 10, 0, false));
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
    IMediaSample* two[2] = {ComPtr<IMediaSample>(sample(2)).Detach(), ComPtr<IMediaSample>(sample(3)).Detach()};
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
    for (int i = 0; i < 1000 && !q->isIdle(); ++i) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(q->isIdle());
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
        DeliveryQueue q(pin, &hr, true, true, 1, false, 10, 0, false);
        EXPECT_EQ(hr, E_OUTOFMEMORY);
        EXPECT_FALSE(q.usesWorker());
    }
    auto outputFilter = makeFilter();
    TestOutputPin* out = outputFilter->addOutput(L"Out");
    hr = S_OK;
    {
        DeliveryQueue q(out, &hr, true, false, 1, false, 10, 0, false);  // no IMemInputPin
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

}  // namespace
