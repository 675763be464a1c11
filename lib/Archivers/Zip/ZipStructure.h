// The directory of a ZIP archive: read into an archive tree (by a scan of
// the local headers when it is missing or damaged), and composed with the
// local headers on saving. ZIP64 records are written only where a count,
// size or offset needs them. No multi-disk archives.
#pragma once
#include <functional>
#include <tuple>
#include <type_traits>
#include <vector>
#include "Archivers/Archive.h"
#include "Foundation/CodePages.h"

namespace ZipSignature {
constexpr uint32_t LocalHeader = 0x04034B50;
constexpr uint32_t DataDescriptor = 0x08074B50;
constexpr uint32_t CentralHeader = 0x02014B50;
constexpr uint32_t EndRecord = 0x06054B50;
constexpr uint32_t Zip64EndRecord = 0x06064B50;
constexpr uint32_t Zip64Locator = 0x07064B50;
}  // namespace ZipSignature

namespace ZipFlag {
constexpr uint16_t Encrypted = 0x0001;
constexpr uint16_t DataDescriptor = 0x0008;  // CRC and sizes follow the data
constexpr uint16_t Utf8 = 0x0800;            // name and comment are UTF-8
}  // namespace ZipFlag

namespace ZipHost {
constexpr uint8_t Dos = 0;
constexpr uint8_t Unix = 3;
constexpr uint8_t WindowsNtfs = 10;
constexpr uint8_t Vfat = 14;
}  // namespace ZipHost

namespace ZipMethod {
constexpr uint16_t Stored = 0;
constexpr uint16_t Deflated = 8;
}  // namespace ZipMethod

// The fixed part of each record is a structure whose fields stand in the
// record's order and width after its signature, so that one decoder and one
// encoder serve them all. Values are little-endian.
template <class T>
T GetLE(const uint8_t* p) {
    uint64_t value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) value |= uint64_t(p[i]) << 8 * i;
    return T(value);
}
template <class T>
void PutLE(uint8_t* p, T value) {
    for (size_t i = 0; i < sizeof(T); ++i) p[i] = uint8_t(uint64_t(value) >> 8 * i);
}

struct TZipLocalHeader {
    static constexpr uint32_t Signature = ZipSignature::LocalHeader;
    uint16_t VersionNeeded = 0, Flags = 0, Method = 0;
    uint32_t DosTime = 0, Crc32 = 0, PackedSize = 0, Size = 0;  // DOS time in the low 16 bits, date in the high
    uint16_t NameLength = 0, ExtraLength = 0;
    auto Fields() {
        return std::tie(VersionNeeded, Flags, Method, DosTime, Crc32, PackedSize, Size, NameLength, ExtraLength);
    }
};

struct TZipCentralHeader {
    static constexpr uint32_t Signature = ZipSignature::CentralHeader;
    uint8_t VersionMadeBy = 0, HostSystem = 0;
    uint16_t VersionNeeded = 0, Flags = 0, Method = 0;
    uint32_t DosTime = 0, Crc32 = 0, PackedSize = 0, Size = 0;
    uint16_t NameLength = 0, ExtraLength = 0, CommentLength = 0, Disk = 0, InternalAttributes = 0;
    uint32_t ExternalAttributes = 0, LocalOffset = 0;
    auto Fields() {
        return std::tie(VersionMadeBy, HostSystem, VersionNeeded, Flags, Method, DosTime, Crc32, PackedSize, Size,
                        NameLength, ExtraLength, CommentLength, Disk, InternalAttributes, ExternalAttributes,
                        LocalOffset);
    }
};

// After an entry's data: 64-bit sizes where the local header has ZIP64 ones.
template <class TSize>
struct TZipDescriptor {
    static constexpr uint32_t Signature = ZipSignature::DataDescriptor;
    uint32_t Crc32 = 0;
    TSize PackedSize = 0, Size = 0;
    auto Fields() { return std::tie(Crc32, PackedSize, Size); }
};
using TZipDataDescriptor = TZipDescriptor<uint32_t>;
using TZip64DataDescriptor = TZipDescriptor<uint64_t>;

struct TZipEndRecord {
    static constexpr uint32_t Signature = ZipSignature::EndRecord;
    uint16_t Disk = 0, DirectoryDisk = 0, DiskCount = 0, Count = 0;
    uint32_t DirectorySize = 0, DirectoryOffset = 0;
    uint16_t CommentLength = 0;
    auto Fields() {
        return std::tie(Disk, DirectoryDisk, DiskCount, Count, DirectorySize, DirectoryOffset, CommentLength);
    }
};

struct TZip64EndRecord {
    static constexpr uint32_t Signature = ZipSignature::Zip64EndRecord;
    uint64_t FollowingSize = 0;  // the bytes after this field
    uint16_t VersionMadeBy = 0, VersionNeeded = 0;
    uint32_t Disk = 0, DirectoryDisk = 0;
    uint64_t DiskCount = 0, Count = 0, DirectorySize = 0, DirectoryOffset = 0;
    auto Fields() {
        return std::tie(FollowingSize, VersionMadeBy, VersionNeeded, Disk, DirectoryDisk, DiskCount, Count,
                        DirectorySize, DirectoryOffset);
    }
};

// In front of the end record: where the ZIP64 end record stands.
struct TZip64Locator {
    static constexpr uint32_t Signature = ZipSignature::Zip64Locator;
    uint32_t EndRecordDisk = 0;
    uint64_t EndRecordOffset = 0;
    uint32_t DiskCount = 0;
    auto Fields() { return std::tie(EndRecordDisk, EndRecordOffset, DiskCount); }
};

// Reads the fixed part at p into record; whether p holds the record's
// signature (the fields are read either way).
template <class TRecord>
bool DecodeRecord(const uint8_t* p, TRecord& record) {
    const uint8_t* at = p + 4;
    std::apply(
        [&at](auto&... fields) { ((fields = GetLE<std::decay_t<decltype(fields)>>(at), at += sizeof(fields)), ...); },
        record.Fields());
    return GetLE<uint32_t>(p) == TRecord::Signature;
}

// Writes the fixed part at p, signature first; the bytes written.
template <class TRecord>
int32_t EncodeRecord(TRecord record, uint8_t* p) {
    PutLE(p, TRecord::Signature);
    uint8_t* at = p + 4;
    std::apply([&at](auto&... fields) { ((PutLE(at, fields), at += sizeof(fields)), ...); }, record.Fields());
    return int32_t(at - p);
}

namespace ZipRecord {
constexpr int32_t LocalHeaderSize = 30;
constexpr int32_t CentralHeaderSize = 46;
constexpr int32_t EndRecordSize = 22;
constexpr int32_t DataDescriptorSize = 16;
constexpr int32_t Zip64DataDescriptorSize = 24;
constexpr int32_t Zip64EndRecordSize = 56;
constexpr int32_t Zip64LocatorSize = 20;
// A 32-bit field of this value sends readers to the ZIP64 field.
constexpr uint32_t Zip64Marker = 0xFFFFFFFF;
// The ZIP64 extra field's header ID.
constexpr uint16_t Zip64ExtraId = 0x0001;
// A source of this size or more gets ZIP64 sizes in its local header up
// front: deflated data may grow a little, and the header cannot grow once
// the data follows it.
constexpr uint64_t Zip64LocalThreshold = 0xFFFFFFFFull - (64ull << 20);
// Bulk reads and writes of the archive code go in pieces of this size.
constexpr int32_t BufferSize = 1048576;
}  // namespace ZipRecord

// DOS date in the high 16 bits, time in the low 16. Times outside what the
// format holds (1980 to 2107) are clamped to its first or last second.
uint32_t SystemTimeToDos(const TSystemTime& time);
TSystemTime DosToSystemTime(uint32_t dosDateTime);

// Text as a reader takes it from a name or comment: UTF-8 with flag bit 11
// or where the bytes read as such, else the OEM code page.
WideString DecodeZipText(const TByteString& bytes, bool utf8Flag);
// The extra field without its ZIP64 blocks, which a writer composes anew.
TByteString WithoutZip64(TConstByteSpan extra);

class TZipSimpleItem : public TRefObject {
public:
    int64_t Offset = 0;
    int64_t Length = 0;
};

// One entry. During a save, Offset and Length give the entry's whole old
// block (header, name, extra field, data, descriptor) in the old archive.
class TZipItem : public TZipSimpleItem {
public:
    TArchItem* Item = nullptr;  // borrowed from the archive tree
    int64_t LocalOffset = -1;
    uint16_t Method = 0;
    uint8_t HostSystem = 0;
    // False for a scanned entry whose data descriptor was not found.
    bool SizesKnown = true;
    uint16_t Flags = 0;
    // The name's bytes as stored; empty for an entry not yet written.
    TByteString NameBytes;
    // Where the next entry's local header (or the directory) begins: the
    // entry's header and data must end there. -1 when not known.
    int64_t Limit = -1;
    uint32_t Crc32 = 0;
    // As read from the directory (0 after a scan); written as it is for
    // Unix entries, others get the MS-DOS form of the item's attributes.
    uint32_t ExternalAttributes = 0;
    // The central header's extra fields other than ZIP64, written back.
    TByteString CentralExtra;
    // The comment as stored: written back while the item's comment is
    // still what they say.
    TByteString CommentBytes;
    // The central record as read: written back while the entry's data,
    // time and comment stay what it says (offset, host and attributes
    // updated). Empty for new data.
    TByteString CentralRecord;
    // The local header carries ZIP64 sizes: decided before the data is
    // written, since the header cannot grow afterwards.
    bool Zip64Local = false;

    // The name as stored (DecodeZipText); before the entry is written, its
    // item's path with '/'. Made on request, so that it is held once.
    WideString Name() const;
};

// The archive's item factory: a '\'-separated path without trailing
// separator and whether it is a folder; none when it cannot be placed.
using TCreateItemEvent = std::function<TArchItem*(const WideString& path, bool isFolder)>;

class TZipStructure : public TZipSimpleItem {
public:
    TZipStructure();

    // Offset: of the central directory, -1 after a recovery scan. Length:
    // from the directory to the end of the file, 0 after a scan.
    TRef<TObjectList> Entries;             // owns its TZipItem entries, in file order
    TArchiveCallBack* CallBack = nullptr;  // borrowed; may be absent
    uint16_t Marker = 0x4B50;              // "PK", what the recovery scan looks for
    uint8_t Separator = '/';
    TStream* Stream = nullptr;  // the stream being read, borrowed
    // During a read: BufferSize bytes, or the size of a smaller archive.
    std::vector<uint8_t> Buffer;
    WideString Comment;  // the archive comment
    // The comment was read as UTF-8; it is written back in its own encoding.
    bool CommentUtf8 = false;
    // The comment as stored: written back while Comment is what they say.
    TByteString CommentBytes;
    TCreateItemEvent CreateItem;
    // Names and comments in UTF-8 (flag bit 11) rather than the OEM code page.
    bool UseUtf8 = false;
    // Bytes in front of the archive (a self-extracting stub) that its
    // offsets do not count; added to every offset read.
    int64_t BytesInFront = 0;
    // What the end records say beside the directory's place, for the
    // judgement of the archive (ZipJudgement.h). Offsets in the file.
    struct TEndFacts {
        int64_t At = -1;          // the end record read; -1 when none was
        int64_t OtherAt = -1;     // another one whose directory fits the file as well
        bool CommentCut = false;  // its comment runs past the end of the file
        bool Zip64Lost = false;   // a ZIP64 locator points where no ZIP64 end record stands
    } EndFacts;

    // The entries come from a scan of the local headers.
    bool Recovered() const { return Offset < 0; }

    virtual TArchAttributes HostAttributes(uint8_t host, uint32_t external);
    virtual void SeekTo(TStream* stream, int64_t offset);
    // Finds the end record backwards from length - 22 and decodes it with
    // the archive comment; a ZIP64 end record in front of it gives the
    // directory's size and offset instead.
    virtual bool FindEndRecord(TConstByteSpan buffer, int32_t length, uint64_t& directorySize,
                               uint64_t& directoryOffset);
    // Decodes the complete central headers from start; the offset after the
    // last complete one.
    virtual int32_t ParseCentralRecords(TConstByteSpan buffer, int32_t length, int32_t start);
    // The length of the end record with comment composed at position,
    // behind a ZIP64 end record and locator where the count, size or
    // offset does not fit the classic one.
    virtual int32_t WriteEndRecord(TByteSpan buffer, int32_t capacity, int32_t position, int64_t directorySize,
                                   int64_t directoryOffset);
    virtual void WriteCentralExtra(TZipItem* entry, TByteSpan buffer, int32_t position);
    virtual int32_t CentralExtraLength(TZipItem* entry);
    // A new entry for a tree item being added.
    virtual TZipItem* AddNewEntry(TArchItem* item);
    // The length of the local header with name composed at position; -1
    // when it does not fit.
    virtual int32_t WriteLocalHeader(TZipItem* entry, TByteSpan buffer, int32_t capacity, int32_t position);
    // For progress totals only.
    virtual int64_t EstimateDirectorySize();
    virtual uint16_t VersionNeeded() { return 20; }

    int32_t Count() const { return Entries->Count(); }
    TZipItem* Entry(int32_t index) const { return Entries->Item<TZipItem>(index); }
    // Reads the directory into the tree through CreateItem, falling back to
    // a scan of the local headers when it cannot be found or is damaged.
    void Read(TStream* stream);
    // Writes the central directory and end record at the stream position.
    void WriteDirectory(TStream* stream);
    void ScanLocalHeaders(TStream* stream);
    void Clear();
    TZipItem* CopyEntry(TZipItem* entry);

    // Whether an entry's name and comment are written in UTF-8: with UseUtf8
    // or flag bit 11, or when the OEM code page cannot hold them.
    bool EntryUsesUtf8(TZipItem* entry);
    // Sets the archive comment from its stored bytes.
    void SetCommentBytes(const TByteString& bytes);

protected:
    void Dispose() override;
    // Extra fields are skipped; a subclass may read them here.
    virtual void ReadExtraField(TZipItem*, TConstByteSpan) {}
    // The central header of entry composed at position; -1 when it does
    // not fit in buffer.
    int32_t WriteCentralHeader(TZipItem* entry, TByteSpan buffer, int32_t position);
    // The entry's name as written, in the encoding the entry settles on;
    // flag bit 11 is set when that is UTF-8.
    AnsiString EncodeEntryName(TZipItem* entry, bool& utf8);

private:
    // What a central header says about the tree item, until the whole
    // directory proves sound. Comments are rare: kept apart, to keep it small.
    struct TPendingItem {
        uint32_t DosTime;
        uint64_t Size;
        uint64_t PackedSize;
        TArchAttributes Attributes;
    };
    struct TPendingComment {
        int32_t Index;
        WideString Comment;
    };
    void ReadDirectory(TStream* stream);
    // What an end record says: from the ZIP64 end record where a locator
    // stands in front of it. At: where the directory should end.
    struct TEndValues {
        uint64_t Count, DirectorySize, DirectoryOffset;
        int64_t At;
        uint16_t CommentLength;
        bool Zip64Lost;
    };
    TEndValues EndValues(TConstByteSpan buffer, int32_t length, int32_t index);
    // Reads count bytes at position from the buffer, else from the stream.
    bool ReadAt(int64_t position, TConstByteSpan buffer, int32_t length, uint8_t* out, int32_t count);
    // How well the end record at index of buffer fits the file: 0 best,
    // 3 not at all. Sets shift to the bytes in front it implies.
    int EndRecordFit(TConstByteSpan buffer, int32_t length, int32_t index, int64_t& shift);
    bool HasSignatureAt(int64_t position, uint32_t signature, TConstByteSpan buffer = {}, int32_t length = 0);
    // Gives every entry the offset its data must end before.
    void SetEntryLimits(int64_t end);
    // The entry for the local header at p, found at offset at by the
    // recovery scan; the packed size it claims, to be skipped.
    int64_t AddScannedEntry(const TZipLocalHeader& header, const uint8_t* p, int64_t at);
    void TakeDescriptor(const uint8_t* p, int64_t at);
    void CreatePendingItems(int32_t first);
    void DropEntriesFrom(int32_t first);
    void AllocateBuffer(TStream* stream);
    // Reads up to count bytes (no more than the buffer holds) into Buffer.
    int32_t ReadChunk(TStream* stream, int32_t count);
    void AdvanceProgress(int64_t bytes);
    void ClearPending();

    std::vector<TPendingItem> FPending;
    std::vector<TPendingComment> FPendingComments;
    // Of the buffer FindEndRecord searches, and what it found there.
    int64_t FBufferStart = 0;
    int64_t FEndRecordShift = 0;
    // Where the data of the entry the scan found last begins.
    int64_t FScannedDataStart = 0;
};

// The class archives make their structures of: a program with its own
// structure (reading extra fields, say) sets it at start-up.
using TZipStructureClass = TZipStructure* (*)();
extern TZipStructureClass ZipStructureClass;
