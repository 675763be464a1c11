#include "Archivers/Zip/ZipArchive.h"
#include <algorithm>
#include <string>
#include <utility>
#include "Archivers/Zip/BoundedStream.h"
#include "Archivers/Zip/ZipBytes.h"
#include "Archivers/Zip/ZipStructureParts.h"
#include "Compression/DeflateStream.h"
#include "FileSystem/FileAPI.h"
#include "FileSystem/TempFolders.h"
#include "Foundation/ErrorReport.h"
#include "Foundation/ScopeExit.h"
#include "Foundation/TextUtils.h"
#include "Streams/FileStream.h"
#include "Streams/StreamUtil.h"

namespace {
// Local header fields used here.
namespace Local {
constexpr int Flags = 6;
constexpr int Method = 8;
constexpr int Time = 10;
constexpr int Crc = 14;
constexpr int PackedSize = 18;
constexpr int Size = 22;
constexpr int NameLength = 26;
constexpr int ExtraLength = 28;
}  // namespace Local

const AnsiString UserAborted = "User aborted";
}  // namespace

AnsiString ZipMethodText(uint16_t method) {
    static const std::pair<uint16_t, const char*> names[] = {
        {1, "Shrink"},     {6, "Implode"}, {9, "Deflate64"}, {12, "BZip2"},   {14, "LZMA"},
        {93, "Zstandard"}, {95, "XZ"},     {96, "JPEG"},     {97, "WavPack"}, {98, "PPMd"}};
    AnsiString text = "compression method " + std::to_string(method);
    for (auto [number, name] : names)
        if (number == method) text += AnsiString(" (") + name + ")";
    return text;
}

namespace {

// The I/O buffer for the length of one operation.
auto HoldBuffer(std::vector<uint8_t>& buffer, size_t size) {
    buffer.assign(size, 0);
    return TScopeExit([&buffer] {
        buffer.clear();
        buffer.shrink_to_fit();
    });
}

// An object the archive holds in a field for the length of one operation.
template <class T>
auto HoldFor(TRef<T>& field, TRef<T> value) {
    field = std::move(value);
    return TScopeExit([&field] { field.Reset(); });
}
}  // namespace

TZipArchive::TZipArchive() : Structure(TRef<TZipStructure>::Adopt(ZipStructureClass())) {
    static const std::pair<uint16_t, const char*> packers[] = {
        {0, "Store"}, {8, "Deflate"}, {9, "Deflate64"}, {12, "BZip2Pack"}};
    static const std::pair<uint16_t, const char*> unpackers[] = {
        {0, "Restore"}, {8, "Inflate"}, {9, "Inflate64"}, {12, "BZip2Unpack"}};
    for (auto [method, name] : packers)
        if (auto found = FindPackMethod(AnsiString(name))) FPackers[method] = found;
    for (auto [method, name] : unpackers)
        if (auto found = FindUnpackMethod(AnsiString(name))) FUnpackers[method] = found;
}

void TZipArchive::Dispose() {
    Structure.Reset();
    TArchive::Dispose();
}

const TPackStreamClass* TZipArchive::Packer(uint16_t method) const {
    auto found = FPackers.find(method);
    return found == FPackers.end() ? nullptr : found->second;
}

const TUnpackStreamClass* TZipArchive::Unpacker(uint16_t method) const {
    auto found = FUnpackers.find(method);
    return found == FUnpackers.end() ? nullptr : found->second;
}

void TZipArchive::SetFileName(const WideString& name) {
    FileName = name;
    AssertionFailed("Zip Files are not supported, use Streams", __FILE_NAME__, __LINE__);
}

TArchItem* TZipArchive::AddFile(const WideString& path, int64_t size) {
    TArchItem* item = TArchive::AddFile(path, size);
    if (item) Structure->AddNewEntry(item);
    return item;
}

TArchItem* TZipArchive::AddFolderEntry(const WideString& path) {
    TArchItem* item = FindOrCreate(path, FindMode::Folder);
    if (!item || item == this) return nullptr;
    item->State.Include(TArchState::Add);
    item->SourceSize = 0;
    Structure->AddNewEntry(item);
    return item;
}

TArchItem* TZipArchive::CreateItem(const WideString& path, bool isFolder) {
    // A name made only of separators belongs to the root: listed, never
    // extracted.
    if (path.empty()) return this;
    return FindOrCreate(path, isFolder ? FindMode::Folder : FindMode::Add);
}

bool TZipArchive::CopyPackedItem(TArchItem*, TStream*, uint32_t&, uint64_t&) { return false; }

void TZipArchive::Open() {
    CheckCallBack();
    NVX_ASSERT(ArchiveStream);
    if (ArchiveStream->GetSize() == 0) return;
    Structure->CallBack = CallBack;
    Structure->CreateItem = [this](const WideString& path, bool isFolder) { return CreateItem(path, isFolder); };
    Structure->Read(ArchiveStream);
    // A recovery scan leaves no directory to replace.
    FDirectoryInStream = Structure->Offset >= 0;
}

void TZipArchive::Clear() {
    Structure->Clear();
    TArchive::Clear();
}

// ---- Progress ----

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

void TZipArchive::UnpackProgress(TStream* stream) {
    int64_t position = stream->GetPosition();
    CallBack->FileProgress->SetPosition(uint64_t(position));
    CallBack->TotalProgress->SetPosition(BytesDone + uint64_t(position));
    if (CallBack->Aborted) throw EArchiveAbort(UserAborted);
}

// ---- Stream chores ----

void TZipArchive::ReadExact(int64_t offset, int32_t count, const char* brokenMessage) {
    if (offset != std::exchange(FStreamAt, -1)) Structure->SeekTo(ArchiveStream, offset);
    try {
        ArchiveStream->ReadBuffer(TByteSpan(IoBuffer), 0, count);
    } catch (const EStreamReadError&) {
        throw EArchiveBroken(brokenMessage);
    }
}

bool TZipArchive::TryReadExact(int64_t offset, int32_t count) {
    try {
        ReadExact(offset, count, "");
    } catch (const EArchiveBroken&) {
        return false;
    }
    return true;
}

TRef<TZipPasswordStream> TZipArchive::NewPasswordStream(TZipStructure* structure) {
    TRef<TZipPasswordStream> stream = MakeRef<TZipPasswordStream>(ArchiveStream, &structure->UseUtf8);
    stream->SetPassword(FPassword);
    return stream;
}

// ---- Extract ----

void TZipArchive::Extract() {
    std::vector<TZipItem*> marked;
    for (int32_t i = 0; i < Structure->Count(); ++i) {
        TZipItem* entry = Structure->Entry(i);
        TArchItem* item = entry->Item;
        // Clearing a folder's mark would clear its files' marks too.
        if (item && item->State.Contains(TArchState::Extract) && !item->IsFolder()) marked.push_back(entry);
    }
    ExtractEntries(marked, true);
}

void TZipArchive::ExtractEntries(const std::vector<TZipItem*>& entries) { ExtractEntries(entries, false); }

void TZipArchive::ExtractEntries(const std::vector<TZipItem*>& entries, bool clearMarks) {
    CheckCallBack();
    auto buffer = HoldBuffer(IoBuffer, IoBufferSize);
    auto crc = HoldFor(FCrcStream, MakeRef<TCrc32Stream>());
    auto window = HoldFor(FDataWindow, MakeRef<TBoundedStream>());
    FDataWindow->Target = ArchiveStream;
    auto password = HoldFor(FPasswordStream, NewPasswordStream(Structure.Get()));
    FPasswordStream->Target = FDataWindow.Get();

    uint64_t total = 0;
    for (TZipItem* entry : entries) total += entry->Item->Size;
    CallBack->TotalProgress->Stage = ArchiveStage::Extracting;
    CallBack->TotalProgress->Start(total);
    BytesDone = 0;
    CallBack->TotalProgress->SetPosition(0);

    TScopeExit forgetPosition([this] { FStreamAt = -1; });
    for (TZipItem* entry : entries) {
        ExtractMarkedEntry(entry);
        if (clearMarks) entry->Item->ClearMark(TArchState::Extract);
        // A bad header or CRC left unhandled stops here, whichever entry it was.
        if (CallBack->Aborted) throw EArchiveAbort(UserAborted);
    }
}

namespace {
AnsiString QuotedName(TZipItem* entry) { return "\"" + WideToAnsi(Printable(entry->Name())) + "\""; }

[[noreturn]] void RaiseDamaged(TZipItem* entry, const AnsiString& cause) {
    throw EArchiveDamaged("The entry " + QuotedName(entry) + " is damaged: " + cause);
}
}  // namespace

bool TZipArchive::ReadLocalHeader(TZipItem* entry, TLocalHeader& header) {
    if (entry->LocalOffset < 0) return false;
    if (entry->LocalOffset >= ArchiveStream->GetSize())
        RaiseDamaged(entry, "its local header lies beyond the end of the archive");
    // The header and the name it should hold in one read; an archive that
    // ends before the name falls back to the header alone.
    int32_t expected = int32_t(entry->NameBytes.size());
    bool nameRead = TryReadExact(entry->LocalOffset, ZipRecord::LocalHeaderSize + expected);
    if (!nameRead && !TryReadExact(entry->LocalOffset, ZipRecord::LocalHeaderSize)) return false;
    const uint8_t* p = IoBuffer.data();
    if (Get32(p) != ZipSignature::LocalHeader) return false;
    header.Flags = Get16(p + Local::Flags);
    header.Method = Get16(p + Local::Method);
    header.TimeHigh = p[Local::Time + 1];
    header.CrcHigh = p[Local::Crc + 3];
    int32_t nameLength = Get16(p + Local::NameLength);
    int64_t nameStart = entry->LocalOffset + ZipRecord::LocalHeaderSize;
    header.DataStart = nameStart + nameLength + Get16(p + Local::ExtraLength);
    header.ReadTo = nameStart + (nameRead ? expected : 0);
    TLocalValues values{Get32(p + Local::Crc), Get32(p + Local::PackedSize), Get32(p + Local::Size)};
    bool sameName = nameLength == expected;
    if (sameName && nameLength > 0) {
        const uint8_t* name = p + ZipRecord::LocalHeaderSize;
        if (!nameRead) {
            ReadExact(nameStart, nameLength, "");
            header.ReadTo = nameStart + nameLength;
            name = IoBuffer.data();
        }
        sameName = std::equal(entry->NameBytes.begin(), entry->NameBytes.end(), name,
                              [](char a, uint8_t b) { return uint8_t(a) == b; });
    }
    if (!sameName) RaiseDamaged(entry, "its local header holds another name");
    CheckLocalValues(entry, header, values, nameStart + nameLength);
    return true;
}

// A local header that gives other numbers than the directory is damage
// (or another entry's header), whichever of the two is right. Zeros stand
// in for numbers a data descriptor gives after the data.
void TZipArchive::CheckLocalValues(TZipItem* entry, TLocalHeader& header, TLocalValues values, int64_t extraStart) {
    using ZipStructureParts::Zip64Marker;
    if (values.PackedSize == Zip64Marker || values.Size == Zip64Marker) {
        int32_t extraLength = int32_t(header.DataStart - extraStart);
        ReadExact(extraStart, extraLength, "");
        header.ReadTo = header.DataStart;
        try {
            ZipStructureParts::ReadZip64Values(TConstByteSpan(IoBuffer.data(), size_t(extraLength)),
                                               {&values.Size, &values.PackedSize});
        } catch (const EArchiveBroken&) {
            RaiseDamaged(entry, "its local header's ZIP64 field is too short");
        }
    }
    if (header.Method != entry->Method) RaiseDamaged(entry, "its local header gives another method");
    bool described = (header.Flags & ZipFlag::DataDescriptor) != 0;
    auto differs = [described](uint64_t local, uint64_t central) {
        return local != central && !(described && local == 0) && local != Zip64Marker;
    };
    if (values.Crc != entry->Crc32 && !(described && values.Crc == 0))
        RaiseDamaged(entry, "its local header gives another CRC-32");
    if (differs(values.PackedSize, entry->Item->PackedSize))
        RaiseDamaged(entry, "its local header gives another packed size");
    if (differs(values.Size, entry->Item->Size)) RaiseDamaged(entry, "its local header gives another size");
}

// Where the entry's data may lie, checked before a byte of it is read.
void TZipArchive::CheckPlacement(TZipItem* entry, const TLocalHeader& header) {
    if (!entry->SizesKnown)
        RaiseDamaged(entry, "the central directory is missing and no data descriptor gives its sizes");
    // Sizes from the file are unsigned: compared, never added to an offset
    // before they are known to fit.
    const uint64_t largest = uint64_t(INT64_MAX);
    if (entry->Item->PackedSize > largest || entry->Item->Size > largest)
        RaiseDamaged(entry, "its recorded size is out of range");
    if (entry->Limit == entry->LocalOffset)
        RaiseDamaged(entry, "another directory record points to the same local header");
    int64_t end = ArchiveStream->GetSize(), limit = entry->Limit < 0 ? end : entry->Limit;
    if (header.DataStart > limit || entry->Item->PackedSize > uint64_t(limit - header.DataStart))
        RaiseDamaged(entry, limit >= end ? "it is truncated: the archive ends before its data does"
                                         : "its data overlaps the next entry or the central directory");
}

void TZipArchive::ExtractEntry(TZipItem* entry) {
    TArchItem* item = entry->Item;
    TLocalHeader header;
    if (!ReadLocalHeader(entry, header)) {
        CallBack->HeaderError(item, "Error in local file header");
        return;
    }
    CheckPlacement(entry, header);
    if (header.ReadTo != header.DataStart) Structure->SeekTo(ArchiveStream, header.DataStart);
    FDataWindow->Open(header.DataStart, header.DataStart + int64_t(item->PackedSize));

    TStream* source = FDataWindow.Get();
    if (item->Attributes().Contains(TArchAttribute::Encrypted)) {
        if (FPassword.empty()) throw EArchivePassword("The entry " + QuotedName(entry) + " is encrypted");
        FPasswordStream->Reset();
        FPasswordStream->CheckValue = (header.Flags & ZipFlag::DataDescriptor) ? header.TimeHigh : header.CrcHigh;
        // The encryption header is taken in now, so that the unpack stream
        // starts after it and its positions stay those of the data.
        FPasswordStream->Read(TByteSpan(IoBuffer), 0, 0);
        if (!FPasswordStream->HeaderMatched())
            throw EArchivePassword("Wrong password for the entry " + QuotedName(entry));
        source = FPasswordStream.Get();
    }
    const TUnpackStreamClass* unpacker = Unpacker(header.Method);
    if (!unpacker)
        throw EArchiveError("The entry " + QuotedName(entry) + " uses " + ZipMethodText(header.Method) +
                            ", which cannot be unpacked");
    TRef<TUnpackStream> unpack = unpacker->Create(source, int64_t(item->Size));
    unpack->OnProgress = [this](TStream* stream) { UnpackProgress(stream); };

    {
        FCrcStream->Target = unpack.Get();
        TScopeExit dropTarget([this] { FCrcStream->Target = nullptr; });
        FCrcStream->Reset();
        CallBack->CurrentItem = item;
        CallBack->FileProgress->Stage = ArchiveStage::Extracting;
        CallBack->FileProgress->Start(item->Size);
        try {
            CallBack->ExtractItem(item, FCrcStream.Get());
            if (!CallBack->Aborted) CheckLength(entry, unpack.Get());
        } catch (const EZLibError& e) {
            RaiseDamaged(entry, AnsiString("its data cannot be unpacked (") + e.what() + ")");
        }
    }
    unpack.Reset();

    if (CallBack->Aborted) throw EArchiveAbort(UserAborted);
    // The whole entry went through the window (reading its header took
    // the last position known).
    FStreamAt = FDataWindow->GetPosition();
    BytesDone += item->Size;
    CallBack->TotalProgress->SetPosition(BytesDone);
    // Deliberate spelling: the text stays as it has always been shown.
    if (FCrcStream->GetCrc() != entry->Crc32) CallBack->Error(item, "CRC doesn' match");
}

// Whatever the user left unread is read here, so that the CRC covers the
// whole entry and data shorter or longer than its recorded size is caught
// whoever reads it.
void TZipArchive::CheckLength(TZipItem* entry, TUnpackStream* unpack) {
    int64_t size = int64_t(entry->Item->Size);
    while (unpack->GetPosition() < size) {
        int32_t want = int32_t(std::min<int64_t>(size - unpack->GetPosition(), IoBufferSize));
        if (FCrcStream->Read(TByteSpan(IoBuffer), 0, want) <= 0)
            RaiseDamaged(entry, "its data ends before its recorded size");
    }
    if (unpack->Read(TByteSpan(IoBuffer), 0, 1) > 0) RaiseDamaged(entry, "its data runs past its recorded size");
}

// ---- Save ----

int64_t TZipArchive::OldBlockLength(TZipItem* entry) {
    ReadExact(entry->LocalOffset, ZipRecord::LocalHeaderSize, "Is Archive Broken");
    const uint8_t* header = IoBuffer.data();
    if (Get32(header) != ZipSignature::LocalHeader) throw EArchiveBroken("Is Archive Broken");
    if (entry->Item->PackedSize > uint64_t(ArchiveStream->GetSize())) throw EArchiveBroken("Is Archive Broken");
    int64_t length = ZipRecord::LocalHeaderSize + Get16(header + Local::NameLength) +
                     Get16(header + Local::ExtraLength) + int64_t(entry->Item->PackedSize);
    if (Get16(header + Local::Flags) & ZipFlag::DataDescriptor) {
        // The descriptor's signature is optional: without it the record is
        // 4 bytes shorter. Its sizes are 64-bit where the local header
        // sends readers to a ZIP64 field.
        int32_t descriptor = Get32(header + Local::PackedSize) == 0xFFFFFFFF ? ZipRecord::Zip64DataDescriptorSize
                                                                             : ZipRecord::DataDescriptorSize;
        length += descriptor;
        int64_t at = entry->LocalOffset + length - descriptor;
        if (at + 4 <= ArchiveStream->GetSize()) {
            ReadExact(at, 4, "Is Archive Broken");
            if (Get32(IoBuffer.data()) != ZipSignature::DataDescriptor) length -= 4;
        }
    }
    if (entry->LocalOffset + length > ArchiveStream->GetSize()) throw EArchiveBroken("Is Archive Broken");
    return length;
}

void TZipArchive::PlanSave(TZipStructure* target, std::vector<TStreamBlock>& blocks, int64_t streamSize) {
    for (int32_t i = 0; i < Structure->Count(); ++i) {
        TZipItem* entry = Structure->Entry(i);
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
    if (FDirectoryInStream && Structure->Offset >= 0 && Structure->Offset < streamSize)
        blocks.push_back({Structure->Offset, streamSize - Structure->Offset});
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
    auto buffer = HoldBuffer(IoBuffer, IoBufferSize);
    TRef<TZipStructure> target = TRef<TZipStructure>::Adopt(ZipStructureClass());
    target->UseUtf8 = Structure->UseUtf8;
    // The archive comment stays what it was.
    target->Comment = Structure->Comment;
    target->CommentUtf8 = Structure->CommentUtf8;
    target->CallBack = CallBack;
    target->CreateItem = Structure->CreateItem;

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

    const TTempFolder folder;
    TRef<TFileStream> store = MakeRef<TFileStream>(folder.Path() + PathDelim + u"temp.tmp");
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
        target->WriteDirectory(ArchiveStream);
    } catch (...) {
        // Put everything back, then tell the caller. A failure of the
        // rollback itself is the one to report: the stream is damaged.
        for (const TItemState& state : written) {
            state.Item->Size = state.Size;
            state.Item->PackedSize = state.PackedSize;
            state.Item->SetAttributes(state.Attributes);
        }
        if (cutStarted) util->RollBack();
        else ArchiveStream->SetSize(startSize);
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
    Structure = std::move(target);
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
    Put32(descriptor, ZipSignature::DataDescriptor);
    Put32(descriptor + 4, entry->Crc32);
    int32_t length = ZipRecord::DataDescriptorSize;
    if (entry->Zip64Local) {
        Put64(descriptor + 8, item->PackedSize);
        Put64(descriptor + 16, item->Size);
        length = ZipRecord::Zip64DataDescriptorSize;
    } else {
        Put32(descriptor + 8, uint32_t(item->PackedSize));
        Put32(descriptor + 12, uint32_t(item->Size));
    }
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
        Structure->SeekTo(ArchiveStream, entry->LocalOffset);
        if (length <= 0) throw EArchiveError("Can't update local file header");
        ArchiveStream->WriteBuffer(TConstByteSpan(IoBuffer), 0, length);
    }
    Structure->SeekTo(ArchiveStream, end);
}
