#include <windows.h>
#include <vector>
#include "FileSystem/FileAPI.h"
#include "FileSystem/FileModes.h"
#include "Foundation/CaseFolding.h"
#include "Foundation/SysError.h"

// Windows keeps no permission bits of this kind.
bool CopyPermissions(const WideString&, const WideString&) { return true; }
bool MakeProgramFile(const WideString&) { return true; }

// Links made by the system need a privilege a user rarely has; the copy of
// such an entry fails instead of following it.
bool CopySymbolicLink(const WideString&, const WideString&) {
    SetLastErrorCode(WinError::NotSupported);
    return false;
}

// The name the system opens under path, compared by name and by the folder
// it sits in (the same folder may be spelt with another drive).
bool LeadsElsewhere(const WideString& path) {
    HANDLE file = ::CreateFileW(reinterpret_cast<LPCWSTR>(LongPathName(path).c_str()), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::vector<WideChar> buffer(32768);
    DWORD n = ::GetFinalPathNameByHandleW(file, reinterpret_cast<LPWSTR>(buffer.data()), (DWORD)buffer.size(),
                                          FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    ::CloseHandle(file);
    if (n == 0 || n >= buffer.size()) return false;
    WideString opened = RemoveLongPathPrefix(WideString(buffer.data(), n));
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
