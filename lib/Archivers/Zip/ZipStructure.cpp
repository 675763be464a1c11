// The structure itself and reading its directory: the end record (ZIP64 too),
// then the central headers into the archive tree.
#include "Archivers/Zip/ZipStructure.h"
#include <algorithm>
#include "Archivers/Zip/ZipStructureParts.h"
#include "Foundation/CodePages.h"
#include "Foundation/ErrorReport.h"
#include "Foundation/ScopeExit.h"

using namespace ZipRecord;
using namespace ZipStructureParts;

namespace {

// The blocks of an extra field, as (ID, data); a block that runs past the
// end stops the walk, and the rest is left as it is.
template <class TVisit>
size_t ForEachExtraBlock(TConstByteSpan extra, TVisit visit) {
    size_t at = 0;
    while (at + 4 <= extra.size()) {
        uint16_t id = GetLE<uint16_t>(extra.data() + at), length = GetLE<uint16_t>(extra.data() + at + 2);
        if (at + 4 + length > extra.size()) break;
        visit(id, extra.subspan(at + 4, length), at);
        at += 4 + size_t(length);
    }
    return at;
}

}  // namespace

namespace ZipStructureParts {

void ReadZip64Values(TConstByteSpan extra, std::initializer_list<uint64_t*> values) {
    ForEachExtraBlock(extra, [&](uint16_t id, TConstByteSpan data, size_t) {
        if (id != ZipRecord::Zip64ExtraId) return;
        size_t at = 0;
        for (uint64_t* value : values) {
            if (*value != Zip64Marker) continue;
            if (at + 8 > data.size()) throw EArchiveBroken("ZIP64 extra field is too short");
            *value = GetLE<uint64_t>(data.data() + at);
            at += 8;
        }
    });
}

bool ExtraBlocksFit(TConstByteSpan extra) {
    return extra.size() - ForEachExtraBlock(extra, [](uint16_t, TConstByteSpan, size_t) {}) < 4;
}

bool IsUtf8BeyondAscii(const uint8_t* bytes, int32_t count) {
    if (std::all_of(bytes, bytes + count, [](uint8_t b) { return b < 0x80; })) return false;
    TByteString original(reinterpret_cast<const char*>(bytes), size_t(count));
    return WideToUtf8(Utf8ToWide(original)) == original;
}

WideString TreePath(WideString name, bool& isFolder) {
    isFolder = !name.empty() && (name.back() == u'/' || name.back() == u'\\');
    // Made in place: the path is never longer than the name.
    size_t length = 0;
    for (char16_t c : name) {
        if (c == u'/') c = u'\\';
        if (c == u'\\' && (length == 0 || name[length - 1] == u'\\')) continue;
        name[length++] = c;
    }
    if (length > 0 && name[length - 1] == u'\\') --length;
    name.resize(length);
    return name;
}

void SetItemTimes(TArchItem* item, uint32_t dosTime) {
    TSystemTime time = DosToSystemTime(dosTime);
    item->ModifiedTime = item->AccessedTime = item->CreatedTime = time;
}

}  // namespace ZipStructureParts

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

TZipStructure::TZipStructure() : Entries(MakeRef<TObjectList>()) {}

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

bool TZipStructure::HasSignatureAt(int64_t position, uint32_t signature, TConstByteSpan buffer, int32_t length) {
    uint8_t bytes[4];
    return ReadAt(position, buffer, length, bytes, 4) && GetLE<uint32_t>(bytes) == signature;
}

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
    TZipEndRecord end;
    DecodeRecord(buffer.data() + index, end);
    int64_t at = FBufferStart + index;
    TEndValues values{end.Count, end.DirectorySize, end.DirectoryOffset, at, end.CommentLength, false};
    uint8_t bytes[Zip64EndRecordSize];
    TZip64Locator locator;
    TZip64EndRecord record;
    if (!ReadAt(at - Zip64LocatorSize, buffer, length, bytes, Zip64LocatorSize) || !DecodeRecord(bytes, locator))
        return values;
    // Where the locator says, or right in front of it when bytes were put
    // in front of the archive.
    uint64_t said = locator.EndRecordOffset;
    const int64_t places[] = {said < uint64_t(at) ? int64_t(said) : -1, at - Zip64LocatorSize - Zip64EndRecordSize};
    for (int64_t place : places)
        if (ReadAt(place, buffer, length, bytes, Zip64EndRecordSize) && DecodeRecord(bytes, record))
            return {record.Count, record.DirectorySize, record.DirectoryOffset, place, end.CommentLength, false};
    values.Zip64Lost = true;
    return values;
}

// A record inside an archive comment, or one of a stub's own archive, may
// carry the signature too: the one that counts has its directory end where
// it begins (less any bytes put in front of the archive) and its comment
// reach the end of the file.
int TZipStructure::EndRecordFit(TConstByteSpan buffer, int32_t length, int32_t index, int64_t& shift) {
    TEndValues values = EndValues(buffer, length, index);
    int64_t commentEnd = int64_t(index) + EndRecordSize + values.CommentLength;
    if (values.DirectorySize > uint64_t(values.At) || values.DirectoryOffset > uint64_t(values.At)) return 3;
    int64_t directoryOffset = int64_t(values.DirectoryOffset);
    shift = values.At - int64_t(values.DirectorySize) - directoryOffset;
    if (shift < 0 || commentEnd > length) return 3;
    int closeness = commentEnd == length ? 0 : 1;
    if (values.DirectorySize == 0) return values.Count == 0 ? closeness : 3;
    if (HasSignatureAt(directoryOffset + shift, ZipSignature::CentralHeader, buffer, length)) return closeness;
    // Records between the directory and this one: the offsets were right
    // as written.
    shift = 0;
    return HasSignatureAt(directoryOffset, ZipSignature::CentralHeader, buffer, length) ? 2 : 3;
}

bool TZipStructure::FindEndRecord(TConstByteSpan buffer, int32_t length, uint64_t& directorySize,
                                  uint64_t& directoryOffset) {
    length = std::min<int32_t>(length, int32_t(buffer.size()));
    int32_t best = -1;
    int bestFit = 4;
    for (int32_t i = length - EndRecordSize; i >= 0 && bestFit > 0; --i) {
        if (GetLE<uint32_t>(buffer.data() + i) != ZipSignature::EndRecord) continue;
        int64_t shift;
        int fit = EndRecordFit(buffer, length, i, shift);
        if (fit >= bestFit) continue;
        best = i;
        bestFit = fit;
        // A record that fits nowhere is read as it stands, and fails.
        FEndRecordShift = fit < 3 ? shift : 0;
    }
    if (best < 0) return false;
    // A record whose comment holds this one may fit as well: two readings.
    EndFacts = {FBufferStart + best, -1, false, false};
    for (int32_t i = best - 1; bestFit == 0 && i >= std::max(0, best - 0xFFFF); --i) {
        int64_t shift;
        if (GetLE<uint32_t>(buffer.data() + i) == ZipSignature::EndRecord &&
            EndRecordFit(buffer, length, i, shift) == 0) {
            EndFacts.OtherAt = FBufferStart + i;
            break;
        }
    }
    TEndValues values = EndValues(buffer, length, best);
    directorySize = values.DirectorySize;
    directoryOffset = values.DirectoryOffset;
    EndFacts.Zip64Lost = values.Zip64Lost;
    EndFacts.CommentCut = values.CommentLength > length - best - EndRecordSize;
    int32_t commentLength = std::min<int32_t>(values.CommentLength, length - best - EndRecordSize);
    SetCommentBytes(
        TByteString(reinterpret_cast<const char*>(buffer.data()) + best + EndRecordSize, size_t(commentLength)));
    return true;
}

int32_t TZipStructure::ParseCentralRecords(TConstByteSpan buffer, int32_t length, int32_t start) {
    length = std::min<int32_t>(length, int32_t(buffer.size()));
    while (start >= 0 && start + CentralHeaderSize <= length) {
        const uint8_t* p = buffer.data() + start;
        TZipCentralHeader header;
        if (!DecodeRecord(p, header)) throw EArchiveBroken::CreateFmt("%08X %d", GetLE<uint32_t>(p), start);
        int32_t recordLength = CentralHeaderSize + header.NameLength + header.ExtraLength + header.CommentLength;
        // Completed by the next read.
        if (recordLength > length - start) break;

        auto entry = MakeRef<TZipItem>();
        entry->Flags = header.Flags;
        UseUtf8 = (entry->Flags & ZipFlag::Utf8) != 0;
        entry->HostSystem = header.HostSystem;
        entry->Method = header.Method;
        entry->Crc32 = header.Crc32;
        entry->ExternalAttributes = header.ExternalAttributes;
        entry->NameBytes.assign(reinterpret_cast<const char*>(p) + CentralHeaderSize, size_t(header.NameLength));
        TConstByteSpan extra =
            buffer.subspan(size_t(start + CentralHeaderSize + header.NameLength), size_t(header.ExtraLength));
        uint64_t size = header.Size, packedSize = header.PackedSize, localOffset = header.LocalOffset;
        ReadZip64Values(extra, {&size, &packedSize, &localOffset});
        // An offset past what a stream can reach lies past its end: that
        // entry is damaged, not the directory.
        entry->LocalOffset =
            localOffset > uint64_t(INT64_MAX - BytesInFront) ? INT64_MAX : int64_t(localOffset) + BytesInFront;
        entry->CentralExtra = WithoutZip64(extra);
        entry->CentralRecord.assign(reinterpret_cast<const char*>(p), size_t(recordLength));

        TPendingItem pending;
        pending.Attributes = HostAttributes(entry->HostSystem, entry->ExternalAttributes);
        if (entry->Flags & ZipFlag::Encrypted) pending.Attributes.Include(TArchAttribute::Encrypted);
        pending.DosTime = header.DosTime;
        pending.PackedSize = packedSize;
        pending.Size = size;
        if (header.CommentLength > 0) {
            const uint8_t* comment = p + CentralHeaderSize + header.NameLength + header.ExtraLength;
            entry->CommentBytes.assign(reinterpret_cast<const char*>(comment), size_t(header.CommentLength));
            FPendingComments.push_back({int32_t(FPending.size()), DecodeZipText(entry->CommentBytes, UseUtf8)});
        }
        ReadExtraField(entry.Get(), extra);

        FPending.push_back(std::move(pending));
        if (Entries->Add(entry.Get()) < 0) throw EOutOfMemory("Out of memory");
        static_cast<void>(entry.Detach());  // the directory holds it now
        start += recordLength;
    }
    return start;
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
    if (BytesInFront > 0 && n >= CentralHeaderSize) {
        TZipCentralHeader first;
        DecodeRecord(Buffer.data(), first);  // its signature is checked with the rest
        if (!HasSignatureAt(first.LocalOffset + BytesInFront, ZipSignature::LocalHeader))
            throw EArchiveBroken("Error in end of central dir header");
    }
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
    const int32_t first = Count();
    AllocateBuffer(stream);
    // Entries still pending when the read fails never reached the tree.
    const TScopeExit release([this, first] {
        if (!FPending.empty()) DropEntriesFrom(first);
        ClearPending();
        std::vector<uint8_t>().swap(Buffer);
    });
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
}

void TZipStructure::ClearPending() {
    std::vector<TPendingItem>().swap(FPending);
    std::vector<TPendingComment>().swap(FPendingComments);
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
