// DeliveryQueue: carries samples, end of stream, flushes and new segments from
// an output pin to the connected downstream pin, directly on the caller's
// thread or through a worker thread of its own.
#pragma once

#include <memory>
#include <thread>
#include <vector>

#include "framework/sync.h"
#include "platform/com_ptr.h"
#include "platform/win.h"

// How a DeliveryQueue delivers; the defaults are what every pin here uses.
struct DeliveryQueueOptions {
    // Use a worker exactly when the downstream ReceiveCanBlock answers S_OK
    // (a failed answer falls back to `queue`); else `queue` decides.
    bool autoDecide = true;
    bool queue = false;
    // Samples per ReceiveMultiple call (at least 1).
    LONG batchSize = 1;
    // Hold incomplete batches back (only with a batch size above 1).
    bool batchExact = false;
    // Work-list nodes made at construction (with a worker); every node is
    // kept for reuse.
    LONG listNodes = 10;
    // Worker thread priority: 0 normal; other values are applied where the
    // platform allows.
    int priority = 0;
    // Skip repeated flushes downstream.
    bool flushOptimised = false;
};

class DeliveryQueue {
public:
    // `downstreamPin`: the connected downstream pin; not counted, the owning
    // output pin keeps its own reference for as long as the queue exists.
    // `result`: in, a failure makes a queue without a worker; out, the
    // construction result (the creator deletes the queue on failure).
    DeliveryQueue(IPin* downstreamPin, HRESULT* result, const DeliveryQueueOptions& options = {});
    // Stops the worker (waiting for it without time-out) and releases every
    // sample still held.
    ~DeliveryQueue();
    DeliveryQueue(const DeliveryQueue&) = delete;
    DeliveryQueue& operator=(const DeliveryQueue&) = delete;

    // Hands one sample over; the queue holds the reference it is given (a raw
    // pointer converts with a reference added) and releases it after delivery
    // or discard. Returns the sticky result (S_OK with a worker while normal).
    HRESULT receive(ComPtr<IMediaSample> sample);
    // Takes over one reference of each of `samples[0..count)`. `processed`
    // (may be null) receives how many were taken (not lost).
    HRESULT receiveMultiple(IMediaSample** samples, LONG count, LONG* processed);
    HRESULT endOfStream();
    HRESULT beginFlush();
    // The caller guarantees no sample arrives before endFlush returns.
    HRESULT endFlush();
    HRESULT newSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);
    // Delivers an incomplete batch now.
    void sendAnyway();
    // Clears a sticky failure (after the worker has delivered what came before).
    void reset();
    // True when nothing is pending and the worker (if any) is waiting.
    bool isIdle();
    // `event` (may be null) is signalled whenever the worker takes an entry.
    // Not owned; must outlive the queue or be cleared.
    void setPopEvent(Event* event);
    // Whether a worker thread is used.
    bool usesWorker() const { return useWorker; }

private:
    enum class EntryKind { sample, sendBatch, endOfStream, reset, newSegment };
    // One entry of `work`: a sample, or a marker (a new-segment marker carries
    // its start, stop and rate). Nodes are recycled through `spareNodes`.
    struct Entry {
        EntryKind kind = EntryKind::sample;
        ComPtr<IMediaSample> sample;
        REFERENCE_TIME start = 0;
        REFERENCE_TIME stop = 0;
        double rate = 0.0;
        Entry* next = nullptr;
    };

    void workerLoop();
    // Holds queueLock for a scope; a wake asked for under it (wakeWorker) is
    // given after the lock is let go, so that the worker does not wake only
    // to wait for the lock.
    class Hold;
    void wakeWorker() DV_REQUIRES(queueLock);
    void releasePending() DV_REQUIRES(queueLock);
    LONG deliverBatchDirect() DV_REQUIRES(queueLock);  // no worker; returns the samples lost
    // Accepts samples while stickyResult is S_OK (under queueLock).
    HRESULT acceptSamples(IMediaSample** samples, LONG count, LONG* processed) DV_REQUIRES(queueLock);
    // The work list (under queueLock). takeNode answers null when no spare
    // node is left and a new one cannot be allocated.
    Entry* takeNode(EntryKind kind) DV_REQUIRES(queueLock);
    void recycleNode(Entry* node) DV_REQUIRES(queueLock);  // releases its sample
    void append(Entry* node) DV_REQUIRES(queueLock);
    Entry* popHead() DV_REQUIRES(queueLock);  // signals popEvent when it takes an entry

    CriticalSection queueLock;
    IPin* downstreamPin;                   // weak: the output pin holds the reference
    ComPtr<IMemInputPin> downstreamInput;  // receives the samples
    bool batchExact = false;
    LONG batchSize = 1;
    bool useWorker = false;
    // The work list (only with a worker): entries in delivery order. Nodes
    // taken off it go to `spareNodes` and are kept for reuse until the queue
    // is destroyed (`listNodes` of them are made at construction), so the
    // list allocates only while it grows past its deepest point so far.
    Entry* workHead DV_GUARDED_BY(queueLock) = nullptr;
    Entry* workTail DV_GUARDED_BY(queueLock) = nullptr;
    LONG workSamples DV_GUARDED_BY(queueLock) = 0;  // sample entries in the work list
    Entry* spareNodes DV_GUARDED_BY(queueLock) = nullptr;
    Semaphore wakeSemaphore{0, 0x7FFFFFFF};
    Event flushDone{false, false};  // auto-reset
    std::thread worker;
    // `batchSize` slots each, made at construction: the steady path never
    // allocates. `batch[0..batchedCount)` hold the batch being collected
    // (under queueLock); `sending[0..)` the worker's batch in delivery
    // (worker thread only); `rawBatch` the plain pointers handed to
    // ReceiveMultiple (under queueLock without a worker, worker thread only
    // with one).
    std::unique_ptr<ComPtr<IMediaSample>[]> batch;
    std::unique_ptr<ComPtr<IMediaSample>[]> sending;
    std::unique_ptr<IMediaSample*[]> rawBatch;
    LONG batchedCount DV_GUARDED_BY(queueLock) = 0;
    LONG waitingCount DV_GUARDED_BY(queueLock) = 0;
    LONG wakesDue DV_GUARDED_BY(queueLock) = 0;  // semaphore releases owed when the current Hold ends
    bool flushing DV_GUARDED_BY(queueLock) = false;
    bool flushed DV_GUARDED_BY(queueLock) = true;
    bool flushOptimised = false;
    bool terminate DV_GUARDED_BY(queueLock) = false;
    bool sendAnywayFlag DV_GUARDED_BY(queueLock) = false;
    HRESULT stickyResult DV_GUARDED_BY(queueLock) = S_OK;
    Event* popEvent = nullptr;          // weak: owned by the caller of setPopEvent
    [[maybe_unused]] int priority = 0;  // applied to the worker thread on Windows only
};
