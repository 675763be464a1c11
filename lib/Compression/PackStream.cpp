#include "Compression/PackStream.h"
#include <algorithm>
#include "Foundation/Exceptions.h"

int32_t TPackStream::Read(TByteSpan, int32_t, int32_t) { throw EPackError("Invalid Operation"); }

const TPackStreamClass TStoreStream::Class = TPackStreamClass::Of<TStoreStream>();

TStoreStream::TStoreStream(TStream* dest, int8_t) : FDest(dest), FStart(dest->GetPosition()) {}

int32_t TStoreStream::Write(TConstByteSpan buffer, int32_t offset, int32_t count) {
    if (FDest->GetPosition() != FStart + FPosition) FDest->SetPosition(FStart + FPosition);
    int32_t n = FDest->Write(buffer, offset, count);
    if (n > 0) FPosition += n;
    FSize = std::max(FSize, FPosition);
    // Its user learns of the progress, and may stop, as with any packer.
    DoProgress();
    return n;
}
