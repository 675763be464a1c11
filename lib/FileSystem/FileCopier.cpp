#include "FileSystem/FileCopier.h"
#include <algorithm>
#include "FileSystem/FileModes.h"
#include "Foundation/Exceptions.h"
#include "Foundation/ScopeExit.h"
#include "Foundation/SysError.h"
#include "Foundation/TextUtils.h"

namespace {

// Files from this size on go to the disk as soon as they are copied.
constexpr int64_t WriteBehindSize = 65536;

bool AcceptedBy(const TCopyFilterEvent& filter, TFileCopier* copier, const WideString& folder, TFileInfo* info) {
    return !filter || filter(copier, folder, info);
}

// Progress handlers cannot break a copy by raising.
void CallProgress(TFileCopier* copier, const WideString& source, bool& abort, int64_t size, int64_t done,
                  const WideString& target) {
    if (!copier->OnProgress) return;
    try {
        copier->OnProgress(copier, source, abort, size, done, target);
    } catch (...) {
    }
}

// Gives back the entries from index first on.
void CutListing(TList* listing, int32_t first) {
    while (listing->Count() > first) {
        // Out of the list before it goes, so that nothing frees it twice.
        TRefObject* last = listing->Last();
        listing->Delete(listing->Count() - 1);
        Free(last);
    }
}

// Returns result with code as the thread's last error.
int Refuse(uint32_t code, int result) {
    SetLastErrorCode(code);
    return result;
}

// Removes an entry of the copy's own; the caller still reads why the copy
// failed.
void DeleteQuietly(const WideString& path) {
    uint32_t failure = GetLastErrorCode();
    try {
        DeleteFile(path);
    } catch (const EFileError&) {
    }
    SetLastErrorCode(failure);
}

// A free name beside target, where the entry the copy replaces waits until
// the copy is whole.
WideString AsideName(const WideString& target) {
    TFindData taken;
    WideString name = target + u".nvx-old";
    for (int64_t n = 2; FileAPI->GetFileData(name, taken); ++n) name = target + u".nvx-old" + IntToStr(n);
    return name;
}

// One block copied inside the system. Where the system cannot, or fails in
// a way that does not say which side failed, systemCopy is cleared and the
// block goes through the buffer, whose read and write tell the sides apart.
int32_t CopyBlockInSystem(TNativeHandle in, TNativeHandle out, int32_t count, bool& systemCopy, int& result) {
    uint32_t done = 0;
    result = CopyResult::Copied;
    if (!FileAPI->CopyFileData(in, out, (uint32_t)count, done)) {
        uint32_t code = GetLastErrorCode();
        if (code == WinError::DiskFull || code == WinError::FileTooLarge) result = CopyResult::WriteFailed;
        else systemCopy = false;
        return result == CopyResult::Copied ? (int32_t)done : 0;
    }
    if (done == 0) {
        // Nothing before the end: the source shrank.
        result = CopyResult::ReadFailed;
        SetLastErrorCode(WinError::HandleEof);
    }
    return (int32_t)done;
}

}  // namespace

void TFileCopier::Dispose() {
    FListing.Reset();
    TRefObject::Dispose();
}

void TFileCopier::StartRun() {
    FailureCode = WinError::Success;
    FailurePath.clear();
    FMade.clear();
}

// Keeps the first failure of a run; the later ones are its consequences.
bool TFileCopier::Failed(const WideString& path, uint32_t code) {
    if (FailureCode == WinError::Success) {
        FailureCode = code != WinError::Success ? code : WinError::GenFailure;
        FailurePath = path;
    }
    SetLastErrorCode(FailureCode);
    return false;
}

int TFileCopier::Failed(int result, const WideString& path) {
    uint32_t code = GetLastErrorCode();
    if (code == WinError::Success && result == CopyResult::Stopped) code = WinError::Cancelled;
    Failed(path, code);
    return result;
}

// Makes way for the copy: asks about an existing target and moves it aside
// (a link is moved as the link itself), so that the copy is a new file and
// no open follows a link the copier did not make. aside names where it went.
int TFileCopier::PrepareTarget(const WideString& source, const WideString& target, WideString& aside) {
    aside.clear();
    TFindData existing;
    if (!FileAPI->GetFileData(target, existing)) return CopyResult::Copied;
    bool link = IsLinkEntry(existing.Attributes, existing.ReparseTag);
    // A folder stays; a copy onto the source itself would empty it.
    if (!link && ((existing.Attributes & FileAttr::Directory) || IsSameFile(source, target)))
        return Refuse(WinError::AccessDenied, CopyResult::TargetFailed);
    if (!Overwrite) {
        if (!OnOverwrite) return Refuse(WinError::FileExists, CopyResult::TargetFailed);
        if (!OnOverwrite(this, source, target)) return Refuse(WinError::Cancelled, CopyResult::Stopped);
    }
    if (CountOnly) return CopyResult::Copied;
    // A link that cannot be moved or removed as itself stays, and so does
    // what it leads to.
    if (IsOpaqueLink(existing.Attributes, existing.ReparseTag) || (!link && LeadsElsewhere(target)))
        return Refuse(WinError::CantAccessFile, CopyResult::TargetFailed);
    WideString name = AsideName(target);
    if (!FileAPI->MoveFile(target, name, 0)) return CopyResult::TargetFailed;
    aside = name;
    return CopyResult::Copied;
}

int TFileCopier::CopyFile(const WideString& source, const WideString& target) {
    if (!FInFolderCopy) StartRun();
    int result = CopyFileData(source, target);
    return result == CopyResult::Copied ? result : Failed(result, target);
}

// Makes the target a new file. Only where something is in its place does
// PrepareTarget look at it and make way, and the target is made again.
int TFileCopier::CreateTarget(const WideString& source, const WideString& target, TFileHandle& out, WideString& aside) {
    aside.clear();
    auto create = [&] {
        try {
            out = TFileHandle(FileOpen(target, FileAccess::Write, FileShare::Read, FileDisposition::CreateNew));
            return true;
        } catch (const EFileError& e) {
            SetLastErrorCode(e.ErrorCode);
            return false;
        }
    };
    if (create()) return CopyResult::Copied;
    const uint32_t failure = GetLastErrorCode();
    int prepared = PrepareTarget(source, target, aside);
    if (prepared != CopyResult::Copied) return prepared;
    // Nothing in the way: the create failed for its own reason.
    if (aside.empty()) return Refuse(failure, CopyResult::TargetFailed);
    return create() ? CopyResult::Copied : CopyResult::TargetFailed;
}

// CopyFile's work; the thread's last error says why it failed.
int TFileCopier::CopyFileData(const WideString& source, const WideString& target) {
    TFileHandle in;
    TFindData from;  // of what was opened: no second look-up by name
    {
        TNoErrorBoxes quiet;
        try {
            // Pipes, sockets, devices and folders refuse to open: they never
            // hang a copy.
            in = TFileHandle(FileOpen(source, FileAccess::Read, FileShare::Read, FileDisposition::OpenExisting));
        } catch (const EFileError& e) {
            return Refuse(e.ErrorCode, CopyResult::SourceFailed);
        }
        if (!FileAPI->GetFileDataByHandle(in.Get(), from)) return CopyResult::SourceFailed;
        if (from.Attributes & FileAttr::Directory) return Refuse(WinError::AccessDenied, CopyResult::SourceFailed);
    }
    const int64_t size = (int64_t)from.Size;

    WideString aside;
    if (CountOnly) {
        int prepared = PrepareTarget(source, target, aside);
        if (prepared == CopyResult::Copied) TotalBytes += size;
        return prepared;
    }
    // What the copy replaced comes back if the copy fails.
    auto putBack = [&] {
        uint32_t failure = GetLastErrorCode();
        if (!aside.empty()) FileAPI->MoveFile(aside, target, 0);
        SetLastErrorCode(failure);
    };
    TFileHandle out;
    int made = CreateTarget(source, target, out, aside);
    if (made != CopyResult::Copied) {
        putBack();
        return made;
    }

    int result = CopyResult::TargetFailed;  // until the file has its room
    std::string head;
    if (FileAPI->ReserveFileSize(out.Get(), size)) result = CopyData(in.Get(), out.Get(), size, source, target, head);
    uint32_t failure = result == CopyResult::Copied ? WinError::Success : GetLastErrorCode();
    if (result == CopyResult::Copied) {
        // The disk writes this file while the next ones are copied, so that
        // the one flush at the end waits for little. Small files are left to
        // it, which writes them together.
        if (FlushToDisk && FileAPI->FlushesVolumes() && size >= WriteBehindSize)
            FileAPI->StartFlushFileBuffers(out.Get());
        // Times, modes and attributes go on while the file is open: no second
        // open or look-up. A file system that keeps none of them (vfat,
        // exFAT, network shares) still keeps the data, which is the copy.
        if (CopyTimes) FileAPI->SetFileTime(out.Get(), &from.CreationTime, &from.LastAccessTime, &from.LastWriteTime);
        if (CopyAttributes) FileAPI->SetFileAttributesByHandle(out.Get(), from);
        // After the mode, so that the flush takes it along.
        if (FlushToDisk && !FileAPI->FlushesVolumes() && !FileAPI->FlushFileBuffers(out.Get())) {
            result = CopyResult::WriteFailed;
            failure = GetLastErrorCode();
        }
    }
    try {
        out.Close();
    } catch (const EFileError& e) {
        if (result == CopyResult::Copied) {
            result = CopyResult::WriteFailed;
            failure = e.ErrorCode;
        }
    }
    if (result != CopyResult::Copied) {
        SetLastErrorCode(failure);
        DeleteQuietly(target);
        putBack();
        return result;
    }
    if (!aside.empty()) {
        if (!RemoveLink(aside)) DeleteQuietly(aside);
    } else if (FInFolderCopy) FMade.push_back({target, false});
    if (OnCopiedHead && HeadSize > 0) OnCopiedHead(this, source, head);
    return result;
}

// The blocks with progress around them; a result code. Blocks are BufferSize
// long either way, so progress and stops come as often as the caller asked.
int TFileCopier::CopyData(TNativeHandle in, TNativeHandle out, int64_t size, const WideString& source,
                          const WideString& target, std::string& head) {
    int32_t blockSize = std::clamp(BufferSize, MinBufferSize, MaxBufferSize);
    bool systemCopy = true;  // until the system says it cannot
    bool abort = false;
    int64_t done = 0;
    int result = CopyResult::Copied;
    while (done < size) {
        CallProgress(this, source, abort, size, done, target);
        if (abort) break;
        int32_t want = (int32_t)std::min<int64_t>(blockSize, size - done);
        // The first bytes, where they are asked for, pass through the buffer.
        const bool headBlock = done == 0 && HeadSize > 0 && OnCopiedHead;
        if (headBlock) want = std::min(want, std::min(HeadSize, blockSize));
        int32_t got = systemCopy && !headBlock ? CopyBlockInSystem(in, out, want, systemCopy, result) : 0;
        if ((!systemCopy || headBlock) && result == CopyResult::Copied && got == 0)
            got = CopyBlockThroughBuffer(in, out, want, result);
        if (result != CopyResult::Copied) return result;
        if (headBlock) head.assign(reinterpret_cast<const char*>(FBuffer.data()), size_t(got));
        TotalBytes += got;
        done += got;
    }
    CallProgress(this, source, abort, size, size, target);
    if (abort) SetLastErrorCode(WinError::Cancelled);
    return abort ? CopyResult::Stopped : CopyResult::Copied;
}

// One block read into the copier's buffer and written out. The file API is
// called directly: an exception on the way (thread-local look-ups in the
// run-time's unwinder) would clear the error code the caller reports.
int32_t TFileCopier::CopyBlockThroughBuffer(TNativeHandle in, TNativeHandle out, int32_t count, int& result) {
    // Grown to what a block needs: a file's first bytes alone take no block.
    if ((int32_t)FBuffer.size() < count) FBuffer.resize(size_t(count));
    result = CopyResult::ReadFailed;
    uint32_t got = 0, written = 0;
    if (!FileAPI->ReadFile(in, FBuffer.data(), (uint32_t)count, got)) return 0;
    if (got == 0) return Refuse(WinError::HandleEof, 0);
    result = CopyResult::WriteFailed;
    if (!FileAPI->WriteFile(out, FBuffer.data(), got, written)) return 0;
    // A write that stores less than it was given without an error ran out of room.
    if (written != got) return Refuse(WinError::DiskFull, 0);
    result = CopyResult::Copied;
    return (int32_t)got;
}

// A link is copied as a link with the same target text and never followed,
// so links inside a bundle survive and a cycle cannot make the copy run away.
int TFileCopier::CopyLink(const WideString& source, const WideString& target) {
    if (CountOnly) return CopyResult::Copied;
    uint32_t existing = FileAPI->GetFileAttributes(target);
    if (existing != FileAttr::Invalid) {
        if ((existing & FileAttr::Directory) && !(existing & FileAttr::ReparsePoint))
            return Refuse(WinError::AccessDenied, CopyResult::TargetFailed);
        if (!Overwrite && (!OnOverwrite || !OnOverwrite(this, source, target)))
            return Refuse(WinError::FileExists, CopyResult::TargetFailed);
        if (!RemoveLink(target)) return CopyResult::TargetFailed;
    }
    if (!CopySymbolicLink(source, target)) return CopyResult::TargetFailed;
    if (existing == FileAttr::Invalid) FMade.push_back({target, false});
    return CopyResult::Copied;
}

void TFileCopier::ApplyFolderMetadata(const WideString& source, const WideString& target, const TFileInfo& info) {
    if (CountOnly) return;
    try {
        if (CopyTimes) SetFileTimes(target, info.CreationFileTime, info.LastAccessFileTime, info.LastWriteFileTime);
    } catch (const EFileError&) {
    }
    if (CopyAttributes) {
        CopyPermissions(source, target);
        FileAPI->SetFileAttributes(target, info.Attributes);
    }
}

// A link where a folder of the copy goes is removed, so that the copy never
// descends into what it points to.
bool TFileCopier::ClearLinkInTarget(const WideString& targetFolder) {
    TFindData existing;
    WideString path = ExcludeTrailingBackslash(targetFolder);
    if (CountOnly || !FileAPI->GetFileData(path, existing) || !IsLinkEntry(existing.Attributes, existing.ReparseTag))
        return true;
    return RemoveLink(path) || Failed(path, GetLastErrorCode());
}

// Makes a folder of the copy with the missing ones above it, remembering
// those it made.
bool TFileCopier::MakeFolder(const WideString& folder) {
    if (CountOnly || DirectoryExists(folder)) return true;
    std::vector<WideString> missing;
    for (WideString f = ExcludeTrailingBackslash(folder); !f.empty() && !DirectoryExists(f);
         f = ExtractFilePath(f, false))
        missing.push_back(f);
    if (!ForceDirectories(folder)) return Failed(ExcludeTrailingBackslash(folder), GetLastErrorCode());
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) FMade.push_back({*it, true});
    return true;
}

bool TFileCopier::CopyTree(const WideString& sourceFolder, const WideString& targetFolder, TList* listing) {
    const int32_t first = listing->Count();
    TScopeExit cut([&] { CutListing(listing, first); });
    try {
        FindFiles(sourceFolder, u"*.*", FileInfoCollector(listing));
    } catch (const EFolderError& e) {
        return Failed(e.Path.empty() ? ExcludeTrailingBackslash(sourceFolder) : e.Path, e.ErrorCode);
    }
    if (!MakeFolder(targetFolder)) return false;
    // A read-only folder (a mode an earlier copy carried over) takes no new
    // entries; it gets its mode back once it is filled.
    uint32_t attributes = CountOnly ? FileAttr::Invalid : FileAPI->GetFileAttributes(targetFolder);
    bool readOnly = attributes != FileAttr::Invalid && (attributes & FileAttr::ReadOnly);
    if (readOnly) FileAPI->SetFileAttributes(targetFolder, attributes & ~FileAttr::ReadOnly);
    TScopeExit restore([&] {
        uint32_t failure = GetLastErrorCode();
        if (readOnly) FileAPI->SetFileAttributes(targetFolder, attributes);
        SetLastErrorCode(failure);
    });
    return FillFolder(sourceFolder, targetFolder, listing, first);
}

// The two passes over one level's entries from index first: folders depth
// first, then files. The walk goes on after a failure.
bool TFileCopier::FillFolder(const WideString& sourceFolder, const WideString& targetFolder, TList* listing,
                             int32_t first) {
    bool result = true;
    const int32_t last = listing->Count();
    // A file, or a link (to a folder too): copied as a link where the system
    // can, never descended into.
    auto copyEntry = [&](TFileInfo* info) {
        const WideString target = targetFolder + info->Name;
        const int code = IsLinkEntry(info->Attributes, info->ReparseTag) ? CopyLink(sourceFolder + info->Name, target)
                                                                         : CopyFile(sourceFolder + info->Name, target);
        if (code != CopyResult::Copied) {
            Failed(code, target);
            result = false;
        }
        return code == CopyResult::Copied;
    };
    for (int32_t i = first; i < last; ++i) {
        TFileInfo* info = listing->Item<TFileInfo>(i);
        if (!info->IsFolder || !AcceptedBy(OnFilter, this, sourceFolder, info)) continue;
        if (IsLinkEntry(info->Attributes, info->ReparseTag)) {
            copyEntry(info);
            continue;
        }
        WideString source = sourceFolder + info->Name + PathDelim;
        WideString target = targetFolder + info->Name + PathDelim;
        if (ClearLinkInTarget(target) && CopyTree(source, target, listing)) {
            ApplyFolderMetadata(source, target, *info);
            // Not fatal: a file system that syncs no folders orders nothing.
            if (FlushToDisk && !CountOnly && !FileAPI->FlushesVolumes())
                FileAPI->FlushFolder(ExcludeTrailingBackslash(target));
        } else {
            result = false;
        }
    }
    for (int32_t i = first; i < last; ++i) {
        TFileInfo* info = listing->Item<TFileInfo>(i);
        if (!info->IsFolder && AcceptedBy(OnFilter, this, sourceFolder, info) && copyEntry(info)) ++FileCount;
    }
    return result;
}

// A failed folder copy takes back the files, links and folders it made,
// newest first; folders it made read-only lose that first.
void TFileCopier::RemoveWhatWasMade() {
    uint32_t failure = GetLastErrorCode();
    for (const TMadeEntry& entry : FMade)
        if (entry.IsFolder) FileAPI->SetFileAttributes(entry.Path, FileAttr::Directory);
    for (auto it = FMade.rbegin(); it != FMade.rend(); ++it) {
        if (it->IsFolder) FileAPI->RemoveDirectory(it->Path);
        else DeleteQuietly(it->Path);
    }
    FMade.clear();
    SetLastErrorCode(failure);
}

bool TFileCopier::CopyFolder(const WideString& sourceFolder, const WideString& targetFolder) {
    FileCount = 0;
    TotalBytes = 0;
    StartRun();
    if (!FListing) FListing = MakeRef<TObjectList>();
    WideString source = IncludeTrailingBackslash(sourceFolder);
    WideString target = IncludeTrailingBackslash(targetFolder);
    // A target that is the source itself (a link to it, say) would have
    // every file copied onto itself.
    if (IsSameFile(source, target)) return Failed(targetFolder, WinError::AccessDenied);
    FInFolderCopy = true;
    TScopeExit finished([&] {
        FInFolderCopy = false;
        FMade.clear();
    });
    bool result = false;
    try {
        // A link where the copy goes is replaced, never filled: what it
        // points to is another folder of the user's.
        result = ClearLinkInTarget(target) && MakeFolder(target) && CopyTree(source, target, FListing.Get());
    } catch (...) {
        // A handler's exception passes to the caller after the clean-up.
        RemoveWhatWasMade();
        throw;
    }
    if (result && FlushToDisk && !CountOnly) {
        if (FileAPI->FlushesVolumes()) {
            // One flush of the volume costs the disk far less than one per file.
            result = FileAPI->FlushVolume(ExcludeTrailingBackslash(target));
            if (!result) FailureCode = GetLastErrorCode();
        } else {
            FileAPI->FlushFolder(ExcludeTrailingBackslash(target));
            FileAPI->FlushFolder(ExtractFilePath(ExcludeTrailingBackslash(target), false));
        }
    }
    if (!result) {
        RemoveWhatWasMade();
        SetLastErrorCode(FailureCode);
    }
    return result;
}

namespace {

TRef<TFileCopier> ConfiguredCopier(bool copyAttributes, bool copyTimes, bool overwrite) {
    TRef<TFileCopier> copier = MakeRef<TFileCopier>();
    copier->CopyAttributes = copyAttributes;
    copier->CopyTimes = copyTimes;
    copier->Overwrite = overwrite;
    return copier;
}

}  // namespace

uint8_t CopyOneFile(const WideString& source, const WideString& target, bool copyAttributes, bool copyTimes,
                    bool overwrite) {
    return (uint8_t)ConfiguredCopier(copyAttributes, copyTimes, overwrite)->CopyFile(source, target);
}

bool CopyFolderTree(const WideString& source, const WideString& target, bool copyAttributes, bool copyTimes,
                    bool overwrite) {
    return ConfiguredCopier(copyAttributes, copyTimes, overwrite)->CopyFolder(source, target);
}
