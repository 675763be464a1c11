#include <windows.h>
#include <process.h>
#include <bit>
#include "Foundation/Exceptions.h"
#include "Foundation/Threads.h"

uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }

int32_t UsableProcessorCount() {
    DWORD_PTR process = 0, system = 0;
    int32_t count = ::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system) ? std::popcount(process) : 0;
    return count > 0 ? count : 1;
}

// Windows runs a thread of lower priority only when no other is ready, which
// a busy machine could hold off for seconds.
void GiveWayToOtherThreads() {}

struct TMonitor::TNative {
    CRITICAL_SECTION Lock;
    CONDITION_VARIABLE Condition;
};

TMonitor::TMonitor() : FNative(new TNative) {
    ::InitializeCriticalSection(&FNative->Lock);
    ::InitializeConditionVariable(&FNative->Condition);
}

TMonitor::~TMonitor() { ::DeleteCriticalSection(&FNative->Lock); }

void TMonitor::Enter() { ::EnterCriticalSection(&FNative->Lock); }
void TMonitor::Leave() { ::LeaveCriticalSection(&FNative->Lock); }
void TMonitor::Wait() { ::SleepConditionVariableCS(&FNative->Condition, &FNative->Lock, INFINITE); }
void TMonitor::NotifyAll() { ::WakeAllConditionVariable(&FNative->Condition); }

struct TThread::TNative {
    std::function<void()> Body;
    HANDLE Thread = nullptr;

    // Through the C runtime, so that its per-thread state is set up.
    static unsigned __stdcall Run(void* self) {
        static_cast<TNative*>(self)->Body();
        return 0;
    }
};

TThread::TThread(std::function<void()> body) : FNative(new TNative{std::move(body)}) {
    uintptr_t thread = ::_beginthreadex(nullptr, 0, &TNative::Run, FNative.get(), 0, nullptr);
    if (thread == 0) RaiseLastOSError();
    FNative->Thread = reinterpret_cast<HANDLE>(thread);
}

TThread::~TThread() {
    ::WaitForSingleObject(FNative->Thread, INFINITE);
    ::CloseHandle(FNative->Thread);
}
