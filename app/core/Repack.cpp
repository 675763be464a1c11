#include "Repack.h"
#include "Archivers/Zip/FileZipper.h"
#include "FileSystem/FileAPI.h"
#include "FileSystem/FileModes.h"
#include "FixProcedure.h"
#include "StagedReplace.h"

namespace {

// The viewer's path in the archive tree, as the zipper names entries.
WideString ViewerEntry(const WideString& bundleFolder) {
    WideString parent = ExtractFilePath(bundleFolder, true);
    return ArchivePath(ViewerPath(bundleFolder).substr(parent.size()));
}

// The new file would otherwise get the default mode: a private archive
// would come back readable by everyone.
void KeepAttributes(const WideString& archivePath, const WideString& staged) {
    uint32_t attributes = FileAPI->GetFileAttributes(archivePath);
    if (attributes != FileAttr::Invalid) FileAPI->SetFileAttributes(staged, attributes);
    CopyPermissions(archivePath, staged);
}

}  // namespace

void RepackBundle(const WideString& bundleFolder, const WideString& archivePath, TKeptEntries kept,
                  const TFixProgress& progress) {
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->EntryForms = std::move(kept);
    zipper->EntryForms.Renew(ViewerEntry(bundleFolder), UnixMode::Program << 16);
    zipper->FolderEntriesAsKept = true;
    if (progress)
        zipper->OnSaveProgress = [&progress](TArchiveProgress* p) { progress("pack", p->Position, p->Total); };
    ReplaceThroughStagedFile(archivePath, [&](const WideString& staged) {
        zipper->Zip(staged, bundleFolder, TFileZipper::WithFolderName);
        KeepAttributes(archivePath, staged);
    });
}
