#include "FileSystem/FileModes.h"
#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <memory>
#include <vector>
#include "FileSystem/FileAPI.h"
#include "Posix/FileNames.h"
#include "Posix/PosixErrors.h"

bool CopyPermissions(const WideString& source, const WideString& target) {
    std::string from = WideToSystemName(source), to = WideToSystemName(target);
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) return FailErrno(from);
    if (S_ISLNK(st.st_mode)) return true;
    return ::chmod(to.c_str(), st.st_mode & 07777) == 0 || FailErrno(to);
}

uint32_t UnixModeOf(const WideString& path) {
    struct stat st {};
    return ::lstat(WideToSystemName(path).c_str(), &st) == 0 ? uint32_t(st.st_mode & (S_IFMT | 0777)) : 0;
}

namespace {
// Whoever may read a program may run it.
mode_t RunnableMode(mode_t mode) { return mode | (mode & 0444) >> 2; }
}  // namespace

bool MakeProgramFile(const WideString& path) {
    std::string p = WideToSystemName(path);
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return FailErrno(p);
    const mode_t mode = st.st_mode & 07777;
    return RunnableMode(mode) == mode || ::chmod(p.c_str(), RunnableMode(mode)) == 0 || FailErrno(p);
}

bool LacksExecutePermission(const WideString& path) {
    struct stat st {};
    return ::lstat(WideToSystemName(path).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           RunnableMode(st.st_mode) != st.st_mode;
}

bool CopySymbolicLink(const WideString& source, const WideString& target) {
    std::string from = WideToSystemName(source), to = WideToSystemName(target);
    std::vector<char> text(4096);
    ssize_t n;
    while ((n = ::readlink(from.c_str(), text.data(), text.size())) == (ssize_t)text.size())
        text.resize(text.size() * 2);
    if (n < 0) return FailErrno(from);
    return ::symlink(std::string(text.data(), (size_t)n).c_str(), to.c_str()) == 0 || FailErrno(to);
}

bool LeadsElsewhere(const WideString&) { return false; }

bool RemoveLink(const WideString& path) {
    std::string p = WideToSystemName(path);
    return ::unlink(p.c_str()) == 0 || FailErrno(p);
}

WideString ResolveLinks(const WideString& path) {
    std::string p = WideToSystemName(path);
    std::unique_ptr<char, decltype(&::free)> resolved(::realpath(p.c_str(), nullptr), &::free);
    if (!resolved) {
        FailErrno(p);
        return WideString();
    }
    return SystemNameToWide(resolved.get());
}

// After a link ".." is the parent of where it leads, so the text is left
// as it is.
WideString FullPathName(const WideString& path) {
    return path.empty() || IsAbsolutePath(path) ? path : JoinPath(GetCurrentFolder(false), path);
}
