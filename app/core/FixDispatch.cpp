#include "FixDispatch.h"
#include "FileSystem/FileAPI.h"
#include "Foundation/CaseFolding.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"

TPickedKind KindOfPicked(const WideString& path) {
    if (DirectoryExists(path)) return TPickedKind::Folder;
    if (!FileExists(path)) return TPickedKind::Missing;
    return CompareText(ExtractFileExt(path), u".zip", true) == 0 ? TPickedKind::Archive : TPickedKind::OtherFile;
}

TFixResult FixPicked(const WideString& path, const TFixProgress& progress, const TLeftOutEvent& leftOut) {
    switch (KindOfPicked(path)) {
    case TPickedKind::Folder: return FixBundleFolder(path, progress);
    case TPickedKind::Archive: return FixBundleArchive(path, progress, leftOut);
    case TPickedKind::OtherFile: return FixOutcome::Refused;
    default: throw EFileOpenError("\"" + WideToAnsi(path) + "\" was not found", WinError::FileNotFound);
    }
}

TFixTally FixPaths(const std::vector<WideString>& paths, const TPathFix& fix, const TPathEndEvent& ended) {
    TFixTally tally;
    for (const WideString& path : paths) {
        if (KindOfPicked(path) == TPickedKind::Missing) {
            tally.Missing++;
            ended({path, nullptr, nullptr});
            continue;
        }
        try {
            const TFixResult result = fix(path);
            (result == FixOutcome::Done           ? tally.Fixed
             : result == FixOutcome::AlreadyFixed ? tally.AlreadyFixed
                                                  : tally.Refused)++;
            ended({path, &result, nullptr});
        } catch (const EAbort&) {
            throw;
        } catch (const std::exception& e) {
            tally.Failed++;
            ended({path, nullptr, &e});
        }
    }
    return tally;
}
