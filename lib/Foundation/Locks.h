// The library's mutexes: a pool closed together at shutdown, and a
// re-entrant lock that notices an owner that died holding it.
#pragma once
#include <cstddef>
#include "Foundation/Types.h"

// Creates an unnamed, unowned mutex owned by the pool. The pool's array
// grows to 16 entries the first time and doubles after that.
TNativeHandle NewPooledMutex();
size_t MutexPoolCount();
size_t MutexPoolCapacity();
// Closes every pooled mutex, last first.
void CloseMutexPool();

class TSafeCriticalSection {
public:
    TSafeCriticalSection();
    TSafeCriticalSection(const TSafeCriticalSection&) = delete;
    TSafeCriticalSection& operator=(const TSafeCriticalSection&) = delete;

    void Enter();
    void Leave();
    // Set when Enter found the mutex abandoned by a thread that ended holding it.
    bool Abandoned() const { return FAbandoned; }

private:
    TNativeHandle FMutex;
    bool FAbandoned = false;
};

// The platform's mutex operations behind the pool.
enum class TMutexWait { Acquired, Abandoned, Failed };
TNativeHandle CreateNativeMutex();
void CloseNativeMutex(TNativeHandle mutex);
TMutexWait WaitNativeMutex(TNativeHandle mutex);
void ReleaseNativeMutex(TNativeHandle mutex);
