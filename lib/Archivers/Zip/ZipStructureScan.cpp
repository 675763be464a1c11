// The recovery scan: entries from the local headers when the directory
// is missing or damaged.
#include <algorithm>
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
    EndFacts = {};

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
            uint32_t signature = GetLE<uint32_t>(p);
            bool local = signature == ZipSignature::LocalHeader;
            TZipLocalHeader header;  // all zero where the chunk ends inside it
            if (local && i + LocalHeaderSize <= n) DecodeRecord(p, header);
            int32_t needed = local ? LocalHeaderSize + header.NameLength + header.ExtraLength : 4;
            if (signature == ZipSignature::DataDescriptor) needed = DataDescriptorSize;
            // Read again from here with the next chunk; at the end of the
            // file it is a cut record.
            if (needed > n - i && !lastChunk) break;
            if (needed > n - i || !local) {
                if (needed <= n - i && signature == ZipSignature::DataDescriptor) TakeDescriptor(p, chunkStart + i);
                index = i + 2;
                continue;
            }
            index = i + int64_t(needed) + AddScannedEntry(header, p, chunkStart + i);
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

int64_t TZipStructure::AddScannedEntry(const TZipLocalHeader& header, const uint8_t* p, int64_t at) {
    UseUtf8 = (header.Flags & ZipFlag::Utf8) != 0;
    TByteString nameBytes(reinterpret_cast<const char*>(p) + LocalHeaderSize, size_t(header.NameLength));
    bool isFolder;
    WideString path = TreePath(DecodeZipText(nameBytes, UseUtf8), isFolder);
    TArchItem* item = CreateItem(path, isFolder);
    if (!item) return header.PackedSize;
    SetItemTimes(item, header.DosTime);
    TArchAttributes attributes;
    if (isFolder) attributes.Include(TArchAttribute::Folder);
    if (header.Flags & ZipFlag::Encrypted) attributes.Include(TArchAttribute::Encrypted);
    item->SetAttributes(attributes);
    item->Size = header.Size;
    item->PackedSize = header.PackedSize;

    auto entry = MakeRef<TZipItem>();
    entry->Item = item;
    entry->LocalOffset = at;
    entry->Method = header.Method;
    entry->Crc32 = header.Crc32;
    entry->Flags = header.Flags;
    entry->HostSystem = ZipHost::Dos;
    entry->NameBytes = std::move(nameBytes);
    // The numbers follow the data; until a descriptor that fits is found
    // they are not known (a folder has none).
    entry->SizesKnown = !(header.Flags & ZipFlag::DataDescriptor) || isFolder;
    FScannedDataStart = at + LocalHeaderSize + header.NameLength + header.ExtraLength;
    ReadExtraField(entry.Get(), TConstByteSpan(p + LocalHeaderSize + header.NameLength, size_t(header.ExtraLength)));
    if (Entries->Add(entry.Get()) < 0) throw EOutOfMemory("Out of memory");
    static_cast<void>(entry.Detach());  // the directory holds it now
    return header.PackedSize;
}

// A descriptor counts for the entry found last only where its packed size
// reaches exactly from that entry's data to the descriptor: the signature
// may occur inside packed data too.
void TZipStructure::TakeDescriptor(const uint8_t* p, int64_t at) {
    if (Count() == 0) return;
    TZipItem* last = Entry(Count() - 1);
    TZipDataDescriptor descriptor;
    DecodeRecord(p, descriptor);
    if (last->SizesKnown || at - FScannedDataStart != int64_t(descriptor.PackedSize)) return;
    last->Crc32 = descriptor.Crc32;
    last->Item->PackedSize = descriptor.PackedSize;
    last->Item->Size = descriptor.Size;
    last->SizesKnown = true;
}
