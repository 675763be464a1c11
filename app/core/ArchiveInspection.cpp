#include "ArchiveInspection.h"
#include "Archivers/Zip/EntryModes.h"
#include "Archivers/Zip/FileUnzipper.h"
#include "Archivers/Zip/ZipArchive.h"
#include "BundleLayout.h"
#include "FileSystem/FileAPI.h"
#include "Foundation/CaseFolding.h"
#include "Foundation/Normalization.h"
#include "Payload.h"
#include "Streams/FilterStream.h"

namespace {

// A file below a bundle folder by its '\'-separated path, one component at
// a time.
TArchItem* FindBelow(TArchItem* folder, const WideString& path) {
    // Case as the unpacked files will be found: exactly on POSIX, without
    // case on Windows.
    const bool ignoreCase = PathDelim == u'\\';
    size_t start = 0;
    for (size_t end; folder && (end = path.find(u'\\', start)) != WideString::npos; start = end + 1)
        folder = folder->FindFolder(path.substr(start, end - start), ignoreCase);
    return folder ? folder->FindItem(path.substr(start), ignoreCase) : nullptr;
}

bool HoldsPresentation(TArchItem* bundle) { return FindBelow(bundle, MarkerInBundle) && FindViewer(bundle); }

}  // namespace

TArchItem* FindViewer(TArchItem* bundle) { return FindBelow(bundle, ViewerInBundle); }

TZipItem* EntryOf(TZipArchive* archive, TArchItem* item) {
    for (int32_t i = 0; i < archive->Structure->Count(); ++i)
        if (archive->Structure->Entry(i)->Item == item) return archive->Structure->Entry(i);
    return nullptr;
}

std::vector<TArchItem*> ViewerTwins(TZipArchive* archive, TArchItem* viewer) {
    std::vector<TArchItem*> twins;
    const WideString path = viewer->Path();
    for (int32_t i = 0; i < archive->Structure->Count(); ++i) {
        TArchItem* item = archive->Structure->Entry(i)->Item;
        if (item && item != viewer && !item->IsFolder() && CompareText(item->Path(), path, true) == 0)
            twins.push_back(item);
    }
    return twins;
}

namespace {

// A Unix link entry named like one of the folders between the bundle and
// the viewer: unpacked on a Mac, the viewer would be written where it leads.
WideString LinkedViewerFolder(TZipArchive* archive, TArchItem* bundle, TArchItem* viewer) {
    for (int32_t i = 0; i < archive->Structure->Count(); ++i) {
        TZipItem* entry = archive->Structure->Entry(i);
        if (!entry->Item || entry->HostSystem != ZipHost::Unix || !UnixMode::IsLink(entry->ExternalAttributes >> 16))
            continue;
        for (TArchItem* folder = viewer->GetParent(); folder && folder != bundle; folder = folder->GetParent())
            if (CompareText(entry->Item->Path(), folder->Path(), true) == 0) return StoredPath(entry->Item->Path());
    }
    return WideString();
}

TArchItem* ChooseBundle(TZipArchive* archive, const WideString& wanted) {
    TArchItem* sameButCase = nullptr;
    int32_t sameButCaseCount = 0;
    for (int32_t i = 0; i < archive->FolderCount(); ++i) {
        TArchItem* folder = archive->Folder(i);
        if (SameCanonicalText(folder->Name, wanted)) return folder;
        if (CompareText(DecomposeCanonical(folder->Name), DecomposeCanonical(wanted), true) == 0) {
            sameButCase = folder;
            ++sameButCaseCount;
        }
    }
    if (sameButCaseCount == 1) return sameButCase;
    // A browser saves a second download as "Show (1).zip".
    TArchItem* only = nullptr;
    for (int32_t i = 0; i < archive->FolderCount(); ++i) {
        TArchItem* folder = archive->Folder(i);
        if (CompareText(ExtractFileExt(folder->Name), u".app", true) != 0 || !HoldsPresentation(folder)) continue;
        if (only) return nullptr;
        only = folder;
    }
    return only;
}

// Size and checksum first; when both match, the entry is unpacked and
// compared byte for byte, so that a checksum collision fixes nothing wrongly.
bool ViewerIsPayload(TZipArchive* archive, TArchItem* viewer, TResourceStream& payload) {
    TZipItem* entry = EntryOf(archive, viewer);
    const int64_t size = payload.GetSize();
    if (!entry || !entry->SizesKnown || int64_t(viewer->Size) != size || !ViewerTwins(archive, viewer).empty())
        return false;
    TRef<TCrc32Stream> crc = MakeRef<TCrc32Stream>();
    crc->Update(TConstByteSpan(static_cast<const uint8_t*>(payload.Memory()), size_t(size)), 0, int32_t(size));
    if (crc->GetCrc() != entry->Crc32) return false;

    bool same = false;
    TRef<TDefaultCallBack> callback = MakeRef<TDefaultCallBack>();
    callback->OnExtractItem = [&](TArchiveCallBack*, TStream* stream) { same = StreamHoldsPayload(*stream, payload); };
    // A damaged viewer is no fixed one: the fix goes on and meets the damage.
    callback->OnError = [&](TArchiveCallBack*, const AnsiString&) { same = false; };
    callback->OnHeaderError = callback->OnError;
    TArchiveCallBack* own = archive->CallBack;
    archive->CallBack = callback.Get();
    viewer->MarkExtract();
    try {
        archive->Extract();
    } catch (const Exception&) {
        same = false;
    }
    archive->CallBack = own;
    return same;
}

}  // namespace

TArchiveShow InspectArchive(const WideString& archive, TResourceStream& payload) {
    TArchiveShow show;
    TRef<TFileUnzipper> unzipper = MakeRef<TFileUnzipper>();
    unzipper->RequireSoundDirectory = true;
    unzipper->Inspect(archive, [&](TZipArchive* zip) {
        const WideString wanted = ChangeFileExt(ExtractFileName(archive), WideString()) + u".app";
        TArchItem* bundle = ChooseBundle(zip, wanted);
        if (!bundle || !HoldsPresentation(bundle)) return;
        TArchItem* viewer = FindViewer(bundle);
        show.Bundle = bundle->Name;
        show.LinkedViewerFolder = LinkedViewerFolder(zip, bundle, viewer);
        show.AlreadyFixed = show.LinkedViewerFolder.empty() && ViewerIsPayload(zip, viewer, payload);
    });
    return show;
}
