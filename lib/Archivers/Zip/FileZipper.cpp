#include "Archivers/Zip/FileZipper.h"
#include <algorithm>
#include <memory>
#include "Archivers/Zip/EntryModes.h"
#include "Archivers/Zip/PackWorkers.h"
#include "Archivers/Zip/ZipArchive.h"
#include "FileSystem/FileAPI.h"
#include "FileSystem/FileModes.h"
#include "FileSystem/StagedReplace.h"
#include "Formats/MachO.h"
#include "Foundation/CodePages.h"
#include "Foundation/ScopeExit.h"
#include "Foundation/SysError.h"
#include "Foundation/Threads.h"
#include "Streams/FileStream.h"

namespace {
// Selects Deflate for every entry.
constexpr int SaveLevel = 3;
int32_t ChosenWorkers = 0;

// The mode a file or folder is stored with (EntryModes.h); whether a file
// is a program is read only where that changes its mode.
uint32_t StoredMode(const WideString& path, bool folder) {
    const uint32_t own = UnixModeOf(path);
    const bool program = !folder && ProgramWouldGain(own) && IsProgramFile(ProgramHead(path), InMacOSFolder(path));
    return ModeToStore(own, folder, program);
}
}  // namespace

int32_t DefaultZipWorkers() {
    return ChosenWorkers > 0 ? ChosenWorkers : std::min(UsableProcessorCount(), MaxZipWorkers);
}

void SetDefaultZipWorkers(int32_t count) { ChosenWorkers = std::max(count, 0); }

// Takes each file's packed data from the workers instead of packing it.
class TFileZipper::TWorkerFedArchive : public TZipArchive {
public:
    // Names equal but for case are different files where the file system
    // can hold both.
    explicit TWorkerFedArchive(TFileZipper* zipper) : FZipper(zipper) { IgnoreCase = false; }

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

// Depth first, each folder before what it holds, in name order: the same on
// every file system. A link stays a link: followed, a link to a folder would
// store its contents twice, or without end for a loop, and one to a file
// would come back as a copy.
void TFileZipper::CollectEntries(const WideString& folder, std::vector<TSource>& sources) {
    TRef<TObjectList> listing = MakeRef<TObjectList>();
    std::vector<TSource> children;
    FindFiles(folder, u"*.*", FileInfoCollector(listing.Get()));
    for (int32_t i = 0; i < listing->Count(); ++i) {
        TFileInfo* info = listing->Item<TFileInfo>(i);
        TSource child{JoinPath(folder, info->Name), info->IsFolder};
        if (IsLinkEntry(info->Attributes, info->ReparseTag)) {
            WideString target;
            if (!FileAPI->GetReparseTarget(child.Path, target))
                throw EFileError(TPathText{"Cannot read the link \"", child.Path, "\""}, GetLastErrorCode());
            child.IsFolder = false;
            child.IsLink = true;
            child.LinkTarget = WideToUtf8(StoredPath(ArchivePath(target)));
        }
        children.push_back(std::move(child));
    }
    // Not kept while the folders below are listed.
    listing.Reset();
    std::sort(children.begin(), children.end(), [](const TSource& a, const TSource& b) { return a.Path < b.Path; });
    for (TSource& child : children) {
        bool descend = child.IsFolder;
        WideString path = child.Path;
        sources.push_back(std::move(child));
        if (descend) CollectEntries(path, sources);
    }
}

void TFileZipper::ZipFolders(const WideString& zipPath, const std::vector<WideString>& folders, bool withFolderName) {
    ZipFoldersWith(folders, withFolderName, [&zipPath](const TZipWrite& write) {
        ReplaceThroughStagedFile(zipPath, [&](const WideString& staged) {
            write(staged);
            KeepAttributesOf(zipPath, staged);
        });
    });
}

void TFileZipper::ZipFoldersWith(const std::vector<WideString>& folders, bool withFolderName,
                                 const std::function<void(const TZipWrite& write)>& place) {
    if (folders.empty()) return;
    WideString first = ExcludeTrailingBackslash(folders[0]);
    WideString base = withFolderName ? ExtractFilePath(first, true) : IncludeTrailingBackslash(first);
    Files->Clear();
    FLinks.clear();
    TScopeExit dropLinks([this] { FLinks.clear(); });
    std::vector<TSource> sources;
    for (const WideString& folder : folders) {
        if (withFolderName) sources.push_back({ExcludeTrailingBackslash(folder), true});
        CollectEntries(ExcludeTrailingBackslash(folder), sources);
    }
    for (const TSource& source : sources) {
        if (source.IsFolder) continue;
        int32_t index = Files->Add(source.Path);
        if (source.IsLink) FLinks[index] = source.LinkTarget;
    }
    if (Files->GetCount() == 0) return;

    TRef<TDefaultCallBack> callback = MakeRef<TDefaultCallBack>();
    callback->OnPackItem = [this](TArchiveCallBack* sender, TStream* stream) { PackItem(sender, stream); };
    TRef<TWorkerFedArchive> archive = MakeRef<TWorkerFedArchive>(this);
    archive->CallBack = callback.Get();
    TScopeExit dropIndex([this] {
        FIndexOf.clear();
        FIndexOf.shrink_to_fit();
    });
    AddEntries(archive.Get(), sources, base);
    place([&](const WideString& staged) {
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
    });
}

void TFileZipper::AddEntries(TZipArchive* archive, const std::vector<TSource>& sources, const WideString& base) {
    FIndexOf.clear();
    FIndexOf.reserve(size_t(Files->GetCount()));
    int32_t fileIndex = 0;
    for (const TSource& source : sources) {
        WideString name = source.Path.substr(base.size());
        // Inside an archive '\' and '/' separate folders: a name holding
        // one (possible on POSIX) would come back as another file.
        for (WideChar c : name)
            if (c != PathDelim && (c == u'\\' || c == u'/'))
                throw EArchiveError(TPathText{"Cannot store \"", source.Path,
                                              "\" in a ZIP archive: its name holds a '\\' or '/', which ZIP takes "
                                              "as a folder separator"});
        WideString path = ArchivePath(name);
        TRef<TFileInfo> info = GetFileInfo(source.Path);
        // The size known up front lets the save's progress move as it packs.
        int64_t size = source.IsLink ? int64_t(source.LinkTarget.size()) : info->Size;
        TArchItem* item = source.IsFolder ? archive->AddFolderEntry(path) : archive->AddFile(path, size);
        if (!item)
            throw EArchiveError(
                TPathText{"Cannot store \"", source.Path, "\" in a ZIP archive: its name has no place there"});
        item->CreatedTime = info->CreationTime;
        item->AccessedTime = info->LastAccessTime;
        item->ModifiedTime = info->LastWriteTime;
        // Unix modes, so that a Mac unpacks programs it can start.
        TZipItem* entry = archive->Structure()->Entry(archive->Structure()->Count() - 1);
        entry->HostSystem = ZipHost::Unix;
        entry->ExternalAttributes =
            UnixExternalAttributes(source.IsLink ? UnixMode::SymbolicLink : StoredMode(source.Path, source.IsFolder));
        if (source.IsFolder) continue;
        Files->SetObject(fileIndex, item);
        FIndexOf.emplace_back(item, fileIndex++);
    }
    std::sort(FIndexOf.begin(), FIndexOf.end());
}

int32_t TFileZipper::IndexOf(TArchItem* item) const {
    auto found = std::lower_bound(FIndexOf.begin(), FIndexOf.end(), std::make_pair((const TArchItem*)item, 0));
    return found != FIndexOf.end() && found->first == item ? found->second : -1;
}

bool TFileZipper::Announce(int32_t index) {
    bool stop = false;
    if (OnProgress) OnProgress(this, WideToUtf8(Files->GetString(index)), stop, Files->GetCount(), index);
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
