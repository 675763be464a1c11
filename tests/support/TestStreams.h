// Streams with awkward habits, for testing the code that reads them.
#pragma once
#include <map>
#include <string>
#include <vector>
#include "Streams/Streams.h"

// A memory stream that hands out at most Limit bytes per read, can hide its
// size (GetSize -1), and counts the calls it gets.
class TShyStream : public TMemoryStream {
public:
    using TStream::Read;
    using TStream::Write;

    int32_t Limit = 0x7FFFFFFF;
    bool HideSize = false;
    int Reads = 0;
    int Seeks = 0;

    int64_t GetSize() override { return HideSize ? -1 : TMemoryStream::GetSize(); }
    void SetPosition(int64_t position) override {
        ++Seeks;
        TMemoryStream::SetPosition(position);
    }
    int32_t Read(TByteSpan buffer, int32_t offset, int32_t count) override {
        ++Reads;
        return TMemoryStream::Read(buffer, offset, count < Limit ? count : Limit);
    }
};

// A memory stream that takes at most Limit bytes per write, as a full disk
// does, and counts the writes it gets.
class TShortWriter : public TMemoryStream {
public:
    using TStream::Read;
    using TStream::Write;

    int32_t Limit = 0x7FFFFFFF;
    int Writes = 0;

    int32_t Write(TConstByteSpan buffer, int32_t offset, int32_t count) override {
        ++Writes;
        return TMemoryStream::Write(buffer, offset, count < Limit ? count : Limit);
    }
};

// A stream's whole contents, leaving its position at the end.
std::vector<uint8_t> ContentsOf(TStream* stream);
// Fills a memory stream with bytes and rewinds it.
void FillStream(TMemoryStream* stream, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> BytesOf(const std::string& text);
// Reproducible bytes that compress somewhat, as documents and pictures do.
std::vector<uint8_t> MixedBytes(size_t count, uint32_t seed = 1);

// A memory stream whose FailAt-th write (counting from 1; 0 never) takes
// only half of its bytes and then raises EStreamWriteError, as a disk
// filling up in the middle of a write does. Later writes succeed.
class TFaultyStream : public TMemoryStream {
public:
    using TStream::Read;
    using TStream::Write;

    int FailAt = 0;
    int Writes = 0;

    int32_t Write(TConstByteSpan buffer, int32_t offset, int32_t count) override;
};

// A memory stream that keeps to the rule of the web page's working copy:
// in chunks of ChunkSize bytes, a written chunk is sealed once a write
// starts in a chunk after it. A sealed chunk still takes writes (the page
// patches it) but cannot be read: a read reaching one raises
// EStreamReadError, and a size change ending inside one EStreamError, as
// the page's EIO comes through a file stream. With FailSealed off they are
// only counted. Sizes grown read as zeros, as a file's do.
class TSealingStream : public TMemoryStream {
public:
    using TStream::Read;
    using TStream::Write;

    // original is the picked file: none of it counts as written.
    TSealingStream(const std::vector<uint8_t>& original, int32_t chunkSize);

    const int32_t ChunkSize;
    bool FailSealed = true;
    // Where the first read that met a sealed chunk started, or the size the
    // first size change that met one asked for; -1 while none did.
    int64_t SealedAt = -1;
    int SealedHits = 0;
    // The lowest offset written; -1 before any write.
    int64_t LowestWrite = -1;
    // Writes that reached a sealed chunk: the page keeps them as patches.
    int PatchedWrites = 0;

    int32_t Read(TByteSpan buffer, int32_t offset, int32_t count) override;
    int32_t Write(TConstByteSpan buffer, int32_t offset, int32_t count) override;
    void SetSize(int64_t size) override;
    // Through Write, as a file stream copies.
    int64_t CopyFrom(TStream* source, int64_t count) override { return TStream::CopyFrom(source, count); }
    // The contents, sealed chunks too, the position left alone.
    std::vector<uint8_t> Bytes() { return std::vector<uint8_t>(Memory(), Memory() + GetSize()); }

private:
    void Hit(int64_t at, bool read);

    // Written chunks by index: sealed or not.
    std::map<int64_t, bool> FChunks;
};
