#include "Compression/InflateStream.h"
#include <algorithm>
#include "Foundation/Exceptions.h"

namespace {
void Check(int result) {
    if (result < 0) throw EZDecompressionError(zError(result), result);
}

// The packed data of most entries is far smaller than a full buffer: one
// of its size spares a large allocation per entry.
int32_t InputBufferSize(TStream* source) {
    const int64_t size = source->GetSize(), position = source->GetPosition();
    if (size < 0 || position < 0 || size < position) return TInflateStream::InBufferSize;
    return int32_t(std::clamp<int64_t>(size - position, 4096, TInflateStream::InBufferSize));
}
}  // namespace

const TUnpackStreamClass TInflateStream::Class = TUnpackStreamClass::Of<TInflateStream>();

TInflateStream::TInflateStream(TStream* source, int64_t unpackedSize)
    : TUnpackStream(source, unpackedSize),
      FSource(source),
      FStart(source->GetPosition()),
      FInBufferSize(InputBufferSize(source)),
      FInBuffer(new uint8_t[size_t(FInBufferSize)]) {
    // Raw deflate, 32 KiB window, through the macro so that zlib checks its
    // header's version.
    Check(inflateInit2(&FZStream, -15));
    FZStarted = true;
}

void TInflateStream::Dispose() {
    if (FZStarted) inflateEnd(&FZStream);
    FZStarted = false;
    FInBuffer.reset();
    TUnpackStream::Dispose();
}

int32_t TInflateStream::Read(TByteSpan buffer, int32_t offset, int32_t count) {
    count = Fit(buffer.size(), offset, count);
    if (count <= 0 || FEnded) return 0;
    // The source may be shared: put it back where our input goes on.
    if (FSource->GetPosition() != FStart + FFetched) FSource->SetPosition(FStart + FFetched);
    FZStream.next_out = buffer.data() + offset;
    FZStream.avail_out = uInt(count);
    do {
        if (FZStream.avail_in == 0) {
            int32_t fetched = FSource->Read(FInBuffer.get(), FInBufferSize);
            if (fetched < 0) fetched = 0;
            FFetched += fetched;
            FZStream.next_in = FInBuffer.get();
            FZStream.avail_in = uInt(fetched);
        }
        // With no input left and nothing to flush zlib reports a buffer
        // error: truncated data ends here instead of looping.
        int result = inflate(&FZStream, Z_SYNC_FLUSH);
        Check(result);
        if (result == Z_STREAM_END) FEnded = true;
    } while (!FEnded && FZStream.avail_out > 0);
    int32_t n = count - int32_t(FZStream.avail_out);
    FPosition += n;
    DoProgress();
    return n;
}

void TInflateStream::Skip(int64_t count) {
    if (count <= 0) return;
    std::unique_ptr<uint8_t[]> scratch(new uint8_t[InBufferSize]);
    TByteSpan buffer(scratch.get(), InBufferSize);
    while (count > 0) {
        int32_t n = Read(buffer, 0, (int32_t)std::min<int64_t>(count, InBufferSize));
        if (n <= 0) break;
        count -= n;
    }
}

void TInflateStream::SetPosition(int64_t position) {
    if (position < 0) position = 0;
    if (position < FPosition) {
        Check(inflateReset(&FZStream));
        FZStream.avail_in = 0;
        FZStream.next_in = nullptr;
        FFetched = 0;
        FEnded = false;
        FPosition = 0;
    }
    Skip(position - FPosition);
}
