#include "Backups.h"
#include <algorithm>
#include <exception>
#include <string>
#include "FileSystem/FileAPI.h"
#include "FileSystem/FileCopier.h"
#include "FileSystem/StagedReplace.h"
#include "Foundation/CaseFolding.h"
#include "Foundation/Exceptions.h"
#include "Foundation/ScopeExit.h"
#include "Foundation/SysError.h"
#include "Foundation/TextUtils.h"

namespace {

// Past this many backups of one show something is wrong (a loop in a
// script); the user is told instead of filling the disk.
constexpr int MaxBackups = 999;

[[noreturn]] void BackupFailed(const WideString& backup, uint32_t code, const AnsiString& cause = AnsiString(),
                               const char* what = "backup") {
    TPathText text{"Cannot create " + AnsiString(what) + " \"", backup, "\""};
    if (!cause.empty()) text.After += ": " + cause;
    else if (code != WinError::Success) text.After += ": " + SystemErrorText(code);
    throw EFileWriteError(text, code);
}

// The number name carries after stem and before suffix (1 for none), or 0
// when it is no such name.
int BackupNumber(const WideString& name, const WideString& stem, const WideString& suffix) {
    if (name.size() < stem.size() + suffix.size() || CompareText(name.substr(0, stem.size()), stem, true) != 0 ||
        CompareText(name.substr(name.size() - suffix.size()), suffix, true) != 0)
        return 0;
    const WideString middle = name.substr(stem.size(), name.size() - stem.size() - suffix.size());
    if (middle.empty()) return 1;
    if (middle.size() < 4 || middle.compare(0, 2, u" (") != 0 || middle.back() != u')') return 0;
    int n = 0;
    for (size_t i = 2; i + 1 < middle.size(); ++i) {
        if (middle[i] < u'0' || middle[i] > u'9' || n > MaxBackups) return 0;
        n = n * 10 + (middle[i] - u'0');
    }
    return n >= 2 && n <= MaxBackups ? n : 0;
}

// Turns the copier's per-file progress into progress over all bytes. A
// stop (progress raises) ends the copy: raised from the filter before each
// entry, and kept from inside a file's copy, which only a flag can stop,
// to be raised once the copy returns.
class TCopyProgress {
public:
    explicit TCopyProgress(const TFixProgress& progress) : FProgress(progress) {}

    // total: of every file; -1 for one file, whose size the copier tells.
    void Attach(TFileCopier& copier, int64_t total) {
        FTotal = total;
        if (!FProgress) return;
        FProgress(TFixStage::BackingUp, 0, 0);
        copier.OnFilter = [this](TFileCopier*, const WideString&, TFileInfo*) {
            FProgress(TFixStage::BackingUp, uint64_t(Done()), uint64_t(Total(0)));
            return true;
        };
        copier.OnProgress = [this](TFileCopier*, const WideString& source, bool& abort, int64_t fileSize, int64_t done,
                                   const WideString&) {
            if (source != FFile) {
                FBefore += FFileDone;
                FFile = source;
            }
            FFileDone = done;
            try {
                FProgress(TFixStage::BackingUp, uint64_t(Done()), uint64_t(Total(fileSize)));
            } catch (...) {
                FStop = std::current_exception();
                abort = true;
            }
        };
    }
    void SetTotal(int64_t total) { FTotal = total; }

    // Runs copy, which answers whether it copied everything into backup: one
    // that fails, raises or is stopped leaves nothing of it (undo).
    void Run(const WideString& backup, const std::function<bool()>& copy, const std::function<void()>& undo) const {
        TScopeExit undoing(undo);
        const bool copied = copy();
        const uint32_t code = GetLastErrorCode();
        if (FStop) std::rethrow_exception(FStop);
        if (!copied) BackupFailed(backup, code);
        undoing.Dismiss();
    }

private:
    int64_t Done() const { return FBefore + FFileDone; }
    int64_t Total(int64_t fileSize) const { return FTotal < 0 ? fileSize : FTotal; }

    const TFixProgress& FProgress;
    int64_t FTotal = 0, FBefore = 0, FFileDone = 0;
    WideString FFile;
    std::exception_ptr FStop;
};

}  // namespace

WideString FirstFreeName(const WideString& stem, const WideString& suffix,
                         const std::function<bool(const WideString&)>& make, const char* what) {
    for (int n = 1; n <= MaxBackups; ++n) {
        WideString name = stem + (n == 1 ? WideString() : u" (" + IntToStr(n) + u")") + suffix;
        if (FileExists(name) || DirectoryExists(name)) continue;
        if (make(name)) return name;
        uint32_t code = GetLastErrorCode();
        if (code != WinError::FileExists && code != WinError::AlreadyExists) BackupFailed(name, code, {}, what);
    }
    BackupFailed(stem + suffix, WinError::FileExists,
                 "there are already " + std::to_string(MaxBackups) + " " + what + "s", what);
}

uint64_t TreeBytes(const WideString& folder) {
    uint64_t bytes = 0;
    try {
        FindFiles(folder, u"*.*", [&](int32_t, TFileInfo* info, bool&) {
            if (IsLinkEntry(info->Attributes, info->ReparseTag)) return true;
            bytes +=
                info->IsFolder ? TreeBytes(JoinPath(folder, info->Name)) : uint64_t(std::max<int64_t>(info->Size, 0));
            return true;
        });
    } catch (const EFileError&) {
    }
    return bytes;
}

WideString BackUpFolder(const WideString& folder, const TFixProgress& progress, size_t headSize,
                        const std::function<void(const WideString& file, const std::string& head)>& eachHead) {
    const WideString backup = FirstFreeName(folder + u".bak", WideString(),
                                            [](const WideString& name) { return FileAPI->CreateDirectory(name); });
    const WideString from = IncludeTrailingBackslash(folder), to = IncludeTrailingBackslash(backup);
    TRef<TFileCopier> copier = MakeRef<TFileCopier>();
    // The show changes once this returns: a power cut then must find the
    // backup whole.
    copier->FlushToDisk = true;
    // Larger blocks than the copier's own: fewer calls into the system,
    // and a stop still comes within milliseconds.
    copier->BufferSize = 4 * 1024 * 1024;
    if (eachHead) {
        copier->HeadSize = int32_t(headSize);
        copier->OnCopiedHead = [&eachHead](TFileCopier*, const WideString& source, const std::string& head) {
            eachHead(source, head);
        };
    }
    TCopyProgress copyProgress(progress);
    copyProgress.Attach(*copier, 0);
    // A staged file a cut left in the show is none of it; the fix removes it.
    copier->OnFilter = [counted = copier->OnFilter](TFileCopier* c, const WideString& folder, TFileInfo* info) {
        return (info->IsFolder || !IsStagedName(info->Name)) && (!counted || counted(c, folder, info));
    };
    // The folder is new and empty: everything in it is this run's.
    copyProgress.Run(
        backup,
        [&] {
            // The listing's sizes: no file is opened twice.
            if (progress) copyProgress.SetTotal(int64_t(TreeBytes(folder)));
            return copier->CopyFolder(from, to);
        },
        [&backup] { DeleteFolderTree(backup); });
    return backup;
}

WideString BackUpArchive(const WideString& archive, const TFixProgress& progress) {
    const WideString stem = ChangeFileExt(archive, u".bak");
    // A stop is taken before a second name exists: the caller, which holds
    // the archive open, learns that name only from the return, and removes
    // it on a failure once the archive is closed.
    if (progress) progress(TFixStage::BackingUp, 0, 1);
    // A second name for the archive costs nothing: the fix writes a new
    // file and only then takes the archive's name for it, so the old file
    // stays whole under the backup's name. Where the file system has no
    // such names the backup is a copy, made empty and exclusively first, so
    // that the copy replaces only a file of this run.
    bool copy = false;
    const WideString backup = FirstFreeName(stem, u".zip", [&](const WideString& name) {
        if (FileAPI->CreateHardLink(archive, name)) return true;
        uint32_t code = GetLastErrorCode();
        if (code == WinError::FileExists || code == WinError::AlreadyExists) return false;
        TFileHandle file(
            FileAPI->CreateFile(name, FileAccess::Write, FileShare::None, nullptr, FileDisposition::CreateNew, 0));
        return copy = file.Valid();
    });
    // A crash after the archive is replaced must find the old file named.
    if (!copy) {
        FileAPI->FlushFolder(ExtractFilePath(backup, false));
        return backup;
    }
    TRef<TFileCopier> copier = MakeRef<TFileCopier>();
    copier->Overwrite = true;
    TCopyProgress copyProgress(progress);
    copyProgress.Attach(*copier, -1);
    copyProgress.Run(
        backup, [&] { return copier->CopyFile(archive, backup) == CopyResult::Copied; },
        [&backup] {
            FileAPI->SetFileAttributes(backup, FileAttr::Normal);
            FileAPI->DeleteFile(backup);
        });
    FlushFile(backup);
    FileAPI->FlushFolder(ExtractFilePath(backup, false));
    return backup;
}

bool IsBackupName(const WideString& name, bool folder) {
    const WideString suffix = folder ? WideString() : WideString(u".zip");
    // The stem is whatever comes before a ".bak", in any case.
    for (size_t at = 1; at + 4 <= name.size(); ++at)
        if (CompareText(name.substr(at, 4), u".bak", true) == 0 &&
            BackupNumber(name, name.substr(0, at + 4), suffix) > 0)
            return true;
    return false;
}

std::vector<WideString> BackupsOf(const WideString& picked, bool folder) {
    const WideString path = ExcludeTrailingBackslash(picked);
    const WideString stem = ExtractFileName(folder ? path + u".bak" : ChangeFileExt(path, u".bak"));
    const WideString suffix = folder ? WideString() : WideString(u".zip");
    const WideString parent = ExtractFilePath(path, true);
    std::vector<std::pair<int, WideString>> found;
    FindFiles(parent, stem + u"*", [&](int32_t, TFileInfo* info, bool&) {
        const int n = BackupNumber(info->Name, stem, suffix);
        if (n > 0 && info->IsFolder == folder && !IsLinkEntry(info->Attributes, info->ReparseTag))
            found.emplace_back(n, parent + info->Name);
        return true;
    });
    std::sort(found.begin(), found.end());
    std::vector<WideString> backups;
    for (auto& [n, name] : found) backups.push_back(name);
    return backups;
}

WideString MoveToBackupName(const WideString& folder) {
    return FirstFreeName(folder + u".bak", WideString(),
                         [&folder](const WideString& name) { return FileAPI->MoveFile(folder, name, 0); });
}

void RemoveBackup(const WideString& backup) {
    // Its attributes are left alone: as a second name of the archive they
    // are the archive's.
    if (!backup.empty()) FileAPI->DeleteFile(backup);
}
