// A copy-on-write view of a read-only stream: writes land in a second
// stream at the same offsets, reads take the written parts from there and
// the rest from the first. Staging a copy of a file that is about to be
// rewritten in place this way costs one pass instead of two.
#pragma once
#include <map>
#include "Streams/Streams.h"

class TOverlayStream : public TStream {
public:
    using TStream::Read;
    using TStream::Write;

    // Both borrowed; base is only ever read. The contents start as base's.
    // Both streams' positions are the overlay's to move while it is in use,
    // and top's contents and size too.
    TOverlayStream(TStream* base, TStream* top);

    // Positions past the end are allowed, as for files; a write there
    // leaves zeros in the gap. A negative one raises EStreamSeekError.
    int64_t GetPosition() override { return FPosition; }
    void SetPosition(int64_t position) override;
    int64_t GetSize() override { return FSize; }
    // Keeps the position. Base bytes cut off once stay cut off: growing
    // again shows zeros there.
    void SetSize(int64_t size) override;
    // A short read from base where it should hold the bytes raises
    // EStreamReadError, as one from top does.
    int32_t Read(TByteSpan buffer, int32_t offset, int32_t count) override;
    // Moves as many bytes as top takes.
    int32_t Write(TConstByteSpan buffer, int32_t offset, int32_t count) override;

    // Copies every byte not written yet into top and gives top the
    // overlay's size, so that top alone holds the contents; base is not
    // read after that.
    void Flatten();

    // Touching writes share one extent.
    int32_t ExtentCount() const { return (int32_t)FExtents.size(); }

private:
    void AddExtent(int64_t start, int64_t end);
    // Fills length bytes at destination with the unwritten contents from
    // offset on: base's bytes below the base limit, zeros above.
    void ReadUnwritten(uint8_t* destination, int64_t offset, int32_t length);

    TStream* FBase;
    TStream* FTop;
    int64_t FSize;
    int64_t FPosition = 0;
    // Base bytes at or above this are never shown again.
    int64_t FBaseLimit;
    int64_t FTopSize;  // as the overlay left it
    // Written stretches, start to end, none touching another.
    std::map<int64_t, int64_t> FExtents;
};
