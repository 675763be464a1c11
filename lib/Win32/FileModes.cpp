#include <windows.h>
#include <functional>
#include "FileSystem/FileAPI.h"
#include "FileSystem/FileModes.h"
#include "Foundation/CaseFolding.h"
#include "Foundation/SysError.h"

// Windows keeps no permission bits of this kind.
bool CopyPermissions(const WideString&, const WideString&) { return true; }
uint32_t UnixModeOf(const WideString&) { return 0; }
bool MakeProgramFile(const WideString&) { return true; }
bool LacksExecutePermission(const WideString&) { return false; }

// Links made by the system need a privilege a user rarely has; the copy of
// such an entry fails instead of following it.
bool CopySymbolicLink(const WideString&, const WideString&) {
    SetLastErrorCode(WinError::NotSupported);
    return false;
}

namespace {
LPCWSTR W(const WideString& text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }

// A path from a system call that fills a buffer and, when it is too small,
// tells the size it needs. Empty, last error set, when the call fails.
WideString PathFromSystem(const std::function<DWORD(LPWSTR buffer, DWORD size)>& call) {
    WideString path(MAX_PATH, u'\0');
    DWORD length = call(reinterpret_cast<LPWSTR>(path.data()), DWORD(path.size()));
    if (length >= path.size()) {
        path.resize(length + 1);
        length = call(reinterpret_cast<LPWSTR>(path.data()), DWORD(path.size()));
    }
    if (length == 0 || length >= path.size()) return WideString();
    path.resize(length);
    return path;
}

// The full name of what the system opens under path, links followed;
// empty when it cannot be opened.
WideString FinalPathOf(const WideString& path) {
    HANDLE file = ::CreateFileW(W(LongPathName(path)), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return WideString();
    WideString final = PathFromSystem([&](LPWSTR buffer, DWORD size) {
        return ::GetFinalPathNameByHandleW(file, buffer, size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    });
    ::CloseHandle(file);
    return RemoveLongPathPrefix(final);
}
}  // namespace

// The name the system opens under path, compared by name and by the folder
// it sits in (the same folder may be spelt with another drive).
bool LeadsElsewhere(const WideString& path) {
    WideString opened = FinalPathOf(path);
    if (opened.empty()) return false;
    WideString named = ExcludeTrailingBackslash(path);
    return CompareText(ExtractFileName(opened), ExtractFileName(named), true) != 0 ||
           !IsSameFile(ExtractFilePath(opened, false), ExtractFilePath(named, false));
}

bool RemoveLink(const WideString& path) {
    TFindData data;
    if (!FileAPI->GetFileData(path, data)) return FileAPI->DeleteFile(path);
    if (IsOpaqueLink(data.Attributes, data.ReparseTag)) {
        SetLastErrorCode(WinError::CantAccessFile);
        return false;
    }
    if (data.Attributes & FileAttr::Directory) return FileAPI->RemoveDirectory(path);
    return FileAPI->DeleteFile(path);
}

WideString FullPathName(const WideString& path) {
    WideString full =
        PathFromSystem([&](LPWSTR buffer, DWORD size) { return ::GetFullPathNameW(W(path), size, buffer, nullptr); });
    return full.empty() ? path : full;
}

// Windows takes ".." by the text itself, as the system's full-path call
// does; only a path that is a link or junction leads elsewhere.
WideString ResolveLinks(const WideString& given) {
    WideString path = FullPathName(given);
    uint32_t attributes = FileAPI->GetFileAttributes(path);
    if (attributes == FileAttr::Invalid) return WideString();
    if (!(attributes & FileAttr::ReparsePoint)) return path;
    return FinalPathOf(path);
}
