// Raw deflate data (ZIP method 8) packed through zlib.
#pragma once
#include <zlib.h>
#include <memory>
#include "Compression/PackStream.h"

class TDeflateStream : public TPackStream {
public:
    using TStream::Read;
    using TStream::Write;
    static const TPackStreamClass Class;
    static constexpr int32_t OutBufferSize = 1048576;
    // zlib's level for each level index.
    static constexpr int LevelTable[6] = {0, 1, 3, 5, 7, 9};

    // Raises EZCompressionError for a level index outside 0..5 or when zlib
    // cannot start.
    TDeflateStream(TStream* dest, int8_t level);

    int64_t GetPosition() override { return FPosition; }
    void SetPosition(int64_t position) override { FPosition = position; }
    int64_t GetSize() override { return FSize; }
    void SetSize(int64_t size) override { FSize = size; }
    // Takes all of the input; full output buffers go to the destination.
    int32_t Write(TConstByteSpan buffer, int32_t offset, int32_t count) override;
    // Packs the whole of source from its start, without clearing this stream.
    void LoadFromStream(TStream* source) override;
    void Finish() override;

protected:
    void Dispose() override;

private:
    void Flush(uint32_t count);

    TStream* FDest;  // borrowed; may be shared and moved between writes
    int64_t FPosition = 0;
    int64_t FDestPos;
    z_stream FZStream{};
    bool FZStarted = false;
    bool FFinished = false;
    std::unique_ptr<uint8_t[]> FOutBuffer;
    int64_t FSize = 0;
};
