#include "Streams/FilterStream.h"
#include <zlib.h>

TCrc32Stream::TCrc32Stream(TStream* target) : TFilterStream(target) {
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ ((c & 1) ? 0xEDB88320u : 0);
        FCrcTable[i] = c;
    }
}

void TCrc32Stream::Update(TConstByteSpan buffer, int32_t offset, int32_t count) {
    int32_t n = Fit(buffer.size(), offset, count);
    if (n <= 0) return;
    // zlib's crc32 computes the same checksum as the table, several bytes a
    // step; it takes and gives the inverted register.
    FCrc = ~uint32_t(crc32_z(~FCrc & 0xFFFFFFFFu, buffer.data() + offset, size_t(n)));
}

int32_t TCrc32Stream::Read(TByteSpan buffer, int32_t offset, int32_t count) {
    int32_t n = Target->Read(buffer, offset, count);
    Update(buffer, offset, n);
    return n;
}

int32_t TCrc32Stream::Write(TConstByteSpan buffer, int32_t offset, int32_t count) {
    Update(buffer, offset, count);
    return Target->Write(buffer, offset, count);
}
