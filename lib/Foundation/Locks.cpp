#include "Foundation/Locks.h"
#include <vector>
#include "Foundation/ErrorReport.h"

namespace {
std::vector<TNativeHandle> Pool;
}  // namespace

TNativeHandle NewPooledMutex() {
    TNativeHandle mutex = CreateNativeMutex();
    if (Pool.size() == Pool.capacity()) Pool.reserve(Pool.capacity() == 0 ? 16 : Pool.capacity() * 2);
    Pool.push_back(mutex);
    return mutex;
}

size_t MutexPoolCount() { return Pool.size(); }
size_t MutexPoolCapacity() { return Pool.capacity(); }

void CloseMutexPool() {
    for (auto mutex = Pool.rbegin(); mutex != Pool.rend(); ++mutex) CloseNativeMutex(*mutex);
    Pool = std::vector<TNativeHandle>();
}

TSafeCriticalSection::TSafeCriticalSection() : FMutex(NewPooledMutex()) {}

void TSafeCriticalSection::Enter() {
    switch (WaitNativeMutex(FMutex)) {
    case TMutexWait::Acquired: break;
    case TMutexWait::Abandoned: FAbandoned = true; break;
    case TMutexWait::Failed: AssertionFailed("Error: TSafeCriticalSection.Enter", __FILE_NAME__, __LINE__);
    }
}

void TSafeCriticalSection::Leave() { ReleaseNativeMutex(FMutex); }
