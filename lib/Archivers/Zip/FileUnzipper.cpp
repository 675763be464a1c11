#include "FileUnzipper.h"
#include "CodePages.h"
#include "FileAPI.h"
#include "FileStream.h"
#include "ZipArchive.h"

namespace {

// Names are checked as the directory is read: the tree quietly drops names
// it cannot place (a leading separator), and those must be refused too.
class TCheckedZipArchive : public TZipArchive {
public:
    TArchItem* CreateItem(const WideString& path, bool isFolder) override {
        CheckEntryName(path);
        return TZipArchive::CreateItem(path, isFolder);
    }
};

}  // namespace

void TFileUnzipper::Unzip(const WideString& zipPath, const WideString& destFolder) {
    DestFolder = IncludeTrailingBackslash(destFolder);
    UnixModes.clear();
    TRef<TZipArchive> archive = MakeRef<TCheckedZipArchive>();
    TRef<TDefaultCallBack> callback = MakeRef<TDefaultCallBack>();
    callback->OnExtractItem = [this](TArchiveCallBack* sender, TStream* stream) { ExtractItem(sender, stream); };
    if (OnProgress) callback->TotalProgress->OnChange = OnProgress;
    archive->CallBack = callback.Get();
    TRef<TFileStream> file = MakeRef<TFileStream>(zipPath, FileAccess::Read, (uint8_t)FileShare::Read,
                                                  (uint8_t)FileDisposition::OpenExisting);
    archive->SetStream(file.Get());
    archive->Open();
    for (int32_t i = 0; i < archive->Structure->Count(); ++i) {
        TZipItem* entry = archive->Structure->Entry(i);
        CheckEntryName(entry->Name);
        if (entry->HostSystem == ZipHost::Unix && entry->Item && !entry->Item->IsFolder())
            UnixModes[entry->Item->Path] = entry->ExternalAttributes;
    }
    archive->MarkExtract();
    archive->Extract();
}

void TFileUnzipper::ExtractItem(TArchiveCallBack* callback, TStream* stream) {
    TArchItem* item = callback->CurrentItem;
    WideString target = DestFolder + NativePath(item->Path);
    ForceDirectories(ExtractFilePath(target, false));
    {
        TRef<TFileStream> out = MakeRef<TFileStream>(target, FileAccess::Write, (uint8_t)FileShare::Read,
                                                     (uint8_t)FileDisposition::CreateAlways);
        // An unpack stream does not stop at the item's end by itself.
        if (out->CopyFrom(stream, int64_t(item->Size)) != int64_t(item->Size))
            throw EArchiveBroken("Unexpected end of data in \"" + WideToAnsi(item->Path) + "\"");
        out->Close();
    }
    try {
        SetFileTimes(target, item->CreatedTime, item->AccessedTime, item->ModifiedTime);
    } catch (...) {
        // The times are a courtesy; the content is what counts.
    }
}
