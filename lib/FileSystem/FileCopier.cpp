#include "FileSystem/FileCopier.h"
#include <algorithm>
#include "FileSystem/FileModes.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"

namespace {

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
        Free(listing->Last());
        listing->Delete(listing->Count() - 1);
    }
}

}  // namespace

void TFileCopier::Dispose() {
    if (FListing) FListing->FreeAll();
    FListing.Reset();
    TRefObject::Dispose();
}

namespace {
// The system copies in pieces this large: a call per piece, not per block.
constexpr int32_t SystemCopyPiece = TFileCopier::MaxBufferSize;

// Removes a failed copy's target; the caller still reads why the copy failed.
void DeleteQuietly(const WideString& path) {
    uint32_t failure = GetLastErrorCode();
    try {
        DeleteFile(path);
    } catch (...) {
    }
    SetLastErrorCode(failure);
}
}  // namespace

// Makes way for the copy: asks about an existing target, replaces a link
// sitting there (never writing through it) and clears a read-only flag,
// remembered in clearedAttributes to be put back if the copy cannot start.
int TFileCopier::PrepareTarget(const WideString& source, const WideString& target, uint32_t& clearedAttributes) {
    clearedAttributes = 0;
    TFindData existing;
    if (!FileAPI->GetFileData(target, existing)) return CopyResult::Copied;
    bool link = IsLinkEntry(existing.Attributes, existing.ReparseTag);
    if (!link && (existing.Attributes & FileAttr::Directory)) return CopyResult::TargetFailed;
    // A copy onto the source itself would empty it.
    if (!link && IsSameFile(source, target)) return CopyResult::TargetFailed;
    if (!Overwrite) {
        if (!OnOverwrite) return CopyResult::TargetFailed;
        if (!OnOverwrite(this, source, target)) return CopyResult::Stopped;
    }
    if (CountOnly) return CopyResult::Copied;
    if (link) return RemoveLink(target) ? CopyResult::Copied : CopyResult::TargetFailed;
    if (existing.Attributes & FileAttr::ReadOnly) {
        if (!FileAPI->SetFileAttributes(target, 0)) return CopyResult::TargetFailed;
        clearedAttributes = existing.Attributes;
    }
    return CopyResult::Copied;
}

int TFileCopier::CopyFile(const WideString& source, const WideString& target) {
    TFindData from;
    {
        TNoErrorBoxes quiet;
        if (!FileAPI->GetFileData(source, from) || (from.Attributes & FileAttr::Directory))
            return CopyResult::SourceFailed;
    }
    TFileHandle in;
    int64_t size = 0;
    try {
        // Pipes, sockets and devices refuse to open: they never hang a copy.
        in = TFileHandle(FileOpen(source, FileAccess::Read, FileShare::Read, FileDisposition::OpenExisting));
        size = FileGetSize(in.Get());
    } catch (...) {
        return CopyResult::SourceFailed;
    }

    uint32_t clearedAttributes = 0;
    int prepared = PrepareTarget(source, target, clearedAttributes);
    if (prepared != CopyResult::Copied) return prepared;
    if (CountOnly) {
        TotalBytes += size;
        return CopyResult::Copied;
    }

    TFileHandle out;
    try {
        out = TFileHandle(FileOpen(target, FileAccess::Write, FileShare::Read, FileDisposition::CreateAlways));
    } catch (...) {
        if (clearedAttributes) FileAPI->SetFileAttributes(target, clearedAttributes);
        return CopyResult::TargetFailed;
    }
    int result = CopyResult::TargetFailed;
    try {
        FileSetSize(out.Get(), size);  // one allocation for the whole file
        result = CopyData(in.Get(), out.Get(), size, source, target);
        // Times go on while the file is open: no second open to set them.
        if (result == CopyResult::Copied && CopyTimes &&
            !FileAPI->SetFileTime(out.Get(), &from.CreationTime, &from.LastAccessTime, &from.LastWriteTime))
            result = CopyResult::WriteFailed;
    } catch (...) {
        // result names the step that failed
    }
    // Closing may overwrite the reason the caller reads.
    uint32_t failure = result != CopyResult::Copied ? GetLastErrorCode() : WinError::Success;
    try {
        out.Close();
    } catch (...) {
        if (result == CopyResult::Copied) result = CopyResult::WriteFailed;
    }
    if (result == CopyResult::Copied && CopyAttributes &&
        (!CopyPermissions(source, target) || !FileAPI->SetFileAttributes(target, from.Attributes)))
        result = CopyResult::WriteFailed;
    if (result != CopyResult::Copied) DeleteQuietly(target);
    if (failure != WinError::Success) SetLastErrorCode(failure);
    return result;
}

// The loop of blocks with progress around them; a result code.
int TFileCopier::CopyData(TNativeHandle in, TNativeHandle out, int64_t size, const WideString& source,
                          const WideString& target) {
    int32_t blockSize = std::clamp(BufferSize, MinBufferSize, MaxBufferSize);
    bool systemCopy = true;  // until the system says it cannot
    bool abort = false;
    int64_t done = 0;
    int result = CopyResult::Copied;
    try {
        while (done < size) {
            CallProgress(this, source, abort, size, done, target);
            if (abort) break;
            int32_t piece = systemCopy ? SystemCopyPiece : blockSize;
            int32_t want = (int32_t)std::min<int64_t>(piece, size - done);
            int32_t got = systemCopy ? CopyBlockInSystem(in, out, want, systemCopy, result) : 0;
            if (!systemCopy) got = CopyBlockThroughBuffer(in, out, std::min(want, blockSize), blockSize, result);
            if (result != CopyResult::Copied) return result;
            TotalBytes += got;
            done += got;
        }
    } catch (...) {
        return result;  // it names the step that failed
    }
    CallProgress(this, source, abort, size, size, target);
    return abort ? CopyResult::Stopped : CopyResult::Copied;
}

// One block copied inside the system; clears systemCopy where it cannot.
int32_t TFileCopier::CopyBlockInSystem(TNativeHandle in, TNativeHandle out, int32_t count, bool& systemCopy,
                                       int& result) {
    uint32_t done = 0;
    result = CopyResult::ReadFailed;
    if (!FileAPI->CopyFileData(in, out, (uint32_t)count, done)) {
        if (GetLastErrorCode() == WinError::NotSupported) {
            systemCopy = false;
            result = CopyResult::Copied;
        } else if (GetLastErrorCode() == WinError::DiskFull) {
            result = CopyResult::WriteFailed;
        }
        return 0;
    }
    if (done > 0) result = CopyResult::Copied;  // nothing before the end: the source shrank
    return (int32_t)done;
}

// One block read into the copier's buffer and written out. The file API is
// called directly: an exception on the way (thread-local look-ups in the
// run-time's unwinder) would clear the error code the caller reports.
int32_t TFileCopier::CopyBlockThroughBuffer(TNativeHandle in, TNativeHandle out, int32_t count, int32_t blockSize,
                                            int& result) {
    if ((int32_t)FBuffer.size() != blockSize) FBuffer.resize(blockSize);
    result = CopyResult::ReadFailed;
    uint32_t got = 0, written = 0;
    if (!FileAPI->ReadFile(in, FBuffer.data(), (uint32_t)count, got) || got == 0) return 0;
    result = CopyResult::WriteFailed;
    if (!FileAPI->WriteFile(out, FBuffer.data(), got, written) || written != got) return 0;
    result = CopyResult::Copied;
    return (int32_t)got;
}

// A link is copied as a link with the same target text and never followed,
// so links inside a bundle survive and a cycle cannot make the copy run away.
int TFileCopier::CopyLink(const WideString& source, const WideString& target) {
    if (CountOnly) return CopyResult::Copied;
    uint32_t existing = FileAPI->GetFileAttributes(target);
    if (existing != FileAttr::Invalid) {
        if ((existing & FileAttr::Directory) && !(existing & FileAttr::ReparsePoint)) return CopyResult::TargetFailed;
        if (!Overwrite && (!OnOverwrite || !OnOverwrite(this, source, target))) return CopyResult::TargetFailed;
        if (!RemoveLink(target)) return CopyResult::TargetFailed;
    }
    return CopySymbolicLink(source, target) ? CopyResult::Copied : CopyResult::TargetFailed;
}

void TFileCopier::ApplyFolderMetadata(const WideString& source, const WideString& target, const TFileInfo& info) {
    if (CountOnly) return;
    try {
        if (CopyTimes) SetFileTimes(target, info.CreationFileTime, info.LastAccessFileTime, info.LastWriteFileTime);
    } catch (...) {
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
    return RemoveLink(path);
}

bool TFileCopier::CopyTree(const WideString& sourceFolder, const WideString& targetFolder, TList* listing) {
    const int32_t first = listing->Count();
    bool result = true;
    try {
        FindFiles(sourceFolder, u"*.*", FileInfoCollector(listing));
        if (!CountOnly && !ForceDirectories(targetFolder)) {
            CutListing(listing, first);
            return false;
        }
        const int32_t last = listing->Count();
        for (int32_t i = first; i < last; ++i) {
            TFileInfo* info = listing->Item<TFileInfo>(i);
            if (!info->IsFolder || !AcceptedBy(OnFilter, this, sourceFolder, info)) continue;
            if (IsLinkEntry(info->Attributes, info->ReparseTag)) {
                // A link to a folder: copied as a link where the system can,
                // never descended into.
                if (CopyLink(sourceFolder + info->Name, targetFolder + info->Name) != CopyResult::Copied)
                    result = false;
                continue;
            }
            WideString source = sourceFolder + info->Name + PathDelim;
            WideString target = targetFolder + info->Name + PathDelim;
            if (ClearLinkInTarget(target) && CopyTree(source, target, listing))
                ApplyFolderMetadata(source, target, *info);
            else result = false;
        }
        for (int32_t i = first; i < last; ++i) {
            TFileInfo* info = listing->Item<TFileInfo>(i);
            if (info->IsFolder || !AcceptedBy(OnFilter, this, sourceFolder, info)) continue;
            int code = IsLinkEntry(info->Attributes, info->ReparseTag)
                           ? CopyLink(sourceFolder + info->Name, targetFolder + info->Name)
                           : CopyFile(sourceFolder + info->Name, targetFolder + info->Name);
            if (code == CopyResult::Copied) ++FileCount;
            else result = false;
        }
    } catch (const EFolderError&) {
        result = false;
    } catch (...) {
        // Handlers' own exceptions pass to the caller after the clean-up.
        CutListing(listing, first);
        throw;
    }
    CutListing(listing, first);
    return result;
}

bool TFileCopier::CopyFolder(const WideString& sourceFolder, const WideString& targetFolder) {
    FileCount = 0;
    TotalBytes = 0;
    if (!FListing) FListing = MakeRef<TList>();
    WideString source = IncludeTrailingBackslash(sourceFolder);
    WideString target = IncludeTrailingBackslash(targetFolder);
    // A target that is the source itself (a link to it, say) would have
    // every file copied onto itself.
    if (IsSameFile(source, target)) return false;
    // A link where the copy goes is replaced, never filled: what it points
    // to is another folder of the user's.
    if (!ClearLinkInTarget(target)) return false;
    if (!CountOnly && !ForceDirectories(target)) return false;
    return CopyTree(source, target, FListing.Get());
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
