// Threads of the library's own: the zipper's workers, the lock and the
// condition they meet at, and facts about the calling thread.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>

// The system's identifier of the calling thread.
uint32_t CurrentThreadId();

// The processors this process may run on, at least 1.
int32_t UsableProcessorCount();

// The calling thread gives way to the process's other threads where the
// system shares a processor by weight (Linux): for work beside the thread
// that waits for it, which then runs as if alone. Elsewhere nothing changes.
void GiveWayToOtherThreads();

// A lock and a condition to wait for under it.
class TMonitor {
public:
    TMonitor();
    ~TMonitor();
    TMonitor(const TMonitor&) = delete;
    TMonitor& operator=(const TMonitor&) = delete;

    void Enter();
    void Leave();
    // Leaves the lock while it waits and holds it again on return; it may
    // return without a notification, so callers wait in a loop.
    void Wait();
    void NotifyAll();

private:
    struct TNative;
    std::unique_ptr<TNative> FNative;
};

// Holds a monitor's lock for a scope.
class TMonitorLock {
public:
    explicit TMonitorLock(TMonitor& monitor) : FMonitor(monitor) { FMonitor.Enter(); }
    ~TMonitorLock() { FMonitor.Leave(); }
    TMonitorLock(const TMonitorLock&) = delete;
    TMonitorLock& operator=(const TMonitorLock&) = delete;

private:
    TMonitor& FMonitor;
};

// A thread that runs one procedure, which must not raise. Destroying the
// object waits for the procedure to end.
class TThread {
public:
    // Raises EOSError when the system cannot start a thread.
    explicit TThread(std::function<void()> body);
    ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

private:
    struct TNative;
    std::unique_ptr<TNative> FNative;
};
