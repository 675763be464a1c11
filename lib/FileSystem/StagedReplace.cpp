#include "FileSystem/StagedReplace.h"
#include <algorithm>
#include <vector>
#include "FileSystem/FileAPI.h"
#include "FileSystem/FileModes.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"
#include "Foundation/TextUtils.h"

namespace {

// Staged files carry a name of their own, so that one left by a writer
// that was killed is recognised as such and a file of the user's never is.
const WideString StagedSuffix = u".nvxfix-new";

// Staged files of writers that are gone: a running one holds its staged
// file open without sharing deletion, so only an abandoned one can go.
void RemoveAbandonedStagedFiles(const WideString& target) {
    const WideString folder = ExtractFilePath(target, true);
    std::vector<WideString> found;
    try {
        FindFiles(folder, ExtractFileName(target) + StagedSuffix + u"*", [&](int32_t, TFileInfo* info, bool&) {
            if (!info->IsFolder) found.push_back(folder + info->Name);
            return true;
        });
    } catch (const Exception&) {
        return;  // the write below reports what is wrong with the folder
    }
    for (const WideString& path : found) FileAPI->DeleteFile(path);
}

// "<target>.nvxfix-new", or with 2, 3, ... appended while those are held by
// writers still running. The file is made here and held open (sharing all
// but deletion) until just before the move.
WideString MakeStagedFile(const WideString& target, TFileHandle& guard) {
    for (int n = 1;; ++n) {
        WideString name = target + StagedSuffix + (n == 1 ? WideString() : IntToStr(n));
        guard = TFileHandle(
            FileAPI->CreateFile(name, 0, FileShare::Read | FileShare::Write, nullptr, FileDisposition::CreateNew, 0));
        if (guard.Valid()) return name;
        uint32_t code = GetLastErrorCode();
        if ((code != WinError::FileExists && code != WinError::AlreadyExists) || n >= 100)
            throw EFileWriteError(TPathText{"Cannot create \"", name, "\": " + SystemErrorText(code)}, code);
    }
}

}  // namespace

WideString WriteThroughStagedFile(const WideString& near, const std::function<void(const WideString& staged)>& write,
                                  const std::function<WideString(const WideString& staged)>& place) {
    RemoveAbandonedStagedFiles(near);
    TFileHandle guard;
    const WideString staged = MakeStagedFile(near, guard);
    WideString placed;
    try {
        write(staged);
        // Some file systems put a rename on the disk before the data it
        // names: after a crash the target would be empty.
        FlushFile(staged);
        guard.Close();
        placed = place(staged);
    } catch (...) {
        guard = TFileHandle();
        try {
            DeleteFile(staged);
        } catch (...) {
        }
        throw;
    }
    // The file is complete by now; a folder that cannot be synced leaves it
    // as safe as any other move.
    FileAPI->FlushFolder(ExtractFilePath(placed, false));
    return placed;
}

void ReplaceThroughStagedFile(const WideString& target, const std::function<void(const WideString& staged)>& write) {
    WriteThroughStagedFile(target, write, [&target](const WideString& staged) {
        const uint32_t attributes = FileAPI->GetFileAttributes(target);
        FileAPI->SetFileAttributes(target, FileAttr::Normal);
        if (!FileAPI->ReplaceFile(staged, target)) {
            uint32_t code = GetLastErrorCode();
            // Read-only again, if it was.
            if (attributes != FileAttr::Invalid) FileAPI->SetFileAttributes(target, attributes);
            throw EFileAccessError(TPathText{"Cannot replace \"", target, "\": " + SystemErrorText(code)}, code);
        }
        return target;
    });
}

// A second name, which the system never gives over an existing file, then
// the staged name goes; where the file system has no second names, a move
// that the system refuses over an existing file.
bool PlaceStagedFile(const WideString& staged, const WideString& target) {
    if (FileAPI->CreateHardLink(staged, target)) {
        FileAPI->DeleteFile(staged);
        return true;
    }
    const uint32_t code = GetLastErrorCode();
    if (code == WinError::FileExists || code == WinError::AlreadyExists) return false;
    return FileAPI->MoveFile(staged, target, 0);
}

void KeepAttributesOf(const WideString& target, const WideString& staged) {
    uint32_t attributes = FileAPI->GetFileAttributes(target);
    if (attributes == FileAttr::Invalid) return;
    FileAPI->SetFileAttributes(staged, attributes);
    CopyPermissions(target, staged);
}

WideString StagedName(const WideString& target) { return target + StagedSuffix; }

bool IsStagedName(const WideString& name) {
    const size_t at = name.rfind(StagedSuffix);
    if (at == WideString::npos || at == 0) return false;
    return std::all_of(name.begin() + at + StagedSuffix.size(), name.end(),
                       [](WideChar c) { return c >= u'0' && c <= u'9'; });
}
