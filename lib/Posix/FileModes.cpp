#include "FileSystem/FileModes.h"
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <vector>
#include "FileSystem/FileAPI.h"
#include "Foundation/CodePages.h"
#include "Foundation/SysError.h"
#include "Posix/FileNames.h"
#include "Posix/PosixErrors.h"

namespace {
bool Failed(const std::string& path) {
    SetLastErrorCode(MapErrno(errno, path));
    return false;
}
}  // namespace

bool CopyPermissions(const WideString& source, const WideString& target) {
    std::string from = WideToSystemName(source), to = WideToSystemName(target);
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) return Failed(from);
    if (S_ISLNK(st.st_mode)) return true;
    return ::chmod(to.c_str(), st.st_mode & 07777) == 0 || Failed(to);
}

bool MakeProgramFile(const WideString& path) {
    std::string p = WideToSystemName(path);
    return ::chmod(p.c_str(), 0755) == 0 || Failed(p);
}

bool LacksExecutePermission(const WideString& path) {
    struct stat st {};
    return ::lstat(WideToSystemName(path).c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) == 0;
}

bool CopySymbolicLink(const WideString& source, const WideString& target) {
    std::string from = WideToSystemName(source), to = WideToSystemName(target);
    std::vector<char> text(4096);
    ssize_t n;
    while ((n = ::readlink(from.c_str(), text.data(), text.size())) == (ssize_t)text.size())
        text.resize(text.size() * 2);
    if (n < 0) return Failed(from);
    return ::symlink(std::string(text.data(), (size_t)n).c_str(), to.c_str()) == 0 || Failed(to);
}

bool LeadsElsewhere(const WideString&) { return false; }

bool RemoveLink(const WideString& path) {
    std::string p = WideToSystemName(path);
    return ::unlink(p.c_str()) == 0 || Failed(p);
}

WideString ResolveLinks(const WideString& path) {
    std::string p = WideToSystemName(path);
    char* resolved = ::realpath(p.c_str(), nullptr);
    if (!resolved) {
        Failed(p);
        return WideString();
    }
    WideString result = SystemNameToWide(resolved);
    ::free(resolved);
    return result;
}

// After a link ".." is the parent of where it leads, so the text is left
// as it is.
WideString FullPathName(const WideString& path) {
    return path.empty() || IsAbsolutePath(path) ? path : JoinPath(GetCurrentFolder(false), path);
}
