// Windows mutex semantics from pthreads: recursive for the owner, and robust
// where the system has it, so that an owner's death reads as "abandoned".
#include "Foundation/Locks.h"
#include <pthread.h>
#include <cerrno>

TNativeHandle CreateNativeMutex() {
    auto* mutex = new pthread_mutex_t;
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
#if !defined(__APPLE__)  // macOS has no robust mutexes
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
#endif
    pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    return (TNativeHandle)mutex;
}

void CloseNativeMutex(TNativeHandle handle) {
    auto* mutex = (pthread_mutex_t*)handle;
    pthread_mutex_destroy(mutex);
    delete mutex;
}

TMutexWait WaitNativeMutex(TNativeHandle handle) {
    auto* mutex = (pthread_mutex_t*)handle;
    int result = pthread_mutex_lock(mutex);
    if (result == 0) return TMutexWait::Acquired;
#if !defined(__APPLE__)  // macOS has no robust mutexes
    if (result == EOWNERDEAD) {
        pthread_mutex_consistent(mutex);
        return TMutexWait::Abandoned;
    }
#endif
    return TMutexWait::Failed;
}

void ReleaseNativeMutex(TNativeHandle handle) { pthread_mutex_unlock((pthread_mutex_t*)handle); }
