#include "FixProcedure.h"
#include "CodePages.h"
#include "Exceptions.h"
#include "FileAPI.h"
#include "FileCopier.h"
#include "Archivers/Zip/FileUnzipper.h"
#include "FileModes.h"
#include "FileStream.h"
#include "Repack.h"
#include "StagedReplace.h"
#include "Streams.h"
#include "SysError.h"
#include "TempFolders.h"

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
        throw EStreamWriteError("Cannot write the viewer program");
}

// The new viewer is written beside the old one and moved over it only when
// complete, so a failed write never leaves the bundle without a viewer.
void ReplaceViewer(const WideString& viewer, TResourceStream& payload) {
    ReplaceThroughStagedFile(viewer, [&payload](const WideString& staged) {
        TRef<TFileStream> out = MakeRef<TFileStream>(staged, FileAccess::Write, (uint8_t)FileShare::None,
                                                     (uint8_t)FileDisposition::CreateAlways);
        WriteAll(*out, payload);
        out->Close();
        MakeProgramFile(staged);  // where the file system keeps no modes, the Mac decides
    });
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

AnsiString FixPresentation(const WideString& bundleFolder, const WideString& archivePath, bool repack,
                           const TEntryModes& modes, const TFixProgress& progress) {
    const WideString viewer = ViewerPath(bundleFolder);
    const WideString marker = MarkerPath(bundleFolder);
    TRef<TResourceStream> payload = OpenPayload();
    if (!FileExists(marker) || !FileExists(viewer)) return FixOutcome::Refused;
    ReplaceViewer(viewer, *payload);
    if (repack) RepackBundle(ExcludeTrailingBackslash(bundleFolder), archivePath, modes, progress);
    return FixOutcome::Done;
}

[[noreturn]] static void BackupFailed(const WideString& backup) {
    throw EFileWriteError("Cannot create backup \"" + WideToAnsi(backup) + "\"", GetLastErrorCode());
}

AnsiString FixBundleFolder(const WideString& folder) {
    // Its backup would go inside the tree being copied.
    if (IsRootFolder(folder)) return FixOutcome::Refused;
    const WideString bundle = ExcludeTrailingBackslash(folder);
    const WideString backup = bundle + u".bak";
    if (!CopyFolderTree(bundle, backup, true, true, true)) BackupFailed(backup);
    return FixPresentation(bundle, WideString(), false);
}

AnsiString FixBundleArchive(const WideString& archive, const TFixProgress& progress) {
    const WideString backup = ChangeFileExt(archive, u".bak.zip");
    if (progress) progress("backup", 0, 0);
    if (CopyOneFile(archive, backup, true, true, true) != CopyResult::Copied) BackupFailed(backup);

    const WideString work = CreateTempFolder(true);
    struct TWorkFolder {
        WideString Path;
        ~TWorkFolder() { DeleteTempFolder(Path); }
    } cleanUp{work};
    TRef<TFileUnzipper> unzipper = MakeRef<TFileUnzipper>();
    if (progress)
        unzipper->OnProgress = [&progress](TArchiveProgress* p) { progress("unpack", p->Position, p->Total); };
    unzipper->Unzip(archive, work);
    const WideString base = ChangeFileExt(ExtractFileName(archive), WideString());
    return FixPresentation(work + base + u".app", archive, true, unzipper->UnixModes, progress);
}
