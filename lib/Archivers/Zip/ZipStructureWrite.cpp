// Writing: local headers, the central directory and the end record.
#include <algorithm>
#include "Archivers/Zip/ZipStructure.h"
#include "Archivers/Zip/ZipStructureParts.h"
#include "Foundation/CodePages.h"
#include "Foundation/ErrorReport.h"

using namespace ZipRecord;
using namespace ZipStructureParts;

namespace {

// Values of 0xFFFFFFFF and more need ZIP64.
constexpr uint64_t Max32 = 0xFFFFFFFE;
constexpr uint16_t Zip64Version = 45;

// A local header written without ZIP64 room cannot take a size that
// outgrew it: writing it cut would give a corrupt archive.
uint32_t Field32(TZipItem* entry, uint64_t value) {
    if (value > Max32)
        throw EArchiveError("Entry \"" + WideToUtf8(entry->Name()) +
                            "\" grew to 4 GiB or more after its local header was written without room for ZIP64 sizes");
    return uint32_t(value);
}

uint16_t Field16(TZipItem* entry, size_t length) {
    if (length > 0xFFFF)
        throw EArchiveError("Entry \"" + WideToUtf8(entry->Name()) +
                            "\": the name or comment is longer than 65535 bytes");
    return uint16_t(length);
}

uint8_t DosAttributeByte(TArchAttributes attributes) {
    uint8_t bits = 0;
    for (const TDosAttribute& a : DosAttributes)
        if (attributes.Contains(a.Element)) bits |= a.Bit;
    return bits;
}

TByteString EncodeText(const WideString& text, bool utf8) {
    return WideToBytes(text, utf8 ? CodePage::Utf8 : CodePage::Oem);
}

// Held by the OEM code page, and read back as such: bytes that read as
// UTF-8 would come back as other text.
bool FitsOem(const WideString& text) {
    if (text.empty()) return true;
    TByteString oem = WideToOem(text);
    return OemToWide(oem) == text &&
           !IsUtf8BeyondAscii(reinterpret_cast<const uint8_t*>(oem.data()), int32_t(oem.size()));
}

// Stored bytes kept while they still say text; else text encoded anew.
TByteString KeptOrEncoded(const TByteString& kept, const WideString& text, bool utf8) {
    if (!kept.empty() && DecodeZipText(kept, utf8) == text) return kept;
    return EncodeText(text, utf8);
}

// The name as written: both separators become the structure's.
WideString StoredName(WideString name, char16_t separator) {
    for (char16_t& c : name)
        if (c == u'\\' || c == u'/') c = separator;
    return name;
}

// A ZIP64 extra block holding values, in the field's order; its length.
int32_t PutZip64Field(uint8_t* p, const std::vector<uint64_t>& values) {
    PutLE<uint16_t>(p, Zip64ExtraId);
    PutLE(p + 2, uint16_t(values.size() * 8));
    for (size_t i = 0; i < values.size(); ++i) PutLE(p + 4 + 8 * i, values[i]);
    return 4 + 8 * int32_t(values.size());
}

}  // namespace

bool TZipStructure::EntryUsesUtf8(TZipItem* entry) {
    if (UseUtf8 || (entry->Flags & ZipFlag::Utf8)) return true;
    return !FitsOem(entry->Name()) || (entry->Item && !FitsOem(entry->Item->Comment));
}

void TZipStructure::AdvanceProgress(int64_t bytes) {
    if (CallBack && CallBack->TotalProgress)
        CallBack->TotalProgress->SetPosition(CallBack->TotalProgress->Position + uint64_t(bytes));
}

TZipItem* TZipStructure::AddNewEntry(TArchItem* item) {
    auto entry = MakeRef<TZipItem>();
    entry->Item = item;
    entry->LocalOffset = -1;
    if (UseUtf8) entry->Flags |= ZipFlag::Utf8;
    if (Entries->Add(entry.Get()) < 0) throw EOutOfMemory("Out of memory");
    return entry.Detach();
}

TZipItem* TZipStructure::CopyEntry(TZipItem* entry) {
    auto copy = MakeRef<TZipItem>();
    copy->Item = entry->Item;
    copy->LocalOffset = entry->LocalOffset;
    copy->Method = entry->Method;
    copy->Crc32 = entry->Crc32;
    copy->Flags = entry->Flags;
    copy->NameBytes = entry->NameBytes;
    copy->CentralExtra = entry->CentralExtra;
    copy->CommentBytes = entry->CommentBytes;
    copy->CentralRecord = entry->CentralRecord;
    copy->Zip64Local = entry->Zip64Local;
    // Unix entries keep their modes (programs, links) through an update;
    // others are written in the MS-DOS form unless their record is kept.
    copy->HostSystem = entry->HostSystem;
    copy->ExternalAttributes = entry->ExternalAttributes;
    if (Entries->Add(copy.Get()) < 0) throw EOutOfMemory("Out of memory");
    return copy.Detach();
}

int64_t TZipStructure::EstimateDirectorySize() { return int64_t(Count()) * CentralHeaderSize + EndRecordSize; }

namespace {
// What a central header gives in its ZIP64 field: the sizes where the local
// header has them there or they do not fit, the offset where it does not.
struct TCentralValues {
    bool Sizes64, Offset64;
    int32_t Zip64Length() const { return Sizes64 || Offset64 ? 4 + 8 * ((Sizes64 ? 2 : 0) + (Offset64 ? 1 : 0)) : 0; }
};

TCentralValues CentralValues(TZipItem* entry) {
    if (entry->LocalOffset < 0)
        throw EArchiveError("Entry \"" + WideToUtf8(entry->Name()) + "\" has no local header in the archive");
    return {entry->Zip64Local || entry->Item->Size > Max32 || entry->Item->PackedSize > Max32,
            uint64_t(entry->LocalOffset) > Max32};
}
}  // namespace

int32_t TZipStructure::CentralExtraLength(TZipItem* entry) {
    return CentralValues(entry).Zip64Length() + int32_t(entry->CentralExtra.size());
}

void TZipStructure::WriteCentralExtra(TZipItem* entry, TByteSpan buffer, int32_t position) {
    TCentralValues values = CentralValues(entry);
    uint8_t* p = buffer.data() + position;
    std::vector<uint64_t> zip64;
    if (values.Sizes64) zip64 = {entry->Item->Size, entry->Item->PackedSize};
    if (values.Offset64) zip64.push_back(uint64_t(entry->LocalOffset));
    if (!zip64.empty()) p += PutZip64Field(p, zip64);
    std::copy(entry->CentralExtra.begin(), entry->CentralExtra.end(), p);
}

AnsiString TZipStructure::EncodeEntryName(TZipItem* entry, bool& utf8) {
    NVX_ASSERT_MSG(entry->Item, "Assertion failure");
    // An entry read from an archive keeps its own bytes and flag, so that
    // its local header and every reader still agree on its name; an empty
    // name is one only such an entry has.
    if (!entry->NameBytes.empty() || entry->Name().empty()) {
        utf8 = (entry->Flags & ZipFlag::Utf8) != 0;
        return entry->NameBytes;
    }
    utf8 = EntryUsesUtf8(entry);
    if (utf8) entry->Flags |= ZipFlag::Utf8;
    WideString name = StoredName(entry->Name(), Separator);
    if (entry->Item->IsFolder()) name += char16_t(Separator);
    return EncodeText(name, utf8);
}

int32_t TZipStructure::WriteLocalHeader(TZipItem* entry, TByteSpan buffer, int32_t capacity, int32_t position) {
    bool utf8;
    TByteString name = EncodeEntryName(entry, utf8);
    TArchItem* item = entry->Item;
    uint16_t nameLength = Field16(entry, name.size());
    // With a data descriptor the numbers follow the data.
    bool described = (entry->Flags & ZipFlag::DataDescriptor) != 0;
    bool zip64 = entry->Zip64Local;
    uint64_t packed64 = described ? 0 : item->PackedSize, size64 = described ? 0 : item->Size;
    // An unknown size (all ones, from a source size of -1) stands until the
    // header is written again with the real one.
    auto size32 = [&](uint64_t value) { return zip64 || value == UINT64_MAX ? Zip64Marker : Field32(entry, value); };
    int32_t zip64Length = zip64 ? 20 : 0;
    TZipLocalHeader header{.VersionNeeded = zip64 ? Zip64Version : VersionNeeded(),
                           .Flags = entry->Flags,
                           .Method = entry->Method,
                           .DosTime = SystemTimeToDos(item->ModifiedTime),
                           .Crc32 = described ? 0 : entry->Crc32,
                           .PackedSize = size32(packed64),
                           .Size = size32(size64),
                           .NameLength = nameLength,
                           .ExtraLength = uint16_t(zip64Length)};

    int32_t length = LocalHeaderSize + nameLength + header.ExtraLength;
    capacity = std::min<int32_t>(capacity, int32_t(buffer.size()));
    if (position < 0 || length > capacity - position) return -1;
    uint8_t* p = buffer.data() + position;
    EncodeRecord(header, p);
    std::copy(name.begin(), name.end(), p + LocalHeaderSize);
    uint8_t* extra = p + LocalHeaderSize + nameLength;
    if (zip64) PutZip64Field(extra, {size64 == UINT64_MAX ? 0 : size64, packed64});
    return length;
}

namespace {
// A record read from an archive, still true of its entry, that can take
// the entry's new offset in its 32-bit field; its fixed part in header.
bool RecordKept(const TZipItem* entry, TZipCentralHeader& header) {
    const TByteString& record = entry->CentralRecord;
    if (record.size() < size_t(CentralHeaderSize)) return false;
    DecodeRecord(reinterpret_cast<const uint8_t*>(record.data()), header);
    const TArchItem* item = entry->Item;
    const size_t commentAt = size_t(CentralHeaderSize) + header.NameLength + header.ExtraLength;
    return header.LocalOffset != Zip64Marker && uint64_t(entry->LocalOffset) < Zip64Marker &&
           header.DosTime == SystemTimeToDos(item->ModifiedTime) && header.Crc32 == entry->Crc32 &&
           record.compare(commentAt, header.CommentLength, entry->CommentBytes) == 0 &&
           (header.CommentLength == 0 ||
            DecodeZipText(entry->CommentBytes, (entry->Flags & ZipFlag::Utf8) != 0) == item->Comment);
}
}  // namespace

int32_t TZipStructure::WriteCentralHeader(TZipItem* entry, TByteSpan buffer, int32_t position) {
    const int32_t capacity = int32_t(buffer.size());
    if (TZipCentralHeader kept; RecordKept(entry, kept)) {
        const int32_t length = int32_t(entry->CentralRecord.size());
        if (position < 0 || length > capacity - position) return -1;
        std::copy(entry->CentralRecord.begin(), entry->CentralRecord.end(), buffer.data() + position);
        kept.HostSystem = entry->HostSystem;
        kept.ExternalAttributes = entry->ExternalAttributes;
        kept.LocalOffset = uint32_t(entry->LocalOffset);
        EncodeRecord(kept, buffer.data() + position);
        return length;
    }
    bool utf8;
    TByteString name = EncodeEntryName(entry, utf8);
    TArchItem* item = entry->Item;
    TByteString comment = KeptOrEncoded(entry->CommentBytes, item->Comment, utf8);
    uint16_t nameLength = Field16(entry, name.size()), commentLength = Field16(entry, comment.size());
    TCentralValues values = CentralValues(entry);
    uint16_t version = values.Zip64Length() > 0 ? Zip64Version : VersionNeeded();
    bool asIs = entry->HostSystem == ZipHost::Unix;
    TZipCentralHeader header{
        .VersionMadeBy = uint8_t(version),
        .HostSystem = asIs ? entry->HostSystem : ZipHost::Dos,
        .VersionNeeded = version,
        .Flags = entry->Flags,
        .Method = entry->Method,
        .DosTime = SystemTimeToDos(item->ModifiedTime),
        .Crc32 = entry->Crc32,
        .PackedSize = values.Sizes64 ? Zip64Marker : uint32_t(item->PackedSize),
        .Size = values.Sizes64 ? Zip64Marker : uint32_t(item->Size),
        .NameLength = nameLength,
        .ExtraLength = Field16(entry, size_t(CentralExtraLength(entry))),
        .CommentLength = commentLength,
        .ExternalAttributes = asIs ? entry->ExternalAttributes : DosAttributeByte(item->Attributes()),
        .LocalOffset = values.Offset64 ? Zip64Marker : uint32_t(entry->LocalOffset)};

    int32_t length = CentralHeaderSize + nameLength + header.ExtraLength + commentLength;
    if (position < 0 || length > capacity - position) return -1;
    uint8_t* p = buffer.data() + position;
    EncodeRecord(header, p);
    std::copy(name.begin(), name.end(), p + CentralHeaderSize);
    WriteCentralExtra(entry, buffer, position + CentralHeaderSize + nameLength);
    std::copy(comment.begin(), comment.end(), p + CentralHeaderSize + nameLength + header.ExtraLength);
    // Written into the directory: from now on the entry is one of the archive.
    entry->NameBytes = name;
    return length;
}

int32_t TZipStructure::WriteEndRecord(TByteSpan buffer, int32_t capacity, int32_t position, int64_t directorySize,
                                      int64_t directoryOffset) {
    TByteString comment = KeptOrEncoded(CommentBytes, Comment, CommentUtf8 || !FitsOem(Comment));
    if (comment.size() > 0xFFFF) throw EArchiveError("The archive comment is longer than 65535 bytes");
    if (directorySize < 0 || directoryOffset < 0) throw EArchiveError("The central directory has no place");
    uint64_t count = uint64_t(Count());
    // 0xFFFF and 0xFFFFFFFF themselves send readers to the ZIP64 record.
    bool zip64 = count >= 0xFFFF || uint64_t(directorySize) > Max32 || uint64_t(directoryOffset) > Max32;
    int32_t zip64Length = zip64 ? Zip64EndRecordSize + Zip64LocatorSize : 0;
    int32_t length = zip64Length + EndRecordSize + int32_t(comment.size());
    capacity = std::min<int32_t>(capacity, int32_t(buffer.size()));
    if (position < 0 || length > capacity - position) throw TCommonException("Buffer is too small");
    uint8_t* p = buffer.data() + position;
    uint64_t size = uint64_t(directorySize), offset = uint64_t(directoryOffset);
    // All on disk 0, of 1 disk.
    if (zip64) {
        p += EncodeRecord(
            TZip64EndRecord{Zip64EndRecordSize - 12, Zip64Version, Zip64Version, 0, 0, count, count, size, offset}, p);
        p += EncodeRecord(TZip64Locator{0, offset + size, 1}, p);
    }
    uint16_t count16 = uint16_t(std::min<uint64_t>(count, 0xFFFF));
    EncodeRecord(TZipEndRecord{0, 0, count16, count16, uint32_t(std::min<uint64_t>(size, Zip64Marker)),
                               uint32_t(std::min<uint64_t>(offset, Zip64Marker)), uint16_t(comment.size())},
                 p);
    std::copy(comment.begin(), comment.end(), p + EndRecordSize);
    return length;
}

void TZipStructure::WriteDirectory(TStream* stream) {
    std::vector<uint8_t> buffer(BufferSize);
    int64_t directoryOffset = stream->GetPosition();
    int64_t directorySize = 0;
    int32_t used = 0;
    auto flush = [&] {
        stream->WriteBuffer(buffer.data(), used);
        directorySize += used;
        AdvanceProgress(used);
        used = 0;
    };
    for (int32_t i = 0; i < Count(); ++i) {
        TZipItem* entry = Entry(i);
        int32_t length = WriteCentralHeader(entry, buffer, used);
        if (length < 0) {
            flush();
            length = WriteCentralHeader(entry, buffer, used);
            NVX_ASSERT_MSG(length >= 0, "Assertion failure");
        }
        used += length;
    }
    flush();
    used = WriteEndRecord(buffer, BufferSize, 0, directorySize, directoryOffset);
    stream->WriteBuffer(buffer.data(), used);
    AdvanceProgress(used);
    Offset = directoryOffset;
    Length = directorySize;
}
