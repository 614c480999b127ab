#include "framework/delivery_queue.h"

#include <algorithm>
#include <new>
#include <system_error>
#include <utility>

#include "platform/trace.h"

namespace {

// Adopts one reference handed over as a plain pointer; the ComPtr releases it.
ComPtr<IMediaSample> adopt(IMediaSample* sample) {
    ComPtr<IMediaSample> held;
    held.Attach(sample);
    return held;
}

}  // namespace

class DV_SCOPED_CAPABILITY DeliveryQueue::Hold {
public:
    explicit Hold(DeliveryQueue& queue) DV_ACQUIRE(queue.queueLock) : queue(queue) { queue.queueLock.lock(); }
    ~Hold() DV_RELEASE() {
        const LONG wakes = queue.wakesDue;
        queue.wakesDue = 0;
        queue.queueLock.unlock();
        if (wakes != 0) queue.wakeSemaphore.release(wakes);
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    DeliveryQueue& queue;
};

DeliveryQueue::DeliveryQueue(IPin* pin, HRESULT* result, const DeliveryQueueOptions& options)
    : downstreamPin(pin),
      batchExact(options.batchExact && options.batchSize > 1),
      batchSize(options.batchSize < 1 ? 1 : options.batchSize),
      flushOptimised(options.flushOptimised),
      priority(options.priority) {
    const bool autoDecide = options.autoDecide;
    const bool queue = options.queue;
    const LONG listNodes = options.listNodes;
    HRESULT hr = result ? *result : S_OK;
    if (FAILED(hr)) return;
    auto report = [result](HRESULT code) {
        if (result) *result = code;
    };
    if (!pin) {
        report(E_POINTER);
        return;
    }
    hr = ComPtr<IPin>(pin).As(&downstreamInput);
    report(hr);
    if (FAILED(hr)) return;

    bool withWorker = queue;
    if (autoDecide) {
        HRESULT canBlock = downstreamInput->ReceiveCanBlock();
        if (canBlock == S_OK)
            withWorker = true;
        else if (SUCCEEDED(canBlock))
            withWorker = false;
    }
    const size_t slots = static_cast<size_t>(batchSize);
    batch.reset(new (std::nothrow) ComPtr<IMediaSample>[slots]);
    rawBatch.reset(new (std::nothrow) IMediaSample*[slots]);
    if (withWorker) sending.reset(new (std::nothrow) ComPtr<IMediaSample>[slots]);
    if (!batch || !rawBatch || (withWorker && !sending)) {
        report(E_OUTOFMEMORY);
        return;
    }
    if (withWorker) {
        for (LONG i = 0; i < listNodes; ++i) {
            Entry* node = new (std::nothrow) Entry;
            if (!node) {
                report(E_OUTOFMEMORY);
                return;
            }
            node->next = spareNodes;
            spareNodes = node;
        }
        useWorker = true;
        try {
            worker = std::thread(&DeliveryQueue::workerLoop, this);
        } catch (const std::system_error& error) {
            useWorker = false;
            report(error.code().value() > 0 ? HRESULT_FROM_WIN32(error.code().value()) : E_FAIL);
            DV_TRACE(TraceLevel::error, "delivery: cannot start the worker thread: %s", error.what());
        }
    }
}

DeliveryQueue::~DeliveryQueue() {
    if (useWorker) {
        {
            Hold hold(*this);
            terminate = true;
            stickyResult = S_FALSE;
            wakeWorker();
        }
        // The worker may be inside a downstream call; it releases what is
        // pending before it ends. downstreamInput stays valid until then.
        worker.join();
    }
    {
        Hold hold(*this);
        releasePending();
    }
    while (spareNodes) {
        Entry* node = spareNodes;
        spareNodes = node->next;
        delete node;
    }
    downstreamInput.Reset();
}

DeliveryQueue::Entry* DeliveryQueue::takeNode(EntryKind kind) {
    Entry* node = spareNodes;
    if (node)
        spareNodes = node->next;
    else
        node = new (std::nothrow) Entry;
    if (!node) return nullptr;
    node->kind = kind;
    node->next = nullptr;
    return node;
}

void DeliveryQueue::recycleNode(Entry* node) {
    node->sample.Reset();
    node->next = spareNodes;
    spareNodes = node;
}

void DeliveryQueue::append(Entry* node) {
    node->next = nullptr;
    if (workTail)
        workTail->next = node;
    else
        workHead = node;
    workTail = node;
    if (node->kind == EntryKind::sample) ++workSamples;
}

DeliveryQueue::Entry* DeliveryQueue::popHead() {
    Entry* node = workHead;
    if (!node) return nullptr;
    workHead = node->next;
    if (!workHead) workTail = nullptr;
    node->next = nullptr;
    if (node->kind == EntryKind::sample) --workSamples;
    if (popEvent) popEvent->set();
    return node;
}

void DeliveryQueue::wakeWorker() {
    wakesDue += waitingCount;
    waitingCount = 0;
}

void DeliveryQueue::releasePending() {
    while (Entry* node = popHead())
        recycleNode(node);  // releases a sample entry's reference
    for (LONG i = 0; i < batchedCount; ++i)
        batch[static_cast<size_t>(i)].Reset();
    batchedCount = 0;
}

LONG DeliveryQueue::deliverBatchDirect() {
    const LONG count = batchedCount;
    LONG taken = 0;
    if (count > 0 && stickyResult == S_OK) {
        for (LONG i = 0; i < count; ++i)
            rawBatch[static_cast<size_t>(i)] = batch[static_cast<size_t>(i)].Get();
        stickyResult = downstreamInput->ReceiveMultiple(rawBatch.get(), count, &taken);
        // Traced once: later samples are discarded until a flush or restart.
        if (stickyResult != S_OK)
            DV_TRACE(FAILED(stickyResult) ? TraceLevel::error : TraceLevel::state,
                     "delivery: downstream refused a sample: %s; delivery stops until the next flush or run",
                     TraceHr(stickyResult).text);
        taken = std::max<LONG>(0, std::min(taken, count));
    }
    for (LONG i = 0; i < count; ++i)
        batch[static_cast<size_t>(i)].Reset();  // releases every sample of the batch
    batchedCount = 0;
    return count - taken;
}

HRESULT DeliveryQueue::receive(ComPtr<IMediaSample> sample) {
    IMediaSample* raw = sample.Detach();
    LONG processed = 0;
    return receiveMultiple(&raw, 1, &processed);
}

HRESULT DeliveryQueue::receiveMultiple(IMediaSample** samples, LONG count, LONG* processed) {
    if (count > 0 && !samples) return E_POINTER;
    if (count < 0) count = 0;
    HRESULT refused;
    {
        Hold hold(*this);
        if (stickyResult == S_OK) return acceptSamples(samples, count, processed);
        refused = stickyResult;
    }
    // Discarded: the references handed over are released outside the lock.
    for (LONG i = 0; i < count; ++i)
        adopt(samples[i]);
    if (processed) *processed = 0;
    return refused;
}

HRESULT DeliveryQueue::acceptSamples(IMediaSample** samples, LONG count, LONG* processed) {
    flushed = false;
    if (useWorker) {
        for (LONG i = 0; i < count; ++i) {
            Entry* node = takeNode(EntryKind::sample);
            if (!node) {
                adopt(samples[i]);  // cannot be queued: released at once
                continue;
            }
            node->sample.Attach(samples[i]);
            append(node);
        }
        if (processed) *processed = count;
        const bool holdBack = batchExact && batchedCount + workSamples < batchSize;
        if (!holdBack) wakeWorker();
        return S_OK;
    }

    LONG lost = 0;
    for (LONG i = 0; i < count; ++i) {
        batch[static_cast<size_t>(batchedCount)].Attach(samples[i]);
        if (++batchedCount >= batchSize) lost += deliverBatchDirect();
    }
    if (count == 0 && batchedCount > 0 && (sendAnywayFlag || !batchExact)) lost += deliverBatchDirect();
    if (processed) *processed = std::max<LONG>(0, count - lost);
    return stickyResult;
}

HRESULT DeliveryQueue::endOfStream() {
    if (useWorker) {
        Hold hold(*this);
        if (stickyResult == S_OK) {
            Entry* node = takeNode(EntryKind::endOfStream);
            if (!node) return S_OK;  // nothing queued
            flushed = false;
            append(node);
            wakeWorker();
        }
        return S_OK;
    }
    Hold hold(*this);
    // Whatever is still batched goes first, so that end of stream follows it.
    if (batchedCount > 0) deliverBatchDirect();
    if (stickyResult == S_OK) {
        flushed = false;
        downstreamPin->EndOfStream();
    }
    return S_OK;
}

HRESULT DeliveryQueue::beginFlush() {
    if (useWorker) {
        {
            Hold hold(*this);
            flushing = true;
            if (stickyResult == S_OK) stickyResult = S_FALSE;
            if (flushOptimised && flushed) return S_OK;
            flushDone.reset();
            wakeWorker();
        }
        // Outside the lock: releases a worker blocked in a downstream receive.
        downstreamPin->BeginFlush();
        return S_OK;
    }
    // First, so that a delivery blocked downstream (holding queueLock) returns.
    downstreamPin->BeginFlush();
    Hold hold(*this);
    flushing = true;
    if (stickyResult == S_OK) stickyResult = S_FALSE;
    return S_OK;
}

HRESULT DeliveryQueue::endFlush() {
    bool waitForWorker = false;
    {
        Hold hold(*this);
        if (useWorker && flushOptimised && flushed) {
            flushing = false;
            stickyResult = S_OK;
            return S_OK;
        }
        if (!useWorker) releasePending();
        // Without a flush in progress the worker will not signal flushDone.
        waitForWorker = useWorker && flushing;
    }
    if (waitForWorker) flushDone.wait();
    {
        Hold hold(*this);
        flushing = false;
        flushed = true;
    }
    downstreamPin->EndFlush();
    Hold hold(*this);
    stickyResult = S_OK;
    return S_OK;
}

HRESULT DeliveryQueue::newSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    Hold hold(*this);
    if (stickyResult != S_OK) return S_OK;
    if (useWorker) {
        Entry* node = takeNode(EntryKind::newSegment);
        if (!node) return S_OK;  // nothing queued
        node->start = start;
        node->stop = stop;
        node->rate = rate;
        append(node);
        wakeWorker();
        return S_OK;
    }
    if (batchedCount > 0) deliverBatchDirect();
    downstreamPin->NewSegment(start, stop, rate);
    return S_OK;
}

void DeliveryQueue::sendAnyway() {
    Hold hold(*this);
    if (useWorker) {
        Entry* node = takeNode(EntryKind::sendBatch);
        if (!node) return;
        append(node);
        wakeWorker();
        return;
    }
    if (batchedCount > 0) deliverBatchDirect();
}

void DeliveryQueue::reset() {
    if (!useWorker) {
        Hold hold(*this);
        stickyResult = S_OK;
        return;
    }
    {
        Hold hold(*this);
        Entry* node = takeNode(EntryKind::reset);
        if (!node) return;  // nothing queued, nothing to wait for
        flushDone.reset();  // only the worker's answer to this reset counts
        append(node);
        wakeWorker();
    }
    flushDone.wait();
}

bool DeliveryQueue::isIdle() {
    Hold hold(*this);
    return !workHead && batchedCount == 0 && (!useWorker || waitingCount != 0);
}

void DeliveryQueue::setPopEvent(Event* event) {
    Hold hold(*this);
    popEvent = event;
}

void DeliveryQueue::workerLoop() {
    const HRESULT coInit = CoInitializeEx(nullptr, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE);
#ifdef _WIN32
    if (priority != 0) SetThreadPriority(GetCurrentThread(), priority);
#endif
    for (;;) {
        bool waiting = false;
        bool ending = false;
        LONG sendingCount = 0;
        // The marker that ended the collection, copied out of its node (which
        // goes back to the spare list at once).
        bool haveMarker = false;
        EntryKind markerKind = EntryKind::sendBatch;
        REFERENCE_TIME segmentStart = 0, segmentStop = 0;
        double segmentRate = 0.0;
        {
            Hold hold(*this);
            for (;;) {
                if (terminate) {
                    releasePending();
                    ending = true;
                    break;
                }
                if (flushing) {
                    releasePending();
                    flushDone.set();
                }
                Entry* entry = popHead();
                if (!entry) {
                    if (batchedCount == 0 || batchExact) {
                        waitingCount = 1;
                        waiting = true;
                    }
                    break;  // else: send the incomplete batch
                }
                if (entry->kind == EntryKind::sample) {
                    batch[static_cast<size_t>(batchedCount)] = std::move(entry->sample);
                    recycleNode(entry);
                    if (++batchedCount >= batchSize) break;
                    continue;
                }
                const bool emptySend = entry->kind == EntryKind::sendBatch && batchedCount == 0;
                haveMarker = !emptySend;
                markerKind = entry->kind;
                segmentStart = entry->start;
                segmentStop = entry->stop;
                segmentRate = entry->rate;
                recycleNode(entry);
                if (emptySend) continue;
                break;
            }
            if (!ending && !waiting) {
                for (LONG i = 0; i < batchedCount; ++i)
                    sending[static_cast<size_t>(i)] = std::move(batch[static_cast<size_t>(i)]);
                sendingCount = batchedCount;
                batchedCount = 0;
            }
        }
        if (ending) break;
        if (waiting) {
            wakeSemaphore.acquire();
            continue;
        }
        if (sendingCount > 0) {
            bool deliver;
            {
                Hold hold(*this);
                deliver = stickyResult == S_OK;
            }
            if (deliver) {
                for (LONG i = 0; i < sendingCount; ++i)
                    rawBatch[static_cast<size_t>(i)] = sending[static_cast<size_t>(i)].Get();
                LONG taken = 0;
                HRESULT hr = downstreamInput->ReceiveMultiple(rawBatch.get(), sendingCount, &taken);
                Hold hold(*this);
                if (stickyResult == S_OK && hr != S_OK)
                    DV_TRACE(
                        FAILED(hr) ? TraceLevel::error : TraceLevel::state,
                        "delivery (worker): downstream refused a sample: %s; delivery stops until the next "
                        "flush or run",
                        TraceHr(hr).text);
                if (stickyResult == S_OK) stickyResult = hr;
            }
            // Releases every sample of the batch.
            for (LONG i = 0; i < sendingCount; ++i)
                sending[static_cast<size_t>(i)].Reset();
        }
        if (!haveMarker) continue;
        switch (markerKind) {
        case EntryKind::endOfStream: {
            bool normal;
            {
                Hold hold(*this);
                normal = stickyResult == S_OK;
            }
            // After a delivery failure the downstream pin ends the stream itself.
            if (normal) downstreamPin->EndOfStream();
            break;
        }
        case EntryKind::reset: {
            {
                Hold hold(*this);
                stickyResult = S_OK;
            }
            flushDone.set();
            break;
        }
        case EntryKind::newSegment:
            downstreamPin->NewSegment(segmentStart, segmentStop, segmentRate);
            break;
        default:
            break;
        }
    }
    if (coInit == S_OK) CoUninitialize();
}
