#include "FixProcedure.h"
#include <cstring>
#include <vector>
#include "Archivers/Zip/FileUnzipper.h"
#include "FileSystem/FileAPI.h"
#include "FileSystem/FileCopier.h"
#include "FileSystem/FileModes.h"
#include "FileSystem/TempFolders.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"
#include "Repack.h"
#include "StagedReplace.h"
#include "Streams/FileStream.h"
#include "Streams/Streams.h"

namespace {

const WideString PayloadName = u"ZUVORUDAD";

// Relative paths are written with '\' and turned into the platform's form.
WideString BundlePath(const WideString& bundleFolder, const WideString& relative) {
    return ExcludeTrailingBackslash(bundleFolder) + NativePath(relative);
}

TRef<TResourceStream> OpenPayload() {
    TRef<TResourceStream> payload = OpenResourceStream(PayloadName, RT_RCDATA);
    if (!payload) throw EStreamReadError("The viewer program is missing from this program");
    return payload;
}

void WriteAll(TStream& target, TResourceStream& payload) {
    int64_t size = payload.GetSize();
    if (size > 0 && target.Write(payload.Memory(), (int32_t)size) != (int32_t)size)
        throw EFileWriteError("Cannot write the viewer program", GetLastErrorCode());
}

// The cause of a failure in words, without the path of a staged file the
// user never made.
uint32_t ErrorCodeOf(const Exception& e) {
    if (auto file = dynamic_cast<const EFileError*>(&e)) return file->ErrorCode;
    if (auto os = dynamic_cast<const EOSError*>(&e)) return os->ErrorCode;
    return WinError::Success;
}

// The new viewer is written beside the old one and moved over it only when
// complete, so a failed write never leaves the bundle without a viewer.
void ReplaceViewer(const WideString& bundleFolder, TResourceStream& payload) {
    const WideString viewer = ViewerPath(bundleFolder);
    try {
        ReplaceThroughStagedFile(viewer, [&payload](const WideString& staged) {
            TRef<TFileStream> out =
                MakeRef<TFileStream>(staged, FileAccess::Write, FileShare::None, FileDisposition::CreateAlways);
            WriteAll(*out, payload);
            out->Close();
            MakeProgramFile(staged);  // where the file system keeps no modes, the Mac decides
        });
    } catch (const Exception& e) {
        // Named from the bundle on: in the ZIP mode the folder above it is
        // a temporary one.
        const WideString shown = viewer.substr(ExtractFilePath(ExcludeTrailingBackslash(bundleFolder), true).size());
        uint32_t code = ErrorCodeOf(e);
        AnsiString cause = code != WinError::Success ? SystemErrorText(code) : e.Message();
        throw EFileWriteError("Cannot write the viewer \"" + WideToAnsi(shown) + "\": " + cause, code);
    }
}

// A drive, share or file system root: no parent to hold a backup beside
// it, and never a bundle.
bool IsRootFolder(const WideString& folder) {
    const WideString path = ExcludeTrailingBackslash(folder);
    if (path.empty() || path.find_first_not_of(PathDelim) == WideString::npos) return true;
    // Drives and network shares are Windows names.
    if (PathDelim != u'\\') return false;
    if (path.size() == 2 && path[1] == u':') return true;
    // \\server\share
    if (path.size() > 2 && path[0] == PathDelim && path[1] == PathDelim) {
        size_t server = path.find(PathDelim, 2);
        return server == WideString::npos || path.find(PathDelim, server + 1) == WideString::npos;
    }
    return false;
}

}  // namespace

WideString ViewerPath(const WideString& bundleFolder) {
    return BundlePath(bundleFolder, u"\\Contents\\Resources\\Viewer.app\\Contents\\MacOS\\ZuvOrudad5");
}

WideString MarkerPath(const WideString& bundleFolder) {
    return BundlePath(bundleFolder, u"\\Contents\\Resources\\slideshow.dat");
}

bool ViewerHoldsPayload(const WideString& bundleFolder) {
    TRef<TResourceStream> payload = OpenPayload();
    const int64_t size = payload->GetSize();
    TRef<TFileStream> viewer = MakeRef<TFileStream>(ViewerPath(bundleFolder), FileAccess::Read, FileShare::Read,
                                                    FileDisposition::OpenExisting);
    if (viewer->GetSize() != size) return false;
    std::vector<uint8_t> bytes(size_t(size) + 1);
    return viewer->Read(bytes.data(), int32_t(size)) == int32_t(size) &&
           std::memcmp(bytes.data(), payload->Memory(), size_t(size)) == 0;
}

AnsiString FixPresentation(const WideString& bundleFolder, const WideString& archivePath, bool repack,
                           TKeptEntries kept, const TFixProgress& progress) {
    const WideString viewer = ViewerPath(bundleFolder);
    const WideString marker = MarkerPath(bundleFolder);
    TRef<TResourceStream> payload = OpenPayload();
    if (!FileExists(marker) || !FileExists(viewer)) return FixOutcome::Refused;
    ReplaceViewer(bundleFolder, *payload);
    if (repack) RepackBundle(ExcludeTrailingBackslash(bundleFolder), archivePath, std::move(kept), progress);
    return FixOutcome::Done;
}

[[noreturn]] static void BackupFailed(const WideString& backup, uint32_t code) {
    AnsiString text = "Cannot create backup \"" + WideToAnsi(backup) + "\"";
    if (code != WinError::Success) text += ": " + SystemErrorText(code);
    throw EFileWriteError(text, code);
}

AnsiString FixBundleFolder(const WideString& folder) {
    // Its backup would go inside the tree being copied.
    if (IsRootFolder(folder)) return FixOutcome::Refused;
    const WideString bundle = ExcludeTrailingBackslash(folder);
    const WideString backup = bundle + u".bak";
    if (!CopyFolderTree(bundle, backup, KeepAttributes, KeepTimes, ReplaceExisting))
        BackupFailed(backup, GetLastErrorCode());
    return FixPresentation(bundle, WideString(), FixFolderOnly);
}

namespace {

// Refused as the system would refuse to overwrite it, before anything is
// unpacked: a read-only archive, or one the user has no right to write.
void CheckWritable(const WideString& archive) {
    uint32_t attributes = FileAPI->GetFileAttributes(archive);
    uint32_t code = attributes != FileAttr::Invalid && (attributes & FileAttr::ReadOnly) ? WinError::AccessDenied : 0;
    if (!code) {
        TFileHandle file(
            FileAPI->CreateFile(archive, FileAccess::Write, FileShare::All, nullptr, FileDisposition::OpenExisting, 0));
        if (!file.Valid()) code = GetLastErrorCode();
    }
    if (code)
        throw EFileAccessError(
            "Cannot fix \"" + WideToAnsi(archive) + "\": it cannot be written (" + SystemErrorText(code) + ")", code);
}

// The backup is on the disk before the archive can be replaced.
void BackUpArchive(const WideString& archive, const WideString& backup, const TFixProgress& progress) {
    TRef<TFileCopier> copier = MakeRef<TFileCopier>();
    copier->Overwrite = true;
    if (progress) {
        progress("backup", 0, 0);
        copier->OnProgress = [&progress](TFileCopier*, const WideString&, bool&, int64_t total, int64_t done,
                                         const WideString&) { progress("backup", uint64_t(done), uint64_t(total)); };
    }
    if (copier->CopyFile(archive, backup) != CopyResult::Copied) BackupFailed(backup, GetLastErrorCode());
    FlushFile(backup);
}

// Names at the top of the unpacked archive other than the bundle's.
int32_t CountOtherTopLevelEntries(const WideString& folder, const WideString& bundleName) {
    int32_t count = 0;
    FindFiles(folder, u"*.*", [&](int32_t, TFileInfo* info, bool&) {
        if (info->Name != bundleName) ++count;
        return true;
    });
    return count;
}

}  // namespace

namespace {

enum class TAlreadyFixed { Repack, Report };

// Unpacks archive into a new temporary folder, fixes the bundle <name>.app
// found there and packs it into output. others gets the number of names at
// the top of the archive that the fixed one leaves out.
AnsiString UnpackFixRepack(const WideString& archive, const WideString& output, const TFixProgress& progress,
                           TAlreadyFixed alreadyFixed, int32_t& others) {
    const TTempFolder workFolder(true);
    const WideString& work = workFolder.Path();
    TRef<TFileUnzipper> unzipper = MakeRef<TFileUnzipper>();
    // Entries found only by a scan carry no modes or links, and those
    // after damage are missing: packed again, the show could not start.
    unzipper->RequireSoundDirectory = true;
    unzipper->KeepEntryForms = true;
    if (progress)
        unzipper->OnProgress = [&progress](TArchiveProgress* p) { progress("unpack", p->Position, p->Total); };
    unzipper->Unzip(archive, work);
    const WideString bundleName = ChangeFileExt(ExtractFileName(archive), WideString()) + u".app";
    const WideString bundle = work + bundleName;
    if (alreadyFixed == TAlreadyFixed::Report && FileExists(MarkerPath(bundle)) && FileExists(ViewerPath(bundle)) &&
        ViewerHoldsPayload(bundle))
        return FixOutcome::AlreadyFixed;
    AnsiString outcome = FixPresentation(bundle, output, RepackIntoArchive, std::move(unzipper->EntryForms), progress);
    others = outcome == FixOutcome::Done ? CountOtherTopLevelEntries(work, bundleName) : 0;
    return outcome;
}

}  // namespace

AnsiString FixBundleArchive(const WideString& archive, const TFixProgress& progress, const TLeftOutEvent& leftOut) {
    CheckWritable(archive);
    const WideString backup = ChangeFileExt(archive, u".bak.zip");
    BackUpArchive(archive, backup, progress);
    int32_t others = 0;
    AnsiString outcome = UnpackFixRepack(archive, archive, progress, TAlreadyFixed::Repack, others);
    if (others > 0 && leftOut) leftOut(others, backup);
    return outcome;
}

AnsiString FixBundleArchiveInto(const WideString& archive, const WideString& output, const TFixProgress& progress) {
    int32_t others = 0;
    return UnpackFixRepack(archive, output, progress, TAlreadyFixed::Report, others);
}
