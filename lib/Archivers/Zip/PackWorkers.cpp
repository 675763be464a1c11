#include "Archivers/Zip/PackWorkers.h"
#include "FileSystem/FileAPI.h"
#include "FileSystem/TempFolders.h"
#include "Foundation/Exceptions.h"
#include "Foundation/ScopeExit.h"
#include "Foundation/TextUtils.h"
#include "Streams/FileStream.h"
#include "Streams/FilterStream.h"

namespace {

// Ends a worker whose work is no longer wanted; never reaches the caller.
struct TStopped {};

// Leaves a monitor for the caller's scope, entering it again however the
// scope ends.
auto Unlocked(TMonitor& monitor) {
    monitor.Leave();
    return TScopeExit([&monitor] { monitor.Enter(); });
}

}  // namespace

void PackFileInto(const WideString& path, TStream* stream) {
    TRef<TFileStream> in = MakeRef<TFileStream>(path, FileAccess::Read, FileShare::Read, FileDisposition::OpenExisting);
    int64_t size = in->GetSize();
    if (stream->CopyFrom(in.Get(), size) != size) throw EStreamReadError(TPathText{"Cannot read \"", path, "\""});
}

// Where a worker's packer writes: pieces for the writer, or the file's
// spill file once the writer's budget is used up.
class TPackWorkers::TSink : public TStream {
public:
    using TStream::Read;
    using TStream::Write;

    TSink(TPackWorkers* owner, int32_t index) : FOwner(owner), FIndex(index) {}

    TPackStream* Pack = nullptr;  // borrowed, for how much of the source is packed
    WideString SpillPath;

    int64_t GetPosition() override { return FPosition; }
    void SetPosition(int64_t) override {}
    int64_t GetSize() override { return FPosition; }
    void SetSize(int64_t) override {}
    int32_t Read(TByteSpan, int32_t, int32_t) override { return 0; }

    int32_t Write(TConstByteSpan buffer, int32_t offset, int32_t count) override {
        if (count <= 0) return count;
        FPosition += count;
        if (!FSpill) {
            std::vector<uint8_t> bytes(buffer.begin() + offset, buffer.begin() + offset + count);
            if (FOwner->Deliver(FIndex, bytes, Pack ? Pack->GetPosition() : 0)) return count;
            SpillPath = JoinPath(FOwner->FSpillFolder.Path(), IntToStr(FIndex) + u".spill");
            FSpill = MakeRef<TFileStream>(SpillPath, FileAccess::Write, FileShare::Read, FileDisposition::CreateAlways);
        }
        FSpill->WriteBuffer(buffer, offset, count);
        return count;
    }

    void CloseSpill() {
        if (FSpill) FSpill->Close();
        FSpill.Reset();
    }

private:
    TPackWorkers* FOwner;
    int32_t FIndex;
    int64_t FPosition = 0;
    TRef<TFileStream> FSpill;
};

TPackWorkers::TPackWorkers(int32_t count, TSource source, const TPackStreamClass* packer, int8_t level, int32_t workers,
                           size_t waitingBudget)
    : FCount(count), FSource(std::move(source)), FPacker(packer), FLevel(level), FWaitingBudget(waitingBudget) {
    try {
        for (int32_t i = 0; i < workers; ++i) FThreads.push_back(std::make_unique<TThread>([this] { Work(); }));
    } catch (...) {
        StopAll();
        throw;
    }
}

TPackWorkers::~TPackWorkers() { StopAll(); }

void TPackWorkers::StopAll() {
    {
        TMonitorLock lock(FMonitor);
        FStopping = true;
        FMonitor.NotifyAll();
    }
    FThreads.clear();
}

void TPackWorkers::Work() {
    int32_t count = FCount;
    for (;;) {
        int32_t index;
        {
            TMonitorLock lock(FMonitor);
            while (!FStopping && FNextToTake < count && FNextToTake - FWriting >= MostAhead) FMonitor.Wait();
            if (FStopping || FNextToTake >= count) return;
            index = FNextToTake++;
            FEntries[index];
        }
        try {
            PackOne(index);
        } catch (const TStopped&) {
            return;
        } catch (...) {
            Fail(std::current_exception());
            return;
        }
    }
}

void TPackWorkers::PackOne(int32_t index) {
    TRef<TSink> sink = MakeRef<TSink>(this, index);
    TRef<TPackStream> pack = FPacker->Create(sink.Get(), FLevel);
    sink->Pack = pack.Get();
    pack->OnProgress = [this](TStream*) {
        if (FStopping) throw TStopped();
    };
    TRef<TCrc32Stream> crc = MakeRef<TCrc32Stream>(pack.Get());
    try {
        FSource(index, crc.Get());
        int64_t size = pack->GetPosition();
        pack->Finish();
        sink->CloseSpill();
        Finish(index, {crc->GetCrc(), uint64_t(size)}, sink->SpillPath);
    } catch (...) {
        // The data is lost anyway: the packer is freed unfinished.
        try {
            sink->CloseSpill();
        } catch (...) {
        }
        throw;
    }
}

bool TPackWorkers::Deliver(int32_t index, std::vector<uint8_t>& bytes, int64_t sourceDone) {
    TMonitorLock lock(FMonitor);
    for (;;) {
        if (FStopping) throw TStopped();
        TEntry& entry = FEntries[index];
        bool writing = index == FWriting;
        if (writing ? entry.Waiting == 0 || entry.Waiting + bytes.size() <= WritingBudget
                    : FWaiting + bytes.size() <= FWaitingBudget) {
            entry.Waiting += bytes.size();
            FWaiting += bytes.size();
            entry.Pieces.push_back({std::move(bytes), sourceDone});
            FMonitor.NotifyAll();
            return true;
        }
        if (!writing) return false;
        FMonitor.Wait();
    }
}

void TPackWorkers::Finish(int32_t index, const TPacked& result, const WideString& spillPath) {
    TMonitorLock lock(FMonitor);
    TEntry& entry = FEntries[index];
    entry.Result = result;
    entry.SpillPath = spillPath;
    entry.Done = true;
    FMonitor.NotifyAll();
}

void TPackWorkers::Fail(std::exception_ptr error) {
    TMonitorLock lock(FMonitor);
    if (!FError) FError = error;
    FStopping = true;
    FMonitor.NotifyAll();
}

TPackWorkers::TPacked TPackWorkers::CopyPacked(int32_t index, TStream* dest, const TProgress& progress) {
    TMonitorLock lock(FMonitor);
    FWriting = index;
    FMonitor.NotifyAll();
    for (;;) {
        if (FError) std::rethrow_exception(FError);
        auto found = FEntries.find(index);
        if (found != FEntries.end() && !found->second.Pieces.empty()) {
            TEntry& entry = found->second;
            TPiece piece = std::move(entry.Pieces.front());
            entry.Pieces.pop_front();
            entry.Waiting -= piece.Bytes.size();
            FWaiting -= piece.Bytes.size();
            FMonitor.NotifyAll();
            auto unlocked = Unlocked(FMonitor);
            dest->WriteBuffer(piece.Bytes.data(), int32_t(piece.Bytes.size()));
            if (progress) progress(piece.SourceDone);
        } else if (found != FEntries.end() && found->second.Done) {
            TPacked result = found->second.Result;
            WideString spillPath = found->second.SpillPath;
            FEntries.erase(found);
            FWriting = index + 1;
            FMonitor.NotifyAll();
            auto unlocked = Unlocked(FMonitor);
            if (!spillPath.empty()) {
                PackFileInto(spillPath, dest);
                DeleteFile(spillPath);
            }
            return result;
        } else {
            FMonitor.Wait();
        }
    }
}
