#include "support/TestStreams.h"
#include <algorithm>
#include <cstring>
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

TSealingStream::TSealingStream(const std::vector<uint8_t>& original, int32_t chunkSize) : ChunkSize(chunkSize) {
    TMemoryStream::Write(TConstByteSpan(original), 0, int32_t(original.size()));
    SetPosition(0);
}

void TSealingStream::Hit(int64_t at, bool read) {
    if (SealedHits++ == 0) SealedAt = at;
    if (!FailSealed) return;
    if (read) throw EStreamReadError("Input/output error");
    throw EStreamError("Input/output error");
}

int32_t TSealingStream::Read(TByteSpan buffer, int32_t offset, int32_t count) {
    // Only what the file holds of the bytes asked for, as the page reads.
    int64_t at = GetPosition();
    int64_t n = std::min<int64_t>({count, int64_t(buffer.size()) - std::max(offset, 0), GetSize() - at});
    for (int64_t chunk = at / ChunkSize; n > 0 && chunk <= (at + n - 1) / ChunkSize; ++chunk) {
        auto found = FChunks.find(chunk);
        if (found != FChunks.end() && found->second) {
            Hit(at, true);
            break;
        }
    }
    return TMemoryStream::Read(buffer, offset, count);
}

int32_t TSealingStream::Write(TConstByteSpan buffer, int32_t offset, int32_t count) {
    int64_t at = GetPosition();
    int64_t n = std::min<int64_t>(count, int64_t(buffer.size()) - std::max(offset, 0));
    // A file stream makes no call of an empty write: nothing is sealed.
    if (n <= 0) return 0;
    bool patched = false;
    for (int64_t chunk = at / ChunkSize; chunk <= (at + n - 1) / ChunkSize; ++chunk) {
        auto [found, added] = FChunks.emplace(chunk, false);
        patched |= !added && found->second;
    }
    PatchedWrites += patched;
    int32_t done = TMemoryStream::Write(buffer, offset, count);
    LowestWrite = LowestWrite < 0 ? at : std::min(LowestWrite, at);
    // Chunks wholly in front of the chunk this write starts in are done with.
    for (auto& [chunk, sealed] : FChunks)
        if (chunk < at / ChunkSize) sealed = true;
    return done;
}

void TSealingStream::SetSize(int64_t size) {
    // The page takes every size change through the rule, one to the same
    // size too. A failing one changes nothing here: the page's copy is past
    // use then anyway.
    int64_t last = size / ChunkSize;
    auto cut = FChunks.find(last);
    if (size % ChunkSize != 0 && cut != FChunks.end() && cut->second) Hit(size, false);
    FChunks.erase(FChunks.lower_bound(size % ChunkSize == 0 ? last : last + 1), FChunks.end());
    int64_t old = GetSize();
    TMemoryStream::SetSize(size);
    if (size > old) std::memset(Memory() + old, 0, size_t(size - old));
}
