// Cutting blocks out of a stream in place, with a way back: every removed
// byte goes to a rollback store first, back to back in offset order. Where
// each block sits is kept in memory (TRollBackBlock), so the store serves
// only the TStreamUtil that wrote it.
#pragma once
#include <functional>
#include <vector>
#include "Foundation/Lists.h"
#include "Streams/Streams.h"

struct TStreamBlock {
    int64_t Offset = 0;
    int64_t Length = 0;
};

class TRollBackBlock : public TRefObject {
public:
    int64_t Offset = 0;  // where it was in the stream
    int64_t Length = 0;
    int64_t StoreOffset = 0;  // where its bytes are in the rollback store
};

class TStreamUtil : public TRefObject {
public:
    // Data moves in pieces of at most this many bytes.
    static constexpr int32_t PieceSize = 1048576;

    // Both borrowed. Without a rollback store blocks can be cut but never
    // put back.
    TStreamUtil(TStream* stream, TStream* rollbackStore);

    // Told the count of removed bytes saved so far; answering true stops the
    // cut with EStreamUtilAbort while the stream is still untouched.
    std::function<bool(int64_t position)> OnProgress;
    // Told the count of bytes moved down so far.
    std::function<void(int64_t position)> OnProgress2;

    // Removes the blocks (any order; overlapping ones count once): later
    // data moves down and the stream gets shorter. Blocks reaching outside
    // the stream fail the assertion "size of blocks is large than stream".
    void RemoveBlocks(const std::vector<TStreamBlock>& blocks);
    // Undoes the last RemoveBlocks, finished or failed half-way: the stream
    // regains its earlier bytes and length, whatever was written past the
    // cut meanwhile. Raises TCommonException "Rollback stream is not
    // created" without a rollback store. A second call does nothing.
    void RollBack();

    // Bytes removed by the last cut, and the stream's size before and after.
    int64_t RemovedBytes() const { return FRemovedBytes; }
    int64_t OriginalSize() const { return FOriginalSize; }
    int64_t CutSize() const { return FOriginalSize - FRemovedBytes; }
    // The saved blocks of the last cut, by offset.
    int32_t BlockCount() const { return FBlocks->Count(); }
    TRollBackBlock* Block(int32_t index) const { return FBlocks->Item<TRollBackBlock>(index); }

protected:
    void Dispose() override;

private:
    void Reset();
    void SaveBlocks(std::vector<uint8_t>& buffer);
    // A stream that copies within itself (TStream::CopyWithin) moves each
    // stretch at once, its bytes never passing through buffer.
    void MoveDown(std::vector<uint8_t>& buffer);
    // Copies count bytes from one place in the stream to a higher one,
    // last piece first, so that overlapping stretches come out right.
    void MoveUp(std::vector<uint8_t>& buffer, int64_t from, int64_t to, int64_t count);

    TStream* FStream;
    TStream* FStore;
    TRef<TObjectList> FBlocks;  // of TRollBackBlock
    int64_t FRemovedBytes = 0;
    int64_t FOriginalSize = 0;
    bool FMoveStarted = false;
    int64_t FMovedBytes = 0;  // of the kept data, moved down completely
    // The piece being moved when the cut failed: its original bytes, which
    // its own write may have half overwritten.
    std::vector<uint8_t> FPending;
    int64_t FPendingOffset = 0;
};
