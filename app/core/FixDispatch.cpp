#include "FixDispatch.h"
#include "FileSystem/FileAPI.h"
#include "Foundation/CaseFolding.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"

TPickedKind KindOfPicked(const WideString& path) {
    if (DirectoryExists(path)) return TPickedKind::Folder;
    if (!FileExists(path)) return TPickedKind::Missing;
    return CompareText(ExtractFileExt(path), u".zip", true) == 0 ? TPickedKind::Archive : TPickedKind::OtherFile;
}

TFixResult FixPicked(const WideString& path, const TFixProgress& progress) {
    return FixOrCheckPicked(path, progress, TFixMode::Fix);
}

TFixResult FixOrCheckPicked(const WideString& path, const TFixProgress& progress, TFixMode mode) {
    switch (KindOfPicked(path)) {
    case TPickedKind::Folder: return FixBundleFolder(path, progress, mode);
    case TPickedKind::Archive: return FixBundleArchive(path, progress, mode);
    case TPickedKind::OtherFile: {
        TFixResult refused(TOutcome::Refused);
        refused.Notes.push_back(
            "this is neither a folder nor a ZIP archive: pick the show's folder (Show.app) or "
            "the ZIP archive it came in (Show.zip)");
        return refused;
    }
    default: throw EFileOpenError(TPathText{"\"", path, "\" was not found"}, WinError::FileNotFound);
    }
}

namespace {

int& CountOf(TFixTally& tally, const TFixResult& result) {
    switch (result.Outcome) {
    case TOutcome::Done: return tally.Fixed;
    case TOutcome::AlreadyFixed: return tally.AlreadyFixed;
    case TOutcome::NeedsFixing: return tally.NeedsFixing;
    case TOutcome::Restored: return tally.Restored;
    case TOutcome::NothingToRestore: return tally.NothingToRestore;
    case TOutcome::Refused:
    case TOutcome::BackupDamaged:
    case TOutcome::Pending: break;
    }
    return tally.Refused;  // a damaged backup too
}

}  // namespace

TFixTally FixPaths(const std::vector<WideString>& paths, const TPathFix& fix, TFixListener& listener) {
    const TFixProgress progress = [&listener](TFixStage stage, uint64_t done, uint64_t total) {
        listener.Progress(stage, done, total);
    };
    TFixTally tally;
    for (const WideString& path : paths) {
        if (KindOfPicked(path) == TPickedKind::Missing) {
            tally.Missing++;
            listener.Ended({path, nullptr, nullptr});
            continue;
        }
        try {
            const TFixResult result = fix(path, progress);
            CountOf(tally, result)++;
            if (result == TOutcome::Done && !result.NewViewer) tally.PermissionsOnly++;
            listener.Ended({path, &result, nullptr});
        } catch (const EAbort&) {
            throw;
        } catch (const std::exception& e) {
            tally.Failed++;
            listener.Ended({path, nullptr, &e});
        }
    }
    return tally;
}
