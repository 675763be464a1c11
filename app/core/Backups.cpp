#include "Backups.h"
#include <exception>
#include <string>
#include "FileSystem/FileAPI.h"
#include "FileSystem/FileCopier.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"

namespace {

// Past this many backups of one show something is wrong (a loop in a
// script); the user is told instead of filling the disk.
constexpr int MaxBackups = 999;

WideString Numbered(int n) {
    std::string digits = std::to_string(n);
    return u" (" + WideString(digits.begin(), digits.end()) + u")";
}

[[noreturn]] void BackupFailed(const WideString& backup, uint32_t code, const AnsiString& cause = AnsiString()) {
    AnsiString text = "Cannot create backup \"" + WideToAnsi(backup) + "\"";
    if (!cause.empty()) text += ": " + cause;
    else if (code != WinError::Success) text += ": " + SystemErrorText(code);
    throw EFileWriteError(text, code);
}

// Calls make with each candidate name until it makes one; make returns
// false with the last error FileExists or AlreadyExists when the name is
// taken, and false with another error when it cannot make anything.
WideString FirstFreeName(const WideString& stem, const WideString& suffix,
                         const std::function<bool(const WideString&)>& make) {
    for (int n = 1; n <= MaxBackups; ++n) {
        WideString name = stem + (n == 1 ? WideString() : Numbered(n)) + suffix;
        if (FileExists(name) || DirectoryExists(name)) continue;
        if (make(name)) return name;
        uint32_t code = GetLastErrorCode();
        if (code != WinError::FileExists && code != WinError::AlreadyExists) BackupFailed(name, code);
    }
    BackupFailed(stem + suffix, WinError::FileExists, "there are already " + std::to_string(MaxBackups) + " backups");
}

// Turns the copier's per-file progress into progress over all bytes, and a
// stop requested through progress (it raises) into a stopped copy whose
// cause is raised again afterwards.
class TCopyProgress {
public:
    // total: of every file; -1 for one file, whose size the copier tells.
    TCopyProgress(const TFixProgress& progress, int64_t total) : FProgress(progress), FTotal(total) {}

    void Attach(TFileCopier& copier) {
        if (!FProgress) return;
        FProgress("backup", 0, 0);
        copier.OnProgress = [this](TFileCopier*, const WideString& source, bool& abort, int64_t fileSize, int64_t done,
                                   const WideString&) {
            if (source != FFile) {
                FBefore += FFileDone;
                FFile = source;
            }
            FFileDone = done;
            try {
                FProgress("backup", uint64_t(FBefore + done), uint64_t(FTotal < 0 ? fileSize : FTotal));
            } catch (...) {
                FStop = std::current_exception();
                abort = true;
            }
        };
    }
    void RaiseStop() const {
        if (FStop) std::rethrow_exception(FStop);
    }

private:
    const TFixProgress& FProgress;
    int64_t FTotal, FBefore = 0, FFileDone = 0;
    WideString FFile;
    std::exception_ptr FStop;
};

}  // namespace

WideString BackUpFolder(const WideString& folder, const TFixProgress& progress) {
    const WideString backup = FirstFreeName(folder + u".bak", WideString(),
                                            [](const WideString& name) { return FileAPI->CreateDirectory(name); });
    TRef<TFileCopier> copier = MakeRef<TFileCopier>();
    int64_t total = 0;
    if (progress) {
        copier->CountOnly = true;
        copier->CopyFolder(IncludeTrailingBackslash(folder), IncludeTrailingBackslash(backup));
        copier->CountOnly = false;
        total = copier->TotalBytes;
    }
    TCopyProgress copyProgress(progress, total);
    copyProgress.Attach(*copier);
    // The folder is new and empty: everything in it is this run's.
    bool copied = copier->CopyFolder(IncludeTrailingBackslash(folder), IncludeTrailingBackslash(backup));
    uint32_t code = GetLastErrorCode();
    if (!copied) {
        DeleteFolderTree(backup);
        copyProgress.RaiseStop();
        BackupFailed(backup, code);
    }
    return backup;
}

WideString BackUpArchive(const WideString& archive, const TFixProgress& progress) {
    const WideString stem = ChangeFileExt(archive, u".bak");
    // Made empty and exclusively first, so that the copy below replaces only
    // a file of this run.
    const WideString backup = FirstFreeName(stem, u".zip", [](const WideString& name) {
        TFileHandle file(
            FileAPI->CreateFile(name, FileAccess::Write, FileShare::None, nullptr, FileDisposition::CreateNew, 0));
        return file.Valid();
    });
    TRef<TFileCopier> copier = MakeRef<TFileCopier>();
    copier->Overwrite = true;
    TCopyProgress copyProgress(progress, -1);
    copyProgress.Attach(*copier);
    int result = copier->CopyFile(archive, backup);
    uint32_t code = GetLastErrorCode();
    if (result != CopyResult::Copied) {
        FileAPI->SetFileAttributes(backup, FileAttr::Normal);
        FileAPI->DeleteFile(backup);
        copyProgress.RaiseStop();
        BackupFailed(backup, code);
    }
    FlushFile(backup);
    return backup;
}
