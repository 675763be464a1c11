#include "SendArchive.h"
#include <exception>
#include "Archivers/Zip/FileZipper.h"
#include "Backups.h"
#include "FileSystem/FileAPI.h"
#include "FileSystem/StagedReplace.h"
#include "Foundation/CaseFolding.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"

bool ReadyToSend(const TFixResult& result) {
    return !result.BundleFolder.empty() && (result == TOutcome::Done || result == TOutcome::AlreadyFixed);
}

WideString ArchiveToSend(const WideString& picked, const TFixResult& result) {
    if (!result.ToSend.empty()) return result.ToSend;
    return result.BundleFolder.empty() && (result == TOutcome::Done || result == TOutcome::AlreadyFixed) ? picked
                                                                                                         : WideString();
}

WideString MakeArchiveToSend(const WideString& bundleFolder, const TFixProgress& progress) {
    const WideString bundle = ExcludeTrailingBackslash(PickedPath(bundleFolder));
    WideString name = ExtractFileName(bundle);
    const WideString app = u".app";
    if (name.size() > app.size() && CompareText(name.substr(name.size() - app.size()), app, true) == 0)
        name.resize(name.size() - app.size());
    if (name.empty()) throw EFileOpenError(TPathText{"\"", bundle, "\" is no bundle folder"}, WinError::AccessDenied);
    const WideString stem = ExtractFilePath(bundle, true) + name, suffix = u".zip";

    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    // The zipper stops through its flag; what progress raised is raised
    // once it has cleaned up.
    std::exception_ptr stopped;
    if (progress)
        zipper->OnProgress = [&](TFileZipper*, const AnsiString&, bool& stop, int32_t count, int32_t index) {
            try {
                progress(TFixStage::Writing, uint64_t(index), uint64_t(count));
            } catch (...) {
                stopped = std::current_exception();
                stop = true;
            }
        };
    WideString made;
    try {
        zipper->ZipFoldersWith({bundle}, TFileZipper::WithFolderName, [&](const TFileZipper::TZipWrite& write) {
            made = WriteThroughStagedFile(stem + suffix, write, [&](const WideString& staged) {
                return FirstFreeName(
                    stem, suffix, [&staged](const WideString& free) { return PlaceStagedFile(staged, free); },
                    "archive");
            });
        });
    } catch (const EFileError&) {
        throw;
    } catch (const Exception& e) {
        if (stopped) std::rethrow_exception(stopped);
        // A stream's failure names no file.
        throw EFileWriteError(TPathText{"Cannot make the archive to send \"", stem + suffix, "\": " + e.Message()},
                              e.SystemCode());
    }
    if (made.empty()) throw EFileOpenError(TPathText{"\"", bundle, "\" holds no file to send"}, WinError::FileNotFound);
    return made;
}
