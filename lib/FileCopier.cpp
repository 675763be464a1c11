#include "FileCopier.h"
#include "Exceptions.h"
#include <algorithm>
#include "FileModes.h"
#include "FileStream.h"
#include "SysError.h"

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
    Free(FListing);
    FListing = nullptr;
    TRefObject::Dispose();
}

int TFileCopier::CopyFile(const WideString& source, const WideString& target) {
    uint32_t sourceAttributes;
    {
        TNoErrorBoxes quiet;
        sourceAttributes = FileAPI->GetFileAttributes(source);
    }
    if (sourceAttributes == FileAttr::Invalid || (sourceAttributes & FileAttr::Directory))
        return CopyResult::SourceFailed;

    TRef<TFileStream> in;
    int64_t size = 0;
    TRef<TFileInfo> times;
    try {
        in = MakeRef<TFileStream>(source, FileAccess::Read, (uint8_t)FileShare::Read,
                                  (uint8_t)FileDisposition::OpenExisting);
        size = in->GetSize();
        times = GetFileInfo(source);
    } catch (...) {
        return CopyResult::SourceFailed;
    }

    uint32_t targetAttributes = FileAPI->GetFileAttributes(target);
    bool targetExisted = targetAttributes != FileAttr::Invalid;
    if (targetExisted) {
        if (targetAttributes & FileAttr::Directory) return CopyResult::TargetFailed;
        if (!Overwrite) {
            if (!OnOverwrite) return CopyResult::TargetFailed;
            if (!OnOverwrite(this, source, target)) return CopyResult::Stopped;
        }
        if (!CountOnly && (targetAttributes & FileAttr::ReadOnly) && !FileAPI->SetFileAttributes(target, 0))
            return CopyResult::TargetFailed;
    } else {
        targetAttributes = 0;
    }
    if (CountOnly) {
        TotalBytes += size;
        return CopyResult::Copied;
    }

    TRef<TFileStream> out;
    try {
        out = MakeRef<TFileStream>(target, FileAccess::Write, (uint8_t)FileShare::Read,
                                   (uint8_t)FileDisposition::CreateAlways);
    } catch (...) {
        return CopyResult::TargetFailed;
    }
    try {
        out->SetSize(size);  // one allocation for the whole file
    } catch (...) {
        out.Reset();
        if (targetExisted) FileAPI->SetFileAttributes(target, targetAttributes);
        return CopyResult::TargetFailed;
    }

    int32_t blockSize = std::clamp(BufferSize, MinBufferSize, MaxBufferSize);
    bool systemCopy = true;  // until the system says it cannot
    bool abort = false;
    int64_t done = 0;
    int result = CopyResult::Copied;
    try {
        while (done < size) {
            CallProgress(this, source, abort, size, done, target);
            if (abort) break;
            int32_t want = (int32_t)std::min<int64_t>(blockSize, size - done);
            int32_t got = systemCopy ? CopyBlockInSystem(*in, *out, want, systemCopy, result) : 0;
            if (!systemCopy) got = CopyBlockThroughBuffer(*in, *out, want, blockSize, result);
            if (result != CopyResult::Copied) break;
            TotalBytes += got;
            done += got;
        }
        if (result == CopyResult::Copied) {
            CallProgress(this, source, abort, size, size, target);
            if (abort) result = CopyResult::Stopped;
        }
    } catch (...) {
        // result names the step that failed
    }
    // What the caller reads to say why, whatever the clean-up does to it.
    uint32_t failure = result != CopyResult::Copied ? GetLastErrorCode() : WinError::Success;

    try {
        out->Close();
    } catch (...) {
        result = CopyResult::WriteFailed;
    }
    out.Reset();
    if (result == CopyResult::Copied) {
        try {
            if (CopyTimes) SetFileTimes(target, times->CreationTime, times->LastAccessTime, times->LastWriteTime);
            CopyPermissions(source, target);
            if (CopyAttributes) FileAPI->SetFileAttributes(target, times->Attributes);
        } catch (...) {
            result = CopyResult::WriteFailed;
        }
    }
    if (result != CopyResult::Copied) {
        try {
            DeleteFile(target);
        } catch (...) {
        }
        if (failure != WinError::Success) SetLastErrorCode(failure);
    }
    return result;
}

// One block copied inside the system; clears systemCopy where it cannot.
int32_t TFileCopier::CopyBlockInSystem(TFileStream& in, TFileStream& out, int32_t count, bool& systemCopy,
                                       int& result) {
    uint32_t done = 0;
    result = CopyResult::ReadFailed;
    if (!FileAPI->CopyFileData(in.Handle(), out.Handle(), (uint32_t)count, done)) {
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

// One block read into the copier's buffer and written out.
int32_t TFileCopier::CopyBlockThroughBuffer(TFileStream& in, TFileStream& out, int32_t count, int32_t blockSize,
                                            int& result) {
    if ((int32_t)FBuffer.size() != blockSize) FBuffer.resize(blockSize);
    result = CopyResult::ReadFailed;
    int32_t got = in.Read(FBuffer.data(), count);
    if (got <= 0) return 0;
    result = CopyResult::WriteFailed;
    if (out.Write(FBuffer.data(), got) != got) return 0;
    result = CopyResult::Copied;
    return got;
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
        if (CopyTimes) SetFileTimes(target, info.CreationTime, info.LastAccessTime, info.LastWriteTime);
    } catch (...) {
    }
    CopyPermissions(source, target);
    if (CopyAttributes) FileAPI->SetFileAttributes(target, info.Attributes);
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
            if (info->Attributes & FileAttr::ReparsePoint) {
                // A link to a folder: copied as a link where the system can,
                // never descended into.
                if (CopyLink(sourceFolder + info->Name, targetFolder + info->Name) != CopyResult::Copied)
                    result = false;
                continue;
            }
            WideString source = sourceFolder + info->Name + PathDelim;
            WideString target = targetFolder + info->Name + PathDelim;
            if (CopyTree(source, target, listing))
                ApplyFolderMetadata(source, target, *info);
            else
                result = false;
        }
        for (int32_t i = first; i < last; ++i) {
            TFileInfo* info = listing->Item<TFileInfo>(i);
            if (info->IsFolder || !AcceptedBy(OnFilter, this, sourceFolder, info)) continue;
            int code = info->Attributes & FileAttr::ReparsePoint
                           ? CopyLink(sourceFolder + info->Name, targetFolder + info->Name)
                           : CopyFile(sourceFolder + info->Name, targetFolder + info->Name);
            if (code == CopyResult::Copied)
                ++FileCount;
            else
                result = false;
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
    if (!FListing) FListing = New<TList>();
    WideString source = IncludeTrailingBackslash(sourceFolder);
    WideString target = IncludeTrailingBackslash(targetFolder);
    if (!ForceDirectories(target)) return false;
    return CopyTree(source, target, FListing);
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
