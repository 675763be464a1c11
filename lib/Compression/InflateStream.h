// Raw deflate data (ZIP method 8) unpacked through zlib.
#pragma once
#include <zlib.h>
#include <memory>
#include "Compression/UnpackStream.h"

class TInflateStream : public TUnpackStream {
public:
    using TStream::Read;
    using TStream::Write;
    static const TUnpackStreamClass Class;
    static constexpr int32_t InBufferSize = 1048576;

    TInflateStream(TStream* source, int64_t unpackedSize);

    int64_t GetPosition() override { return FPosition; }
    // Forward by unpacking and dropping; backward by starting over.
    void SetPosition(int64_t position) override;
    // Raises EZDecompressionError with zlib's text for broken data.
    int32_t Read(TByteSpan buffer, int32_t offset, int32_t count) override;

protected:
    void Dispose() override;

private:
    void Skip(int64_t count);

    TStream* FSource;  // borrowed; may be shared and moved between reads
    int64_t FPosition = 0;
    int64_t FStart;
    // Never more than InBufferSize, nor more than the source holds.
    int32_t FInBufferSize;
    std::unique_ptr<uint8_t[]> FInBuffer;
    z_stream FZStream{};
    bool FZStarted = false;
    // Compressed bytes taken from the source so far: where its input goes on.
    int64_t FFetched = 0;
    bool FEnded = false;
};
