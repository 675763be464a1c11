// A copy-on-write view of a read-only stream: writes land in a second
// stream at the same offsets, reads take the written parts from there and
// the rest from the first. Staging a copy of a file that is about to be
// rewritten in place this way costs one pass instead of two.
#pragma once
#include <map>
#include <vector>
#include "Streams/Streams.h"

// What CopyWithin does with bytes that are the base's: Written copies them
// through the caller into top as any write; Recorded only notes where in
// the base they are, for Layout (and Flatten) to use.
enum class TCopyWithin { Written, Recorded };

// Where a stretch of the overlay's bytes is: in top at the same offsets, in
// base from From on, or zeros.
enum class TOverlaySource { Top, Base, Zeros };
struct TOverlayStretch {
    int64_t Start;
    int64_t Length;
    TOverlaySource Source;
    int64_t From;  // Base only
};

class TOverlayStream : public TStream {
public:
    using TStream::Read;
    using TStream::Write;

    // Both borrowed; base is only ever read. The contents start as base's.
    // Both streams' positions are the overlay's to move while it is in use,
    // and top's contents and size too.
    TOverlayStream(TStream* base, TStream* top, TCopyWithin copies = TCopyWithin::Written);

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
    // With TCopyWithin::Recorded, where every byte at from is the base's:
    // nothing is read or written, the target only notes the base's offsets.
    bool CopyWithin(int64_t from, int64_t to, int64_t count) override;

    // Copies every byte not written yet into top and gives top the
    // overlay's size, so that top alone holds the contents; base is not
    // read after that.
    void Flatten();
    // The contents front to back, stretch by stretch: what a reader that
    // holds both streams needs to put them together without Flatten.
    std::vector<TOverlayStretch> Layout() const;

    // Touching writes share one extent.
    int32_t ExtentCount() const { return (int32_t)FExtents.size(); }

private:
    // A stretch put on the base: written into top (From < 0), or the
    // base's bytes from From on.
    struct TExtent {
        int64_t End;
        int64_t From;
    };
    // Lays [start, end) over whatever extents it covers; extents that
    // continue each other join.
    void Place(int64_t start, int64_t end, int64_t from);
    // Fills length bytes at destination with the contents from offset on.
    void ReadAt(uint8_t* destination, int64_t offset, int32_t length);
    // Fills length bytes at destination with the unwritten contents from
    // offset on: base's bytes below the base limit, zeros above.
    void ReadUnwritten(uint8_t* destination, int64_t offset, int32_t length);

    TStream* FBase;
    TStream* FTop;
    const TCopyWithin FCopies;
    int64_t FSize;
    int64_t FPosition = 0;
    // Base bytes at or above this are never shown again in their own place.
    int64_t FBaseLimit;
    int64_t FTopSize;  // as the overlay left it
    // By start, none overlapping another.
    std::map<int64_t, TExtent> FExtents;
};
