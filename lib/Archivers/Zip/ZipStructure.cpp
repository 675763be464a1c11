#include "Archivers/Zip/ZipStructure.h"
#include <algorithm>
#include "Archivers/Zip/ZipBytes.h"
#include "Foundation/CodePages.h"
#include "Foundation/ErrorReport.h"

using namespace ZipRecord;

namespace {

// Values of 0xFFFFFFFF and more need ZIP64 (0xFFFFFFFF itself tells
// readers to look for a ZIP64 field).
constexpr uint64_t Max32 = 0xFFFFFFFE;
constexpr uint32_t Zip64Marker = 0xFFFFFFFF;
constexpr uint16_t Zip64Version = 45;

// A local header written without ZIP64 room cannot take a size that
// outgrew it: writing it cut would give a corrupt archive.
uint32_t Field32(TZipItem* entry, uint64_t value) {
    if (value > Max32)
        throw EArchiveError("Entry \"" + WideToAnsi(entry->Name()) +
                            "\" grew to 4 GiB or more after its local header was written without room for ZIP64 sizes");
    return uint32_t(value);
}

uint16_t Field16(TZipItem* entry, size_t length) {
    if (length > 0xFFFF)
        throw EArchiveError("Entry \"" + WideToAnsi(entry->Name()) +
                            "\": the name or comment is longer than 65535 bytes");
    return uint16_t(length);
}

// DOS attribute bits and the tree's elements they map to.
struct TDosAttribute {
    uint8_t Bit;
    TArchAttribute Element;
};
constexpr TDosAttribute DosAttributes[] = {
    {0x01, TArchAttribute::ReadOnly}, {0x02, TArchAttribute::Hidden},  {0x04, TArchAttribute::System},
    {0x10, TArchAttribute::Folder},   {0x20, TArchAttribute::Archive},
};

uint8_t DosAttributeByte(TArchAttributes attributes) {
    uint8_t bits = 0;
    for (const TDosAttribute& a : DosAttributes)
        if (attributes.Contains(a.Element)) bits |= a.Bit;
    return bits;
}

TByteString EncodeText(const WideString& text, bool utf8) {
    return WideToBytes(text, utf8 ? CodePage::Utf8 : CodePage::Oem);
}

// Tools on macOS and Linux write UTF-8 names without flag bit 11. Bytes
// that decode as UTF-8 and back unchanged are taken as such; plain ASCII
// reads the same either way.
bool IsUtf8BeyondAscii(const uint8_t* bytes, int32_t count) {
    if (std::all_of(bytes, bytes + count, [](uint8_t b) { return b < 0x80; })) return false;
    TByteString original(reinterpret_cast<const char*>(bytes), size_t(count));
    return WideToUtf8(Utf8ToWide(original)) == original;
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

// The blocks of an extra field, as (ID, data); a block that runs past the
// end stops the walk, and the rest is left as it is.
template <class TVisit>
size_t ForEachExtraBlock(TConstByteSpan extra, TVisit visit) {
    size_t at = 0;
    while (at + 4 <= extra.size()) {
        uint16_t id = Get16(extra.data() + at), length = Get16(extra.data() + at + 2);
        if (at + 4 + length > extra.size()) break;
        visit(id, extra.subspan(at + 4, length), at);
        at += 4 + size_t(length);
    }
    return at;
}

// Replaces each header value that holds the ZIP64 marker with the next
// 64-bit value of the ZIP64 field, in the field's order.
void ReadZip64Values(TConstByteSpan extra, std::initializer_list<uint64_t*> values) {
    ForEachExtraBlock(extra, [&](uint16_t id, TConstByteSpan data, size_t) {
        if (id != ZipRecord::Zip64ExtraId) return;
        size_t at = 0;
        for (uint64_t* value : values) {
            if (*value != Zip64Marker) continue;
            if (at + 8 > data.size()) throw EArchiveBroken("ZIP64 extra field is too short");
            *value = Get64(data.data() + at);
            at += 8;
        }
    });
}

// The name as written: both separators become the structure's.
WideString StoredName(const WideString& name, char16_t separator) {
    WideString stored = name;
    for (char16_t& c : stored)
        if (c == u'\\' || c == u'/') c = separator;
    return stored;
}

// A stored name as a tree path; a trailing separator marks a folder.
// Empty components (a leading separator, doubled ones) have no place in the
// tree and are left out of the path; the entry keeps its name as stored, so
// that it is still listed, tested and refused on extraction.
WideString TreePath(const WideString& name, bool& isFolder) {
    WideString path;
    path.reserve(name.size());
    for (char16_t c : name) {
        if (c == u'/') c = u'\\';
        if (c == u'\\' && (path.empty() || path.back() == u'\\')) continue;
        path += c;
    }
    isFolder = !name.empty() && (name.back() == u'/' || name.back() == u'\\');
    if (!path.empty() && path.back() == u'\\') path.pop_back();
    return path;
}

void SetItemTimes(TArchItem* item, uint32_t dosTime) {
    TSystemTime time = DosToSystemTime(dosTime);
    item->ModifiedTime = item->AccessedTime = item->CreatedTime = time;
}

void PutZip64Header(uint8_t* p, int32_t fields) {
    Put16(p, Zip64ExtraId);
    Put16(p + 2, uint32_t(fields * 8));
}

}  // namespace

uint32_t SystemTimeToDos(const TSystemTime& time) {
    if (time.Year < 1980) return (0u << 9 | 1u << 5 | 1u) << 16;
    if (time.Year > 2107) return (127u << 9 | 12u << 5 | 31u) << 16 | (23u << 11 | 59u << 5 | 29u);
    uint32_t date = uint32_t(time.Year - 1980) << 9 | uint32_t(time.Month & 15) << 5 | (time.Day & 31);
    uint32_t clock = uint32_t(time.Hour & 31) << 11 | uint32_t(time.Minute & 63) << 5 | (time.Second / 2 & 31);
    return date << 16 | clock;
}

TSystemTime DosToSystemTime(uint32_t dosDateTime) {
    uint32_t date = dosDateTime >> 16, clock = dosDateTime & 0xFFFF;
    TSystemTime time;
    time.Year = uint16_t(1980 + (date >> 9));
    time.Month = uint16_t(date >> 5 & 15);
    time.Day = uint16_t(date & 31);
    time.Hour = uint16_t(clock >> 11);
    time.Minute = uint16_t(clock >> 5 & 63);
    time.Second = uint16_t((clock & 31) * 2);
    return time;
}

WideString DecodeZipText(const TByteString& bytes, bool utf8Flag) {
    auto data = reinterpret_cast<const uint8_t*>(bytes.data());
    int32_t count = int32_t(bytes.size());
    bool utf8 = utf8Flag || IsUtf8BeyondAscii(data, count);
    return BufferToWide(data, size_t(count), utf8 ? CodePage::Utf8 : CodePage::Oem);
}

TByteString WithoutZip64(TConstByteSpan extra) {
    TByteString kept;
    size_t end = ForEachExtraBlock(extra, [&](uint16_t id, TConstByteSpan data, size_t at) {
        if (id != ZipRecord::Zip64ExtraId)
            kept.append(reinterpret_cast<const char*>(extra.data()) + at, data.size() + 4);
    });
    kept.append(reinterpret_cast<const char*>(extra.data()) + end, extra.size() - end);
    return kept;
}

WideString TZipItem::Name() const {
    if (NameBytes.empty()) {
        WideString path = Item ? Item->Path() : WideString();
        std::replace(path.begin(), path.end(), u'\\', u'/');
        return path;
    }
    return DecodeZipText(NameBytes, (Flags & ZipFlag::Utf8) != 0);
}

TZipStructureClass ZipStructureClass = [] { return New<TZipStructure>(); };

TZipStructure::TZipStructure() : Entries(MakeRef<TList>()) {}

void TZipStructure::Dispose() {
    std::vector<uint8_t>().swap(Buffer);
    Clear();
    Entries.Reset();
    TZipSimpleItem::Dispose();
}

void TZipStructure::Clear() {
    Entries->FreeAll();
    Comment.clear();
}

TArchAttributes TZipStructure::HostAttributes(uint8_t host, uint32_t external) {
    TArchAttributes attributes;
    if (host != 0 && host != 10 && host != 11 && host != 14) return attributes;
    for (const TDosAttribute& a : DosAttributes)
        if (external & a.Bit) attributes.Include(a.Element);
    return attributes;
}

void TZipStructure::SeekTo(TStream* stream, int64_t offset) { stream->SetPosition(offset); }

WideString TZipStructure::DecodeText(const uint8_t* bytes, int32_t count) const {
    bool utf8 = UseUtf8 || IsUtf8BeyondAscii(bytes, count);
    return BufferToWide(bytes, size_t(count), utf8 ? CodePage::Utf8 : CodePage::Oem);
}

bool TZipStructure::EntryUsesUtf8(TZipItem* entry) {
    if (UseUtf8 || (entry->Flags & ZipFlag::Utf8)) return true;
    return !FitsOem(entry->Name()) || (entry->Item && !FitsOem(entry->Item->Comment));
}

void TZipStructure::SetCommentBytes(const TByteString& bytes) {
    CommentBytes = bytes;
    Comment = DecodeZipText(bytes, UseUtf8);
    CommentUtf8 = UseUtf8 || IsUtf8BeyondAscii(reinterpret_cast<const uint8_t*>(bytes.data()), int32_t(bytes.size()));
}

// ---- reading

void TZipStructure::AllocateBuffer(TStream* stream) {
    int64_t size = stream->GetSize();
    size_t needed = size >= 0 && size < BufferSize ? size_t(size) : size_t(BufferSize);
    if (Buffer.size() < needed) Buffer.resize(needed);
}

int32_t TZipStructure::ReadChunk(TStream* stream, int32_t count) {
    count = std::min<int32_t>(count, int32_t(Buffer.size()));
    int32_t done = 0;
    while (done < count) {
        int32_t n = stream->Read(Buffer, done, count - done);
        if (n <= 0) break;
        done += n;
    }
    return done;
}

bool TZipStructure::HasCentralHeaderAt(int64_t position, TConstByteSpan buffer, int32_t length) {
    if (position >= FBufferStart && position - FBufferStart + 4 <= length)
        return Get32(buffer.data() + (position - FBufferStart)) == ZipSignature::CentralHeader;
    return HasSignatureAt(position, ZipSignature::CentralHeader);
}

bool TZipStructure::HasLocalHeaderAt(int64_t position) { return HasSignatureAt(position, ZipSignature::LocalHeader); }

bool TZipStructure::HasSignatureAt(int64_t position, uint32_t signature) {
    if (!Stream) return false;
    uint8_t bytes[4];
    SeekTo(Stream, position);
    int32_t done = 0;
    for (int32_t n; done < 4 && (n = Stream->Read(bytes + done, 4 - done)) > 0;) done += n;
    return done == 4 && Get32(bytes) == signature;
}

// A record inside an archive comment, or one of a stub's own archive, may
// carry the signature too: the one that counts has its directory end where
// it begins (less any bytes put in front of the archive) and its comment
// reach the end of the file.
bool TZipStructure::ReadAt(int64_t position, TConstByteSpan buffer, int32_t length, uint8_t* out, int32_t count) {
    if (position < 0) return false;
    if (position >= FBufferStart && position - FBufferStart + count <= length) {
        std::copy_n(buffer.data() + (position - FBufferStart), count, out);
        return true;
    }
    if (!Stream) return false;
    SeekTo(Stream, position);
    int32_t done = 0;
    for (int32_t n; done < count && (n = Stream->Read(out + done, count - done)) > 0;) done += n;
    return done == count;
}

TZipStructure::TEndValues TZipStructure::EndValues(TConstByteSpan buffer, int32_t length, int32_t index) {
    const uint8_t* p = buffer.data() + index;
    int64_t at = FBufferStart + index;
    TEndValues values{Get16(p + 10), Get32(p + 12), Get32(p + 16), at};
    uint8_t locator[Zip64LocatorSize], record[Zip64EndRecordSize];
    if (!ReadAt(at - Zip64LocatorSize, buffer, length, locator, Zip64LocatorSize) ||
        Get32(locator) != ZipSignature::Zip64Locator)
        return values;
    // Where the locator says, or right in front of it when bytes were put
    // in front of the archive.
    uint64_t said = Get64(locator + 8);
    const int64_t places[] = {said < uint64_t(at) ? int64_t(said) : -1, at - Zip64LocatorSize - Zip64EndRecordSize};
    for (int64_t place : places) {
        if (!ReadAt(place, buffer, length, record, Zip64EndRecordSize) || Get32(record) != ZipSignature::Zip64EndRecord)
            continue;
        return {Get64(record + 32), Get64(record + 40), Get64(record + 48), place};
    }
    return values;
}

int TZipStructure::EndRecordFit(TConstByteSpan buffer, int32_t length, int32_t index, int64_t& shift) {
    const uint8_t* p = buffer.data() + index;
    TEndValues values = EndValues(buffer, length, index);
    int64_t commentEnd = int64_t(index) + EndRecordSize + Get16(p + 20);
    if (values.DirectorySize > uint64_t(values.At) || values.DirectoryOffset > uint64_t(values.At)) return 3;
    int64_t directoryOffset = int64_t(values.DirectoryOffset);
    shift = values.At - int64_t(values.DirectorySize) - directoryOffset;
    if (shift < 0 || commentEnd > length) return 3;
    int closeness = commentEnd == length ? 0 : 1;
    if (values.DirectorySize == 0) return values.Count == 0 ? closeness : 3;
    if (HasCentralHeaderAt(directoryOffset + shift, buffer, length)) return closeness;
    // Records between the directory and this one: the offsets were right
    // as written.
    shift = 0;
    return HasCentralHeaderAt(directoryOffset, buffer, length) ? 2 : 3;
}

bool TZipStructure::FindEndRecord(TConstByteSpan buffer, int32_t length, uint64_t& directorySize,
                                  uint64_t& directoryOffset) {
    length = std::min<int32_t>(length, int32_t(buffer.size()));
    int32_t best = -1;
    int bestFit = 4;
    for (int32_t i = length - EndRecordSize; i >= 0 && bestFit > 0; --i) {
        if (Get32(buffer.data() + i) != ZipSignature::EndRecord) continue;
        int64_t shift;
        int fit = EndRecordFit(buffer, length, i, shift);
        if (fit >= bestFit) continue;
        best = i;
        bestFit = fit;
        // A record that fits nowhere is read as it stands, and fails.
        FEndRecordShift = fit < 3 ? shift : 0;
    }
    if (best < 0) return false;
    const uint8_t* p = buffer.data() + best;
    TEndValues values = EndValues(buffer, length, best);
    directorySize = values.DirectorySize;
    directoryOffset = values.DirectoryOffset;
    int32_t commentLength = std::min<int32_t>(Get16(p + 20), length - best - EndRecordSize);
    SetCommentBytes(TByteString(reinterpret_cast<const char*>(p) + EndRecordSize, size_t(commentLength)));
    return true;
}

int32_t TZipStructure::ParseCentralRecords(TConstByteSpan buffer, int32_t length, int32_t start) {
    length = std::min<int32_t>(length, int32_t(buffer.size()));
    while (start >= 0 && start + CentralHeaderSize <= length) {
        const uint8_t* p = buffer.data() + start;
        uint32_t signature = Get32(p);
        if (signature != ZipSignature::CentralHeader) throw EArchiveBroken::CreateFmt("%08X %d", signature, start);
        int32_t nameLength = Get16(p + 28), extraLength = Get16(p + 30), commentLength = Get16(p + 32);
        int32_t recordLength = CentralHeaderSize + nameLength + extraLength + commentLength;
        // Completed by the next read.
        if (recordLength > length - start) break;

        auto entry = MakeRef<TZipItem>();
        entry->Flags = Get16(p + 8);
        UseUtf8 = (entry->Flags & ZipFlag::Utf8) != 0;
        entry->HostSystem = p[5];
        entry->Method = Get16(p + 10);
        entry->Crc32 = Get32(p + 16);
        entry->ExternalAttributes = Get32(p + 38);
        entry->NameBytes.assign(reinterpret_cast<const char*>(p) + CentralHeaderSize, size_t(nameLength));
        TConstByteSpan extra = buffer.subspan(size_t(start + CentralHeaderSize + nameLength), size_t(extraLength));
        uint64_t size = Get32(p + 24), packedSize = Get32(p + 20), localOffset = Get32(p + 42);
        ReadZip64Values(extra, {&size, &packedSize, &localOffset});
        if (localOffset > uint64_t(INT64_MAX - BytesInFront)) throw EArchiveBroken("Local header offset out of range");
        entry->LocalOffset = int64_t(localOffset) + BytesInFront;
        entry->CentralExtra = WithoutZip64(extra);

        TPendingItem pending;
        pending.Attributes = HostAttributes(entry->HostSystem, entry->ExternalAttributes);
        if (entry->Flags & ZipFlag::Encrypted) pending.Attributes.Include(TArchAttribute::Encrypted);
        pending.DosTime = uint32_t(Get16(p + 14)) << 16 | Get16(p + 12);
        pending.PackedSize = packedSize;
        pending.Size = size;
        if (commentLength > 0) {
            const uint8_t* comment = p + CentralHeaderSize + nameLength + extraLength;
            entry->CommentBytes.assign(reinterpret_cast<const char*>(comment), size_t(commentLength));
            FPendingComments.push_back({int32_t(FPending.size()), DecodeText(comment, commentLength)});
        }
        ReadExtraField(entry.Get(), extra);

        FPending.push_back(std::move(pending));
        if (Entries->Add(entry.Get()) < 0) throw EOutOfMemory("Out of memory");
        entry.Detach();
        start += recordLength;
    }
    return start;
}

void TZipStructure::AdvanceProgress(int64_t bytes) {
    if (CallBack && CallBack->TotalProgress)
        CallBack->TotalProgress->SetPosition(CallBack->TotalProgress->Position + uint64_t(bytes));
}

void TZipStructure::ReadDirectory(TStream* stream) {
    int64_t size = stream->GetSize();
    if (size < 0) throw EArchiveError("The size of the archive stream is unknown");
    int64_t tail = size > BufferSize ? size - BufferSize : 0;
    SeekTo(stream, tail);
    int32_t n = ReadChunk(stream, int32_t(size - tail));

    FBufferStart = tail;
    FEndRecordShift = 0;
    uint64_t directorySize = 0, directoryOffset = 0;
    if (!FindEndRecord(Buffer, n, directorySize, directoryOffset)) throw EArchiveBroken("End header cannot be found");
    BytesInFront = FEndRecordShift;
    // A directory that runs past the end of the file cannot be read whole.
    if (directoryOffset > uint64_t(size) || directorySize > uint64_t(size))
        throw EArchiveBroken("Error in end of central dir header");
    int64_t directoryStart = int64_t(directoryOffset) + BytesInFront;
    Offset = directoryStart;
    Length = size - directoryStart;
    if ((directorySize == 0 && directoryOffset != 0) || directoryStart > size ||
        directoryStart + int64_t(directorySize) > size)
        throw EArchiveBroken("Error in end of central dir header");

    TArchiveProgress* progress = CallBack ? CallBack->TotalProgress : nullptr;
    int64_t position = directoryStart, remaining = int64_t(directorySize);
    SeekTo(stream, position);
    n = ReadChunk(stream, int32_t(std::min<int64_t>(remaining, BufferSize)));
    // A wrong directory offset looks like bytes in front too; only with a
    // local header where the first record, shifted, points is it that.
    if (BytesInFront > 0 && n >= CentralHeaderSize && !HasLocalHeaderAt(Get32(Buffer.data() + 42) + BytesInFront))
        throw EArchiveBroken("Error in end of central dir header");
    if (CallBack) CallBack->CurrentItem = nullptr;
    if (progress) {
        progress->Stage = ArchiveStage::ReadingDirectory;
        progress->Start(directorySize);
        progress->SetPosition(0);
    }
    while (remaining > 0) {
        int32_t consumed = ParseCentralRecords(Buffer, n, 0);
        remaining -= consumed;
        if (remaining <= 0) break;
        // Nothing complete in a whole read: a record claims more bytes than
        // the directory has left.
        if (consumed == 0) throw EArchiveBroken("Central directory record runs past the directory");
        position += consumed;
        SeekTo(stream, position);
        n = ReadChunk(stream, int32_t(std::min<int64_t>(remaining, BufferSize)));
        if (progress) progress->SetPosition(uint64_t(position - directoryStart));
        // Deliberate spelling: the text stays as it has always been shown.
        if (CallBack && CallBack->Aborted) throw EArchiveAbort("User aborts");
    }
    if (progress) progress->Finish();
}

void TZipStructure::CreatePendingItems(int32_t first) {
    auto comment = FPendingComments.begin();
    for (int32_t i = first; i < Count(); ++i) {
        const TPendingItem& pending = FPending[size_t(i - first)];
        TZipItem* entry = Entry(i);
        bool commented = comment != FPendingComments.end() && comment->Index == i - first;
        if (commented) ++comment;
        bool trailingSeparator;
        WideString path = TreePath(entry->Name(), trailingSeparator);
        TArchAttributes attributes = pending.Attributes;
        // A trailing separator marks a folder whatever system made the entry.
        if (trailingSeparator) attributes.Include(TArchAttribute::Folder);
        TArchItem* item = CreateItem(path, attributes.Contains(TArchAttribute::Folder));
        if (!item) {
            // A factory may refuse a name it cannot place.
            Entries->Put(i, nullptr);
            Free(entry);
            continue;
        }
        entry->Item = item;
        SetItemTimes(item, pending.DosTime);
        item->SetAttributes(attributes);
        item->Size = pending.Size;
        item->PackedSize = pending.PackedSize;
        if (commented) item->Comment = std::move((comment - 1)->Comment);
    }
    Entries->Pack();
}

void TZipStructure::DropEntriesFrom(int32_t first) {
    while (Count() > first) {
        TZipItem* entry = Entry(Count() - 1);
        Entries->Delete(Count() - 1);
        Free(entry);
    }
}

void TZipStructure::Read(TStream* stream) {
    NVX_ASSERT_MSG(CreateItem, "Assertion failure");
    Stream = stream;
    int32_t first = Count();
    AllocateBuffer(stream);
    try {
        try {
            ReadDirectory(stream);
            // A scan after a refused name allocates it again.
            std::vector<uint8_t>().swap(Buffer);
            CreatePendingItems(first);
            ClearPending();
            SetEntryLimits(Offset);
        } catch (const EArchiveBroken&) {
            // What came from the directory before it proved damaged would
            // appear a second time once the scan finds the same entries.
            DropEntriesFrom(first);
            ClearPending();
            ScanLocalHeaders(stream);
        }
    } catch (...) {
        if (!FPending.empty()) DropEntriesFrom(first);
        ClearPending();
        std::vector<uint8_t>().swap(Buffer);
        throw;
    }
    ClearPending();
    std::vector<uint8_t>().swap(Buffer);
}

void TZipStructure::ClearPending() {
    std::vector<TPendingItem>().swap(FPending);
    std::vector<TPendingComment>().swap(FPendingComments);
}

void TZipStructure::ScanLocalHeaders(TStream* stream) {
    AllocateBuffer(stream);
    int64_t size = stream->GetSize();
    TArchiveProgress* progress = CallBack ? CallBack->TotalProgress : nullptr;
    if (progress) {
        progress->Start(uint64_t(std::max<int64_t>(size, 0)));
        progress->SetPosition(0);
    }
    if (CallBack) CallBack->CurrentItem = nullptr;
    BytesInFront = 0;

    const uint8_t markerLow = uint8_t(Marker), markerHigh = uint8_t(Marker >> 8);
    int64_t chunkStart = 0;
    SeekTo(stream, 0);
    int32_t n = ReadChunk(stream, BufferSize);
    while (n > 0) {
        const uint8_t* data = Buffer.data();
        bool lastChunk = size < 0 || chunkStart + n >= size;
        int64_t index = 0;
        while (index <= n - 4) {
            int32_t i = int32_t(index);
            while (i <= n - 4 && !(data[i] == markerLow && data[i + 1] == markerHigh)) ++i;
            index = i;
            if (i > n - 4) break;
            const uint8_t* p = data + i;
            uint32_t signature = Get32(p);
            int32_t needed =
                signature == ZipSignature::DataDescriptor ? DataDescriptorSize
                : signature == ZipSignature::LocalHeader
                    ? (i + LocalHeaderSize <= n ? LocalHeaderSize + Get16(p + 26) + Get16(p + 28) : LocalHeaderSize)
                    : 4;
            // Read again from here with the next chunk; at the end of the
            // file it is a cut record.
            if (needed > n - i && !lastChunk) break;
            if (needed > n - i || signature != ZipSignature::LocalHeader) {
                if (needed <= n - i && signature == ZipSignature::DataDescriptor) TakeDescriptor(p, chunkStart + i);
                index = i + 2;
                continue;
            }
            index = i + int64_t(needed) + AddScannedEntry(p, chunkStart + i);
        }
        int64_t next = chunkStart + index;
        if (size >= 0) next = std::min(next, size);
        if (next <= chunkStart) break;
        chunkStart = next;
        SeekTo(stream, chunkStart);
        n = ReadChunk(stream, BufferSize);
        if (progress) progress->SetPosition(uint64_t(chunkStart));
        if (CallBack && CallBack->Aborted) throw EArchiveAbort("User aborted");
    }
    Offset = -1;
    Length = 0;
    SetEntryLimits(std::max<int64_t>(size, 0));
}

int64_t TZipStructure::AddScannedEntry(const uint8_t* p, int64_t at) {
    int32_t nameLength = Get16(p + 26), extraLength = Get16(p + 28);
    uint16_t flags = Get16(p + 6);
    UseUtf8 = (flags & ZipFlag::Utf8) != 0;
    WideString name = DecodeText(p + LocalHeaderSize, nameLength);
    bool isFolder;
    WideString path = TreePath(name, isFolder);
    uint32_t packedSize = Get32(p + 18);
    TArchItem* item = CreateItem(path, isFolder);
    if (!item) return packedSize;
    SetItemTimes(item, uint32_t(Get16(p + 12)) << 16 | Get16(p + 10));
    TArchAttributes attributes;
    if (isFolder) attributes.Include(TArchAttribute::Folder);
    if (flags & ZipFlag::Encrypted) attributes.Include(TArchAttribute::Encrypted);
    item->SetAttributes(attributes);
    item->Size = Get32(p + 22);
    item->PackedSize = packedSize;

    auto entry = MakeRef<TZipItem>();
    entry->Item = item;
    entry->LocalOffset = at;
    entry->Method = Get16(p + 8);
    entry->Crc32 = Get32(p + 14);
    entry->Flags = flags;
    entry->HostSystem = ZipHost::Dos;
    entry->NameBytes.assign(reinterpret_cast<const char*>(p) + LocalHeaderSize, size_t(nameLength));
    // The numbers follow the data; until a descriptor that fits is found
    // they are not known (a folder has none).
    entry->SizesKnown = !(flags & ZipFlag::DataDescriptor) || isFolder;
    FScannedDataStart = at + LocalHeaderSize + nameLength + extraLength;
    ReadExtraField(entry.Get(), TConstByteSpan(p + LocalHeaderSize + nameLength, size_t(extraLength)));
    if (Entries->Add(entry.Get()) < 0) throw EOutOfMemory("Out of memory");
    entry.Detach();
    return packedSize;
}

// A descriptor counts for the entry found last only where its packed size
// reaches exactly from that entry's data to the descriptor: the signature
// may occur inside packed data too.
void TZipStructure::TakeDescriptor(const uint8_t* p, int64_t at) {
    if (Count() == 0) return;
    TZipItem* last = Entry(Count() - 1);
    if (last->SizesKnown || at - FScannedDataStart != int64_t(Get32(p + 8))) return;
    last->Crc32 = Get32(p + 4);
    last->Item->PackedSize = Get32(p + 8);
    last->Item->Size = Get32(p + 12);
    last->SizesKnown = true;
}

void TZipStructure::SetEntryLimits(int64_t end) {
    std::vector<TZipItem*> order;
    order.reserve(size_t(Count()));
    for (int32_t i = 0; i < Count(); ++i) order.push_back(Entry(i));
    std::stable_sort(order.begin(), order.end(),
                     [](TZipItem* a, TZipItem* b) { return a->LocalOffset < b->LocalOffset; });
    // Two records of one local header leave each other no room.
    for (size_t k = 0; k < order.size(); ++k) {
        TZipItem* entry = order[k];
        bool shared = (k > 0 && order[k - 1]->LocalOffset == entry->LocalOffset) ||
                      (k + 1 < order.size() && order[k + 1]->LocalOffset == entry->LocalOffset);
        entry->Limit = shared ? entry->LocalOffset : k + 1 < order.size() ? order[k + 1]->LocalOffset : end;
    }
}

// ---- writing

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
    copy->LocalExtra = entry->LocalExtra;
    copy->CommentBytes = entry->CommentBytes;
    copy->Zip64Local = entry->Zip64Local;
    // Unix entries keep their modes (programs, links) through an update.
    if (entry->HostSystem == ZipHost::Unix || entry->ExternalKept) {
        copy->HostSystem = entry->HostSystem;
        copy->ExternalAttributes = entry->ExternalAttributes;
        copy->ExternalKept = entry->ExternalKept;
    }
    if (Entries->Add(copy.Get()) < 0) throw EOutOfMemory("Out of memory");
    return copy.Detach();
}

int64_t TZipStructure::EstimateDirectorySize() { return int64_t(Count()) * CentralHeaderSize + EndRecordSize; }

namespace {
// The values a central header gives in its ZIP64 field, in the field's
// order: sizes where the local header has them there or they do not fit,
// the offset where it does not fit.
struct TCentralValues {
    bool Sizes64, Offset64;
    int32_t Zip64Length() const { return Sizes64 || Offset64 ? 4 + 8 * ((Sizes64 ? 2 : 0) + (Offset64 ? 1 : 0)) : 0; }
};

TCentralValues CentralValues(TZipItem* entry) {
    if (entry->LocalOffset < 0)
        throw EArchiveError("Entry \"" + WideToAnsi(entry->Name()) + "\" has no local header in the archive");
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
    if (int32_t length = values.Zip64Length()) {
        PutZip64Header(p, (length - 4) / 8);
        uint8_t* field = p + 4;
        if (values.Sizes64) {
            Put64(field, entry->Item->Size);
            Put64(field + 8, entry->Item->PackedSize);
            field += 16;
        }
        if (values.Offset64) Put64(field, uint64_t(entry->LocalOffset));
        p += length;
    }
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
    uint32_t packedSize = size32(packed64), size = size32(size64);
    int32_t zip64Length = zip64 ? 20 : 0;
    uint16_t extraLength = Field16(entry, size_t(zip64Length) + entry->LocalExtra.size());

    int32_t length = LocalHeaderSize + nameLength + extraLength;
    capacity = std::min<int32_t>(capacity, int32_t(buffer.size()));
    if (position < 0 || length > capacity - position) return -1;
    uint8_t* p = buffer.data() + position;
    uint32_t dosTime = SystemTimeToDos(item->ModifiedTime);
    Put32(p, ZipSignature::LocalHeader);
    Put16(p + 4, zip64 ? Zip64Version : VersionNeeded());
    Put16(p + 6, entry->Flags);
    Put16(p + 8, entry->Method);
    Put32(p + 10, dosTime);  // time, then date
    Put32(p + 14, described ? 0 : entry->Crc32);
    Put32(p + 18, packedSize);
    Put32(p + 22, size);
    Put16(p + 26, nameLength);
    Put16(p + 28, extraLength);
    std::copy(name.begin(), name.end(), p + LocalHeaderSize);
    uint8_t* extra = p + LocalHeaderSize + nameLength;
    if (zip64) {
        PutZip64Header(extra, 2);
        Put64(extra + 4, size64 == UINT64_MAX ? 0 : size64);
        Put64(extra + 12, packed64);
    }
    std::copy(entry->LocalExtra.begin(), entry->LocalExtra.end(), extra + zip64Length);
    return length;
}

int32_t TZipStructure::WriteCentralHeader(TZipItem* entry, TByteSpan buffer, int32_t capacity, int32_t position) {
    bool utf8;
    TByteString name = EncodeEntryName(entry, utf8);
    TArchItem* item = entry->Item;
    TByteString comment = KeptOrEncoded(entry->CommentBytes, item->Comment, utf8);
    uint16_t nameLength = Field16(entry, name.size()), commentLength = Field16(entry, comment.size());
    TCentralValues values = CentralValues(entry);
    uint32_t packedSize = values.Sizes64 ? Zip64Marker : uint32_t(item->PackedSize);
    uint32_t size = values.Sizes64 ? Zip64Marker : uint32_t(item->Size);
    uint32_t localOffset = values.Offset64 ? Zip64Marker : uint32_t(entry->LocalOffset);
    uint16_t extraLength = Field16(entry, size_t(CentralExtraLength(entry)));
    uint16_t version = values.Zip64Length() > 0 ? Zip64Version : VersionNeeded();

    int32_t length = CentralHeaderSize + nameLength + extraLength + commentLength;
    capacity = std::min<int32_t>(capacity, int32_t(buffer.size()));
    if (position < 0 || length > capacity - position) return -1;
    uint8_t* p = buffer.data() + position;
    Put32(p, ZipSignature::CentralHeader);
    p[4] = uint8_t(version);
    bool asIs = entry->HostSystem == ZipHost::Unix || entry->ExternalKept;
    p[5] = asIs ? entry->HostSystem : ZipHost::Dos;
    Put16(p + 6, version);
    Put16(p + 8, entry->Flags);
    Put16(p + 10, entry->Method);
    Put32(p + 12, SystemTimeToDos(item->ModifiedTime));
    Put32(p + 16, entry->Crc32);
    Put32(p + 20, packedSize);
    Put32(p + 24, size);
    Put16(p + 28, nameLength);
    Put16(p + 30, extraLength);
    Put16(p + 32, commentLength);
    Put16(p + 34, 0);
    Put16(p + 36, 0);
    Put32(p + 38, asIs ? entry->ExternalAttributes : DosAttributeByte(item->Attributes()));
    Put32(p + 42, localOffset);
    std::copy(name.begin(), name.end(), p + CentralHeaderSize);
    WriteCentralExtra(entry, buffer, position + CentralHeaderSize + nameLength);
    std::copy(comment.begin(), comment.end(), p + CentralHeaderSize + nameLength + extraLength);
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
    if (zip64) {
        Put32(p, ZipSignature::Zip64EndRecord);
        Put64(p + 4, Zip64EndRecordSize - 12);
        Put16(p + 12, Zip64Version);
        Put16(p + 14, Zip64Version);
        Put32(p + 16, 0);
        Put32(p + 20, 0);
        Put64(p + 24, count);
        Put64(p + 32, count);
        Put64(p + 40, uint64_t(directorySize));
        Put64(p + 48, uint64_t(directoryOffset));
        uint8_t* locator = p + Zip64EndRecordSize;
        Put32(locator, ZipSignature::Zip64Locator);
        Put32(locator + 4, 0);
        Put64(locator + 8, uint64_t(directoryOffset + directorySize));
        Put32(locator + 16, 1);
        p += zip64Length;
    }
    uint32_t count16 = uint32_t(std::min<uint64_t>(count, 0xFFFF));
    Put32(p, ZipSignature::EndRecord);
    Put16(p + 4, 0);
    Put16(p + 6, 0);
    Put16(p + 8, count16);
    Put16(p + 10, count16);
    Put32(p + 12, uint32_t(std::min<uint64_t>(uint64_t(directorySize), Zip64Marker)));
    Put32(p + 16, uint32_t(std::min<uint64_t>(uint64_t(directoryOffset), Zip64Marker)));
    Put16(p + 20, uint32_t(comment.size()));
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
        int32_t length = WriteCentralHeader(entry, buffer, BufferSize, used);
        if (length < 0) {
            flush();
            length = WriteCentralHeader(entry, buffer, BufferSize, used);
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
