// The archive itself and extraction: each entry's local header checked
// against the directory, then its data unpacked through the callback.
#include "Archivers/Zip/ZipArchive.h"
#include <algorithm>
#include <string>
#include <utility>
#include "Archivers/Zip/ZipArchiveParts.h"
#include "Foundation/ErrorReport.h"

using namespace ZipArchiveParts;

AnsiString ZipMethodText(uint16_t method) {
    static const std::pair<uint16_t, const char*> names[] = {
        {1, "Shrink"},     {6, "Implode"}, {9, "Deflate64"}, {12, "BZip2"},   {14, "LZMA"},
        {93, "Zstandard"}, {95, "XZ"},     {96, "JPEG"},     {97, "WavPack"}, {98, "PPMd"}};
    AnsiString text = "compression method " + std::to_string(method);
    for (auto [number, name] : names)
        if (number == method) text += AnsiString(" (") + name + ")";
    return text;
}

TZipArchive::TZipArchive() : FStructure(TRef<TZipStructure>::Adopt(ZipStructureClass())) {
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
    FStructure.Reset();
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
    if (item) FStructure->AddNewEntry(item);
    return item;
}

TArchItem* TZipArchive::AddFolderEntry(const WideString& path) {
    TArchItem* item = FindOrCreate(path, FindMode::Folder);
    if (!item || item == this) return nullptr;
    item->State.Include(TArchState::Add);
    item->SourceSize = 0;
    FStructure->AddNewEntry(item);
    return item;
}

TArchItem* TZipArchive::CreateItem(const WideString& path, bool isFolder) {
    // A name made only of separators belongs to the root: listed, never
    // extracted.
    if (path.empty()) return this;
    return FindOrCreate(path, isFolder ? FindMode::Folder : FindMode::Add);
}

void TZipArchive::Open() {
    CheckCallBack();
    NVX_ASSERT(ArchiveStream);
    if (ArchiveStream->GetSize() == 0) return;
    FStructure->CallBack = CallBack;
    FStructure->CreateItem = [this](const WideString& path, bool isFolder) { return CreateItem(path, isFolder); };
    FStructure->Read(ArchiveStream);
    // A recovery scan leaves no directory to replace.
    FDirectoryInStream = FStructure->Offset >= 0;
}

void TZipArchive::Clear() {
    FStructure->Clear();
    TArchive::Clear();
}

void TZipArchive::UnpackProgress(TStream* stream) {
    int64_t position = stream->GetPosition();
    CallBack->FileProgress->SetPosition(uint64_t(position));
    CallBack->TotalProgress->SetPosition(BytesDone + uint64_t(position));
    if (CallBack->Aborted) throw EArchiveAbort(UserAborted);
}

void TZipArchive::ReadExact(int64_t offset, int32_t count, const char* brokenMessage) {
    if (offset != std::exchange(FStreamAt, -1)) FStructure->SeekTo(ArchiveStream, offset);
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

void TZipArchive::Extract() {
    std::vector<TZipItem*> marked;
    for (int32_t i = 0; i < FStructure->Count(); ++i) {
        TZipItem* entry = FStructure->Entry(i);
        TArchItem* item = entry->Item;
        // Clearing a folder's mark would clear its files' marks too.
        if (item && item->State.Contains(TArchState::Extract) && !item->IsFolder()) marked.push_back(entry);
    }
    ExtractEntries(marked, true);
}

void TZipArchive::ExtractEntries(const std::vector<TZipItem*>& entries) { ExtractEntries(entries, false); }

void TZipArchive::ExtractEntries(const std::vector<TZipItem*>& entries, bool clearMarks) {
    CheckCallBack();
    HoldBuffer(IoBuffer, IoBufferSize);
    auto crc = HoldFor(FCrcStream, MakeRef<TCrc32Stream>());
    auto window = HoldFor(FDataWindow, MakeRef<TBoundedStream>());
    FDataWindow->Target = ArchiveStream;
    auto password = HoldFor(FPasswordStream, NewPasswordStream(FStructure.Get()));
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

bool TZipArchive::ReadLocalHeader(TZipItem* entry, TLocalHeader& header) {
    if (entry->LocalOffset < 0) return false;
    if (entry->LocalOffset >= ArchiveStream->GetSize())
        RaiseDamaged(entry, "its local header lies beyond the end of the archive");
    // The header and the name it should hold in one read; an archive that
    // ends before the name falls back to the header alone.
    int32_t expected = int32_t(entry->NameBytes.size());
    bool nameRead = TryReadExact(entry->LocalOffset, ZipRecord::LocalHeaderSize + expected);
    if (!nameRead && !TryReadExact(entry->LocalOffset, ZipRecord::LocalHeaderSize)) return false;
    if (!DecodeRecord(IoBuffer.data(), header)) return false;
    int64_t nameStart = entry->LocalOffset + ZipRecord::LocalHeaderSize;
    header.DataStart = nameStart + header.NameLength + header.ExtraLength;
    header.ReadTo = nameStart + (nameRead ? expected : 0);
    bool sameName = header.NameLength == expected;
    if (sameName && header.NameLength > 0) {
        const uint8_t* name = IoBuffer.data() + ZipRecord::LocalHeaderSize;
        if (!nameRead) {
            ReadExact(nameStart, header.NameLength, "");
            header.ReadTo = nameStart + header.NameLength;
            name = IoBuffer.data();
        }
        sameName = std::equal(entry->NameBytes.begin(), entry->NameBytes.end(), name,
                              [](char a, uint8_t b) { return uint8_t(a) == b; });
    }
    if (!sameName) RaiseDamaged(entry, "its local header holds another name");
    CheckLocalValues(entry, header, nameStart + header.NameLength);
    return true;
}

void TZipArchive::CheckRecords(TZipItem* entry) {
    HoldBuffer(IoBuffer, IoBufferSize);
    TLocalHeader header;
    if (!ReadLocalHeader(entry, header)) RaiseDamaged(entry, "its local header is missing");
    CheckPlacement(entry, header);
    const int32_t extraLength = header.ExtraLength;
    ReadExact(header.DataStart - extraLength, extraLength, "");
    if (!ZipStructureParts::ExtraBlocksFit(TConstByteSpan(IoBuffer.data(), size_t(extraLength))))
        RaiseDamaged(entry, "a block of its local header's extra field runs past the field");
}

// A local header that gives other numbers than the directory is damage
// (or another entry's header), whichever of the two is right. Zeros stand
// in for numbers a data descriptor gives after the data.
void TZipArchive::CheckLocalValues(TZipItem* entry, TLocalHeader& header, int64_t extraStart) {
    using ZipRecord::Zip64Marker;
    uint64_t packedSize = header.PackedSize, size = header.Size;  // 64-bit once the ZIP64 field is read
    if (packedSize == Zip64Marker || size == Zip64Marker) {
        int32_t extraLength = int32_t(header.DataStart - extraStart);
        ReadExact(extraStart, extraLength, "");
        header.ReadTo = header.DataStart;
        try {
            ZipStructureParts::ReadZip64Values(TConstByteSpan(IoBuffer.data(), size_t(extraLength)),
                                               {&size, &packedSize});
        } catch (const EArchiveBroken&) {
            RaiseDamaged(entry, "its local header's ZIP64 field is too short");
        }
    }
    if (header.Method != entry->Method) RaiseDamaged(entry, "its local header gives another method");
    bool described = (header.Flags & ZipFlag::DataDescriptor) != 0;
    auto differs = [described](uint64_t local, uint64_t central) {
        return local != central && !(described && local == 0) && local != Zip64Marker;
    };
    if (header.Crc32 != entry->Crc32 && !(described && header.Crc32 == 0))
        RaiseDamaged(entry, "its local header gives another CRC-32");
    if (differs(packedSize, entry->Item->PackedSize)) RaiseDamaged(entry, "its local header gives another packed size");
    if (differs(size, entry->Item->Size)) RaiseDamaged(entry, "its local header gives another size");
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
    if (header.ReadTo != header.DataStart) FStructure->SeekTo(ArchiveStream, header.DataStart);
    FDataWindow->Open(header.DataStart, header.DataStart + int64_t(item->PackedSize));

    TStream* source = FDataWindow.Get();
    if (item->Attributes().Contains(TArchAttribute::Encrypted)) {
        if (FPassword.empty()) throw EArchivePassword("The entry " + QuotedName(entry) + " is encrypted");
        FPasswordStream->Reset();
        // The high byte of the time with a descriptor, else of the CRC.
        FPasswordStream->CheckValue =
            (header.Flags & ZipFlag::DataDescriptor) ? header.DosTime >> 8 & 0xFF : header.Crc32 >> 24;
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
