#include "ViewerEntry.h"
#include "ArchiveInspection.h"
#include "Archivers/Zip/EntryModes.h"
#include "Archivers/Zip/ZipArchive.h"
#include "Foundation/Clock.h"
#include "Foundation/Exceptions.h"
#include "Streams/FileStream.h"

namespace {

// The level the zipper packs at.
constexpr int ViewerLevel = 3;

}  // namespace

void ReplaceViewerEntry(const WideString& archive, const WideString& bundle, TResourceStream& payload,
                        const TFixProgress& progress) {
    TRef<TFileStream> file =
        MakeRef<TFileStream>(archive, FileAccess::ReadWrite, FileShare::Read, FileDisposition::OpenExisting);
    TRef<TDefaultCallBack> callback = MakeRef<TDefaultCallBack>();
    callback->OnPackItem = [&payload](TArchiveCallBack*, TStream* stream) {
        stream->WriteBuffer(payload.Memory(), int32_t(payload.GetSize()));
    };
    if (progress)
        callback->TotalProgress->OnChange = [&progress](TArchiveProgress* p) {
            progress("pack", p->Position, p->Total);
        };
    TRef<TZipArchive> zip = MakeRef<TZipArchive>();
    zip->CallBack = callback.Get();
    zip->SetStream(file.Get());
    zip->Open();

    TArchItem* viewer = FindViewer(zip->FindFolder(bundle, false));
    TZipItem* entry = viewer ? EntryOf(zip.Get(), viewer) : nullptr;
    // The archive was inspected just before; only a change in between gets here.
    if (!entry) throw EArchiveError("The viewer of \"" + WideToAnsi(bundle) + "\" is no longer in the archive");
    // One viewer comes out, whatever twins the archive held.
    for (TArchItem* twin : ViewerTwins(zip.Get(), viewer)) twin->MarkDelete();
    viewer->SetSourceSize(payload.GetSize());
    viewer->ModifiedTime = viewer->AccessedTime = viewer->CreatedTime = LocalNow();
    // What described the old file goes with it; a Mac starts the new one
    // only with its program mode.
    entry->HostSystem = ZipHost::Unix;
    entry->ExternalAttributes = UnixMode::Program << 16;
    entry->ExternalKept = true;
    entry->LocalExtra.clear();
    entry->CentralExtra.clear();
    zip->Save(ViewerLevel);
    file->Close();
}
