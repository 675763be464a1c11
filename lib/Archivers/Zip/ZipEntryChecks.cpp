#include "Archivers/Zip/ZipEntryChecks.h"
#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <vector>
#include "Archivers/Zip/EntryModes.h"
#include "Archivers/Zip/ZipArchive.h"
#include "Archivers/Zip/ZipJudgement.h"
#include "Compression/InflateStream.h"
#include "Foundation/CodePages.h"
#include "Foundation/ScopeExit.h"
#include "Foundation/TextUtils.h"
#include "Foundation/Threads.h"
#include "Streams/ReadAheadStream.h"

namespace {

// "The entry "<name>"", the name as the archive stores it.
AnsiString TheEntry(TArchItem* item) { return "The entry \"" + WideToUtf8(Printable(StoredPath(item->Path()))) + "\""; }

void CheckUnpackable(TZipArchive* archive, TZipItem* entry) {
    TArchItem* item = entry->Item;
    if (!item || item->IsFolder()) return;
    if (item->Attributes().Contains(TArchAttribute::Encrypted))
        throw EArchiveError(TheEntry(item) + " is password-protected and cannot be unpacked");
    if (!archive->Unpacker(entry->Method))
        throw EArchiveError(TheEntry(item) + " uses " + ZipMethodText(entry->Method) + ", which cannot be unpacked");
}

// What a worker reads of one file entry, copied on the caller's thread when
// the check begins: the save changes the archive's records and items (new
// data, modes, its old directory freed) while the workers go on.
struct TCheckedEntry {
    TZipItem* Original;  // for the caller only: never read by a worker
    TRef<TZipItem> Entry;
    bool WantsHead;
    std::string Head;
};

// The file entries, which hold the data to check, as copies whose items
// hang below root, each named by its whole path.
std::vector<TCheckedEntry> SnapshotFiles(TZipArchive* archive, TArchItem* root, const TEntryHeads* heads) {
    std::vector<TCheckedEntry> files;
    for (int32_t i = 0; i < archive->Structure()->Count(); ++i) {
        TZipItem* entry = archive->Structure()->Entry(i);
        if (!EntryCheckReads(archive, entry)) continue;
        TArchItem* item = entry->Item;
        TArchItem* copy = New<TArchItem>(item->Path(), root);
        copy->Size = item->Size;
        copy->PackedSize = item->PackedSize;
        copy->SetAttributes(item->Attributes());
        TRef<TZipItem> snapshot = MakeRef<TZipItem>();
        snapshot->Item = copy;
        snapshot->LocalOffset = entry->LocalOffset;
        snapshot->Method = entry->Method;
        snapshot->HostSystem = entry->HostSystem;
        snapshot->SizesKnown = entry->SizesKnown;
        snapshot->Flags = entry->Flags;
        snapshot->NameBytes = entry->NameBytes;
        snapshot->Limit = entry->Limit;
        snapshot->Crc32 = entry->Crc32;
        files.push_back({entry, std::move(snapshot), heads && heads->count(entry) != 0, {}});
    }
    return files;
}

// Takes the first bytes of what is written to it and drops the rest.
class THeadSink : public TNullStream {
public:
    using TStream::Write;
    explicit THeadSink(std::string* head) : FHead(head) {}
    int32_t Write(TConstByteSpan buffer, int32_t offset, int32_t count) override {
        if (FHead && FHead->size() < HeadSize && count > 0)
            FHead->append(reinterpret_cast<const char*>(buffer.data()) + offset,
                          std::min<size_t>(HeadSize - FHead->size(), size_t(count)));
        return TNullStream::Write(buffer, offset, count);
    }

private:
    std::string* FHead;
};

// Reads entries into nothing through a stream of its own, counting what
// it has checked.
class TCheckingReader : public TZipArchive {
public:
    TCheckingReader(TStream* stream, std::atomic<uint64_t>& done, const std::atomic<bool>& stop)
        : FAhead(MakeRef<TReadAheadStream>(stream)), FDone(done), FStop(stop) {
        FCallBack = MakeRef<TDefaultCallBack>();
        RaiseOnEntryErrors(FCallBack.Get());
        FCallBack->OnExtractItem = [this](TArchiveCallBack* sender, TStream* data) {
            TCheckedEntry& entry = (*FFiles)[FStart + Taken - 1];
            TRef<THeadSink> sink = MakeRef<THeadSink>(entry.WantsHead ? &entry.Head : nullptr);
            CopyEntryData(sender->CurrentItem, data, sink.Get());
            FDone += sender->CurrentItem->Size;
        };
        CallBack = FCallBack.Get();
        SetStream(FAhead.Get());
    }

    // Checks files[start, end); raises what the first damaged one raises.
    void Check(std::vector<TCheckedEntry>& files, size_t start, size_t end) {
        FFiles = &files;
        FStart = start;
        Taken = 0;
        std::vector<TZipItem*> entries;
        entries.reserve(end - start);
        for (size_t i = start; i < end; ++i) entries.push_back(files[i].Entry.Get());
        ExtractEntries(entries);
    }

    // The entries taken up so far; the last of them is the one that failed.
    size_t Taken = 0;

protected:
    // A check no longer wanted stops inside a large entry too.
    void UnpackProgress(TStream* stream) override {
        if (FStop) throw EArchiveAbort("User aborted");
        TZipArchive::UnpackProgress(stream);
    }
    void ExtractMarkedEntry(TZipItem* entry) override {
        if (FStop) throw EArchiveAbort("User aborted");
        ++Taken;
        CheckLocalRecords(this, entry);
        TZipArchive::ExtractMarkedEntry(entry);
    }

private:
    // Entries are read in the order they lie, most of them small.
    TRef<TReadAheadStream> FAhead;
    TRef<TDefaultCallBack> FCallBack;
    std::atomic<uint64_t>& FDone;
    const std::atomic<bool>& FStop;
    // Several readers share the list: each writes the heads of its own run.
    std::vector<TCheckedEntry>* FFiles = nullptr;
    size_t FStart = 0;
};

// Runs of neighbouring entries, each read by one worker in one go: a run
// is small enough that the workers end together, and large enough that
// setting up a read is rare.
std::vector<std::pair<size_t, size_t>> PlanRuns(const std::vector<TCheckedEntry>& files, int32_t workers) {
    uint64_t packed = 0;
    for (const TCheckedEntry& file : files) packed += file.Entry->Item->PackedSize;
    const uint64_t runBytes = std::max<uint64_t>(packed / uint64_t(workers * 8), 4 << 20);
    constexpr size_t RunEntries = 512;
    std::vector<std::pair<size_t, size_t>> runs;
    for (size_t start = 0; start < files.size();) {
        size_t end = start;
        uint64_t bytes = 0;
        while (end < files.size() && end - start < RunEntries && (end == start || bytes < runBytes))
            bytes += files[end++].Entry->Item->PackedSize;
        runs.emplace_back(start, end);
        start = end;
    }
    return runs;
}

}  // namespace

bool EntryCheckReads(TZipArchive* archive, const TZipItem* entry) {
    return entry->Item && entry->Item != archive && !entry->Item->IsFolder();
}

void CheckHoldsArchive(const TZipStructure* structure, TStream* stream, const WideString& zipPath) {
    if (stream->GetSize() != 0 && !(structure->Recovered() && structure->Count() == 0)) return;
    AnsiString cause = "is not a ZIP archive";
    if (zipPath.empty()) throw ENotZipArchive(cause);
    throw ENotZipArchive(TPathText{"\"", zipPath, "\" " + cause});
}

void CheckDirectorySound(TZipArchive* archive, const WideString& zipPath) {
    if (archive->DirectoryRecovered())
        throw EArchiveBroken(
            TPathText{"The archive \"", zipPath, "\" is damaged: its central directory is missing or unreadable"});
}

void CheckArchiveReadable(TZipArchive* archive) {
    for (int32_t i = 0; i < archive->Structure()->Count(); ++i) {
        TZipItem* entry = archive->Structure()->Entry(i);
        // Only a name that fails is decoded, for the message.
        if (ReachesOutside(std::string_view(entry->NameBytes))) CheckEntryPath(entry->Name());
        CheckUnpackable(archive, entry);
    }
}

void RaiseOnEntryErrors(TDefaultCallBack* callback) {
    callback->OnError = [](TArchiveCallBack* sender, const AnsiString&) {
        throw EArchiveBroken(TheEntry(sender->CurrentItem) + " is damaged: its data does not match its checksum");
    };
    callback->OnHeaderError = [](TArchiveCallBack* sender, const AnsiString&) {
        throw EArchiveBroken(TheEntry(sender->CurrentItem) + " is damaged: its local header is missing");
    };
}

// An unpack stream does not stop at the item's end by itself: the item's
// size is copied, and data that ends early or does not inflate is damage.
void CopyEntryData(TArchItem* item, TStream* stream, TStream* out) {
    int64_t copied = 0;
    try {
        copied = out->CopyFrom(stream, int64_t(item->Size));
    } catch (const EZDecompressionError& e) {
        // zlib's "buffer error": the input ran out before the data ended.
        if (e.ZLibCode != Z_BUF_ERROR)
            throw EArchiveBroken(TheEntry(item) + " is damaged: its compressed data is invalid");
    }
    if (copied != int64_t(item->Size))
        throw EArchiveBroken(TheEntry(item) + " is damaged: its data ends before its recorded size");
}

// The workers and what they share; made when the check begins.
struct TEntryCheck::TWork {
    TWork(TZipArchive* archive, int32_t workers, TArchiveReaderSource openReader, TEntryHeads* heads)
        : Stream(archive->GetStream()),
          Root(SnapshotRoot()),
          Files(SnapshotFiles(archive, Root.Get(), heads)),
          OpenReader(std::move(openReader)),
          Runs(PlanRuns(Files, std::max(workers, 1))),
          Heads(heads),
          Workers(workers > 1 && Files.size() > 1 ? std::min<size_t>(size_t(workers), Runs.size()) : 0) {
        for (const TCheckedEntry& file : Files) Total += file.Entry->Item->Size;
        for (size_t i = 0; i < Workers; ++i) Threads.push_back(std::make_unique<TThread>([this] { Work(); }));
    }
    ~TWork() {
        Stop = true;
        Threads.clear();
    }

    void Finish(const TCheckProgress& progress) {
        if (Workers == 0) {
            CheckHere(progress);
        } else {
            WaitUntil([this] { return Ended == Workers; }, progress);
            Threads.clear();
            if (Failure) std::rethrow_exception(Failure);
            if (progress) progress(Total, Total);
        }
        // No worker runs now: the heads are the caller's.
        if (Heads && !HeadsGiven)
            for (TCheckedEntry& file : Files)
                if (file.WantsHead) (*Heads)[file.Original] = std::move(file.Head);
        HeadsGiven = true;
    }

    static TRef<TArchItem> SnapshotRoot() {
        TRef<TArchItem> root = MakeRef<TArchItem>(WideString(), nullptr);
        root->SetAttributes(TArchAttributes().With(TArchAttribute::Folder));
        return root;
    }

    void WaitFor(const std::vector<TZipItem*>& entries, const TCheckProgress& progress) {
        if (Workers == 0) return CheckHere(progress);
        std::vector<size_t> runs;
        for (TZipItem* entry : entries) {
            const size_t index = size_t(std::find_if(Files.begin(), Files.end(),
                                                     [entry](const TCheckedEntry& f) { return f.Original == entry; }) -
                                        Files.begin());
            if (index == Files.size()) continue;
            runs.push_back(
                size_t(std::upper_bound(Runs.begin(), Runs.end(), std::make_pair(index, SIZE_MAX)) - Runs.begin()) - 1);
        }
        WaitUntil(
            [&] {
                return Ended == Workers ||
                       std::all_of(runs.begin(), runs.end(), [this](size_t r) { return RunEnded[r]; });
            },
            progress);
    }

    // Waits under Monitor until over() holds; progress is told without it.
    void WaitUntil(const std::function<bool()>& over, const TCheckProgress& progress) {
        TMonitorLock lock(Monitor);
        while (!over()) {
            Monitor.Wait();
            if (!progress) continue;
            Monitor.Leave();
            TScopeExit enter([this] { Monitor.Enter(); });
            progress(Done, Total);
        }
    }

    // One worker: the archive's own stream, on the caller's thread, once.
    void CheckHere(const TCheckProgress& progress) {
        if (CheckedHere) return;
        TRef<TCheckingReader> reader = MakeRef<TCheckingReader>(Stream, Done, Stop);
        if (progress)
            reader->CallBack->TotalProgress->OnChange = [&](TArchiveProgress* p) { progress(p->Position, p->Total); };
        reader->Check(Files, 0, Files.size());
        CheckedHere = true;
    }

    void Work() {
        // The caller's thread, judging and writing meanwhile, waits for none.
        GiveWayToOtherThreads();
        try {
            TRef<TStream> stream = OpenReader();
            TRef<TCheckingReader> reader = MakeRef<TCheckingReader>(stream.Get(), Done, Stop);
            for (size_t run; !Stop && (run = NextRun++) < Runs.size();) {
                const auto [start, end] = Runs[run];
                // Unless an earlier entry failed already.
                if (start <= FailedAt) {
                    try {
                        reader->Check(Files, start, end);
                    } catch (...) {
                        Fail(start + std::max<size_t>(reader->Taken, 1) - 1, std::current_exception());
                    }
                }
                TMonitorLock lock(Monitor);
                RunEnded[run] = true;
                Monitor.NotifyAll();
            }
        } catch (...) {
            Fail(0, std::current_exception());
        }
        TMonitorLock lock(Monitor);
        ++Ended;
        Monitor.NotifyAll();
    }

    // Keeps the failure of the first entry in the directory's order.
    void Fail(size_t index, std::exception_ptr failure) {
        TMonitorLock lock(Monitor);
        if (index >= FailedAt) return;
        FailedAt = index;
        Failure = failure;
    }

    // The archive's own, read on the caller's thread (one worker).
    TStream* const Stream;
    // The items of the entries' copies.
    const TRef<TArchItem> Root;
    // Each worker writes only the heads of its runs.
    std::vector<TCheckedEntry> Files;
    const TArchiveReaderSource OpenReader;
    const std::vector<std::pair<size_t, size_t>> Runs;
    TEntryHeads* const Heads;
    const size_t Workers;
    uint64_t Total = 0;
    std::atomic<uint64_t> Done{0};
    std::atomic<bool> Stop{false};
    std::atomic<size_t> NextRun{0};
    std::atomic<size_t> FailedAt{SIZE_MAX};
    TMonitor Monitor;
    // Guarded by Monitor.
    size_t Ended = 0;
    std::vector<bool> RunEnded = std::vector<bool>(Runs.size());
    std::exception_ptr Failure;
    bool CheckedHere = false;
    bool HeadsGiven = false;
    // Last: the workers start once everything they use is there.
    std::vector<std::unique_ptr<TThread>> Threads;
};

TEntryCheck::TEntryCheck(TZipArchive* archive, int32_t workers, TArchiveReaderSource openReader, TEntryHeads* heads)
    : FWork(std::make_unique<TWork>(archive, workers, std::move(openReader), heads)) {}

TEntryCheck::~TEntryCheck() = default;

void TEntryCheck::Finish(const TCheckProgress& progress) { FWork->Finish(progress); }

void TEntryCheck::WaitFor(const std::vector<TZipItem*>& entries, const TCheckProgress& progress) {
    FWork->WaitFor(entries, progress);
}
