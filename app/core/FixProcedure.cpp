#include "FixProcedure.h"
#include "ArchiveInspection.h"
#include "Archivers/Zip/FileUnzipper.h"
#include "Backups.h"
#include "BundleLayout.h"
#include "FileSystem/FileAPI.h"
#include "FileSystem/FileModes.h"
#include "FileSystem/StagedReplace.h"
#include "FileSystem/TempFolders.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"
#include "Foundation/Normalization.h"
#include "Foundation/SysError.h"
#include "Payload.h"
#include "Repack.h"
#include "Streams/FileStream.h"
#include "Streams/Streams.h"
#include "ViewerEntry.h"

namespace {

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

// The path from the bundle on: in the ZIP mode the folder above it is a
// temporary one.
AnsiString ShownInBundle(const WideString& bundleFolder, const WideString& path) {
    return WideToAnsi(path.substr(ExtractFilePath(ExcludeTrailingBackslash(bundleFolder), true).size()));
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
        uint32_t code = ErrorCodeOf(e);
        AnsiString cause = code != WinError::Success ? SystemErrorText(code) : e.Message();
        throw EFileWriteError("Cannot write the viewer \"" + ShownInBundle(bundleFolder, viewer) + "\": " + cause,
                              code);
    }
}

[[noreturn]] void RefuseLinkedViewerFolder(const AnsiString& shown) {
    throw EFileAccessError("The viewer's folder \"" + shown +
                               "\" is a link; the viewer is written only inside the bundle, so nothing was changed",
                           WinError::AccessDenied);
}

// The viewer is written only inside the bundle: none of the folders on its
// way may be a link, which could lead anywhere.
void CheckViewerInsideBundle(const WideString& bundleFolder) {
    const WideString viewer = ViewerPath(bundleFolder);
    for (size_t end = ExcludeTrailingBackslash(bundleFolder).size() + 1;
         (end = viewer.find(PathDelim, end)) != WideString::npos; ++end) {
        const WideString path = viewer.substr(0, end);
        TRef<TFileInfo> info = GetFileInfo(path);
        if (IsLinkEntry(info->Attributes, info->ReparseTag))
            RefuseLinkedViewerFolder(ShownInBundle(bundleFolder, path));
    }
}

bool HoldsPresentation(const WideString& bundleFolder) {
    return FileExists(MarkerPath(bundleFolder)) && FileExists(ViewerPath(bundleFolder));
}

bool ViewerIsPayload(const WideString& bundleFolder, TResourceStream& payload) {
    const WideString viewer = ViewerPath(bundleFolder);
    TRef<TFileStream> in = MakeRef<TFileStream>(viewer, FileAccess::Read, FileShare::Read | FileShare::Write,
                                                FileDisposition::OpenExisting);
    return in->GetSize() == payload.GetSize() && StreamHoldsPayload(*in, payload);
}

// What the user picked, where it really is: a link is followed (and stays
// a link), and ".." after a link means what the system means by it.
WideString PickedPath(const WideString& given) {
    if (given.empty()) throw EFileOpenError("No file or folder was given", WinError::FileNotFound);
    WideString resolved = ResolveLinks(given);
    if (resolved.empty()) {
        uint32_t code = GetLastErrorCode();
        if (code == WinError::FileNotFound || code == WinError::PathNotFound)
            throw EFileOpenError("\"" + WideToAnsi(given) + "\" was not found", code);
        throw EFileOpenError("\"" + WideToAnsi(given) + "\" cannot be opened: " + SystemErrorText(code), code);
    }
    return resolved;
}

}  // namespace

// Paths inside the bundle are written as in an archive, with '\'.
WideString ViewerPath(const WideString& bundleFolder) {
    return JoinPath(bundleFolder, NativePath(WideString(ViewerInBundle)));
}

WideString MarkerPath(const WideString& bundleFolder) {
    return JoinPath(bundleFolder, NativePath(WideString(MarkerInBundle)));
}

WideString DescribeFix(const TFixResult& result, TBackupMention mention) {
    WideString notes;
    if (!result.Bundle.empty()) notes = u"fixed " + result.Bundle;
    if (!result.Backup.empty() && (mention == TBackupMention::Always || !result.UsualBackupName))
        notes += (notes.empty() ? u"" : u"; ") + (u"backup: " + ExtractFileName(result.Backup));
    return AnsiToWide(result.Outcome) + (notes.empty() ? WideString() : u" (" + notes + u")");
}

AnsiString FixPresentation(const WideString& bundleFolder, const WideString& archivePath, bool repack,
                           TKeptEntries kept, const TFixProgress& progress) {
    TRef<TResourceStream> payload = OpenPayload();
    if (!HoldsPresentation(bundleFolder)) return FixOutcome::Refused;
    CheckViewerInsideBundle(bundleFolder);
    if (ViewerIsPayload(bundleFolder, *payload)) return FixOutcome::AlreadyFixed;
    ReplaceViewer(bundleFolder, *payload);
    if (repack) RepackBundle(ExcludeTrailingBackslash(bundleFolder), archivePath, std::move(kept), progress);
    return FixOutcome::Done;
}

TFixResult FixBundleFolder(const WideString& folder, const TFixProgress& progress) {
    // Its backup would go inside the tree being copied.
    if (!folder.empty() && IsRootFolder(folder)) return FixOutcome::Refused;
    const WideString bundle = ExcludeTrailingBackslash(PickedPath(folder));
    if (IsRootFolder(bundle)) return FixOutcome::Refused;
    TRef<TResourceStream> payload = OpenPayload();
    if (!HoldsPresentation(bundle)) return FixOutcome::Refused;
    CheckViewerInsideBundle(bundle);
    if (ViewerIsPayload(bundle, *payload)) return FixOutcome::AlreadyFixed;
    TFixResult result;
    result.Backup = BackUpFolder(bundle, progress);
    result.UsualBackupName = result.Backup == bundle + u".bak";
    result.Outcome = FixPresentation(bundle, WideString(), FixFolderOnly);
    return result;
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

// What an archive holds, before anything is copied: a damaged one raises,
// and one holding no presentation or an already fixed one ends the fix.
TFixResult Inspect(const WideString& archive, TArchiveShow& show) {
    TRef<TResourceStream> payload = OpenPayload();
    show = InspectArchive(archive, *payload);
    if (show.Bundle.empty()) return FixOutcome::Refused;
    if (show.AlreadyFixed) return FixOutcome::AlreadyFixed;
    TFixResult result;
    const WideString expected = ChangeFileExt(ExtractFileName(archive), WideString()) + u".app";
    if (!SameCanonicalText(show.Bundle, expected)) result.Bundle = show.Bundle;
    return result;
}

// Unpacks archive into a new temporary folder, fixes the bundle there and
// packs it into output. others gets the number of names at the top of the
// archive that the fixed one leaves out.
AnsiString UnpackFixRepack(const WideString& archive, const WideString& bundleName, const WideString& output,
                           const TFixProgress& progress, int32_t& others) {
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
    AnsiString outcome =
        FixPresentation(work + bundleName, output, RepackIntoArchive, std::move(unzipper->EntryForms), progress);
    others = outcome == FixOutcome::Done ? CountOtherTopLevelEntries(work, bundleName) : 0;
    return outcome;
}

}  // namespace

TFixResult FixBundleArchive(const WideString& given, const TFixProgress& progress, const TLeftOutEvent& leftOut) {
    const WideString archive = PickedPath(given);
    CheckWritable(archive);
    TArchiveShow show;
    TFixResult result = Inspect(archive, show);
    if (!result.Outcome.empty()) return result;
    result.Backup = BackUpArchive(archive, progress);
    result.UsualBackupName = result.Backup == ChangeFileExt(archive, u".bak.zip");
    int32_t others = 0;
    result.Outcome = UnpackFixRepack(archive, show.Bundle, archive, progress, others);
    if (others > 0 && leftOut) leftOut(others, result.Backup);
    return result;
}

TFixResult FixBundleArchiveInPlace(const WideString& archive, const TFixProgress& progress) {
    TArchiveShow show;
    TFixResult result = Inspect(archive, show);
    if (!result.Outcome.empty()) return result;
    if (!show.LinkedViewerFolder.empty()) RefuseLinkedViewerFolder(WideToAnsi(show.LinkedViewerFolder));
    // Every entry is read as the unpacking fix reads it: damage anywhere is
    // reported, not carried into a result called whole.
    TRef<TFileUnzipper> unzipper = MakeRef<TFileUnzipper>();
    unzipper->RequireSoundDirectory = true;
    if (progress)
        unzipper->OnProgress = [&progress](TArchiveProgress* p) { progress("unpack", p->Position, p->Total); };
    unzipper->Verify(archive);
    TRef<TResourceStream> payload = OpenPayload();
    ReplaceViewerEntry(archive, show.Bundle, *payload, progress);
    result.Outcome = FixOutcome::Done;
    return result;
}
