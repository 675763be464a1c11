// Sharing as Windows has it, with open-file-description locks far beyond
// any file's end: every open holds a read lock on one byte per access it has
// and per access it denies others, and a new open is refused (code 32) when
// someone denies an access it asks for or holds an access it denies.
#include "Posix/ShareModes.h"
#include <fcntl.h>
#include <unistd.h>
#include <mutex>
#include <set>
#include "Foundation/SysError.h"
#include "Posix/LinuxCalls.h"

namespace {
namespace ShareByte {
// In this order, the bytes a reader or a writer that shares reading holds
// lie side by side, and one call takes them.
constexpr off_t Base = (off_t)0x7FFFFFFF00000000LL;
constexpr int HasRead = 0;
constexpr int DeniesWrite = 1;
constexpr int DeniesDelete = 2;
constexpr int HasWrite = 3;
constexpr int DeniesRead = 4;
constexpr int Count = 5;
}  // namespace ShareByte

#if NVX_LINUX_CALLS
constexpr int ProbeLocks = F_OFD_GETLK;
constexpr int TakeLocks = F_OFD_SETLK;
#else
// The process's own locks: other processes see them, but the opens of this
// process do not conflict with each other, and closing any of its handles
// to a file gives up all its locks there.
constexpr int ProbeLocks = F_GETLK;
constexpr int TakeLocks = F_SETLK;
#endif

#if defined(__EMSCRIPTEN__)
// A browser tab is a single-process sandbox: no other program opens its
// files, so there is nobody to lock against (and its file system has no
// such locks; asked, it says EINVAL).
constexpr bool SingleProcessSandbox = true;
#else
constexpr bool SingleProcessSandbox = false;
#endif

unsigned Bit(int byte) { return 1u << byte; }

// Runs of the share bytes in mask, one fcntl call each: a probe for locks
// held by other opens (true when there are some), or taking read locks
// (a file system without these locks holds none, and files open unshared).
bool ShareLocks(int fd, unsigned mask, int command) {
    if (SingleProcessSandbox) return false;
    for (int first = 0; first < ShareByte::Count; ++first) {
        if (!(mask & Bit(first))) continue;
        int last = first;
        while (last + 1 < ShareByte::Count && (mask & Bit(last + 1))) ++last;
        struct flock range {};
        range.l_type = command == ProbeLocks ? F_WRLCK : F_RDLCK;
        range.l_whence = SEEK_SET;
        range.l_start = ShareByte::Base + first;
        range.l_len = last - first + 1;
        if (::fcntl(fd, command, &range) == 0 && command == ProbeLocks && range.l_type != F_UNLCK) return true;
        first = last;
    }
    return false;
}

// The handles MarkWriteOnly marked.
std::mutex WriteOnlyLock;
std::set<int> WriteOnlyHandles;

}  // namespace

bool TakeShareLock(int fd, const TShareClaim& claim) {
    unsigned held = (claim.Reads ? Bit(ShareByte::HasRead) : 0) | (claim.Writes ? Bit(ShareByte::HasWrite) : 0) |
                    (claim.DeniesRead ? Bit(ShareByte::DeniesRead) : 0) |
                    (claim.DeniesWrite ? Bit(ShareByte::DeniesWrite) : 0) |
                    (claim.DeniesDelete ? Bit(ShareByte::DeniesDelete) : 0);
    unsigned conflicts =
        (claim.Reads ? Bit(ShareByte::DeniesRead) : 0) | (claim.Writes ? Bit(ShareByte::DeniesWrite) : 0) |
        (claim.DeniesRead ? Bit(ShareByte::HasRead) : 0) | (claim.DeniesWrite ? Bit(ShareByte::HasWrite) : 0);
    // Held first, looked for after: of two opens that race, the later look
    // sees the other's claim, so that at most one of them goes on. Looked
    // for first, both could, even for a file one of them has just made (the
    // other may open it before the claim is held).
    ShareLocks(fd, held, TakeLocks);
    if (ShareLocks(fd, conflicts, ProbeLocks)) {
        SetLastErrorCode(WinError::SharingViolation);
        return false;
    }
    return true;
}

void MarkWriteOnly(int fd, bool writeOnly) {
    std::lock_guard<std::mutex> guard(WriteOnlyLock);
    if (writeOnly) WriteOnlyHandles.insert(fd);
    else WriteOnlyHandles.erase(fd);
}

bool IsWriteOnly(int fd) {
    std::lock_guard<std::mutex> guard(WriteOnlyLock);
    return WriteOnlyHandles.count(fd) != 0;
}

bool HeldByOthers(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    bool held = ShareLocks(fd, Bit(ShareByte::DeniesDelete), ProbeLocks);
    ::close(fd);
    return held;
}
