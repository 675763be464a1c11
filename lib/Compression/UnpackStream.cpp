#include "Compression/UnpackStream.h"
#include "Foundation/Exceptions.h"

int32_t TUnpackStream::Write(TConstByteSpan, int32_t, int32_t) {
    throw EUnpackError("Cannot write to read-only stream");
}

const TUnpackStreamClass TRestoreStream::Class = TUnpackStreamClass::Of<TRestoreStream>();

TRestoreStream::TRestoreStream(TStream* source, int64_t unpackedSize)
    : TUnpackStream(source, unpackedSize), FSource(source), FStart(source->GetPosition()) {}

int32_t TRestoreStream::Read(TByteSpan buffer, int32_t offset, int32_t count) {
    if (FSource->GetPosition() != FStart + FPosition) FSource->SetPosition(FStart + FPosition);
    int32_t n = FSource->Read(buffer, offset, count);
    if (n > 0) FPosition += n;
    DoProgress();
    return n;
}
