#include "framework/delivery_queue.h"

#include <algorithm>
#include <iterator>
#include <new>
#include <system_error>
#include <utility>

DeliveryQueue::DeliveryQueue(IPin* pin, HRESULT* result, bool autoDecide, bool queue, LONG size, bool exact,
                             LONG, int threadPriority, bool optimiseFlush)
    : downstreamPin(pin),
      batchExact(exact && size > 1),
      batchSize(size < 1 ? 1 : size),
      flushOptimised(optimiseFlush),
      priority(threadPriority) {
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
    try {
        batch.reserve(static_cast<size_t>(batchSize));
        if (withWorker) sending.reserve(static_cast<size_t>(batchSize));
    } catch (const std::bad_alloc&) {
        report(E_OUTOFMEMORY);
        return;
    }
    if (withWorker) {
        useWorker = true;
        try {
            worker = std::thread(&DeliveryQueue::workerLoop, this);
        } catch (const std::system_error& error) {
            useWorker = false;
            report(error.code().value() > 0 ? HRESULT_FROM_WIN32(error.code().value()) : E_FAIL);
        }
    }
}

DeliveryQueue::~DeliveryQueue() {
    if (useWorker) {
        {
            ScopedLock hold(queueLock);
            terminate = true;
            stickyResult = S_FALSE;
            wakeWorker();
        }
        // The worker may be inside a downstream call; it releases what is
        // pending before it ends. downstreamInput stays valid until then.
        worker.join();
    } else {
        ScopedLock hold(queueLock);
        releasePending();
    }
    downstreamInput.Reset();
}

void DeliveryQueue::wakeWorker() {
    if (waitingCount != 0) {
        wakeSemaphore.release(waitingCount);
        waitingCount = 0;
    }
}

void DeliveryQueue::releasePending() {
    while (!work.empty()) {
        work.pop_front();  // releases a sample entry's reference
        if (popEvent) popEvent->set();
    }
    batch.clear();
    batchedCount = 0;
}

LONG DeliveryQueue::deliverBatchDirect() {
    const LONG count = batchedCount;
    LONG taken = 0;
    if (count > 0 && stickyResult == S_OK) {
        std::vector<IMediaSample*> raw;
        raw.reserve(static_cast<size_t>(count));
        for (auto& sample : batch) raw.push_back(sample.Get());
        stickyResult = downstreamInput->ReceiveMultiple(raw.data(), count, &taken);
        taken = std::max<LONG>(0, std::min(taken, count));
    }
    batch.clear();  // releases every sample of the batch
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
    // Adopt the references handed over, so that every path releases them.
    std::vector<ComPtr<IMediaSample>> given;
    try {
        given.resize(static_cast<size_t>(std::max<LONG>(count, 0)));
    } catch (const std::bad_alloc&) {
        for (LONG i = 0; i < count; ++i) ComPtr<IMediaSample>().Attach(samples[i]);
        if (processed) *processed = 0;
        return E_OUTOFMEMORY;
    }
    for (LONG i = 0; i < count; ++i) given[static_cast<size_t>(i)].Attach(samples[i]);

    ScopedLock hold(queueLock);
    if (stickyResult != S_OK) {
        if (processed) *processed = 0;
        return stickyResult;  // `given` releases the samples
    }
    flushed = false;

    if (useWorker) {
        LONG appended = 0;
        for (auto& sample : given) {
            try {
                work.push_back(Entry{EntryKind::sample, std::move(sample)});
                ++appended;
            } catch (const std::bad_alloc&) {
                // The sample is released with `given`.
            }
        }
        if (processed) *processed = count;
        bool holdBack = false;
        if (batchExact) {
            LONG pending = batchedCount + static_cast<LONG>(std::count_if(
                                              work.begin(), work.end(),
                                              [](const Entry& e) { return e.kind == EntryKind::sample; }));
            holdBack = pending < batchSize;
        }
        if (!holdBack) wakeWorker();
        return S_OK;
    }

    LONG lost = 0;
    for (auto& sample : given) {
        batch.push_back(std::move(sample));
        ++batchedCount;
        if (batchedCount >= batchSize) lost += deliverBatchDirect();
    }
    if (count == 0 && batchedCount > 0 && (sendAnywayFlag || !batchExact)) lost += deliverBatchDirect();
    if (processed) *processed = std::max<LONG>(0, count - lost);
    return stickyResult;
}

HRESULT DeliveryQueue::endOfStream() {
    if (useWorker) {
        ScopedLock hold(queueLock);
        if (stickyResult == S_OK) {
            flushed = false;
            work.push_back(Entry{EntryKind::endOfStream, nullptr});
            wakeWorker();
        }
        return S_OK;
    }
    ScopedLock hold(queueLock);
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
            ScopedLock hold(queueLock);
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
    ScopedLock hold(queueLock);
    flushing = true;
    if (stickyResult == S_OK) stickyResult = S_FALSE;
    return S_OK;
}

HRESULT DeliveryQueue::endFlush() {
    bool waitForWorker = false;
    {
        ScopedLock hold(queueLock);
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
        ScopedLock hold(queueLock);
        flushing = false;
        flushed = true;
    }
    downstreamPin->EndFlush();
    ScopedLock hold(queueLock);
    stickyResult = S_OK;
    return S_OK;
}

HRESULT DeliveryQueue::newSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    ScopedLock hold(queueLock);
    if (stickyResult != S_OK) return S_OK;
    if (useWorker) {
        try {
            Entry entry{EntryKind::newSegment, nullptr};
            entry.start = start;
            entry.stop = stop;
            entry.rate = rate;
            work.push_back(std::move(entry));
        } catch (const std::bad_alloc&) {
            return S_OK;  // nothing queued
        }
        wakeWorker();
        return S_OK;
    }
    if (batchedCount > 0) deliverBatchDirect();
    downstreamPin->NewSegment(start, stop, rate);
    return S_OK;
}

void DeliveryQueue::sendAnyway() {
    ScopedLock hold(queueLock);
    if (useWorker) {
        try {
            work.push_back(Entry{EntryKind::sendBatch, nullptr});
        } catch (const std::bad_alloc&) {
            return;
        }
        wakeWorker();
        return;
    }
    if (batchedCount > 0) deliverBatchDirect();
}

void DeliveryQueue::reset() {
    if (!useWorker) {
        ScopedLock hold(queueLock);
        stickyResult = S_OK;
        return;
    }
    {
        ScopedLock hold(queueLock);
        flushDone.reset();  // only the worker's answer to this reset counts
        work.push_back(Entry{EntryKind::reset, nullptr});
        wakeWorker();
    }
    flushDone.wait();
}

bool DeliveryQueue::isIdle() {
    ScopedLock hold(queueLock);
    return work.empty() && batchedCount == 0 && (!useWorker || waitingCount != 0);
}

void DeliveryQueue::setPopEvent(Event* event) {
    ScopedLock hold(queueLock);
    popEvent = event;
}

void DeliveryQueue::workerLoop() {
    const HRESULT coInit = CoInitializeEx(nullptr, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE);
#ifdef _WIN32
    if (priority != 0) SetThreadPriority(GetCurrentThread(), priority);
#endif
    for (;;) {
        bool waiting = false;
        Entry marker{EntryKind::sendBatch, nullptr};
        bool haveMarker = false;
        {
            ScopedLock hold(queueLock);
            for (;;) {
                if (terminate) {
                    releasePending();
                    if (coInit == S_OK) CoUninitialize();
                    return;
                }
                if (flushing) {
                    releasePending();
                    flushDone.set();
                }
                if (work.empty()) {
                    if (batchedCount == 0 || batchExact) {
                        waitingCount = 1;
                        waiting = true;
                    }
                    break;  // else: send the incomplete batch
                }
                Entry entry = std::move(work.front());
                work.pop_front();
                if (popEvent) popEvent->set();
                if (entry.kind == EntryKind::sample) {
                    batch.push_back(std::move(entry.sample));
                    if (++batchedCount >= batchSize) break;
                    continue;
                }
                if (entry.kind == EntryKind::sendBatch && batchedCount == 0) continue;
                marker = std::move(entry);
                haveMarker = true;
                break;
            }
            if (!waiting) {
                sending.assign(std::make_move_iterator(batch.begin()), std::make_move_iterator(batch.end()));
                batch.clear();
                batchedCount = 0;
            }
        }
        if (waiting) {
            wakeSemaphore.acquire();
            continue;
        }
        if (!sending.empty()) {
            bool deliver;
            {
                ScopedLock hold(queueLock);
                deliver = stickyResult == S_OK;
            }
            if (deliver) {
                std::vector<IMediaSample*> raw;
                raw.reserve(sending.size());
                for (auto& sample : sending) raw.push_back(sample.Get());
                LONG taken = 0;
                HRESULT hr = downstreamInput->ReceiveMultiple(raw.data(), static_cast<LONG>(raw.size()), &taken);
                ScopedLock hold(queueLock);
                if (stickyResult == S_OK) stickyResult = hr;
            }
            sending.clear();  // releases every sample of the batch
        }
        if (!haveMarker) continue;
        switch (marker.kind) {
            case EntryKind::endOfStream: {
                bool normal;
                {
                    ScopedLock hold(queueLock);
                    normal = stickyResult == S_OK;
                }
                // After a delivery failure the downstream pin ends the stream itself.
                if (normal) downstreamPin->EndOfStream();
                break;
            }
            case EntryKind::reset: {
                {
                    ScopedLock hold(queueLock);
                    stickyResult = S_OK;
                }
                flushDone.set();
                break;
            }
            case EntryKind::newSegment:
                downstreamPin->NewSegment(marker.start, marker.stop, marker.rate);
                break;
            default:
                break;
        }
    }
}
