// Streams with awkward habits, for testing the code that reads them.
#pragma once
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
