// Packs files on worker threads ahead of an archive's writer, a file per
// worker, with the writer's packer and level, and hands the packed data over
// in the files' order: the bytes do not depend on the worker. Packed data
// waiting beyond a shared budget goes to a spill file.
#pragma once
#include <atomic>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <vector>
#include "Compression/PackStream.h"
#include "FileSystem/TempFolders.h"
#include "Foundation/Threads.h"

// Copies the whole file at path into stream; a file that gives fewer bytes
// than its size is a read error naming it.
void PackFileInto(const WideString& path, TStream* stream);

class TPackWorkers {
public:
    // Packed data of the file being written, before its worker waits.
    static constexpr size_t WritingBudget = 2 << 20;
    // Files taken beyond the one being written.
    static constexpr int32_t MostAhead = 256;

    struct TPacked {
        uint32_t Crc32 = 0;
        uint64_t Size = 0;
    };
    // Told on the writer's thread how much of the file is packed and written.
    using TProgress = std::function<void(int64_t sourceDone)>;
    // Writes the whole source data of file index into stream; called on the
    // workers' threads.
    using TSource = std::function<void(int32_t index, TStream* stream)>;

    // count: the files, 0 to count - 1; waitingBudget: packed data kept in
    // memory for the writer beyond the file being written.
    TPackWorkers(int32_t count, TSource source, const TPackStreamClass* packer, int8_t level, int32_t workers,
                 size_t waitingBudget);
    // Stops the workers, waits for them and removes every spill file.
    ~TPackWorkers();

    // Writes the packed data of file index at dest. Files are asked for in
    // order. Raises the first failure of any worker.
    TPacked CopyPacked(int32_t index, TStream* dest, const TProgress& progress);

private:
    struct TPiece {
        std::vector<uint8_t> Bytes;
        int64_t SourceDone;
    };
    struct TEntry {
        std::deque<TPiece> Pieces;
        size_t Waiting = 0;    // bytes of the pieces not yet written
        WideString SpillPath;  // the rest of the data, once it spilled
        bool Done = false;
        TPacked Result;
    };
    class TSink;

    void StopAll();
    void Work();
    void PackOne(int32_t index);
    // Takes one piece of a file's packed data; false when it is to go to
    // the file's spill file instead.
    bool Deliver(int32_t index, std::vector<uint8_t>& bytes, int64_t sourceDone);
    void Finish(int32_t index, const TPacked& result, const WideString& spillPath);
    void Fail(std::exception_ptr error);

    int32_t FCount;
    TSource FSource;
    const TPackStreamClass* FPacker;
    int8_t FLevel;
    size_t FWaitingBudget;
    // Gone with the workers, after every spill file is closed.
    TTempFolder FSpillFolder;
    TMonitor FMonitor;
    // Guarded by FMonitor.
    std::map<int32_t, TEntry> FEntries;
    int32_t FNextToTake = 0;
    int32_t FWriting = 0;
    size_t FWaiting = 0;
    std::exception_ptr FError;
    std::atomic<bool> FStopping{false};
    std::vector<std::unique_ptr<TThread>> FThreads;
};
