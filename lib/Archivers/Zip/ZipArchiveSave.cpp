// Saving in place: the blocks of removed and replaced entries cut out, new
// entries appended with their local headers finished, then the directory;
// all of it undone when a step fails.
#include <algorithm>
#include <optional>
#include <string>
#include "Archivers/Zip/ZipArchive.h"
#include "Archivers/Zip/ZipArchiveParts.h"
#include "FileSystem/TempFolders.h"
#include "Foundation/ErrorReport.h"
#include "Streams/FileStream.h"

using namespace ZipArchiveParts;

void TZipArchive::ReplaceEntry(TZipItem* entry, int64_t size, const TSystemTime& time, uint32_t unixMode) {
    TArchItem* item = entry->Item;
    item->SetSourceSize(size);
    item->ModifiedTime = item->AccessedTime = item->CreatedTime = time;
    entry->HostSystem = ZipHost::Unix;
    entry->ExternalAttributes = unixMode << 16;
    entry->CentralExtra.clear();
}

void TZipArchive::SetEntryMode(TZipItem* entry, uint32_t unixMode) {
    entry->HostSystem = ZipHost::Unix;
    entry->ExternalAttributes = unixMode << 16 | (entry->ExternalAttributes & 0xFFFF);
}

bool TZipArchive::CutProgress(int64_t position) {
    CallBack->TotalProgress->SetPosition(BytesDone + uint64_t(position));
    return CallBack->Aborted;
}

void TZipArchive::CutProgress2(int64_t position) { CallBack->TotalProgress->SetPosition(uint64_t(position)); }

void TZipArchive::PackProgress(TStream* stream) {
    int64_t position = stream->GetPosition();
    CallBack->FileProgress->SetPosition(uint64_t(position));
    TArchItem* item = CallBack->CurrentItem;
    if (item && item->SourceSize > 0) CallBack->TotalProgress->SetPosition(BytesDone + uint64_t(position));
    if (CallBack->Aborted) throw EArchiveAbort(UserAborted);
}

bool TZipArchive::CopyPackedItem(TArchItem*, TStream*, uint32_t&, uint64_t&) { return false; }

int64_t TZipArchive::OldBlockLength(TZipItem* entry) {
    ReadExact(entry->LocalOffset, ZipRecord::LocalHeaderSize, "Is Archive Broken");
    TZipLocalHeader header;
    if (!DecodeRecord(IoBuffer.data(), header)) throw EArchiveBroken("Is Archive Broken");
    if (entry->Item->PackedSize > uint64_t(ArchiveStream->GetSize())) throw EArchiveBroken("Is Archive Broken");
    int64_t length =
        ZipRecord::LocalHeaderSize + header.NameLength + header.ExtraLength + int64_t(entry->Item->PackedSize);
    if (header.Flags & ZipFlag::DataDescriptor) {
        // The descriptor's signature is optional: without it the record is
        // 4 bytes shorter. Its sizes are 64-bit where the local header
        // sends readers to a ZIP64 field.
        int32_t descriptor = header.PackedSize == ZipRecord::Zip64Marker ? ZipRecord::Zip64DataDescriptorSize
                                                                         : ZipRecord::DataDescriptorSize;
        length += descriptor;
        int64_t at = entry->LocalOffset + length - descriptor;
        if (at + 4 <= ArchiveStream->GetSize()) {
            ReadExact(at, 4, "Is Archive Broken");
            if (GetLE<uint32_t>(IoBuffer.data()) != ZipSignature::DataDescriptor) length -= 4;
        }
    }
    if (entry->LocalOffset + length > ArchiveStream->GetSize()) throw EArchiveBroken("Is Archive Broken");
    return length;
}

void TZipArchive::PlanSave(TZipStructure* target, std::vector<TStreamBlock>& blocks, int64_t streamSize) {
    for (int32_t i = 0; i < FStructure->Count(); ++i) {
        TZipItem* entry = FStructure->Entry(i);
        TArchItem* item = entry->Item;
        bool deleting = item->State.Contains(TArchState::Delete);
        bool adding = item->State.Contains(TArchState::Add);
        // Never written: an item added, then deleted or unmarked, leaves
        // nothing behind.
        if (entry->LocalOffset < 0 && (deleting || !adding)) continue;
        bool replacing = adding && entry->LocalOffset >= 0 && !item->Attributes().Contains(TArchAttribute::Added);
        // Neither its block nor its header could be told right.
        if (!entry->SizesKnown) RaiseDamaged(entry, "its sizes are not known (its data descriptor was not found)");
        if (deleting || replacing) {
            entry->Offset = entry->LocalOffset;
            entry->Length = OldBlockLength(entry);
            blocks.push_back({entry->Offset, entry->Length});
        }
        if (!deleting && !(item->IsFolder() && item->Attributes().Contains(TArchAttribute::Added))) {
            // Kept, but freed with the folder when the tree is purged.
            item->CheckNotInDeletedFolder();
            // Moved down with the rest, its offset would name new data.
            if (entry->LocalOffset >= streamSize) RaiseDamaged(entry, "its header lies beyond the end of the archive");
            target->CopyEntry(entry);
        }
    }
    // The old directory goes with everything after it, the end record
    // included (a directory this object wrote counts only itself in
    // Length). An empty archive's directory sits at offset 0. An entry
    // whose header lies in it would be cut out with it.
    if (FDirectoryInStream && FStructure->Offset >= 0 && FStructure->Offset < streamSize)
        blocks.push_back({FStructure->Offset, streamSize - FStructure->Offset});
    MoveDownByCut(target, blocks);
}

// Kept entries move down by what is cut below them, whatever order the
// directory lists them in.
void TZipArchive::MoveDownByCut(TZipStructure* target, const std::vector<TStreamBlock>& blocks) {
    std::vector<TStreamBlock> sorted = blocks;
    std::sort(sorted.begin(), sorted.end(),
              [](const TStreamBlock& a, const TStreamBlock& b) { return a.Offset < b.Offset; });
    // cut[k]: the bytes of the first k blocks.
    std::vector<int64_t> cut(sorted.size() + 1, 0);
    for (size_t k = 0; k < sorted.size(); ++k) cut[k + 1] = cut[k] + sorted[k].Length;
    for (int32_t i = 0; i < target->Count(); ++i) {
        TZipItem* copy = target->Entry(i);
        if (copy->LocalOffset < 0) continue;
        auto below = std::lower_bound(sorted.begin(), sorted.end(), copy->LocalOffset,
                                      [](const TStreamBlock& block, int64_t at) { return block.Offset < at; });
        // Entries found by a scan may nest: one kept inside the bytes of an
        // entry that goes would lose its own. Refused before anything changes.
        bool inCut = (below != sorted.end() && below->Offset == copy->LocalOffset) ||
                     (below != sorted.begin() && copy->LocalOffset < (below - 1)->Offset + (below - 1)->Length);
        if (inCut && !copy->Item->State.Contains(TArchState::Add))
            RaiseDamaged(copy, "it lies inside the data of an entry being removed or in the central directory");
        copy->LocalOffset -= cut[size_t(below - sorted.begin())];
    }
}

void TZipArchive::Save(int level) {
    CheckCallBack();
    NVX_ASSERT(ArchiveStream);
    if (level > MaxLevel)
        throw EArchiveError("Level " + std::to_string(level) + " is above the highest this archive offers (" +
                            std::to_string(MaxLevel) + ")");
    HoldBuffer(IoBuffer, IoBufferSize);
    TRef<TZipStructure> target = TRef<TZipStructure>::Adopt(ZipStructureClass());
    target->UseUtf8 = FStructure->UseUtf8;
    // The archive comment stays what it was.
    target->Comment = FStructure->Comment;
    target->CommentUtf8 = FStructure->CommentUtf8;
    target->CallBack = CallBack;
    target->CreateItem = FStructure->CreateItem;

    int64_t startSize = ArchiveStream->GetSize();
    std::vector<TStreamBlock> blocks;
    PlanSave(target.Get(), blocks, startSize);

    uint64_t total = target->EstimateDirectorySize();
    for (int32_t i = 0; i < target->Count(); ++i) {
        TArchItem* item = target->Entry(i)->Item;
        if (item->State.Contains(TArchState::Add) && item->SourceSize > 0) total += uint64_t(item->SourceSize);
    }
    TArchiveProgress* progress = CallBack->TotalProgress;
    progress->Stage = ArchiveStage::Writing;
    progress->Start(total);
    BytesDone = 0;

    std::optional<TTempFolder> folder;
    TRef<TFileStream> store;
    if (KeepsRollback) store = MakeRef<TFileStream>(folder.emplace().Path() + PathDelim + u"temp.tmp");
    TRef<TStreamUtil> util = MakeRef<TStreamUtil>(ArchiveStream, store.Get());

    // What writing an item changes in the tree, to be put back on failure.
    struct TItemState {
        TArchItem* Item;
        uint64_t Size, PackedSize;
        TArchAttributes Attributes;
    };
    std::vector<TItemState> written;
    for (int32_t i = 0; i < target->Count(); ++i) {
        TArchItem* item = target->Entry(i)->Item;
        if (item->State.Contains(TArchState::Add))
            written.push_back({item, item->Size, item->PackedSize, item->Attributes()});
    }
    bool cutStarted = false;
    try {
        if (!blocks.empty()) {
            util->OnProgress = [this](int64_t position) { return CutProgress(position); };
            util->OnProgress2 = [this](int64_t position) { CutProgress2(position); };
            for (const TStreamBlock& block : blocks) progress->Total += uint64_t(block.Length);
            progress->Stage = ArchiveStage::Copying;
            cutStarted = true;
            util->RemoveBlocks(blocks);
            progress->Stage = ArchiveStage::Writing;
            BytesDone = uint64_t(util->RemovedBytes());
        }
        ArchiveStream->SetPosition(ArchiveStream->GetSize());
        WriteEntries(target.Get(), level);
        if (BeforeDirectory) BeforeDirectory(*target);
        target->WriteDirectory(ArchiveStream);
    } catch (...) {
        // Put everything back, then tell the caller. A failure of the
        // rollback itself is the one to report: the stream is damaged.
        for (const TItemState& state : written) {
            state.Item->Size = state.Size;
            state.Item->PackedSize = state.PackedSize;
            state.Item->SetAttributes(state.Attributes);
        }
        if (KeepsRollback) {
            if (cutStarted) util->RollBack();
            else ArchiveStream->SetSize(startSize);
        }
        try {
            throw;
        } catch (const EStreamUtilAbort&) {
            // A stop is a stop, whichever stage it came in.
            throw EArchiveAbort(UserAborted);
        }
    }
    // Marks change only now: after a failure the next save starts over.
    PurgeDeleted();
    for (int32_t i = 0; i < target->Count(); ++i) {
        TArchItem* item = target->Entry(i)->Item;
        item->ClearMark(TArchState::Add);
        item->SetAttributes(item->Attributes().Without(TArchAttribute::Added));
    }
    FStructure = std::move(target);
    FDirectoryInStream = true;
}

void TZipArchive::WriteEntries(TZipStructure* target, int level) {
    auto crc = HoldFor(FCrcStream, MakeRef<TCrc32Stream>());
    auto password = HoldFor(FPasswordStream, Encrypt ? NewPasswordStream(target) : TRef<TZipPasswordStream>());
    for (int32_t i = 0; i < target->Count(); ++i) {
        TZipItem* entry = target->Entry(i);
        if (entry->Item->State.Contains(TArchState::Add)) PackEntry(target, entry, level);
    }
    RewriteLocalHeaders(target);
}

void TZipArchive::PackEntry(TZipStructure* target, TZipItem* entry, int level) {
    TArchItem* item = entry->Item;
    FCrcStream->Reset();
    CallBack->CurrentItem = item;
    CallBack->FileProgress->Start(uint64_t(std::max<int64_t>(item->SourceSize, 0)));
    entry->Method = level <= 0 ? ZipMethod::Stored : ZipMethod::Deflated;
    if (Encrypt) FPasswordStream->Reset();

    entry->LocalOffset = ArchiveStream->GetPosition();
    entry->CentralRecord.clear();
    // A replaced entry keeps only its name's flag, a new one also the
    // descriptor its maker asked for: the rest describes what is written now.
    bool added = item->Attributes().Contains(TArchAttribute::Added) || item->IsFolder();
    entry->Flags &= ZipFlag::Utf8 | (added ? ZipFlag::DataDescriptor : 0);
    if (Encrypt) entry->Flags |= ZipFlag::Encrypted | ZipFlag::DataDescriptor;
    // Extraction in the same session goes by the attribute.
    item->SetAttributes(Encrypt ? item->Attributes().With(TArchAttribute::Encrypted)
                                : item->Attributes().Without(TArchAttribute::Encrypted));
    item->Size = uint64_t(std::max<int64_t>(item->SourceSize, 0));
    item->PackedSize = 0;
    entry->Crc32 = 0;
    entry->Zip64Local = item->SourceSize >= 0 && uint64_t(item->SourceSize) >= ZipRecord::Zip64LocalThreshold;
    if (item->IsFolder()) {
        entry->Method = ZipMethod::Stored;
        entry->Flags &= ~ZipFlag::Encrypted;
    }
    int32_t length = target->WriteLocalHeader(entry, TByteSpan(IoBuffer), IoBufferSize, 0);
    NVX_ASSERT(length > 0);
    ArchiveStream->WriteBuffer(IoBuffer.data(), length);
    if (item->IsFolder()) return WriteDescriptor(entry);
    int64_t dataStart = ArchiveStream->GetPosition();

    const TPackStreamClass* packer = Packer(entry->Method);
    if (!packer) {
        entry->Method = ZipMethod::Stored;
        packer = Packer(ZipMethod::Stored);
    }
    NVX_ASSERT(packer);
    if (!Encrypt && CopyPackedItem(item, ArchiveStream, entry->Crc32, item->Size)) {
        item->PackedSize = uint64_t(ArchiveStream->GetPosition() - dataStart);
        if (item->SourceSize > 0) BytesDone += uint64_t(item->SourceSize);
        CallBack->TotalProgress->SetPosition(BytesDone);
        if (CallBack->Aborted) throw EArchiveAbort(UserAborted);
        WriteDescriptor(entry);
        return;
    }
    TStream* dest = ArchiveStream;
    if (Encrypt) {
        FPasswordStream->CheckValue = uint16_t(SystemTimeToDos(item->ModifiedTime));
        // The header goes out first, so that the pack stream starts after it.
        FPasswordStream->Write(TConstByteSpan(IoBuffer), 0, 0);
        dest = FPasswordStream.Get();
    }
    // Packing that fails leaves the stream unfinished: its data is lost.
    TRef<TPackStream> pack = packer->Create(dest, int8_t(std::clamp(level, 0, 127)));
    pack->OnProgress = [this](TStream* stream) { PackProgress(stream); };
    FCrcStream->Target = pack.Get();
    TScopeExit dropTarget([this] { FCrcStream->Target = nullptr; });
    CallBack->PackItem(item, FCrcStream.Get());
    // A stop asked for while the last bytes went in, or by a packer that
    // reports no progress, counts as much as one asked for in between.
    if (CallBack->Aborted) throw EArchiveAbort(UserAborted);

    if (item->SourceSize > 0) BytesDone += uint64_t(item->SourceSize);
    CallBack->TotalProgress->SetPosition(BytesDone);
    int64_t count = pack->GetPosition();
    pack->Finish();
    pack.Reset();
    entry->Crc32 = FCrcStream->GetCrc();
    item->PackedSize = uint64_t(ArchiveStream->GetPosition() - dataStart);
    item->Size = uint64_t(count);

    WriteDescriptor(entry);
}

// Sizes that outgrew a local header without ZIP64 room are refused here,
// before the descriptor or the header is written with them cut.
void TZipArchive::WriteDescriptor(TZipItem* entry) {
    TArchItem* item = entry->Item;
    if (!entry->Zip64Local && (item->Size > 0xFFFFFFFE || item->PackedSize > 0xFFFFFFFE))
        throw EArchiveError("Entry " + QuotedName(entry) +
                            " grew to 4 GiB or more after its local header was written without room for ZIP64 sizes");
    if (!(entry->Flags & ZipFlag::DataDescriptor)) return;
    uint8_t descriptor[ZipRecord::Zip64DataDescriptorSize];
    int32_t length =
        entry->Zip64Local
            ? EncodeRecord(TZip64DataDescriptor{entry->Crc32, item->PackedSize, item->Size}, descriptor)
            : EncodeRecord(TZipDataDescriptor{entry->Crc32, uint32_t(item->PackedSize), uint32_t(item->Size)},
                           descriptor);
    ArchiveStream->WriteBuffer(descriptor, length);
}

void TZipArchive::RewriteLocalHeaders(TZipStructure* target) {
    int64_t end = ArchiveStream->GetPosition();
    for (int32_t i = 0; i < target->Count(); ++i) {
        TZipItem* entry = target->Entry(i);
        TArchItem* item = entry->Item;
        // Entries with a descriptor, and folders, have nothing to add.
        if (!item->State.Contains(TArchState::Add) || item->IsFolder() || (entry->Flags & ZipFlag::DataDescriptor))
            continue;
        int32_t length = target->WriteLocalHeader(entry, TByteSpan(IoBuffer), IoBufferSize, 0);
        FStructure->SeekTo(ArchiveStream, entry->LocalOffset);
        if (length <= 0) throw EArchiveError("Can't update local file header");
        ArchiveStream->WriteBuffer(TConstByteSpan(IoBuffer), 0, length);
    }
    FStructure->SeekTo(ArchiveStream, end);
}
