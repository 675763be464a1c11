#include "Streams/StreamUtil.h"
#include <algorithm>
#include <utility>
#include "Foundation/ErrorReport.h"
#include "Foundation/Exceptions.h"

namespace {
int32_t PieceOf(int64_t remaining) { return (int32_t)std::min<int64_t>(TStreamUtil::PieceSize, remaining); }

// Copies count bytes from source's position to target's, piece by piece;
// piece is told each piece's length.
template <class F>
void CopyPieces(TStream* source, TStream* target, int64_t count, std::vector<uint8_t>& buffer, F piece) {
    for (int64_t left = count; left > 0;) {
        int32_t n = PieceOf(left);
        source->ReadBuffer(buffer.data(), n);
        target->WriteBuffer(buffer.data(), n);
        left -= n;
        piece(n);
    }
}
}  // namespace

TStreamUtil::TStreamUtil(TStream* stream, TStream* rollbackStore)
    : FStream(stream), FStore(rollbackStore), FBlocks(MakeRef<TObjectList>()) {}

void TStreamUtil::Dispose() {
    FBlocks.Reset();
    TRefObject::Dispose();
}

void TStreamUtil::Reset() {
    FBlocks->FreeAll();
    FRemovedBytes = 0;
    FOriginalSize = 0;
    FMoveStarted = false;
    FMovedBytes = 0;
    FPending = std::vector<uint8_t>();
    FPendingOffset = 0;
}

void TStreamUtil::RemoveBlocks(const std::vector<TStreamBlock>& blocks) {
    Reset();
    int64_t size = FStream->GetSize();
    std::vector<TStreamBlock> sorted;
    for (const TStreamBlock& b : blocks) {
        // Deliberate spelling: the text stays as it has always been shown.
        NVX_ASSERT_MSG(b.Offset >= 0 && b.Length >= 0 && b.Offset <= size && b.Length <= size - b.Offset,
                       "size of blocks is large than stream");
        if (b.Length == 0) continue;
        sorted.push_back(b);
    }
    std::sort(sorted.begin(), sorted.end(),
              [](const TStreamBlock& a, const TStreamBlock& b) { return a.Offset < b.Offset; });
    for (const TStreamBlock& b : sorted) {
        auto* last = static_cast<TRollBackBlock*>(FBlocks->Last());
        if (last && b.Offset <= last->Offset + last->Length) {
            // Overlapping blocks: their bytes go once.
            last->Length = std::max(last->Length, b.Offset + b.Length - last->Offset);
            continue;
        }
        TRollBackBlock* record = New<TRollBackBlock>();
        record->Offset = b.Offset;
        record->Length = b.Length;
        if (FBlocks->Add(record) < 0) {
            Free(record);
            throw EOutOfMemory("Out of memory");
        }
    }
    for (int32_t i = 0; i < BlockCount(); ++i) FRemovedBytes += Block(i)->Length;
    FOriginalSize = size;
    if (FRemovedBytes == 0) return;
    std::vector<uint8_t> buffer((size_t)PieceOf(std::max(FRemovedBytes, size - FRemovedBytes)));
    if (FStore) SaveBlocks(buffer);
    MoveDown(buffer);
}

void TStreamUtil::SaveBlocks(std::vector<uint8_t>& buffer) {
    FStore->SetSize(0);
    FStore->SetPosition(0);
    int64_t saved = 0;
    for (int32_t i = 0; i < BlockCount(); ++i) {
        TRollBackBlock* block = Block(i);
        block->StoreOffset = saved;
        FStream->SetPosition(block->Offset);
        CopyPieces(FStream, FStore, block->Length, buffer, [&](int32_t n) {
            saved += n;
            if (OnProgress && OnProgress(saved)) throw EStreamUtilAbort();
        });
    }
}

void TStreamUtil::MoveDown(std::vector<uint8_t>& buffer) {
    FMoveStarted = true;
    int64_t to = Block(0)->Offset;
    for (int32_t i = 0; i < BlockCount(); ++i) {
        int64_t from = Block(i)->Offset + Block(i)->Length;
        int64_t end = i + 1 < BlockCount() ? Block(i + 1)->Offset : FOriginalSize;
        if (from < end && FStream->CopyWithin(from, to, end - from)) {
            to += end - from;
            FMovedBytes += end - from;
            if (OnProgress2) OnProgress2(FMovedBytes);
            continue;
        }
        while (from < end) {
            int32_t n = PieceOf(end - from);
            FStream->SetPosition(from);
            FStream->ReadBuffer(buffer.data(), n);
            try {
                FStream->SetPosition(to);
                FStream->WriteBuffer(buffer.data(), n);
            } catch (...) {
                // A failed write may have reached the piece's own source.
                FPending.assign(buffer.begin(), buffer.begin() + n);
                FPendingOffset = from;
                throw;
            }
            from += n;
            to += n;
            FMovedBytes += n;
            if (OnProgress2) OnProgress2(FMovedBytes);
        }
    }
    FStream->SetSize(to);
}

void TStreamUtil::MoveUp(std::vector<uint8_t>& buffer, int64_t from, int64_t to, int64_t count) {
    if (count > 0 && FStream->CopyWithin(from, to, count)) return;
    for (int64_t left = count; left > 0;) {
        int32_t n = PieceOf(left);
        left -= n;
        FStream->SetPosition(from + left);
        FStream->ReadBuffer(buffer.data(), n);
        FStream->SetPosition(to + left);
        FStream->WriteBuffer(buffer.data(), n);
    }
}

void TStreamUtil::RollBack() {
    if (!FStore) throw TCommonException("Rollback stream is not created");
    if (!FMoveStarted) {
        // Nothing in the stream changed yet.
        Reset();
        return;
    }
    std::vector<uint8_t> buffer((size_t)PieceOf(std::max(FRemovedBytes, FOriginalSize - FRemovedBytes)));
    FStream->SetSize(FOriginalSize);
    if (!FPending.empty()) {
        FStream->SetPosition(FPendingOffset);
        FStream->WriteBuffer(FPending.data(), (int32_t)FPending.size());
    }
    // The kept stretches go back up, the last first: each lands above
    // everything still waiting to move.
    struct TStretch {
        int64_t From, To, Moved;
    };
    std::vector<TStretch> stretches;
    int64_t to = Block(0)->Offset;
    int64_t moved = FMovedBytes;
    for (int32_t i = 0; i < BlockCount(); ++i) {
        int64_t from = Block(i)->Offset + Block(i)->Length;
        int64_t end = i + 1 < BlockCount() ? Block(i + 1)->Offset : FOriginalSize;
        int64_t part = std::min(moved, end - from);
        stretches.push_back({from, to, part});
        moved -= part;
        to += end - from;
    }
    for (auto s = stretches.rbegin(); s != stretches.rend(); ++s) MoveUp(buffer, s->To, s->From, s->Moved);
    for (int32_t i = 0; i < BlockCount(); ++i) {
        TRollBackBlock* block = Block(i);
        FStore->SetPosition(block->StoreOffset);
        FStream->SetPosition(block->Offset);
        CopyPieces(FStore, FStream, block->Length, buffer, [](int32_t) {});
    }
    Reset();
}
