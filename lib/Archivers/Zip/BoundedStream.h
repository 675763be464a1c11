// Reads of a target stream that stop at a set offset: an entry's packed data
// read through it cannot run into the next entry or the directory.
#pragma once
#include <algorithm>
#include "Streams/FilterStream.h"

class TBoundedStream : public TFilterStream {
public:
    using TStream::Read;
    using TStream::Write;

    // The target stands at start; reads end at end. The window counts its
    // own position so that a read does not ask the target for it (a system
    // call on a file).
    void Open(int64_t start, int64_t end) {
        FPosition = start;
        FEnd = end;
    }
    int32_t Read(TByteSpan buffer, int32_t offset, int32_t count) override {
        int64_t left = FEnd - FPosition;
        if (left <= 0) return 0;
        int32_t done = Target->Read(buffer, offset, int32_t(std::min<int64_t>(count, left)));
        FPosition += done;
        return done;
    }
    int64_t GetPosition() override { return FPosition; }
    // Where reads end: what a reader can fetch is known before it asks.
    int64_t GetSize() override { return FEnd; }
    void SetPosition(int64_t position) override {
        Target->SetPosition(position);
        FPosition = position;
    }
    void Reset() override {}

private:
    int64_t FPosition = 0;
    int64_t FEnd = 0;
};
