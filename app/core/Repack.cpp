#include "Repack.h"
#include "Archivers/Zip/FileZipper.h"
#include "FileSystem/FileAPI.h"
#include "FixProcedure.h"

namespace {

// The viewer's path in the archive tree, as the zipper names entries.
WideString ViewerEntry(const WideString& bundleFolder) {
    WideString parent = ExtractFilePath(bundleFolder, true);
    return ArchivePath(ViewerPath(bundleFolder).substr(parent.size()));
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
    // The zipper puts the new archive in place only when it is whole, with
    // the old one's attributes.
    zipper->Zip(archivePath, bundleFolder, TFileZipper::WithFolderName);
}
