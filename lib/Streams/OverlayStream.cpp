#include "Streams/OverlayStream.h"
#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>
#include "Foundation/Exceptions.h"
#include "Streams/StreamUtil.h"

TOverlayStream::TOverlayStream(TStream* base, TStream* top)
    : FBase(base),
      FTop(top),
      FSize(base->GetSize()),
      FBaseLimit(FSize),
      FTopSize(std::max<int64_t>(0, top->GetSize())) {
    if (FSize < 0) throw EStreamError("An overlay needs a base of known size");
}

void TOverlayStream::SetPosition(int64_t position) {
    if (position < 0) throw EStreamSeekError();
    FPosition = position;
}

void TOverlayStream::SetSize(int64_t size) {
    if (size < 0) throw EStreamError();
    // Top first: when it fails nothing has changed.
    FTop->SetSize(size);
    FTopSize = size;
    FExtents.erase(FExtents.lower_bound(size), FExtents.end());
    if (!FExtents.empty()) {
        auto last = std::prev(FExtents.end());
        last->second = std::min(last->second, size);
    }
    FBaseLimit = std::min(FBaseLimit, size);
    FSize = size;
}

void TOverlayStream::AddExtent(int64_t start, int64_t end) {
    auto it = FExtents.upper_bound(start);
    if (it != FExtents.begin() && std::prev(it)->second >= start) --it;
    while (it != FExtents.end() && it->first <= end) {
        start = std::min(start, it->first);
        end = std::max(end, it->second);
        it = FExtents.erase(it);
    }
    FExtents.emplace_hint(it, start, end);
}

void TOverlayStream::ReadUnwritten(uint8_t* destination, int64_t offset, int32_t length) {
    int32_t fromBase = (int32_t)std::clamp<int64_t>(FBaseLimit - offset, 0, length);
    if (fromBase > 0) {
        FBase->SetPosition(offset);
        FBase->ReadBuffer(destination, fromBase);
    }
    std::memset(destination + fromBase, 0, size_t(length - fromBase));
}

int32_t TOverlayStream::Read(TByteSpan buffer, int32_t offset, int32_t count) {
    int64_t n = std::min<int64_t>(Fit(buffer.size(), offset, count), FSize - FPosition);
    if (n <= 0) return 0;
    uint8_t* out = buffer.data() + offset;
    int64_t at = FPosition;
    int64_t end = FPosition + n;
    auto it = FExtents.upper_bound(at);
    if (it != FExtents.begin() && std::prev(it)->second > at) --it;
    while (at < end) {
        if (it != FExtents.end() && it->first <= at) {
            int64_t stop = std::min(end, it->second);
            FTop->SetPosition(at);
            FTop->ReadBuffer(out + (at - FPosition), (int32_t)(stop - at));
            at = stop;
            ++it;
        } else {
            int64_t stop = it != FExtents.end() ? std::min(end, it->first) : end;
            ReadUnwritten(out + (at - FPosition), at, (int32_t)(stop - at));
            at = stop;
        }
    }
    FPosition = end;
    return (int32_t)n;
}

int32_t TOverlayStream::Write(TConstByteSpan buffer, int32_t offset, int32_t count) {
    int32_t n = Fit(buffer.size(), offset, count);
    if (n <= 0) return 0;
    // Not every stream can be positioned past its end.
    if (FTopSize < FPosition) {
        FTop->SetSize(FPosition);
        FTopSize = FPosition;
    }
    FTop->SetPosition(FPosition);
    int32_t written = FTop->Write(buffer, offset, n);
    if (written <= 0) return 0;
    int64_t end = FPosition + written;
    FTopSize = std::max(FTopSize, end);
    AddExtent(FPosition, end);
    FPosition = end;
    // A gap between the old end and this write lies past the base limit:
    // it reads as zeros.
    FSize = std::max(FSize, end);
    return written;
}

void TOverlayStream::Flatten() {
    FTop->SetSize(FSize);
    FTopSize = FSize;
    int64_t unwritten = FSize;
    for (const auto& [start, end] : FExtents) unwritten -= end - start;
    std::vector<uint8_t> buffer((size_t)std::min<int64_t>(unwritten, TStreamUtil::PieceSize));
    // Always the first gap, piece by piece: each piece copied joins the
    // extents, so a failure half-way loses nothing already copied.
    for (;;) {
        int64_t start = 0;
        int64_t end = FSize;
        auto it = FExtents.begin();
        if (it != FExtents.end() && it->first == 0) start = (it++)->second;
        if (it != FExtents.end()) end = it->first;
        if (start >= end) break;
        int32_t n = (int32_t)std::min<int64_t>(end - start, TStreamUtil::PieceSize);
        ReadUnwritten(buffer.data(), start, n);
        FTop->SetPosition(start);
        FTop->WriteBuffer(buffer.data(), n);
        AddExtent(start, start + n);
    }
    FBaseLimit = 0;
}
