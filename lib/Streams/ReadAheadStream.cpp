#include "Streams/ReadAheadStream.h"
#include <algorithm>
#include <cstring>
#include "Foundation/Exceptions.h"

TReadAheadStream::TReadAheadStream(TStream* target)
    : FTarget(target), FSize(target->GetSize()), FBuffer(new uint8_t[BufferSize]) {}

void TReadAheadStream::SetPosition(int64_t position) {
    if (position < 0) throw EStreamSeekError();
    FPosition = position;
}

void TReadAheadStream::SetSize(int64_t) { throw EStreamWriteError(); }

int32_t TReadAheadStream::Write(TConstByteSpan, int32_t, int32_t) { throw EStreamWriteError(); }

int32_t TReadAheadStream::Read(TByteSpan buffer, int32_t offset, int32_t count) {
    if (offset < 0 || size_t(offset) >= buffer.size() || count <= 0) return 0;
    count = int32_t(std::min<int64_t>(count, int64_t(buffer.size()) - offset));
    int32_t done = 0;
    while (done < count) {
        if (FPosition < FStart || FPosition >= FStart + FLength) {
            FTarget->SetPosition(FPosition);
            FStart = FPosition;
            FLength = std::max(FTarget->Read(FBuffer.get(), BufferSize), 0);
            if (FLength == 0) break;
        }
        const int32_t at = int32_t(FPosition - FStart);
        const int32_t n = std::min(count - done, FLength - at);
        std::memcpy(buffer.data() + offset + done, FBuffer.get() + at, size_t(n));
        done += n;
        FPosition += n;
    }
    return done;
}
