#include "Restore.h"
#include "Backups.h"
#include "FileSystem/FileAPI.h"
#include "FixDispatch.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"
#include "Payload.h"
#include "ShowArchive.h"
#include "Streams/FileStream.h"

namespace {

enum class TBackupState { FixedShow, Sound, Damaged };

struct TBackupCheck {
    TBackupState State;
    AnsiString Cause;  // of the damage, UTF-8
};

// A backup that needs no fix is a fixed show; one that holds no
// presentation is damaged.
TBackupCheck CheckOf(TBundleState state) {
    switch (state) {
    case TBundleState::AlreadyFixed: return {TBackupState::FixedShow, {}};
    case TBundleState::NotAPresentation: return {TBackupState::Damaged, "it holds no presentation"};
    case TBundleState::NeedsFix: break;
    }
    return {TBackupState::Sound, {}};
}

// Every entry against its checksum, as a fix checks an archive before it
// takes it; failing reads of the disk are failures, not damage.
TBackupCheck CheckArchiveBackup(const WideString& backup, const TFixProgress& progress) {
    try {
        TRef<TFileStream> file = OpenArchiveForReading(backup);
        TShowArchive show(file.Get(), backup);
        TJudgedShow judgedShow = show.Judge(*OpenPayload());
        const TBackupCheck judged = CheckOf(judgedShow.State());
        if (judged.State != TBackupState::Sound) return judged;
        judgedShow.FinishCheck(progress);
    } catch (const EArchiveAbort&) {
        throw;
    } catch (const EArchiveError& e) {
        return {TBackupState::Damaged, e.Message()};
    }
    return {TBackupState::Sound, {}};
}

// The newest backup that is no fixed show, as Restored or BackupDamaged.
TFixResult ChooseBackup(const std::vector<WideString>& backups,
                        const std::function<TBackupCheck(const WideString&)>& check) {
    for (auto backup = backups.rbegin(); backup != backups.rend(); ++backup) {
        const TBackupCheck checked = check(*backup);
        if (checked.State == TBackupState::FixedShow) continue;
        TFixResult result(checked.State == TBackupState::Sound ? TOutcome::Restored : TOutcome::BackupDamaged);
        result.Backup = *backup;
        if (!checked.Cause.empty()) result.Notes.push_back(checked.Cause);
        return result;
    }
    return TOutcome::NothingToRestore;
}

[[noreturn]] void CannotPutBack(const WideString& backup, uint32_t code) {
    throw EFileWriteError(TPathText{"Cannot put \"", backup, "\" back: " + SystemErrorText(code)}, code);
}

}  // namespace

TFixResult RestoreFolder(const WideString& folder, const TFixProgress&) {
    const WideString show = ExcludeTrailingBackslash(PickedPath(folder));
    TFixResult result = ChooseBackup(BackupsOf(show, true),
                                     [](const WideString& backup) { return CheckOf(JudgeBundleFolder(backup)); });
    if (result != TOutcome::Restored) return result;
    result.KeptFixed = JudgeBundleFolder(show) == TBundleState::AlreadyFixed;
    result.Kept = MoveToBackupName(show);
    if (!FileAPI->MoveFile(result.Backup, show, 0)) {
        const uint32_t code = GetLastErrorCode();
        FileAPI->MoveFile(result.Kept, show, 0);
        CannotPutBack(result.Backup, code);
    }
    FileAPI->FlushFolder(ExtractFilePath(show, false));
    return result;
}

TFixResult RestoreArchive(const WideString& given, const TFixProgress& progress) {
    const WideString archive = PickedPath(given);
    TFixResult result = ChooseBackup(BackupsOf(archive, false), [&progress](const WideString& backup) {
        return CheckArchiveBackup(backup, progress);
    });
    if (result != TOutcome::Restored) return result;
    result.KeptFixed = CheckArchiveBackup(archive, {}).State == TBackupState::FixedShow;
    // A second name where the file system has them, as a fix's backup.
    result.Kept = BackUpArchive(archive, progress);
    if (!FileAPI->ReplaceFile(result.Backup, archive)) {
        const uint32_t code = GetLastErrorCode();
        RemoveBackup(result.Kept);
        CannotPutBack(result.Backup, code);
    }
    FileAPI->FlushFolder(ExtractFilePath(archive, false));
    return result;
}

TFixResult RestorePicked(const WideString& path, const TFixProgress& progress) {
    switch (KindOfPicked(path)) {
    case TPickedKind::Folder: return RestoreFolder(path, progress);
    case TPickedKind::Archive: return RestoreArchive(path, progress);
    case TPickedKind::OtherFile: return TOutcome::Refused;
    default: PickedPath(path);  // raises that it is not there
    }
    return TOutcome::Refused;
}
