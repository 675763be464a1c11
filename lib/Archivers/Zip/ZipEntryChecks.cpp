#include "Archivers/Zip/ZipEntryChecks.h"
#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <vector>
#include "Archivers/Zip/EntryModes.h"
#include "Archivers/Zip/ZipArchive.h"
#include "Compression/InflateStream.h"
#include "Foundation/CodePages.h"
#include "Foundation/Format.h"
#include "Foundation/ScopeExit.h"
#include "Foundation/Threads.h"
#include "Streams/ReadAheadStream.h"

namespace {

// "The entry "<name>"", the name as the archive stores it.
AnsiString TheEntry(TArchItem* item) { return "The entry \"" + WideToAnsi(StoredPath(item->Path())) + "\""; }

// Methods other tools write, for a message a user can look up.
AnsiString MethodText(uint16_t method) {
    static const std::pair<uint16_t, const char*> names[] = {
        {1, "Shrink"},     {6, "Implode"}, {9, "Deflate64"}, {12, "BZip2"},   {14, "LZMA"},
        {93, "Zstandard"}, {95, "XZ"},     {96, "JPEG"},     {97, "WavPack"}, {98, "PPMd"}};
    AnsiString text = Format("compression method %d", (int)method);
    for (auto [number, name] : names)
        if (number == method) text += AnsiString(" (") + name + ")";
    return text;
}

void CheckUnpackable(TZipArchive* archive, TZipItem* entry) {
    TArchItem* item = entry->Item;
    if (!item || item->IsFolder()) return;
    if (item->Attributes().Contains(TArchAttribute::Encrypted))
        throw EArchiveError(TheEntry(item) + " is password-protected and cannot be unpacked");
    if (!archive->Unpacker(entry->Method))
        throw EArchiveError(TheEntry(item) + " uses " + MethodText(entry->Method) + ", which cannot be unpacked");
}

// The file entries, which hold the data to check.
std::vector<TZipItem*> FileEntries(TZipArchive* archive) {
    std::vector<TZipItem*> files;
    for (int32_t i = 0; i < archive->Structure->Count(); ++i) {
        TZipItem* entry = archive->Structure->Entry(i);
        if (entry->Item && entry->Item != archive && !entry->Item->IsFolder()) files.push_back(entry);
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
    TCheckingReader(TStream* stream, std::atomic<uint64_t>& done, const std::atomic<bool>& stop, TEntryHeads* heads)
        : FAhead(MakeRef<TReadAheadStream>(stream)), FDone(done), FStop(stop), FHeads(heads) {
        FCallBack = MakeRef<TDefaultCallBack>();
        RaiseOnEntryErrors(FCallBack.Get());
        FCallBack->OnExtractItem = [this](TArchiveCallBack* sender, TStream* data) {
            std::string* head = nullptr;
            if (FHeads)
                if (auto found = FHeads->find(FEntry); found != FHeads->end()) head = &found->second;
            TRef<THeadSink> sink = MakeRef<THeadSink>(head);
            CopyEntryData(sender->CurrentItem, data, sink.Get());
            FDone += sender->CurrentItem->Size;
        };
        CallBack = FCallBack.Get();
        SetStream(FAhead.Get());
    }

    // The entries taken up so far; the last of them is the one that failed.
    size_t Taken = 0;

protected:
    void ExtractMarkedEntry(TZipItem* entry) override {
        if (FStop) throw EArchiveAbort("User aborted");
        ++Taken;
        FEntry = entry;
        TZipArchive::ExtractMarkedEntry(entry);
    }

private:
    // Entries are read in the order they lie, most of them small.
    TRef<TReadAheadStream> FAhead;
    TRef<TDefaultCallBack> FCallBack;
    std::atomic<uint64_t>& FDone;
    const std::atomic<bool>& FStop;
    // Filled by several readers at once: each writes the heads of its own
    // entries, into a map that does not change shape meanwhile.
    TEntryHeads* FHeads;
    const TZipItem* FEntry = nullptr;
};

// Runs of neighbouring entries, each read by one worker in one go: a run
// is small enough that the workers end together, and large enough that
// setting up a read is rare.
std::vector<std::pair<size_t, size_t>> PlanRuns(const std::vector<TZipItem*>& files, int32_t workers) {
    uint64_t packed = 0;
    for (TZipItem* entry : files) packed += entry->Item->PackedSize;
    const uint64_t runBytes = std::max<uint64_t>(packed / uint64_t(workers * 8), 4 << 20);
    constexpr size_t RunEntries = 512;
    std::vector<std::pair<size_t, size_t>> runs;
    for (size_t start = 0; start < files.size();) {
        size_t end = start;
        uint64_t bytes = 0;
        while (end < files.size() && end - start < RunEntries && (end == start || bytes < runBytes))
            bytes += files[end++]->Item->PackedSize;
        runs.emplace_back(start, end);
        start = end;
    }
    return runs;
}

class TParallelCheck {
public:
    TParallelCheck(const std::vector<TZipItem*>& files, const TArchiveReaderSource& openReader, int32_t workers,
                   TEntryHeads* heads)
        : FFiles(files), FOpenReader(openReader), FRuns(PlanRuns(files, workers)), FHeads(heads) {
        for (TZipItem* entry : files) FTotal += entry->Item->Size;
        FWorkers = std::min<size_t>(size_t(workers), FRuns.size());
    }

    void Run(const TCheckProgress& progress) {
        std::vector<std::unique_ptr<TThread>> threads;
        TScopeExit join([&] {
            FStop = true;
            threads.clear();
        });
        for (size_t i = 0; i < FWorkers; ++i) threads.push_back(std::make_unique<TThread>([this] { Work(); }));
        {
            TMonitorLock lock(FMonitor);
            while (FEnded < FWorkers) {
                FMonitor.Wait();
                if (!progress) continue;
                FMonitor.Leave();
                TScopeExit enter([this] { FMonitor.Enter(); });
                progress(FDone, FTotal);
            }
        }
        threads.clear();
        if (FFailure) std::rethrow_exception(FFailure);
        if (progress) progress(FTotal, FTotal);
    }

private:
    void Work() {
        try {
            TRef<TStream> stream = FOpenReader();
            TRef<TCheckingReader> reader = MakeRef<TCheckingReader>(stream.Get(), FDone, FStop, FHeads);
            for (size_t run; !FStop && (run = FNextRun++) < FRuns.size();) {
                const auto [start, end] = FRuns[run];
                if (start > FFailedAt) continue;  // an earlier entry failed already
                reader->Taken = 0;
                try {
                    reader->ExtractEntries({FFiles.begin() + ptrdiff_t(start), FFiles.begin() + ptrdiff_t(end)});
                } catch (...) {
                    Fail(start + std::max<size_t>(reader->Taken, 1) - 1, std::current_exception());
                }
                Notify();
            }
        } catch (...) {
            Fail(0, std::current_exception());
        }
        TMonitorLock lock(FMonitor);
        ++FEnded;
        FMonitor.NotifyAll();
    }

    // Keeps the failure of the first entry in the directory's order.
    void Fail(size_t index, std::exception_ptr failure) {
        TMonitorLock lock(FMonitor);
        if (index >= FFailedAt) return;
        FFailedAt = index;
        FFailure = failure;
    }

    void Notify() {
        TMonitorLock lock(FMonitor);
        FMonitor.NotifyAll();
    }

    const std::vector<TZipItem*>& FFiles;
    const TArchiveReaderSource& FOpenReader;
    const std::vector<std::pair<size_t, size_t>> FRuns;
    TEntryHeads* FHeads;
    size_t FWorkers = 0;
    uint64_t FTotal = 0;
    std::atomic<uint64_t> FDone{0};
    std::atomic<bool> FStop{false};
    std::atomic<size_t> FNextRun{0};
    std::atomic<size_t> FFailedAt{SIZE_MAX};
    TMonitor FMonitor;
    // Guarded by FMonitor.
    size_t FEnded = 0;
    std::exception_ptr FFailure;
};

}  // namespace

void CheckArchiveReadable(TZipArchive* archive, const WideString& zipPath, bool requireSoundDirectory) {
    if (requireSoundDirectory && archive->DirectoryRecovered())
        throw EArchiveBroken("The archive \"" + WideToAnsi(zipPath) +
                             "\" is damaged: its central directory is missing or unreadable");
    for (int32_t i = 0; i < archive->Structure->Count(); ++i) {
        TZipItem* entry = archive->Structure->Entry(i);
        CheckEntryPath(entry->Name());
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
        if (e.Message() != zError(Z_BUF_ERROR))
            throw EArchiveBroken(TheEntry(item) + " is damaged: its compressed data is invalid");
    }
    if (copied != int64_t(item->Size)) throw EArchiveBroken(TheEntry(item) + " is truncated: its data ends early");
}

void VerifyEntries(TZipArchive* archive, int32_t workers, const TArchiveReaderSource& openReader,
                   const TCheckProgress& progress, TEntryHeads* heads) {
    const std::vector<TZipItem*> files = FileEntries(archive);
    if (workers > 1 && files.size() > 1) {
        TParallelCheck check(files, openReader, workers, heads);
        return check.Run(progress);
    }
    std::atomic<uint64_t> done{0};
    std::atomic<bool> stop{false};
    TRef<TCheckingReader> reader = MakeRef<TCheckingReader>(archive->GetStream(), done, stop, heads);
    if (progress)
        reader->CallBack->TotalProgress->OnChange = [&](TArchiveProgress* p) { progress(p->Position, p->Total); };
    reader->ExtractEntries(files);
}
