#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>
#include "Threads.h"

uint32_t CurrentThreadId() {
#if defined(__APPLE__)
    uint64_t id = 0;
    pthread_threadid_np(nullptr, &id);
    return (uint32_t)id;
#else
    return (uint32_t)::syscall(SYS_gettid);
#endif
}
