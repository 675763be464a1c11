#include "Archivers/Zip/FileZipper.h"
#include <algorithm>
#include <memory>
#include "Archivers/Zip/PackWorkers.h"
#include "Archivers/Zip/ZipArchive.h"
#include "FileSystem/FileAPI.h"
#include "FileSystem/StagedReplace.h"
#include "Foundation/CodePages.h"
#include "Foundation/ScopeExit.h"
#include "Foundation/SysError.h"
#include "Foundation/Threads.h"
#include "Streams/FileStream.h"

namespace {
// Selects Deflate for every entry.
constexpr int SaveLevel = 3;
int32_t ChosenWorkers = 0;
}  // namespace

int32_t DefaultZipWorkers() {
    return ChosenWorkers > 0 ? ChosenWorkers : std::min(UsableProcessorCount(), MaxZipWorkers);
}

void SetDefaultZipWorkers(int32_t count) { ChosenWorkers = std::max(count, 0); }

// Takes each file's packed data from the workers instead of packing it.
class TFileZipper::TWorkerFedArchive : public TZipArchive {
public:
    explicit TWorkerFedArchive(TFileZipper* zipper) : FZipper(zipper) {}

    TPackWorkers* Workers = nullptr;  // none: the save packs every file itself

    bool CopyPackedItem(TArchItem* item, TStream* dest, uint32_t& crc, uint64_t& size) override {
        int32_t index = FZipper->IndexOf(item);
        if (!Workers || index < 0) return false;
        bool stop = FZipper->Announce(index);
        TPackWorkers::TPacked packed = Workers->CopyPacked(index, dest, [this, item](int64_t done) {
            CallBack->FileProgress->SetPosition(uint64_t(done));
            if (item->SourceSize > 0) CallBack->TotalProgress->SetPosition(BytesDone + uint64_t(done));
        });
        crc = packed.Crc32;
        size = packed.Size;
        if (stop) CallBack->SetAborted(true);
        return true;
    }

private:
    TFileZipper* FZipper;
};

TFileZipper::TFileZipper() : Files(MakeRef<TStringList>()), Workers(DefaultZipWorkers()) {}

void TFileZipper::Dispose() {
    Files.Reset();
    TRefObject::Dispose();
}

void TFileZipper::Zip(const WideString& zipPath, const WideString& folder, bool withFolderName) {
    ZipFolders(zipPath, {folder}, withFolderName);
}

// Depth first, in the file system's listing order; folders add nothing.
// A link to a folder is kept as a link: followed, it would store its
// contents twice, or without end for a loop.
void TFileZipper::CollectFiles(const WideString& folder) {
    TRef<TList> listing = MakeRef<TList>();
    try {
        FindFiles(folder, u"*.*", FileInfoCollector(listing.Get()));
        for (int32_t i = 0; i < listing->Count(); ++i) {
            TFileInfo* info = listing->Item<TFileInfo>(i);
            WideString path = JoinPath(folder, info->Name);
            bool link = info->IsFolder && IsLinkEntry(info->Attributes, info->ReparseTag);
            if (info->IsFolder && !link) {
                CollectFiles(path);
                continue;
            }
            int32_t index = Files->Add(path);
            if (!link) continue;
            WideString target;
            if (!FileAPI->GetReparseTarget(path, target))
                throw EFileError("Cannot read the link \"" + WideToAnsi(path) + "\"", GetLastErrorCode());
            FLinks[index] = WideToUtf8(StoredPath(ArchivePath(target)));
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
    FLinks.clear();
    TScopeExit dropLinks([this] { FLinks.clear(); });
    for (const WideString& folder : folders) CollectFiles(ExcludeTrailingBackslash(folder));
    if (Files->GetCount() == 0) return;

    TRef<TDefaultCallBack> callback = MakeRef<TDefaultCallBack>();
    callback->OnPackItem = [this](TArchiveCallBack* sender, TStream* stream) { PackItem(sender, stream); };
    if (OnSaveProgress) callback->TotalProgress->OnChange = OnSaveProgress;
    TRef<TWorkerFedArchive> archive = MakeRef<TWorkerFedArchive>(this);
    archive->CallBack = callback.Get();
    TScopeExit dropIndex([this] {
        FIndexOf.clear();
        FIndexOf.shrink_to_fit();
    });
    AddFiles(archive.Get(), base);
    ReplaceThroughStagedFile(zipPath, [&](const WideString& staged) {
        TRef<TFileStream> file =
            MakeRef<TFileStream>(staged, FileAccess::ReadWrite, FileShare::Read, FileDisposition::CreateAlways);
        archive->SetStream(file.Get());
        TScopeExit dropStream([&archive] { archive->SetStream(nullptr); });
        std::unique_ptr<TPackWorkers> workers;
        const TPackStreamClass* packer = archive->Packer(ZipMethod::Deflated);
        if (Workers > 1 && Files->GetCount() > 1 && packer) {
            workers = std::make_unique<TPackWorkers>(
                Files->GetCount(), [this](int32_t index, TStream* stream) { WriteSource(index, stream); }, packer,
                int8_t(SaveLevel), std::min(Workers, Files->GetCount()), WaitingMemory);
            archive->Workers = workers.get();
        }
        TScopeExit dropWorkers([&archive] { archive->Workers = nullptr; });
        archive->Save(SaveLevel);
        workers.reset();
        file->Close();
        KeepAttributesOf(zipPath, staged);
    });
}

void TFileZipper::AddFiles(TZipArchive* archive, const WideString& base) {
    FIndexOf.clear();
    FIndexOf.reserve(size_t(Files->GetCount()));
    for (int32_t i = 0; i < Files->GetCount(); ++i) {
        WideString path = Files->GetString(i);
        WideString name = path.substr(base.size());
        // Inside an archive '\' and '/' separate folders: a name holding
        // one (possible on POSIX) would come back as another file.
        for (WideChar c : name)
            if (c != PathDelim && (c == u'\\' || c == u'/'))
                throw EArchiveError("Cannot store \"" + WideToAnsi(path) +
                                    "\" in a ZIP archive: its name holds a '\\' or '/', which ZIP takes as a folder "
                                    "separator");
        TRef<TFileInfo> info = GetFileInfo(path);
        // The size known up front lets the save's progress move as it packs.
        auto link = FLinks.find(i);
        int64_t size = link == FLinks.end() ? info->Size : int64_t(link->second.size());
        TArchItem* item = archive->AddFile(ArchivePath(name), size);
        if (!item)
            throw EArchiveError("Cannot store \"" + WideToAnsi(path) +
                                "\" in a ZIP archive: its name has no place there");
        item->CreatedTime = info->CreationTime;
        item->AccessedTime = info->LastAccessTime;
        item->ModifiedTime = info->LastWriteTime;
        TZipItem* entry = archive->Structure->Entry(archive->Structure->Count() - 1);
        KeepEntryForm(entry);
        if (link != FLinks.end()) {
            entry->HostSystem = ZipHost::Unix;
            entry->ExternalAttributes = UnixMode::SymbolicLink << 16;
        }
        Files->SetObject(i, item);
        FIndexOf.emplace_back(item, i);
    }
    std::sort(FIndexOf.begin(), FIndexOf.end());
}

void TFileZipper::KeepEntryForm(TZipItem* entry) {
    const TEntryForm* form = EntryForms.Find(entry->Item->Path());
    if (!form) return;
    if (form->HasUnixMode) {
        entry->HostSystem = ZipHost::Unix;
        entry->ExternalAttributes = form->UnixMode;
    }
    if (!form->NameBytes.empty()) entry->NameBytes = form->NameBytes;
    entry->Flags = uint16_t(form->Utf8Flag ? entry->Flags | ZipFlag::Utf8 : entry->Flags & ~ZipFlag::Utf8);
}

int32_t TFileZipper::IndexOf(TArchItem* item) const {
    auto found = std::lower_bound(FIndexOf.begin(), FIndexOf.end(), std::make_pair((const TArchItem*)item, 0));
    return found != FIndexOf.end() && found->first == item ? found->second : -1;
}

bool TFileZipper::Announce(int32_t index) {
    bool stop = false;
    if (OnProgress) OnProgress(this, WideToAnsi(Files->GetString(index)), stop, Files->GetCount(), index);
    return stop;
}

void TFileZipper::PackItem(TArchiveCallBack* callback, TStream* stream) {
    int32_t index = IndexOf(callback->CurrentItem);
    if (index < 0) return;
    bool stop = Announce(index);
    WriteSource(index, stream);
    if (stop) callback->SetAborted(true);
}

void TFileZipper::WriteSource(int32_t index, TStream* stream) const {
    auto link = FLinks.find(index);
    if (link == FLinks.end()) PackFileInto(Files->GetString(index), stream);
    else stream->WriteBuffer(link->second.data(), int32_t(link->second.size()));
}
