#include "Repack.h"
#include "FileAPI.h"
#include "Archivers/Zip/FileZipper.h"
#include "FixProcedure.h"
#include "StagedReplace.h"

namespace {

// The viewer's path in the archive tree, as the zipper names entries.
WideString ViewerEntry(const WideString& bundleFolder) {
    WideString parent = ExtractFilePath(bundleFolder, true);
    return ArchivePath(ViewerPath(bundleFolder).substr(parent.size()));
}

}  // namespace

void RepackBundle(const WideString& bundleFolder, const WideString& archivePath, const TEntryModes& modes,
                  const TFixProgress& progress) {
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->UnixModes = modes;
    zipper->UnixModes[ViewerEntry(bundleFolder)] = UnixMode::Program << 16;
    if (progress)
        zipper->OnSaveProgress = [&progress](TArchiveProgress* p) { progress("pack", p->Position, p->Total); };
    ReplaceThroughStagedFile(archivePath, [&](const WideString& staged) { zipper->Zip(staged, bundleFolder, true); });
}
