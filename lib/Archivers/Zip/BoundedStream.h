// Reads of a target stream that stop at a set offset: an entry's packed data
// read through it cannot run into the next entry or the directory.
#pragma once
#include <algorithm>
#include "FilterStream.h"

class TBoundedStream : public TFilterStream {
public:
    using TStream::Read;
    using TStream::Write;

    // Reads end at this offset of the target.
    int64_t End = 0;

    int32_t Read(TByteSpan buffer, int32_t offset, int32_t count) override {
        int64_t left = End - Target->GetPosition();
        if (left <= 0) return 0;
        return Target->Read(buffer, offset, int32_t(std::min<int64_t>(count, left)));
    }
    void Reset() override {}
};
