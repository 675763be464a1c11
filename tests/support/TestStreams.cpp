#include "support/TestStreams.h"
#include "Foundation/Exceptions.h"

std::vector<uint8_t> ContentsOf(TStream* stream) {
    std::vector<uint8_t> bytes;
    stream->SetPosition(0);
    uint8_t buffer[4096];
    for (int32_t n; (n = stream->Read(buffer, sizeof buffer)) > 0;) bytes.insert(bytes.end(), buffer, buffer + n);
    return bytes;
}

void FillStream(TMemoryStream* stream, const std::vector<uint8_t>& bytes) {
    stream->Clear();
    if (!bytes.empty()) stream->Write(bytes.data(), (int32_t)bytes.size());
    stream->SetPosition(0);
}

std::vector<uint8_t> BytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::vector<uint8_t> MixedBytes(size_t count, uint32_t seed) {
    // Runs of text-like bytes mixed with noise.
    std::vector<uint8_t> bytes(count);
    uint32_t state = seed * 2654435761u + 1;
    auto next = [&] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    static const char words[] = "the slide show viewer bundle contents resources ";
    for (size_t i = 0; i < count;) {
        uint32_t r = next();
        size_t run = 1 + (r >> 8) % 64;
        bool noise = (r & 3) == 0;
        for (size_t j = 0; j < run && i < count; ++j, ++i)
            bytes[i] = noise ? uint8_t(next()) : uint8_t(words[(r + j) % (sizeof words - 1)]);
    }
    return bytes;
}

int32_t TFaultyStream::Write(TConstByteSpan buffer, int32_t offset, int32_t count) {
    if (++Writes != FailAt) return TMemoryStream::Write(buffer, offset, count);
    TMemoryStream::Write(buffer, offset, count / 2);
    throw EStreamWriteError();
}
