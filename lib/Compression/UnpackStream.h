// Unpack streams: read-only streams that deliver the unpacked bytes of one
// packed item whose data starts at the current position of a source stream.
#pragma once
#include "Streams/Streams.h"

class TUnpackStream;
using TUnpackStreamClass = TStreamClass<TUnpackStream, TStream*, int64_t>;

class TUnpackStream : public TStream {
public:
    using TStream::Read;
    using TStream::Write;

    // What the caller announced; nothing checks it against the data.
    int64_t GetSize() override { return FUnpackedSize; }
    void SetSize(int64_t) override {}
    // Raises EUnpackError: unpack streams are read-only.
    int32_t Write(TConstByteSpan buffer, int32_t offset, int32_t count) override;
    virtual void DoProgress() {
        if (OnProgress) OnProgress(this);
    }

    TProgressEvent OnProgress;

protected:
    // The base keeps only the size; each class takes the source itself.
    TUnpackStream(TStream*, int64_t unpackedSize) : FUnpackedSize(unpackedSize) {}

    int64_t FUnpackedSize;
};

// Stored data (ZIP method 0): the source's bytes as they are.
class TRestoreStream : public TUnpackStream {
public:
    using TStream::Read;
    using TStream::Write;
    static const TUnpackStreamClass Class;

    TRestoreStream(TStream* source, int64_t unpackedSize);

    int64_t GetPosition() override { return FPosition; }
    void SetPosition(int64_t position) override { FPosition = position; }
    // Not cut at the announced size: callers read at most GetSize bytes.
    int32_t Read(TByteSpan buffer, int32_t offset, int32_t count) override;

private:
    TStream* FSource;  // borrowed; may be shared and moved between reads
    int64_t FPosition = 0;
    int64_t FStart;
};
