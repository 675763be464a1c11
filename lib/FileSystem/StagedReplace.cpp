#include "FileSystem/StagedReplace.h"
#include <string>
#include "FileSystem/FileAPI.h"
#include "FileSystem/FileModes.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"

namespace {

// "<target>.new", or "<target>.new2" and on while those are taken, so that
// a file of the user's that happens to carry the name is never overwritten.
WideString FreeStagedName(const WideString& target) {
    WideString name = target + u".new";
    for (int n = 2; FileExists(name) || DirectoryExists(name); ++n) {
        std::string digits = std::to_string(n);
        name = target + u".new" + WideString(digits.begin(), digits.end());
    }
    return name;
}

}  // namespace

void ReplaceThroughStagedFile(const WideString& target, const std::function<void(const WideString& staged)>& write) {
    const WideString staged = FreeStagedName(target);
    try {
        write(staged);
        // Some file systems put a rename on the disk before the data it
        // names: after a crash the target would be empty.
        FlushFile(staged);
        FileAPI->SetFileAttributes(target, FileAttr::Normal);
        if (!FileAPI->MoveFile(staged, target, MoveFlag::ReplaceExisting)) {
            uint32_t code = GetLastErrorCode();
            throw EFileAccessError("Cannot replace \"" + WideToAnsi(target) + "\": " + SystemErrorText(code), code);
        }
    } catch (...) {
        try {
            DeleteFile(staged);
        } catch (...) {
        }
        throw;
    }
    // The replacement is complete by now; a folder that cannot be synced
    // leaves it as safe as any other move.
    FileAPI->FlushFolder(ExtractFilePath(target, false));
}

void KeepAttributesOf(const WideString& target, const WideString& staged) {
    uint32_t attributes = FileAPI->GetFileAttributes(target);
    if (attributes == FileAttr::Invalid) return;
    FileAPI->SetFileAttributes(staged, attributes);
    CopyPermissions(target, staged);
}
