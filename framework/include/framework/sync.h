// Synchronisation primitives of the filter framework: a re-entrant critical
// section with its scoped guard, events and a counting semaphore. All of them
// are built on the C++ standard library, so they behave the same on both
// targets.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/thread_annotations.h"

// Re-entrant lock: the thread that holds it may take it again. Satisfies the
// standard Lockable requirements (lock/unlock/try_lock). A capability for the
// thread-safety analysis: fields name it in DV_GUARDED_BY.
class DV_CAPABILITY("mutex") CriticalSection {
public:
    CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void lock() DV_ACQUIRE() { mutex.lock(); }
    void unlock() DV_RELEASE() { mutex.unlock(); }
    bool try_lock() DV_TRY_ACQUIRE(true) { return mutex.try_lock(); }

private:
    std::recursive_mutex mutex;
};

// Holds a CriticalSection for the lifetime of the guard, released on every path.
class DV_SCOPED_CAPABILITY ScopedLock {
public:
    explicit ScopedLock(CriticalSection& section) DV_ACQUIRE(section) : section(section) { section.lock(); }
    explicit ScopedLock(CriticalSection* section) DV_ACQUIRE(section) : ScopedLock(*section) {}
    ~ScopedLock() DV_RELEASE() { section.unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    CriticalSection& section;
};

// An event: manual-reset events stay signalled until reset; auto-reset events
// release exactly one waiter and return to non-signalled.
class Event {
public:
    explicit Event(bool manualReset = false, bool initiallySignalled = false)
        : manualReset(manualReset), signalled(initiallySignalled) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set() {
        {
            std::lock_guard<std::mutex> hold(mutex);
            signalled = true;
        }
        if (manualReset)
            changed.notify_all();
        else
            changed.notify_one();
    }
    void reset() {
        std::lock_guard<std::mutex> hold(mutex);
        signalled = false;
    }
    // Waits without time-out until signalled.
    void wait() {
        std::unique_lock<std::mutex> hold(mutex);
        changed.wait(hold, [this] { return signalled; });
        if (!manualReset) signalled = false;
    }
    // Waits at most `milliseconds`; true when signalled.
    bool waitFor(uint32_t milliseconds) {
        std::unique_lock<std::mutex> hold(mutex);
        if (!changed.wait_for(hold, std::chrono::milliseconds(milliseconds), [this] { return signalled; }))
            return false;
        if (!manualReset) signalled = false;
        return true;
    }
    bool isSignalled() {
        std::lock_guard<std::mutex> hold(mutex);
        return signalled;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    const bool manualReset;
    bool signalled;
};

// Counting semaphore with a maximum count.
class Semaphore {
public:
    explicit Semaphore(int32_t initial = 0, int32_t maximum = 0x7FFFFFFF)
        : count(initial), maximum(maximum) {}
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Adds `n` to the count; false (and no change) if that would pass the maximum.
    bool release(int32_t n = 1) {
        {
            std::lock_guard<std::mutex> hold(mutex);
            if (n <= 0 || n > maximum - count) return false;
            count += n;
        }
        if (n == 1)
            changed.notify_one();
        else
            changed.notify_all();
        return true;
    }
    // Waits without time-out until the count is above 0, then takes one.
    void acquire() {
        std::unique_lock<std::mutex> hold(mutex);
        changed.wait(hold, [this] { return count > 0; });
        --count;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    int32_t count;
    const int32_t maximum;
};
