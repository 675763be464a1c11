#include "Foundation/Threads.h"
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"
#include "Posix/LinuxCalls.h"
#include "Posix/PosixErrors.h"

// A web page gets threads only when cross-origin isolated, which a static
// host or file:// cannot promise; that build has none and says so.
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
#define NVX_SINGLE_THREADED 1
#else
#define NVX_SINGLE_THREADED 0
#endif

uint32_t CurrentThreadId() {
#if defined(__APPLE__)
    uint64_t id = 0;
    pthread_threadid_np(nullptr, &id);
    return (uint32_t)id;
#elif defined(__EMSCRIPTEN__)
    return (uint32_t)(uintptr_t)::pthread_self();
#else
    return (uint32_t)::syscall(SYS_gettid);
#endif
}

int32_t UsableProcessorCount() {
    if (NVX_SINGLE_THREADED) return 1;  // the zipper then packs on the calling thread
#if NVX_LINUX_CALLS
    // The affinity mask, not the machine: a container or taskset may allow fewer.
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
#endif
    long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? (int32_t)online : 1;
}

void GiveWayToOtherThreads() {
#if NVX_LINUX_CALLS
    // Linux takes a thread's own id here; a nicer thread still gets what the
    // others leave, so it never starves.
    const id_t self = (id_t)::syscall(SYS_gettid);
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, self);
    if (errno == 0) ::setpriority(PRIO_PROCESS, self, std::min(nice + 10, 19));
#endif
}

struct TMonitor::TNative {
    pthread_mutex_t Mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t Condition = PTHREAD_COND_INITIALIZER;
};

TMonitor::TMonitor() : FNative(new TNative) {}

TMonitor::~TMonitor() {
    ::pthread_cond_destroy(&FNative->Condition);
    ::pthread_mutex_destroy(&FNative->Mutex);
}

void TMonitor::Enter() { ::pthread_mutex_lock(&FNative->Mutex); }
void TMonitor::Leave() { ::pthread_mutex_unlock(&FNative->Mutex); }
void TMonitor::Wait() { ::pthread_cond_wait(&FNative->Condition, &FNative->Mutex); }
void TMonitor::NotifyAll() { ::pthread_cond_broadcast(&FNative->Condition); }

struct TThread::TNative {
    std::function<void()> Body;
    pthread_t Thread{};

    static void* Run(void* self) {
        static_cast<TNative*>(self)->Body();
        return nullptr;
    }
};

TThread::TThread(std::function<void()> body) : FNative(new TNative{std::move(body)}) {
    // Nobody should ask: UsableProcessorCount keeps the zipper to one thread.
    if (NVX_SINGLE_THREADED) throw EOSError("Threads are not available in this build", WinError::NotSupported);
    int error = ::pthread_create(&FNative->Thread, nullptr, &TNative::Run, FNative.get());
    if (error != 0) {
        SetLastErrorCode(MapErrno(error));
        RaiseLastOSError();
    }
}

TThread::~TThread() { ::pthread_join(FNative->Thread, nullptr); }
