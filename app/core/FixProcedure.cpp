#include "FixProcedure.h"
#include <algorithm>
#include <memory>
#include "Archivers/Zip/EntryModes.h"
#include "Archivers/Zip/ZipEntryChecks.h"
#include "Backups.h"
#include "BundleRules.h"
#include "FileSystem/FileAPI.h"
#include "FileSystem/FileModes.h"
#include "FileSystem/StagedReplace.h"
#include "Foundation/CaseFolding.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"
#include "Foundation/Normalization.h"
#include "Foundation/SysError.h"
#include "Payload.h"
#include "Resealing.h"
#include "ShowArchive.h"
#include "ShowEdits.h"
#include "Streams/FileStream.h"
#include "Streams/OverlayStream.h"
#include "Streams/Streams.h"

namespace {

// Writes size bytes at data beside path and moves them over it only when
// complete, so a failed write never leaves the bundle without the file;
// a program gets its program mode first.
void ReplaceWithBytes(const WideString& path, const void* data, int64_t size, bool program) {
    ReplaceThroughStagedFile(path, [&](const WideString& staged) {
        TRef<TFileStream> out =
            MakeRef<TFileStream>(staged, FileAccess::Write, FileShare::None, FileDisposition::CreateAlways);
        if (size > 0 && out->Write(data, (int32_t)size) != (int32_t)size)
            throw EFileWriteError("Cannot write \"" + WideToUtf8(ExtractFileName(path)) + "\"", GetLastErrorCode());
        out->Close();
        if (program) MakeProgramFile(staged);  // where the file system keeps no modes, the Mac decides
    });
}

// The path from the bundle on, as the user knows it.
AnsiString ShownInBundle(const WideString& bundleFolder, const WideString& path) {
    return WideToUtf8(path.substr(ExtractFilePath(ExcludeTrailingBackslash(bundleFolder), true).size()));
}

void ReplaceViewer(const WideString& bundleFolder, TResourceStream& payload) {
    const WideString viewer = ViewerPath(bundleFolder);
    try {
        ReplaceWithBytes(viewer, payload.Memory(), payload.GetSize(), true);
    } catch (const Exception& e) {
        // The cause in words, without the path of a staged file the user never made.
        uint32_t code = e.SystemCode();
        AnsiString cause = code != WinError::Success ? SystemErrorText(code) : e.Message();
        throw EFileWriteError("Cannot write the viewer \"" + ShownInBundle(bundleFolder, viewer) + "\": " + cause,
                              code);
    }
}

// The viewer, and where the show is signed again its seal (through a
// staged file, as the viewer) and its launcher's signature (in place: the
// backup holds the original).
void WriteResealed(const WideString& bundleFolder, const TResealing& resealing) {
    ReplaceViewer(bundleFolder, *resealing.Viewer);
    if (resealing.Seal.empty()) return;
    const WideString seal = JoinPath(bundleFolder, NativePath(WideString(SealInBundle)));
    const WideString launcher = JoinPath(bundleFolder, NativePath(resealing.Launcher));
    try {
        ReplaceWithBytes(seal, resealing.Seal.data(), int64_t(resealing.Seal.size()), false);
        TRef<TFileStream> out =
            MakeRef<TFileStream>(launcher, FileAccess::Write, FileShare::None, FileDisposition::OpenExisting);
        ApplyPatches(*out, resealing.LauncherPatches);
        out->Close();
    } catch (const Exception& e) {
        uint32_t code = e.SystemCode();
        throw EFileWriteError("Cannot sign \"" + ShownInBundle(bundleFolder, launcher) +
                                  "\" again: " + (code != WinError::Success ? SystemErrorText(code) : e.Message()),
                              code);
    }
}

// A bundle folder on the disk, as the bundle rules see it: names are what
// the file system makes of them.
class TBundleFolder : public TBundleView {
public:
    explicit TBundleFolder(const WideString& bundle) : FBundle(ExcludeTrailingBackslash(bundle)) {}

    int32_t FilesAt(const WideString& path) override { return FileExists(Full(path)) ? 1 : 0; }
    bool LinkAt(const WideString& path) override {
        TRef<TFileInfo> info = GetFileInfo(Full(path));
        return IsLinkEntry(info->Attributes, info->ReparseTag);
    }
    bool HoldsPayload(const WideString& path, TResourceStream& payload) override {
        TRef<TFileStream> in = OpenShared(Full(path));
        return in->GetSize() == payload.GetSize() && StreamHoldsPayload(*in, payload);
    }
    AnsiString Shown(const WideString& path) override { return ShownInBundle(FBundle, Full(path)); }
    bool FolderAt(const WideString& path) override { return DirectoryExists(Full(path)); }
    std::vector<WideString> FilesIn(const WideString& folder) override { return Listed(folder, false); }
    std::vector<WideString> FoldersIn(const WideString& folder) override { return Listed(folder, true); }
    bool Read(const WideString& path, const std::function<void(TStream& data)>& read) override {
        if (!FileExists(Full(path))) return false;
        try {
            read(*OpenShared(Full(path)));
        } catch (const Exception&) {
            return false;
        }
        return true;
    }

    // Programs of the bundle (BundleRules.h) no one may execute, links not
    // followed; none where the file system keeps no such permission.
    std::vector<WideString> ProgramsWithoutPermission() {
        std::vector<WideString> programs;
        Collect(FBundle, programs);
        return programs;
    }
    // The same test for a file whose first bytes are known (the backup
    // copy read them): the viewer is written as a program anyway.
    bool LacksPermission(const WideString& path, const std::string& head) const {
        return path != ViewerPath(FBundle) && IsProgramFile(head, InMacOSFolder(path)) && LacksExecutePermission(path);
    }

private:
    WideString Full(const WideString& path) const { return JoinPath(FBundle, NativePath(path)); }
    std::vector<WideString> Listed(const WideString& folder, bool folders) {
        std::vector<WideString> names;
        if (!DirectoryExists(Full(folder))) return names;
        FindFiles(Full(folder), u"*.*", [&](int32_t, TFileInfo* info, bool&) {
            // A link to a folder is not followed.
            if (info->IsFolder == folders && !(folders && IsLinkEntry(info->Attributes, info->ReparseTag)))
                names.push_back(info->Name);
            return true;
        });
        return names;
    }
    // Read while others may go on writing: only what it holds is looked at.
    static TRef<TFileStream> OpenShared(const WideString& path) {
        return MakeRef<TFileStream>(path, FileAccess::Read, FileShare::Read | FileShare::Write,
                                    FileDisposition::OpenExisting);
    }

    // A folder that cannot be listed is left to the backup, which says why.
    void Collect(const WideString& folder, std::vector<WideString>& programs) try {
        FindFiles(folder, u"*.*", [&](int32_t, TFileInfo* info, bool&) {
            const WideString path = JoinPath(folder, info->Name);
            // A staged file a cut left goes before the viewer is written.
            if (IsLinkEntry(info->Attributes, info->ReparseTag) || IsStagedName(info->Name)) return true;
            if (info->IsFolder) Collect(path, programs);
            // Asked first without opening the file.
            else if (LacksExecutePermission(path) && LacksPermission(path, ProgramHead(path))) programs.push_back(path);
            return true;
        });
    } catch (const EFileError&) {
    }

    const WideString FBundle;
};

}  // namespace

WideString PickedPath(const WideString& given) {
    if (given.empty()) throw EFileOpenError("No file or folder was given", WinError::FileNotFound);
    WideString resolved = ResolveLinks(given);
    if (resolved.empty()) {
        uint32_t code = GetLastErrorCode();
        if (code == WinError::FileNotFound || code == WinError::PathNotFound)
            throw EFileOpenError(TPathText{"\"", given, "\" was not found"}, code);
        throw EFileOpenError(TPathText{"\"", given, "\" cannot be opened: " + SystemErrorText(code)}, code);
    }
    return resolved;
}

// Paths inside the bundle are written as in an archive, with '\'.
WideString ViewerPath(const WideString& bundleFolder) {
    return JoinPath(bundleFolder, NativePath(WideString(ViewerInBundle)));
}

WideString MarkerPath(const WideString& bundleFolder) {
    return JoinPath(bundleFolder, NativePath(WideString(MarkerInBundle)));
}

TBundleState JudgeBundleFolder(const WideString& bundleFolder) {
    TBundleFolder view(bundleFolder);
    TResealing resealing;
    return JudgeBundle(view, *OpenPayload(), resealing);
}

const char* OutcomeText(TOutcome outcome) {
    switch (outcome) {
    case TOutcome::Done: return "Done!";
    // Deliberate spelling: the text stays as it has always been shown.
    case TOutcome::Refused: return "Slideshow damaged or made not in NVX 8.0";
    case TOutcome::AlreadyFixed: return "Already fixed";
    case TOutcome::NeedsFixing: return "Needs fixing";
    case TOutcome::Restored: return "Restored";
    case TOutcome::NothingToRestore: return "Nothing to restore";
    case TOutcome::BackupDamaged: return "Backup damaged";
    case TOutcome::Pending: break;
    }
    return "";
}

WideString DescribeFix(const TFixResult& result, TBackupMention mention) {
    WideString notes;
    auto note = [&notes](const WideString& text) { notes += (notes.empty() ? u"" : u"; ") + text; };
    if (!result.Bundle.empty()) note(u"fixed " + result.Bundle);
    if (result.Programs > 0)
        note(Utf8ToWide("execute permission " + AnsiString(result == TOutcome::NeedsFixing ? "missing" : "restored") +
                        " on " + std::to_string(result.Programs) + (result.Programs == 1 ? " program" : " programs")));
    if (!result.Backup.empty() && (mention == TBackupMention::Always || !result.UsualBackupName))
        note(result == TOutcome::Restored        ? u"from " + ExtractFileName(result.Backup)
             : result == TOutcome::BackupDamaged ? ExtractFileName(result.Backup)
                                                 : u"backup: " + ExtractFileName(result.Backup));
    if (!result.ToSend.empty()) note(u"to send: " + ExtractFileName(result.ToSend));
    if (!result.Kept.empty())
        note((result.KeptFixed ? u"fixed show kept as " : u"show kept as ") + ExtractFileName(result.Kept));
    return Utf8ToWide(OutcomeText(result.Outcome)) + (notes.empty() ? WideString() : u" (" + notes + u")");
}

WideString DescribeFixAndNotes(const TFixResult& result, TBackupMention mention, const WideString& lineBreak,
                               TCommandMention commands) {
    WideString text = DescribeFix(result, mention);
    for (const AnsiString& note : result.Notes) text.append(lineBreak).append(u"Note: ").append(Utf8ToWide(note));
    if (commands == TCommandMention::Included && !result.Commands.empty())
        text.append(lineBreak).append(DescribeCommands(result, lineBreak));
    return text;
}

WideString DescribeCommands(const TFixResult& result, const WideString& lineBreak) {
    if (result.Commands.empty()) return WideString();
    WideString text = u"In Terminal on the Mac, in the folder that holds the show:";
    for (const AnsiString& command : result.Commands)
        text.append(lineBreak).append(u"    ").append(Utf8ToWide(command));
    return text;
}

TOutcome FixPresentation(const WideString& bundleFolder) {
    TRef<TResourceStream> payload = OpenPayload();
    TBundleFolder view(bundleFolder);
    TResealing resealing;
    switch (JudgeBundle(view, *payload, resealing)) {
    case TBundleState::NotAPresentation: return TOutcome::Refused;
    case TBundleState::AlreadyFixed: return TOutcome::AlreadyFixed;
    case TBundleState::NeedsFix: break;
    }
    WriteResealed(bundleFolder, resealing);
    return TOutcome::Done;
}

namespace {

// What a check foresees of a fix's writes, raised as the fix would raise it
// (failed names what it makes): that a file can be made in probeFolder (a
// staged file, made and removed at once) and that its disk has bytes to
// spare.
void ForeseeWrite(const WideString& probeFolder, const TPathText& failed, uint64_t bytes) {
    const WideString probe = StagedName(JoinPath(probeFolder, u".nvxfix-probe"));
    uint32_t code = WinError::Success;
    {
        TFileHandle file(
            FileAPI->CreateFile(probe, FileAccess::Write, FileShare::None, nullptr, FileDisposition::CreateNew, 0));
        if (!file.Valid()) code = GetLastErrorCode();
    }
    if (code == WinError::Success) FileAPI->DeleteFile(probe);
    uint64_t available = 0;
    if (code == WinError::Success && FileAPI->GetAvailableSpace(probeFolder, available) && available < bytes)
        code = WinError::DiskFull;
    if (code != WinError::Success && code != WinError::FileExists)
        throw EFileWriteError(TPathText{failed.Before, failed.Path, failed.After + SystemErrorText(code)}, code);
}

TFixResult Refusal(const std::vector<WideString>& shows, SeveralShowsIn where) {
    TFixResult refused(TOutcome::Refused);
    refused.SeveralShows = shows.size() > 1;
    if (refused.SeveralShows) refused.Notes.push_back(SeveralShowsNote(shows, where));
    return refused;
}

bool NamedAsBundle(const WideString& folder) { return CompareText(ExtractFileExt(folder), u".app", true) == 0; }

// The folders right in folder that hold a presentation, by name; links
// are not followed, backups are no shows.
std::vector<WideString> ShowsIn(const WideString& folder) {
    std::vector<WideString> shows;
    FindFiles(folder, u"*.*", [&](int32_t, TFileInfo* info, bool&) {
        const WideString path = JoinPath(folder, info->Name);
        if (info->IsFolder && !IsLinkEntry(info->Attributes, info->ReparseTag) && !IsBackupName(info->Name, true) &&
            FileExists(MarkerPath(path)) && FileExists(ViewerPath(path)))
            shows.push_back(info->Name);
        return true;
    });
    std::sort(shows.begin(), shows.end());
    return shows;
}

}  // namespace

TFixResult FixBundleFolder(const WideString& folder, const TFixProgress& progress, TFixMode mode) {
    // Its backup would go inside the tree being copied.
    if (!folder.empty() && IsRootFolder(folder)) return TOutcome::Refused;
    const WideString bundle = ExcludeTrailingBackslash(PickedPath(folder));
    if (IsRootFolder(bundle)) return TOutcome::Refused;
    TRef<TResourceStream> payload = OpenPayload();
    TBundleFolder view(bundle);
    TResealing resealing;
    const TBundleState state = JudgeBundle(view, *payload, resealing);
    if (state == TBundleState::NotAPresentation) {
        // The folder a show was exported to, or the Desktop, holding one.
        const std::vector<WideString> shows =
            NamedAsBundle(bundle) || FileExists(MarkerPath(bundle)) ? std::vector<WideString>() : ShowsIn(bundle);
        if (shows.size() != 1) return Refusal(shows, SeveralShowsIn::Folder);
        TFixResult fixed = FixBundleFolder(JoinPath(bundle, shows[0]), progress, mode);
        if (fixed != TOutcome::AlreadyFixed) fixed.Bundle = shows[0];
        return fixed;
    }
    const bool newViewer = state == TBundleState::NeedsFix;
    // A new viewer decides the fix: the backup copy finds the programs on
    // its way, from the first bytes it reads anyway.
    const bool foundInBackup = newViewer && mode == TFixMode::Fix;
    std::vector<WideString> programs = foundInBackup ? std::vector<WideString>() : view.ProgramsWithoutPermission();
    TFixResult result(newViewer || !programs.empty() ? TOutcome::Done : TOutcome::AlreadyFixed);
    result.BundleFolder = bundle;
    result.Note(BundleNotes(view, ExtractFileName(bundle), newViewer, resealing));
    result.Programs = int32_t(programs.size());
    result.NewViewer = newViewer;
    if (result == TOutcome::AlreadyFixed) return result;
    if (mode == TFixMode::Check) {
        ForeseeWrite(ExtractFilePath(bundle, false), {"Cannot create backup \"", bundle + u".bak", "\": "},
                     TreeBytes(bundle) + uint64_t(payload->GetSize()));
        result.Outcome = TOutcome::NeedsFixing;
        return result;
    }
    const std::function<void(const WideString&, const std::string&)> found = [&](const WideString& file,
                                                                                 const std::string& head) {
        if (view.LacksPermission(file, head)) programs.push_back(file);
    };
    result.Backup = BackUpFolder(bundle, progress, ProgramHeadSize, foundInBackup ? found : nullptr);
    result.Programs = int32_t(programs.size());
    result.UsualBackupName = result.Backup == bundle + u".bak";
    if (newViewer) WriteResealed(bundle, resealing);
    for (const WideString& program : programs)
        if (!MakeProgramFile(program))
            throw EFileWriteError("Cannot make \"" + ShownInBundle(bundle, program) +
                                      "\" a program: " + SystemErrorText(GetLastErrorCode()),
                                  GetLastErrorCode());
    return result;
}

namespace {

// Refused as the system would refuse to overwrite it, before anything is
// read: a read-only archive, or one the user has no right to write.
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
            TPathText{"Cannot fix \"", archive, "\": it cannot be written (" + SystemErrorText(code) + ")"}, code);
}

// Refused or AlreadyFixed, or no outcome yet when the bundle needs a fix
// (newViewer: the viewer is to be written). The check is waited for where
// the modes to give decide that outcome, or the fix only checks; otherwise
// it goes on while the viewer is written (the save waits for it).
TFixResult Prepared(TJudgedShow& show, const WideString& archive, TFixMode mode, const TFixProgress& progress) {
    const TBundleState state = show.State();
    if (state == TBundleState::NotAPresentation) return Refusal(show.Bundles(), SeveralShowsIn::Archive);
    const bool newViewer = state == TBundleState::NeedsFix;
    TFixResult result;
    const WideString expected = ChangeFileExt(ExtractFileName(archive), WideString()) + u".app";
    if (!SameCanonicalText(show.Bundle(), expected)) result.Bundle = StoredPath(show.Bundle());
    result.NewViewer = newViewer;
    result.Note(show.Notes(newViewer));
    if (mode == TFixMode::Check || (!newViewer && show.ModesToJudge(false))) {
        show.FinishCheck(progress);
        result.Programs = show.ProgramsToMode(newViewer);
    }
    if (!newViewer && result.Programs == 0) {
        show.JudgeRecordsLeft();
        result.Outcome = TOutcome::AlreadyFixed;
        result.Bundle.clear();
    } else if (mode == TFixMode::Check) {
        result.Outcome = TOutcome::NeedsFixing;
    }
    return result;
}

}  // namespace

TFixResult FixBundleArchive(const WideString& given, const TFixProgress& progress, TFixMode mode) {
    const WideString archive = PickedPath(given);
    // A check foresees what stops the fix, as the fix would say it.
    CheckWritable(archive);
    TRef<TFileStream> file = OpenArchiveForReading(archive);
    TRef<TResourceStream> payload = OpenPayload();
    auto show = std::make_unique<TShowArchive>(file.Get(), archive);
    TJudgedShow judged = show->Judge(*payload);
    TFixResult result = Prepared(judged, archive, mode, progress);
    if (result == TOutcome::NeedsFixing) {
        // The staged copy is the archive with its new viewer.
        ForeseeWrite(ExtractFilePath(archive, false), {"Cannot create \"", StagedName(archive), "\": "},
                     uint64_t(file->GetSize() + payload->GetSize()));
    }
    if (result != TOutcome::Pending) return result;
    try {
        // The staged copy is the archive seen through what the save writes:
        // nothing is copied twice, and the archive itself is only read. It
        // is written while the check goes on where it can be; the backup
        // follows the check.
        ReplaceThroughStagedFile(archive, [&](const WideString& staged) {
            TRef<TFileStream> written =
                MakeRef<TFileStream>(staged, FileAccess::ReadWrite, FileShare::Read, FileDisposition::CreateAlways);
            written->WriteBehind = true;
            TRef<TOverlayStream> copy = MakeRef<TOverlayStream>(file.Get(), written.Get());
            result.Programs = TShowEdits(std::move(judged)).Save(copy.Get(), progress);
            copy->Flatten();
            copy.Reset();
            written->Close();
            result.Backup = BackUpArchive(archive, progress);
            result.UsualBackupName = result.Backup == ChangeFileExt(archive, u".bak.zip");
            // Its tree goes while the copy is on its way to the disk.
            show.reset();
            // Held no longer, the archive can be replaced.
            file->Close();
            KeepAttributesOf(archive, staged);
        });
    } catch (...) {
        // Held open, the archive could not lose a name.
        file->Close();
        RemoveBackup(result.Backup);
        throw;
    }
    result.Outcome = TOutcome::Done;
    return result;
}

TFixResult FixBundleArchiveOnTop(const WideString& archive, TStream* written, std::vector<TOverlayStretch>& layout,
                                 const TFixProgress& progress) {
    TRef<TFileStream> file = OpenArchiveForReading(archive);
    TRef<TResourceStream> payload = OpenPayload();
    TShowArchive show(file.Get(), archive, 1, {});
    TJudgedShow judged = show.Judge(*payload);
    TFixResult result = Prepared(judged, archive, TFixMode::Fix, progress);
    if (result != TOutcome::Pending) return result;
    TRef<TOverlayStream> fixed = MakeRef<TOverlayStream>(file.Get(), written, TCopyWithin::Recorded);
    result.Programs = TShowEdits(std::move(judged)).Save(fixed.Get(), progress);
    layout = fixed->Layout();
    result.Outcome = TOutcome::Done;
    return result;
}
