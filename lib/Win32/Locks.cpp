#include <windows.h>
#include "Foundation/Locks.h"

TNativeHandle CreateNativeMutex() { return (TNativeHandle)::CreateMutexA(nullptr, FALSE, nullptr); }

void CloseNativeMutex(TNativeHandle mutex) { ::CloseHandle((HANDLE)mutex); }

TMutexWait WaitNativeMutex(TNativeHandle mutex) {
    switch (::WaitForSingleObject((HANDLE)mutex, INFINITE)) {
    case WAIT_OBJECT_0: return TMutexWait::Acquired;
    case WAIT_ABANDONED: return TMutexWait::Abandoned;
    default: return TMutexWait::Failed;
    }
}

void ReleaseNativeMutex(TNativeHandle mutex) { ::ReleaseMutex((HANDLE)mutex); }
