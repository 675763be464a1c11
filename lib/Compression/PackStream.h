// Pack streams: write-only streams whose bytes come out packed at the
// current position of a destination stream.
#pragma once
#include "Streams/Streams.h"

class TPackStream;
// Made with (dest, level); level is a compression level index, 0..5.
using TPackStreamClass = TStreamClass<TPackStream, TStream*, int8_t>;

class TPackStream : public TStream {
public:
    using TStream::Read;
    using TStream::Write;

    // Raises EPackError: pack streams are write-only.
    int32_t Read(TByteSpan buffer, int32_t offset, int32_t count) override;
    virtual void DoProgress() {
        if (OnProgress) OnProgress(this);
    }
    // Ends the packed data and writes what is left of it; later calls do
    // nothing. Freeing an unfinished stream abandons the data rather than
    // finishing it, so that no failure is lost in a clean-up.
    virtual void Finish() {}

    TProgressEvent OnProgress;

protected:
    TPackStream() = default;
};

// Stored data (ZIP method 0): bytes go to the destination unchanged.
class TStoreStream : public TPackStream {
public:
    using TStream::Read;
    using TStream::Write;
    static const TPackStreamClass Class;

    // The level is ignored.
    TStoreStream(TStream* dest, int8_t level);

    // Position and size are the stream's own numbers; they move nothing in
    // the destination.
    int64_t GetPosition() override { return FPosition; }
    void SetPosition(int64_t position) override { FPosition = position; }
    int64_t GetSize() override { return FSize; }
    void SetSize(int64_t size) override { FSize = size; }
    int32_t Write(TConstByteSpan buffer, int32_t offset, int32_t count) override;

private:
    TStream* FDest;  // borrowed; may be shared and moved between writes
    int64_t FPosition = 0;
    int64_t FStart;
    int64_t FSize = 0;
};
