#include <windows.h>
#include "FileSystem/FileAPI.h"
#include "FileSystem/FileModes.h"
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
