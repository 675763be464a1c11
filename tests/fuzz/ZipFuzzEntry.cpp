#include "ZipFuzzEntry.h"
#include <cstdlib>
#include <string>
#include <vector>
#include "Archivers/Zip/ZipArchive.h"
#include "Foundation/CodePages.h"
#include "Foundation/ErrorReport.h"
#include "Streams/Streams.h"
#include "ZipListing.h"

namespace {

TRef<TMemoryStream> StreamOf(const uint8_t* data, size_t size) {
    auto stream = MakeRef<TMemoryStream>();
    if (size > 0) stream->Write(data, int32_t(size));
    stream->SetPosition(0);
    return stream;
}

std::vector<uint8_t> BytesOf(TStream* stream) {
    std::vector<uint8_t> bytes(size_t(stream->GetSize()));
    stream->SetPosition(0);
    if (!bytes.empty() && stream->Read(bytes.data(), int32_t(bytes.size())) != int32_t(bytes.size())) std::abort();
    return bytes;
}

void Check(bool condition) {
    if (!condition) std::abort();
}

// Library exceptions are what bad input may raise; a failed assertion is
// reported already and a finding.
template <class TStep>
bool Survives(TStep step) {
    try {
        step();
        return true;
    } catch (const EAbort&) {
        std::abort();
    } catch (const Exception&) {
        return false;
    }
}

// An archive over a stream whose callback collects what it extracts and
// notes errors instead of stopping.
struct TFuzzArchive {
    TRef<TDefaultCallBack> CallBack = MakeRef<TDefaultCallBack>();
    TRef<TZipArchive> Archive = MakeRef<TZipArchive>();
    std::string Extracted;  // of the last entry
    std::string Source;     // what an added item holds
    int Errors = 0;

    explicit TFuzzArchive(TStream* stream) {
        Archive->CallBack = CallBack.Get();
        Archive->SetStream(stream);
        CallBack->OnError = [this](TArchiveCallBack*, const AnsiString&) { ++Errors; };
        CallBack->OnHeaderError = CallBack->OnError;
        CallBack->OnExtractItem = [this](TArchiveCallBack* sender, TStream* source) {
            // Sizes come from the input: read only a bounded part; the
            // archive checks the rest.
            Extracted.clear();
            char buffer[4096];
            int64_t left = std::min<int64_t>(int64_t(sender->CurrentItem->Size), 1 << 20);
            for (int32_t n; left > 0 && (n = source->Read(buffer, int32_t(std::min<int64_t>(left, 4096)))) > 0;
                 left -= n)
                Extracted.append(buffer, size_t(n));
        };
        CallBack->OnPackItem = [this](TArchiveCallBack*, TStream* target) {
            Check(target->Write(Source.data(), int32_t(Source.size())) == int32_t(Source.size()));
        };
    }
};

// What a save must keep of an entry it does not rewrite.
struct TKeptEntry {
    std::string NameBytes;
    uint16_t Flags = 0;
    WideString Comment;
    // Known only for entries that extract soundly before the save.
    bool Sound = false;
    std::string LocalExtra;
    std::string Content;
};

uint16_t Get16(const std::vector<uint8_t>& bytes, size_t at) { return uint16_t(bytes[at] | bytes[at + 1] << 8); }

// The extra field of the local header at offset, read without the library.
std::string LocalExtraAt(const std::vector<uint8_t>& bytes, int64_t offset) {
    size_t at = size_t(offset);
    if (offset < 0 || at + 30 > bytes.size()) return "(none)";
    size_t start = at + 30 + Get16(bytes, at + 26), length = Get16(bytes, at + 28);
    if (start + length > bytes.size()) return "(cut)";
    return std::string(bytes.begin() + ptrdiff_t(start), bytes.begin() + ptrdiff_t(start + length));
}

TZipItem* FirstFileEntry(TZipStructure* structure) {
    for (int32_t i = 0; i < structure->Count(); ++i) {
        TZipItem* entry = structure->Entry(i);
        if (entry->Item && !entry->Item->IsFolder() && entry->Item->GetParent()) return entry;
    }
    return nullptr;
}

// Extracts one item alone; false when it is not sound.
bool ExtractAlone(TFuzzArchive& zip, TArchItem* item) {
    if (item->IsFolder()) return false;
    item->MarkExtract();
    zip.Errors = 0;
    zip.Extracted.clear();
    bool sound = Survives([&] { zip.Archive->Extract(); }) && zip.Errors == 0;
    item->ClearMark(TArchState::Extract);
    zip.CallBack->Aborted = false;
    return sound;
}

// Every entry the save keeps, in directory order, as it reads before.
std::vector<TKeptEntry> KeptEntries(TFuzzArchive& zip, const std::vector<uint8_t>& bytes) {
    std::vector<TKeptEntry> kept;
    TZipStructure* structure = zip.Archive->Structure();
    for (int32_t i = 0; i < structure->Count(); ++i) {
        TZipItem* entry = structure->Entry(i);
        TArchItem* item = entry->Item;
        if (item->State.Contains(TArchState::Delete) || entry->LocalOffset < 0) continue;
        TKeptEntry e;
        e.NameBytes = entry->NameBytes;
        e.Flags = entry->Flags;
        e.Comment = item->Comment;
        e.Sound = ExtractAlone(zip, item);
        if (e.Sound) {
            e.Content = zip.Extracted;
            e.LocalExtra = LocalExtraAt(bytes, entry->LocalOffset);
        }
        kept.push_back(std::move(e));
    }
    return kept;
}

}  // namespace

void FuzzZipDirectory(const uint8_t* data, size_t size) {
    TRef<TMemoryStream> stream = StreamOf(data, size);
    Survives([&] {
        TZipListing listing = ListZipArchive(stream.Get());
        // Every entry gave a line.
        size_t lines = 0;
        for (char16_t c : listing.Text) lines += c == u'\n';
        Check(lines >= size_t(listing.Entries) + 1);
    });
}

void FuzzZipExtract(const uint8_t* data, size_t size) {
    TRef<TMemoryStream> stream = StreamOf(data, size);
    TFuzzArchive zip(stream.Get());
    if (!Survives([&] { zip.Archive->Open(); })) return;
    zip.Archive->MarkExtract();
    bool extracted = Survives([&] { zip.Archive->Extract(); });
    // An entry that passes leaves nothing marked: every file was handed out.
    if (extracted && zip.Errors == 0)
        for (int32_t i = 0; i < zip.Archive->Structure()->Count(); ++i) {
            TArchItem* item = zip.Archive->Structure()->Entry(i)->Item;
            Check(item->IsFolder() || !item->State.Contains(TArchState::Extract));
        }
}

void FuzzZipSave(const uint8_t* data, size_t size) {
    TRef<TMemoryStream> stream = StreamOf(data, size);
    std::vector<uint8_t> original = BytesOf(stream.Get());
    std::vector<TKeptEntry> kept;
    const WideString added = u"fuzz-added.txt";
    const std::string content = "added by the fuzzer, packed and read back";
    {
        TFuzzArchive zip(stream.Get());
        if (!Survives([&] { zip.Archive->Open(); })) return;
        TZipItem* first = FirstFileEntry(zip.Archive->Structure());
        TArchItem* folder = first ? first->Item->GetParent() : nullptr;
        if (folder && folder->GetParent() && size % 2 == 1) {
            // Inputs of odd length have the folder of that entry deleted and
            // the entry kept: the save is refused, nothing is freed twice.
            folder->MarkDelete();
            first->Item->ClearMark(TArchState::Delete);
        } else if (first) {
            first->Item->MarkDelete();
        }
        kept = KeptEntries(zip, original);
        // Added and dropped again before the save: nothing of it may stay.
        zip.Archive->AddFile(u"dropped.txt", 3)->MarkDelete();
        zip.Source = content;
        zip.Archive->AddFile(added, int64_t(content.size()));
        // A failed save gives the stream back as it was.
        if (!Survives([&] { zip.Archive->Save(3); })) {
            Check(BytesOf(stream.Get()) == original);
            return;
        }
    }
    TFuzzArchive again(stream.Get());
    // What a save wrote must read back soundly: a failure here is a finding.
    Check(Survives([&] { again.Archive->Open(); }));
    Check(!again.Archive->DirectoryRecovered());
    TArchItem* item = again.Archive->FindOrCreate(added, FindMode::Find);
    Check(item != nullptr && again.Archive->FindOrCreate(u"dropped.txt", FindMode::Find) == nullptr);
    item->MarkExtract();
    again.Archive->Extract();
    Check(again.Errors == 0 && again.Extracted == content);

    // The kept entries come first, in their order, each as it was.
    std::vector<uint8_t> saved = BytesOf(stream.Get());
    TZipStructure* structure = again.Archive->Structure();
    Check(structure->Count() == int32_t(kept.size()) + 1);
    for (size_t i = 0; i < kept.size(); ++i) {
        const TKeptEntry& before = kept[i];
        TZipItem* entry = structure->Entry(int32_t(i));
        Check(entry->NameBytes == before.NameBytes && entry->Flags == before.Flags);
        Check(entry->Item->Comment == before.Comment);
        if (!before.Sound) continue;
        Check(LocalExtraAt(saved, entry->LocalOffset) == before.LocalExtra);
        Check(ExtractAlone(again, entry->Item) && again.Extracted == before.Content);
    }
}
