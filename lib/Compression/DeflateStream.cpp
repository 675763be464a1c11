#include "Compression/DeflateStream.h"
#include <algorithm>
#include "Foundation/Exceptions.h"

namespace {
void Check(int result) {
    if (result < 0) throw EZCompressionError(zError(result), result);
}
}  // namespace

const TPackStreamClass TDeflateStream::Class = TPackStreamClass::Of<TDeflateStream>();

TDeflateStream::TDeflateStream(TStream* dest, int8_t level)
    : FDest(dest), FDestPos(dest->GetPosition()), FOutBuffer(new uint8_t[OutBufferSize]) {
    // An index outside the table would hand zlib an arbitrary level.
    if (level < 0 || level > 5) Check(Z_STREAM_ERROR);
    FZStream.next_out = FOutBuffer.get();
    FZStream.avail_out = OutBufferSize;
    // Raw deflate (negative window bits), 32 KiB window, memory level 8,
    // through the macro so that zlib checks its header's version. A stream
    // zlib could not start would fail every write later: fail now instead.
    Check(deflateInit2(&FZStream, LevelTable[level], Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY));
    FZStarted = true;
}

void TDeflateStream::Dispose() {
    if (FZStarted) deflateEnd(&FZStream);
    FZStarted = false;
    FOutBuffer.reset();
    TPackStream::Dispose();
}

// Writes count bytes of the output buffer and gives zlib all of it again.
void TDeflateStream::Flush(uint32_t count) {
    if (FDest->GetPosition() != FDestPos) FDest->SetPosition(FDestPos);
    FDest->WriteBuffer(FOutBuffer.get(), (int32_t)count);
    FDestPos += count;
    FZStream.next_out = FOutBuffer.get();
    FZStream.avail_out = OutBufferSize;
}

int32_t TDeflateStream::Write(TConstByteSpan buffer, int32_t offset, int32_t count) {
    count = Fit(buffer.size(), offset, count);
    if (count <= 0) return 0;
    FZStream.next_in = const_cast<Bytef*>(buffer.data() + offset);
    FZStream.avail_in = uInt(count);
    while (FZStream.avail_in > 0) {
        Check(deflate(&FZStream, Z_NO_FLUSH));
        if (FZStream.avail_out == 0) Flush(OutBufferSize);
    }
    FPosition += count;
    FSize = std::max(FSize, FPosition);
    DoProgress();
    return count;
}

void TDeflateStream::Finish() {
    if (FFinished || !FZStarted) return;
    // A failure here is final: the data cannot be completed afterwards.
    FFinished = true;
    FZStream.next_in = nullptr;
    FZStream.avail_in = 0;
    int result;
    do {
        result = deflate(&FZStream, Z_FINISH);
        Check(result);
        Flush(OutBufferSize - FZStream.avail_out);
    } while (result != Z_STREAM_END);
}

void TDeflateStream::LoadFromStream(TStream* source) {
    source->SetPosition(0);
    std::unique_ptr<uint8_t[]> scratch(new uint8_t[OutBufferSize]);
    TByteSpan buffer(scratch.get(), OutBufferSize);
    for (;;) {
        int32_t n = source->Read(buffer, 0, OutBufferSize);
        if (n <= 0) break;
        Write(buffer, 0, n);
    }
}
