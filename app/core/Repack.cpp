#include "Repack.h"
#include "CodePages.h"
#include "Exceptions.h"
#include "FileAPI.h"
#include "Archivers/Zip/FileZipper.h"
#include "FixProcedure.h"
#include "SysError.h"

namespace {

// The viewer's path in the archive tree, as the zipper names entries.
WideString ViewerEntry(const WideString& bundleFolder) {
    WideString parent = ExtractFilePath(bundleFolder, true);
    return ArchivePath(ViewerPath(bundleFolder).substr(parent.size()));
}

}  // namespace

void RepackBundle(const WideString& bundleFolder, const WideString& archivePath, const TEntryModes& modes,
                  const TFixProgress& progress) {
    const WideString staged = archivePath + u".new";
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->UnixModes = modes;
    zipper->UnixModes[ViewerEntry(bundleFolder)] = UnixMode::Program << 16;
    if (progress)
        zipper->OnSaveProgress = [&progress](TArchiveProgress* p) { progress("pack", p->Position, p->Total); };
    try {
        zipper->Zip(staged, bundleFolder, true);
        FileAPI->SetFileAttributes(archivePath, FileAttr::Normal);
        if (!FileAPI->MoveFile(staged, archivePath, MoveFlag::ReplaceExisting)) {
            uint32_t code = GetLastErrorCode();
            throw EFileAccessError("Cannot replace \"" + WideToAnsi(archivePath) + "\": " + SystemErrorText(code), code);
        }
    } catch (...) {
        try {
            DeleteFile(staged);
        } catch (...) {
        }
        throw;
    }
}
