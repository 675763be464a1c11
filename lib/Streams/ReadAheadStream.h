// Reads of a stream through a buffer of its own, so that many small reads
// close together (small archive entries) cost one read of the target per
// buffer. The target must not change while the buffer holds its bytes.
#pragma once
#include <memory>
#include "Streams/Streams.h"

class TReadAheadStream : public TStream {
public:
    using TStream::Read;
    using TStream::Write;
    static constexpr int32_t BufferSize = 1048576;

    // target borrowed; its position is the read-ahead's to move.
    explicit TReadAheadStream(TStream* target);

    int64_t GetPosition() override { return FPosition; }
    // A negative position raises EStreamSeekError.
    void SetPosition(int64_t position) override;
    int64_t GetSize() override { return FSize; }
    // Raise EStreamWriteError: nothing is written through a read-ahead.
    void SetSize(int64_t size) override;
    int32_t Read(TByteSpan buffer, int32_t offset, int32_t count) override;
    int32_t Write(TConstByteSpan buffer, int32_t offset, int32_t count) override;

private:
    TStream* FTarget;
    const int64_t FSize;
    int64_t FPosition = 0;
    // The target's bytes from FStart, FLength of them.
    std::unique_ptr<uint8_t[]> FBuffer;
    int64_t FStart = 0;
    int32_t FLength = 0;
};
