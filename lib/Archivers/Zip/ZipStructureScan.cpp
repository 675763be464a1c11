// The recovery scan: entries from the local headers when the directory
// is missing or damaged.
#include <algorithm>
#include "Archivers/Zip/ZipBytes.h"
#include "Archivers/Zip/ZipStructure.h"
#include "Archivers/Zip/ZipStructureParts.h"

using namespace ZipRecord;
using namespace ZipStructureParts;

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
    static_cast<void>(entry.Detach());  // the directory holds it now
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
