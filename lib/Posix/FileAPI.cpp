// The file API on POSIX, with the Windows meaning of every operation: Windows
// error codes, attributes, sharing through advisory locks, links reported
// as reparse points.
#include "FileSystem/FileAPI.h"
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include "Foundation/CodePages.h"
#include "Foundation/SysError.h"
#include "Posix/FileNames.h"
#include "Posix/FileTimes.h"
#include "Posix/LinuxCalls.h"
#include "Posix/PosixErrors.h"
#include "Posix/ShareModes.h"

extern const WideChar PathDelim = u'/';

namespace {
// Sets the last error and returns what the operation answers on failure:
// false, InvalidNativeHandle or -1.
template <class T = bool>
T Fail(uint32_t code, T failed = T()) {
    SetLastErrorCode(code);
    return failed;
}

// Gives up an open that cannot go on.
TNativeHandle FailClosing(int fd, uint32_t code) {
    ::close(fd);
    return Fail(code, InvalidNativeHandle);
}

uint32_t AttributesOf(const std::string& path, const struct stat& st) {
    uint32_t attributes = 0;
    if (S_ISLNK(st.st_mode)) {
        // As Windows shows a junction: a reparse point, a folder if it leads to one.
        attributes |= FileAttr::ReparsePoint;
        if (IsDirectory(path)) attributes |= FileAttr::Directory;
    } else {
        if (S_ISDIR(st.st_mode)) attributes |= FileAttr::Directory;
        if (!(st.st_mode & S_IWUSR)) attributes |= FileAttr::ReadOnly;
    }
    std::string name = LastComponent(path);
    if (name.size() > 1 && name[0] == '.' && name != "..") attributes |= FileAttr::Hidden;
    return attributes ? attributes : FileAttr::Normal;
}

void FillFindData(const std::string& path, const struct stat& st, TFileTime creation, TFindData& data) {
    data = TFindData();
    data.Attributes = AttributesOf(path, st);
#if defined(__APPLE__)
    data.LastAccessTime = ToFileTime(st.st_atimespec);
    data.LastWriteTime = ToFileTime(st.st_mtimespec);
#else
    data.LastAccessTime = ToFileTime(st.st_atim);
    data.LastWriteTime = ToFileTime(st.st_mtim);
#endif
    // No birth time known: the last write is the best guess.
    data.CreationTime = creation ? creation : data.LastWriteTime;
    if (S_ISLNK(st.st_mode)) data.ReparseTag = IoReparseTag::SymLink;
    else if (!S_ISDIR(st.st_mode)) data.Size = (uint64_t)st.st_size;
    data.UnixMode = (uint32_t)st.st_mode;
    data.FileName = SystemNameToWide(LastComponent(path));
}

// The status of the open file (file >= 0) or else of the entry at path,
// its link not followed, in one call: statx gives the birth time with the
// rest where the system keeps one.
bool StatusOf(int file, const char* path, struct stat& st, TFileTime& creation) {
    creation = 0;
#if NVX_LINUX_CALLS && defined(STATX_BTIME)
    struct statx sx {};
    const int at = file >= 0 ? file : AT_FDCWD, flags = file >= 0 ? AT_EMPTY_PATH : AT_SYMLINK_NOFOLLOW;
    if (::statx(at, file >= 0 ? "" : path, flags, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return false;
    st.st_mode = sx.stx_mode;
    st.st_size = (off_t)sx.stx_size;
    st.st_atim = timespec{(time_t)sx.stx_atime.tv_sec, (long)sx.stx_atime.tv_nsec};
    st.st_mtim = timespec{(time_t)sx.stx_mtime.tv_sec, (long)sx.stx_mtime.tv_nsec};
    if (sx.stx_mask & STATX_BTIME)
        creation = ToFileTime(timespec{(time_t)sx.stx_btime.tv_sec, (long)sx.stx_btime.tv_nsec});
#else
    if ((file >= 0 ? ::fstat(file, &st) : ::lstat(path, &st)) != 0) return false;
#if defined(__APPLE__)
    creation = ToFileTime(st.st_birthtimespec);
#endif
#endif
    return true;
}

// The find data of one entry, its link not followed, in one look-up.
bool LookUpEntry(const std::string& path, TFindData& data) {
    struct stat st {};
    TFileTime creation = 0;
    if (!StatusOf(-1, path.c_str(), st, creation)) return false;
    FillFindData(path, st, creation, data);
    return true;
}

// ---- Name patterns with the Windows meaning ----

char16_t FoldCase(char16_t c) { return c >= u'A' && c <= u'Z' ? (char16_t)(c + 32) : c; }

bool Glob(const char16_t* name, const char16_t* mask) {
    const char16_t* starMask = nullptr;
    const char16_t* starName = nullptr;
    while (*name) {
        if (*mask == u'*') {
            starMask = ++mask;
            starName = name;
        } else if (*mask == u'?' || FoldCase(*mask) == FoldCase(*name)) {
            ++mask;
            ++name;
        } else if (starMask) {
            mask = starMask;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*mask == u'*') ++mask;
    return *mask == 0;
}

bool HasWildcards(const WideString& mask) { return mask.find_first_of(u"*?") != WideString::npos; }

// "*.*" is everything; "x.*" and "x." also take names without a dot.
bool MatchesMask(const WideString& name, const WideString& mask) {
    if (mask == u"*" || mask == u"*.*") return true;
    if (Glob(name.c_str(), mask.c_str())) return true;
    if (name.find(u'.') != WideString::npos || mask.size() < 2 || mask == u"..") return false;
    size_t cut = mask.compare(mask.size() - 2, 2, u".*") == 0 ? 2 : mask.back() == u'.' ? 1 : 0;
    return cut && Glob(name.c_str(), mask.substr(0, mask.size() - cut).c_str());
}

// ---- Searches ----

struct TSearch {
    DIR* Dir = nullptr;  // null: a search for one exact name, already answered
    std::string Folder;
    WideString Mask;
};

std::mutex SearchesLock;
std::set<TSearch*> Searches;

TSearch* FindSearch(TNativeHandle handle) {
    auto* search = reinterpret_cast<TSearch*>(handle);
    std::lock_guard<std::mutex> guard(SearchesLock);
    return Searches.count(search) ? search : nullptr;
}

// The next entry of a directory search that matches its mask.
bool NextMatch(TSearch& search, TFindData& data) {
    for (;;) {
        errno = 0;
        dirent* entry = ::readdir(search.Dir);
        if (!entry) return errno ? FailErrno() : Fail(WinError::NoMoreFiles);
        WideString name = SystemNameToWide(entry->d_name);
        if (!MatchesMask(name, search.Mask)) continue;
        std::string path = search.Folder;
        if (path != "/") path += '/';
        path += entry->d_name;
        if (!LookUpEntry(path, data)) {
            // An entry gone meanwhile is left out; any other that cannot be
            // looked at (a folder readable but not searchable, a path beyond
            // the limit) ends the listing with the cause, never quietly.
            if (errno == ENOENT) continue;
            uint32_t code = MapErrno(errno, path);
            data = TFindData();
            data.FileName = name;  // the entry the listing stops at
            return Fail(code);
        }
        data.FileName = name;
        SetLastErrorCode(WinError::Success);
        return true;
    }
}

// What an open asks for and denies, in the terms of the share emulation.
TShareClaim ClaimOf(uint32_t access, uint32_t shareMode) {
    return {(access & FileAccess::Read) != 0, (access & FileAccess::Write) != 0, !(shareMode & FileShare::Read),
            !(shareMode & FileShare::Write), !(shareMode & FileShare::Delete)};
}

bool IsReadOnlyFile(const struct stat& st) { return S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR); }
}  // namespace

// ---- TFileAPI ----

WideString TFileAPI::GetModuleFileName(TNativeHandle module) {
#if NVX_LINUX_CALLS
    if (module == 0) {
        char buffer[PATH_MAX + 1];
        ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
        if (n > 0) return SystemNameToWide(std::string(buffer, (size_t)n));
    }
#endif
    // The program is linked statically: the module holding this library's
    // code is the program.
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(module ? module : reinterpret_cast<TNativeHandle>(&PathDelim)), &info) &&
        info.dli_fname)
        return SystemNameToWide(info.dli_fname);
    return Fail(WinError::InvalidHandle, WideString());
}

WideString TFileAPI::GetCommandLine() {
    // Arguments joined as Windows shows a command line, quoted where blank;
    // without /proc, the program alone.
#if NVX_LINUX_CALLS
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string raw(std::istreambuf_iterator<char>(in), {});
#else
    std::string raw = WideToSystemName(GetModuleFileName(0));
#endif
    std::string line;
    for (size_t start = 0; start < raw.size();) {
        size_t end = std::min(raw.find('\0', start), raw.size());
        std::string argument = raw.substr(start, end - start);
        if (!line.empty()) line += ' ';
        bool quote = argument.empty() || argument.find_first_of(" \t") != std::string::npos;
        line += quote ? "\"" + argument + "\"" : argument;
        start = end + 1;
    }
    return SystemNameToWide(line);
}

WideString TFileAPI::GetCurrentDirectory() {
    char buffer[PATH_MAX + 1];
    if (!::getcwd(buffer, sizeof buffer)) return Fail(MapErrno(errno), WideString());
    return SystemNameToWide(buffer);
}

bool TFileAPI::SetCurrentDirectory(const WideString& path) {
    std::string p = WideToSystemName(path);
    return ::chdir(p.c_str()) == 0 || FailErrno(p);
}

TNativeHandle TFileAPI::FindFirst(const WideString& pattern, TFindData& data) {
    std::string p = WideToSystemName(pattern);
    size_t slash = p.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
    WideString mask = SystemNameToWide(slash == std::string::npos ? p : p.substr(slash + 1));
    if (mask.empty())
        return Fail(IsDirectory(folder) ? WinError::FileNotFound : WinError::PathNotFound, InvalidNativeHandle);
    auto search = std::make_unique<TSearch>();
    search->Folder = folder;
    search->Mask = mask;
    if (!HasWildcards(mask)) {
        if (!LookUpEntry(p, data)) return Fail(MapErrno(errno, p), InvalidNativeHandle);
    } else {
        search->Dir = ::opendir(folder.c_str());
        if (!search->Dir) {
            // A file where the folder should be is "directory name invalid" there.
            int error = errno;
            struct stat st {};
            return Fail(error == ENOENT ? WinError::PathNotFound
                        : error == ENOTDIR && ::stat(folder.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)
                            ? WinError::Directory
                            : MapErrno(error, folder),
                        InvalidNativeHandle);
        }
        if (!NextMatch(*search, data)) {
            uint32_t code = GetLastErrorCode();
            ::closedir(search->Dir);
            return Fail(code == WinError::NoMoreFiles ? WinError::FileNotFound : code, InvalidNativeHandle);
        }
    }
    std::lock_guard<std::mutex> guard(SearchesLock);
    Searches.insert(search.get());
    SetLastErrorCode(WinError::Success);
    return reinterpret_cast<TNativeHandle>(search.release());
}

bool TFileAPI::FindNext(TNativeHandle handle, TFindData& data) {
    TSearch* search = FindSearch(handle);
    if (!search) return Fail(WinError::InvalidHandle);
    if (!search->Dir) return Fail(WinError::NoMoreFiles);
    return NextMatch(*search, data);
}

bool TFileAPI::FindClose(TNativeHandle handle) {
    auto* search = reinterpret_cast<TSearch*>(handle);
    {
        std::lock_guard<std::mutex> guard(SearchesLock);
        if (Searches.erase(search) == 0) return Fail(WinError::InvalidHandle);
    }
    if (search->Dir) ::closedir(search->Dir);
    delete search;
    return true;
}

bool TFileAPI::GetFileDataByHandle(TNativeHandle file, TFindData& data) {
    struct stat st {};
    TFileTime creation = 0;
    if (!StatusOf((int)file, nullptr, st, creation)) return FailErrno();
    FillFindData(std::string(), st, creation, data);
    SetLastErrorCode(WinError::Success);
    return true;
}

bool TFileAPI::GetFileData(const WideString& path, TFindData& data) {
    std::string p = WithoutTrailingSlashes(WideToSystemName(path));
    if (!LookUpEntry(p, data)) return FailErrno(p);
    SetLastErrorCode(WinError::Success);
    return true;
}

uint32_t TFileAPI::GetFileAttributes(const WideString& path) {
    std::string p = WideToSystemName(path);
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return Fail(MapErrno(errno, p), FileAttr::Invalid);
    return AttributesOf(p, st);
}

namespace {
// The mode that gives a file or folder the read-only attribute or takes it.
mode_t ModeWith(mode_t mode, uint32_t attributes) {
    mode &= 07777;
    return (attributes & FileAttr::ReadOnly) ? (mode_t)(mode & ~0222) : (mode_t)(mode | S_IWUSR);
}
}  // namespace

bool TFileAPI::SetFileAttributes(const WideString& path, uint32_t attributes) {
    std::string p = WideToSystemName(path);
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return FailErrno(p);
    // A link has no mode of its own; changing it would change the target.
    if (S_ISLNK(st.st_mode)) return true;
    mode_t wanted = ModeWith(st.st_mode, attributes);
    return wanted == (st.st_mode & 07777) || ::chmod(p.c_str(), wanted) == 0 || FailErrno(p);
}

bool TFileAPI::SetFileAttributesByHandle(TNativeHandle file, const TFindData& from) {
    // A known mode holds every attribute kept here (read-only is a mode).
    if (from.UnixMode) return ::fchmod((int)file, (mode_t)(from.UnixMode & 07777)) == 0 || FailErrno();
    struct stat st {};
    if (::fstat((int)file, &st) != 0) return FailErrno();
    mode_t wanted = ModeWith(st.st_mode, from.Attributes);
    return wanted == (st.st_mode & 07777) || ::fchmod((int)file, wanted) == 0 || FailErrno();
}

bool TFileAPI::CreateDirectory(const WideString& path, void*) {
    std::string p = WideToSystemName(path);
    return ::mkdir(p.c_str(), 0777) == 0 || FailErrno(p);
}

bool TFileAPI::RemoveDirectory(const WideString& path) {
    std::string p = WithoutTrailingSlashes(WideToSystemName(path));
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return FailErrno(p);
    // A link to a folder goes as a link, as Windows removes a junction.
    if (S_ISLNK(st.st_mode))
        return IsDirectory(p) ? (::unlink(p.c_str()) == 0 || FailErrno(p)) : Fail(WinError::Directory);
    if (!S_ISDIR(st.st_mode)) return Fail(WinError::Directory);
    if (!(st.st_mode & S_IWUSR)) return Fail(WinError::AccessDenied);
    if (::rmdir(p.c_str()) == 0) return true;
    return errno == EEXIST ? Fail(WinError::DirNotEmpty) : FailErrno(p);
}

TNativeHandle TFileAPI::CreateFile(const WideString& path, uint32_t access, uint32_t shareMode, void*,
                                   uint32_t disposition, uint32_t flags, TNativeHandle) {
    std::string p = WideToSystemName(path);
    bool truncate = disposition == FileDisposition::CreateAlways || disposition == FileDisposition::TruncateExisting;
    bool writes = (access & FileAccess::Write) || truncate;
    // A file that is not there yet is made at once, exclusively (a link in
    // its place counts as there): no look before, nothing to truncate.
    // Anything else takes the long way, which also gives the error.
    if (disposition == FileDisposition::CreateAlways || disposition == FileDisposition::OpenAlways ||
        disposition == FileDisposition::CreateNew) {
        int fd = ::open(p.c_str(), (writes ? O_RDWR : O_RDONLY) | O_CREAT | O_EXCL | O_CLOEXEC | O_NONBLOCK, 0644);
        if (fd >= 0) {
            // Another process may have opened it already.
            if (!TakeShareLock(fd, ClaimOf(access, shareMode))) return FailClosing(fd, WinError::SharingViolation);
            MarkWriteOnly(fd, !(access & FileAccess::Read));
            SetLastErrorCode(WinError::Success);
            return fd;
        }
    }
    struct stat st {};
    bool existed = ::stat(p.c_str(), &st) == 0;
    if (existed && S_ISDIR(st.st_mode)) {
        // Folders open only for their times and attributes.
        if (!(flags & FileFlag::BackupSemantics)) return Fail(WinError::AccessDenied, InvalidNativeHandle);
        if (disposition == FileDisposition::CreateNew) return Fail(WinError::FileExists, InvalidNativeHandle);
        int fd = ::open(p.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return Fail(MapErrno(errno, p), InvalidNativeHandle);
        SetLastErrorCode(WinError::Success);
        return fd;
    }
    // Pipes, sockets and devices are no files here: reading one could wait
    // for ever.
    if (existed && !S_ISREG(st.st_mode)) return Fail(WinError::CantAccessFile, InvalidNativeHandle);
    if (existed && IsReadOnlyFile(st) && ((access & FileAccess::Write) || truncate))
        return Fail(WinError::AccessDenied, InvalidNativeHandle);

    int creation = 0;
    switch (disposition) {
    case FileDisposition::CreateNew: creation = O_CREAT | O_EXCL; break;
    case FileDisposition::CreateAlways:
    case FileDisposition::OpenAlways: creation = O_CREAT; break;
    case FileDisposition::OpenExisting:
    case FileDisposition::TruncateExisting: break;
    default: return Fail(WinError::InvalidParameter, InvalidNativeHandle);
    }
    // Writers open for reading as well, so that they can hold their share
    // locks; truncation waits for the sharing check, so that a file held by
    // another process keeps its contents. O_NONBLOCK: something that turned
    // into a pipe since it was looked at must not hang the open.
    int fd = ::open(p.c_str(), (writes ? O_RDWR : O_RDONLY) | creation | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0 && writes && errno == EACCES) fd = ::open(p.c_str(), O_WRONLY | creation | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) return Fail(errno == EEXIST ? WinError::FileExists : MapErrno(errno, p), InvalidNativeHandle);
    if (!TakeShareLock(fd, ClaimOf(access, shareMode))) return FailClosing(fd, GetLastErrorCode());
    if (truncate && existed && st.st_size > 0 && ::ftruncate(fd, 0) != 0) return FailClosing(fd, MapErrno(errno, p));
    MarkWriteOnly(fd, !(access & FileAccess::Read));
    bool reported =
        existed && (disposition == FileDisposition::CreateAlways || disposition == FileDisposition::OpenAlways);
    SetLastErrorCode(reported ? WinError::AlreadyExists : WinError::Success);
    return fd;
}

int64_t TFileAPI::GetFileSize(TNativeHandle file) {
    struct stat st {};
    if (::fstat((int)file, &st) != 0) return Fail<int64_t>(MapErrno(errno), -1);
    return S_ISDIR(st.st_mode) ? 0 : (int64_t)st.st_size;
}

bool TFileAPI::CloseHandle(TNativeHandle handle) {
    if (handle < 0 || handle > INT_MAX) return Fail(WinError::InvalidHandle);
    MarkWriteOnly((int)handle, false);
    return ::close((int)handle) == 0 || FailErrno();
}

bool TFileAPI::MoveFile(const WideString& oldPath, const WideString& newPath, uint32_t flags) {
    std::string from = WideToSystemName(oldPath);
    std::string to = WideToSystemName(newPath);
    struct stat source {
    }, target{};
    if (::lstat(from.c_str(), &source) != 0) return FailErrno(from);
    if (::lstat(to.c_str(), &target) == 0) {
        if (!(flags & MoveFlag::ReplaceExisting)) return Fail(WinError::AlreadyExists);
        if (S_ISDIR(target.st_mode) || S_ISDIR(source.st_mode)) return Fail(WinError::AccessDenied);
        if (IsReadOnlyFile(target)) return Fail(WinError::AccessDenied);
        if (S_ISREG(target.st_mode) && HeldByOthers(to)) return Fail(WinError::SharingViolation);
    }
    if (S_ISREG(source.st_mode) && HeldByOthers(from)) return Fail(WinError::SharingViolation);
    return ::rename(from.c_str(), to.c_str()) == 0 || FailErrno(to);
}

bool TFileAPI::ReplaceFile(const WideString& replacement, const WideString& target) {
    std::string from = WideToSystemName(replacement), to = WideToSystemName(target);
    struct stat old {
    }, mine{};
    // Only root may give a file away; a user may still give it a group of
    // theirs. Where neither is allowed the owner stays the user, as it was
    // for a file the user owns.
    if (::stat(to.c_str(), &old) == 0 && ::lstat(from.c_str(), &mine) == 0 && S_ISREG(mine.st_mode) &&
        (mine.st_uid != old.st_uid || mine.st_gid != old.st_gid)) {
        if (::lchown(from.c_str(), old.st_uid, old.st_gid) != 0) (void)::lchown(from.c_str(), (uid_t)-1, old.st_gid);
        // A change of owner clears the set-id bits of the new file's mode.
        (void)::chmod(from.c_str(), mine.st_mode & 07777);
    }
    return MoveFile(replacement, target, MoveFlag::ReplaceExisting);
}

bool TFileAPI::CreateHardLink(const WideString& existing, const WideString& newName) {
    std::string from = WideToSystemName(existing), to = WideToSystemName(newName);
    return ::link(from.c_str(), to.c_str()) == 0 || FailErrno(to);
}

bool TFileAPI::DeleteFile(const WideString& path) {
    std::string p = WideToSystemName(path);
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return FailErrno(p);
    if (S_ISDIR(st.st_mode) || IsReadOnlyFile(st)) return Fail(WinError::AccessDenied);
    if (S_ISREG(st.st_mode) && HeldByOthers(p)) return Fail(WinError::SharingViolation);
    return ::unlink(p.c_str()) == 0 || FailErrno(p);
}

uint32_t TFileAPI::GetFileVersion(const WideString&) {
    // Programs here carry no version resource.
    return Fail<uint32_t>(WinError::ResourceTypeNotFound, 0xFFFFFFFF);
}

bool TFileAPI::GetShortPathName(const WideString& path, TByteString& shortPath) {
    // No 8.3 names here: an existing path is its own short form.
    shortPath = WideToAnsiCodePage(path);
    std::string p = WideToSystemName(path);
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return FailErrno(p);
    return path.size() < 261 || Fail(WinError::FilenameExcedRange);
}

int64_t TFileAPI::FileSeek(TNativeHandle file, int64_t distance, uint32_t origin) {
    int whence = origin == SeekOrigin::Begin ? SEEK_SET : origin == SeekOrigin::Current ? SEEK_CUR : SEEK_END;
    if (origin > SeekOrigin::End) return Fail<int64_t>(WinError::InvalidParameter, -1);
    off_t position = ::lseek((int)file, (off_t)distance, whence);
    if (position < 0) return Fail<int64_t>(errno == EINVAL ? WinError::NegativeSeek : MapErrno(errno), -1);
    return (int64_t)position;
}

// A set size is a hole here: no block is allocated, and the call would only
// cost the copy its time.
bool TFileAPI::ReserveFileSize(TNativeHandle, int64_t) { return true; }

bool TFileAPI::SetEndOfFile(TNativeHandle file) {
    off_t position = ::lseek((int)file, 0, SEEK_CUR);
    if (position < 0) return FailErrno();
    if (::ftruncate((int)file, position) == 0) return true;
    // A handle opened for reading only cannot change the file.
    return Fail(errno == EINVAL || errno == EBADF
                    ? (::fcntl((int)file, F_GETFD) == -1 ? WinError::InvalidHandle : WinError::AccessDenied)
                    : MapErrno(errno));
}

namespace {
// A handle that exists but was not opened for this direction is refused as
// Windows refuses it: access denied.
uint32_t TransferError(int fd) {
    if (errno == EBADF && ::fcntl(fd, F_GETFD) != -1) return WinError::AccessDenied;
    if (errno == EISDIR) return WinError::InvalidFunction;
    return MapErrno(errno);
}

// Repeats step (moving the bytes from done on) until count bytes have moved
// or a step moves none; an interrupted step runs again, a failed one ends
// with the code failure() gives.
template <class TStep, class TFailure>
bool TransferAll(uint32_t count, uint32_t& done, TStep step, TFailure failure) {
    done = 0;
    while (done < count) {
        ssize_t n = step(done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Fail(failure());
        if (n == 0) break;
        done += (uint32_t)n;
    }
    return true;
}
}  // namespace

bool TFileAPI::FlushFileBuffers(TNativeHandle file) { return ::fsync((int)file) == 0 || FailErrno(); }

void TFileAPI::StartFlushFileBuffers(TNativeHandle file) {
#if NVX_LINUX_CALLS
    ::sync_file_range((int)file, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    (void)file;
#endif
}

namespace {
// Opens the folder at path and hands it to sync (fsync, syncfs).
bool SyncThrough(const WideString& path, int (*sync)(int)) {
    std::string p = WideToSystemName(path);
    int fd = ::open(p.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return FailErrno(p);
    bool ok = sync(fd) == 0 || FailErrno(p);
    ::close(fd);
    return ok;
}
}  // namespace

// A rename is on the disk only once its folder is.
bool TFileAPI::FlushFolder(const WideString& path) { return SyncThrough(path, ::fsync); }

bool TFileAPI::FlushesVolumes() { return NVX_LINUX_CALLS != 0; }

bool TFileAPI::FlushVolume(const WideString& folder) {
#if NVX_LINUX_CALLS
    return SyncThrough(folder, ::syncfs);
#else
    (void)folder;
    SetLastErrorCode(WinError::NotSupported);
    return false;
#endif
}

bool TFileAPI::GetAvailableSpace(const WideString& folder, uint64_t& bytes) {
    std::string p = WideToSystemName(folder);
    struct statvfs volume {};
    if (::statvfs(p.c_str(), &volume) != 0) return FailErrno(p);
    bytes = uint64_t(volume.f_bavail) * volume.f_frsize;
    return true;
}

bool TFileAPI::ReadFile(TNativeHandle file, void* buffer, uint32_t count, uint32_t& done) {
    done = 0;
    if (IsWriteOnly((int)file)) return Fail(WinError::AccessDenied);
    auto* bytes = static_cast<uint8_t*>(buffer);
    return TransferAll(
        count, done, [&](uint32_t at) { return ::read((int)file, bytes + at, count - at); },
        [&] { return TransferError((int)file); });
}

bool TFileAPI::WriteFile(TNativeHandle file, const void* buffer, uint32_t count, uint32_t& done) {
    auto* bytes = static_cast<const uint8_t*>(buffer);
    return TransferAll(
        count, done, [&](uint32_t at) { return ::write((int)file, bytes + at, count - at); },
        [&] { return TransferError((int)file); });
}

bool TFileAPI::CopyFileData(TNativeHandle source, TNativeHandle target, uint32_t count, uint32_t& done) {
    done = 0;
    if (IsWriteOnly((int)source)) return Fail(WinError::AccessDenied);
#if NVX_LINUX_CALLS
    return TransferAll(
        count, done,
        [&](uint32_t at) { return ::copy_file_range((int)source, nullptr, (int)target, nullptr, count - at, 0); },
        [&] {
            // Kernels and file systems without it: the caller copies itself.
            if (done == 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP))
                return WinError::NotSupported;
            return TransferError(errno == EBADF ? (int)target : (int)source);
        });
#else
    (void)source, (void)target, (void)count;
    return Fail(WinError::NotSupported);
#endif
}

bool TFileAPI::SetFileTime(TNativeHandle file, const TFileTime*, const TFileTime* lastAccess,
                           const TFileTime* lastWrite) {
    // The creation time cannot be set here; the other two can.
    const timespec times[2] = {lastAccess ? ToTimespec(*lastAccess) : timespec{0, UTIME_OMIT},
                               lastWrite ? ToTimespec(*lastWrite) : timespec{0, UTIME_OMIT}};
    return ::futimens((int)file, times) == 0 || FailErrno();
}

int64_t TFileAPI::GetCompressedFileSize(const WideString& path) {
    std::string p = WideToSystemName(path);
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return Fail<int64_t>(MapErrno(errno, p), -1);
    return (int64_t)st.st_size;
}

bool TFileAPI::GetReparseTarget(const WideString& path, WideString& target, bool* isJunction) {
    if (isJunction) *isJunction = false;
    std::string p = WithoutTrailingSlashes(WideToSystemName(path));
    std::string buffer(PATH_MAX, '\0');
    ssize_t n = ::readlink(p.c_str(), buffer.data(), buffer.size());
    if (n < 0) return Fail(errno == EINVAL ? WinError::NotAReparsePoint : MapErrno(errno, p));
    target = SystemNameToWide(buffer.substr(0, (size_t)n));
    return true;
}

TNoErrorBoxes::TNoErrorBoxes() : FOldMode(0) {}
TNoErrorBoxes::~TNoErrorBoxes() = default;

bool IsSameFile(const WideString& a, const WideString& b) {
    struct stat first {
    }, second{};
    return ::stat(WideToSystemName(a).c_str(), &first) == 0 && ::stat(WideToSystemName(b).c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}
