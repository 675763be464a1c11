#include "FileZipper.h"
#include "CodePages.h"
#include "FileAPI.h"
#include "FileStream.h"
#include "ZipArchive.h"

TFileZipper::TFileZipper() : Files(New<TStringList>()) {}

void TFileZipper::Dispose() {
    Free(Files);
    Files = nullptr;
    TRefObject::Dispose();
}

void TFileZipper::Zip(const WideString& zipPath, const WideString& folder, bool withFolderName) {
    ZipFolders(zipPath, {folder}, withFolderName);
}

// Depth first, in the file system's listing order; folders add nothing.
void TFileZipper::CollectFiles(const WideString& folder) {
    TRef<TList> listing = MakeRef<TList>();
    try {
        FindFiles(folder, u"*.*", FileInfoCollector(listing.Get()));
        for (int32_t i = 0; i < listing->Count(); ++i) {
            TFileInfo* info = listing->Item<TFileInfo>(i);
            WideString path = JoinPath(folder, info->Name);
            if (info->IsFolder)
                CollectFiles(path);
            else
                Files->Add(path);
        }
    } catch (...) {
        listing->FreeAll();
        throw;
    }
    listing->FreeAll();
}

void TFileZipper::ZipFolders(const WideString& zipPath, const std::vector<WideString>& folders, bool withFolderName) {
    if (folders.empty()) return;
    WideString first = ExcludeTrailingBackslash(folders[0]);
    WideString base = withFolderName ? ExtractFilePath(first, true) : IncludeTrailingBackslash(first);
    Files->Clear();
    for (const WideString& folder : folders) CollectFiles(ExcludeTrailingBackslash(folder));
    if (Files->GetCount() == 0) return;

    TRef<TDefaultCallBack> callback = MakeRef<TDefaultCallBack>();
    callback->OnPackItem = [this](TArchiveCallBack* sender, TStream* stream) { PackItem(sender, stream); };
    if (OnSaveProgress) callback->TotalProgress->OnChange = OnSaveProgress;
    TRef<TZipArchive> archive = MakeRef<TZipArchive>();
    TRef<TFileStream> file = MakeRef<TFileStream>(zipPath, FileAccess::ReadWrite, (uint8_t)FileShare::Read,
                                                  (uint8_t)FileDisposition::CreateAlways);
    archive->CallBack = callback.Get();
    archive->SetStream(file.Get());
    for (int32_t i = 0; i < Files->GetCount(); ++i) {
        WideString path = Files->GetString(i);
        TRef<TFileInfo> info = GetFileInfo(path);
        // The size known up front lets the save's progress move as it packs.
        TArchItem* item = archive->AddFile(ArchivePath(path.substr(base.size())), info->Size);
        item->CreatedTime = info->CreationTime;
        item->AccessedTime = info->LastAccessTime;
        item->ModifiedTime = info->LastWriteTime;
        KeepEntryForm(archive->Structure->Entry(archive->Structure->Count() - 1));
        Files->SetObject(i, item);
    }
    archive->Save(3);
    file->Close();
}

void TFileZipper::KeepEntryForm(TZipItem* entry) {
    auto mode = UnixModes.find(entry->Item->Path);
    if (mode != UnixModes.end()) {
        entry->HostSystem = ZipHost::Unix;
        entry->ExternalAttributes = mode->second;
    }
    auto name = StoredNames.find(entry->Item->Path);
    if (name != StoredNames.end()) {
        entry->NameBytes = name->second.Bytes;
        entry->Flags = uint16_t(name->second.Utf8Flag ? entry->Flags | ZipFlag::Utf8 : entry->Flags & ~ZipFlag::Utf8);
    }
}

void TFileZipper::PackItem(TArchiveCallBack* callback, TStream* stream) {
    int32_t index = -1;
    for (int32_t i = 0; i < Files->GetCount() && index < 0; ++i)
        if (Files->GetObject(i) == callback->CurrentItem) index = i;
    if (index < 0) return;
    bool stop = false;
    WideString path = Files->GetString(index);
    if (OnProgress) OnProgress(this, WideToAnsi(path), stop, Files->GetCount(), index);
    TRef<TFileStream> in = MakeRef<TFileStream>(path, FileAccess::Read, (uint8_t)FileShare::Read,
                                                (uint8_t)FileDisposition::OpenExisting);
    int64_t size = in->GetSize();
    if (stream->CopyFrom(in.Get(), size) != size) throw EStreamReadError("Cannot read \"" + WideToAnsi(path) + "\"");
    if (stop) callback->SetAborted(true);
}
