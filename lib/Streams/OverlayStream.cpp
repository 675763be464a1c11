#include "Streams/OverlayStream.h"
#include <algorithm>
#include <cstring>
#include <iterator>
#include "Foundation/Exceptions.h"
#include "Streams/StreamUtil.h"

TOverlayStream::TOverlayStream(TStream* base, TStream* top, TCopyWithin copies)
    : FBase(base),
      FTop(top),
      FCopies(copies),
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
        last->second.End = std::min(last->second.End, size);
    }
    FBaseLimit = std::min(FBaseLimit, size);
    FSize = size;
}

void TOverlayStream::Place(int64_t start, int64_t end, int64_t from) {
    if (start >= end) return;
    // The part of an extent past a cut keeps its bytes where they were.
    auto rest = [](int64_t at, const TExtent& extent, int64_t cut) {
        return TExtent{extent.End, extent.From < 0 ? -1 : extent.From + (cut - at)};
    };
    auto it = FExtents.lower_bound(start);
    if (it != FExtents.begin() && std::prev(it)->second.End > start) {
        auto before = std::prev(it);
        if (before->second.End > end) FExtents.emplace(end, rest(before->first, before->second, end));
        before->second.End = start;
    }
    for (it = FExtents.lower_bound(start); it != FExtents.end() && it->first < end;) {
        if (it->second.End > end) FExtents.emplace(end, rest(it->first, it->second, end));
        it = FExtents.erase(it);
    }
    auto placed = FExtents.emplace(start, TExtent{end, from}).first;
    auto continues = [](auto a, auto b) {
        return a->second.End == b->first &&
               (a->second.From < 0 ? b->second.From < 0 : b->second.From == a->second.From + (b->first - a->first));
    };
    if (placed != FExtents.begin() && continues(std::prev(placed), placed)) {
        auto before = std::prev(placed);
        before->second.End = placed->second.End;
        FExtents.erase(placed);
        placed = before;
    }
    if (auto after = std::next(placed); after != FExtents.end() && continues(placed, after)) {
        placed->second.End = after->second.End;
        FExtents.erase(after);
    }
}

void TOverlayStream::ReadUnwritten(uint8_t* destination, int64_t offset, int32_t length) {
    int32_t fromBase = (int32_t)std::clamp<int64_t>(FBaseLimit - offset, 0, length);
    if (fromBase > 0) {
        FBase->SetPosition(offset);
        FBase->ReadBuffer(destination, fromBase);
    }
    std::memset(destination + fromBase, 0, size_t(length - fromBase));
}

void TOverlayStream::ReadAt(uint8_t* destination, int64_t offset, int32_t length) {
    const int64_t end = offset + length;
    auto it = FExtents.upper_bound(offset);
    if (it != FExtents.begin() && std::prev(it)->second.End > offset) --it;
    for (int64_t at = offset; at < end;) {
        uint8_t* out = destination + (at - offset);
        if (it == FExtents.end() || it->first > at) {
            const int64_t stop = it != FExtents.end() ? std::min(end, it->first) : end;
            ReadUnwritten(out, at, (int32_t)(stop - at));
            at = stop;
            continue;
        }
        const int64_t stop = std::min(end, it->second.End);
        TStream* source = it->second.From < 0 ? FTop : FBase;
        source->SetPosition(it->second.From < 0 ? at : it->second.From + (at - it->first));
        source->ReadBuffer(out, (int32_t)(stop - at));
        at = stop;
        ++it;
    }
}

int32_t TOverlayStream::Read(TByteSpan buffer, int32_t offset, int32_t count) {
    int64_t n = std::min<int64_t>(Fit(buffer.size(), offset, count), FSize - FPosition);
    if (n <= 0) return 0;
    ReadAt(buffer.data() + offset, FPosition, (int32_t)n);
    FPosition += n;
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
    Place(FPosition, end, -1);
    FPosition = end;
    // A gap between the old end and this write lies past the base limit:
    // it reads as zeros.
    FSize = std::max(FSize, end);
    return written;
}

bool TOverlayStream::CopyWithin(int64_t from, int64_t to, int64_t count) {
    if (FCopies != TCopyWithin::Recorded || from < 0 || to < 0 || count < 0 || count > FSize - from) return false;
    if (count == 0) return true;
    // Where in the base each stretch of the source is, all found before
    // anything changes: the target may overlap it.
    struct TPiece {
        int64_t At, End, From;
    };
    std::vector<TPiece> pieces;
    auto it = FExtents.upper_bound(from);
    if (it != FExtents.begin() && std::prev(it)->second.End > from) --it;
    for (int64_t at = from, end = from + count; at < end;) {
        if (it == FExtents.end() || it->first > at) {
            const int64_t stop = it != FExtents.end() ? std::min(end, it->first) : end;
            if (stop > FBaseLimit) return false;
            pieces.push_back({at, stop, at});
            at = stop;
            continue;
        }
        if (it->second.From < 0) return false;
        const int64_t stop = std::min(end, it->second.End);
        pieces.push_back({at, stop, it->second.From + (at - it->first)});
        at = stop;
        ++it;
    }
    for (const TPiece& piece : pieces) Place(to + (piece.At - from), to + (piece.End - from), piece.From);
    FSize = std::max(FSize, to + count);
    return true;
}

void TOverlayStream::Flatten() {
    FTop->SetSize(FSize);
    FTopSize = FSize;
    int64_t unwritten = FSize;
    for (const auto& [start, extent] : FExtents)
        if (extent.From < 0) unwritten -= extent.End - start;
    std::vector<uint8_t> buffer((size_t)std::min<int64_t>(unwritten, TStreamUtil::PieceSize));
    // Always the first stretch not in top, piece by piece: each piece
    // copied joins the written extents, so a failure half-way loses
    // nothing already copied.
    for (;;) {
        int64_t start = 0;
        auto it = FExtents.begin();
        if (it != FExtents.end() && it->first == 0 && it->second.From < 0) start = (it++)->second.End;
        if (start >= FSize) break;
        const int64_t end = it == FExtents.end() ? FSize : it->first > start ? it->first : it->second.End;
        const int32_t n = (int32_t)std::min<int64_t>(end - start, TStreamUtil::PieceSize);
        ReadAt(buffer.data(), start, n);
        FTop->SetPosition(start);
        FTop->WriteBuffer(buffer.data(), n);
        Place(start, start + n, -1);
    }
    FBaseLimit = 0;
}

std::vector<TOverlayStretch> TOverlayStream::Layout() const {
    std::vector<TOverlayStretch> stretches;
    auto add = [&stretches](int64_t start, int64_t end, TOverlaySource source, int64_t from) {
        if (start >= end) return;
        if (!stretches.empty()) {
            TOverlayStretch& last = stretches.back();
            const bool continues =
                last.Source == source && (source != TOverlaySource::Base || last.From + last.Length == from);
            if (continues && source != TOverlaySource::Top) {
                last.Length += end - start;
                return;
            }
        }
        stretches.push_back({start, end - start, source, source == TOverlaySource::Base ? from : 0});
    };
    auto unwritten = [&](int64_t start, int64_t end) {
        add(start, std::min(end, std::max(start, FBaseLimit)), TOverlaySource::Base, start);
        add(std::max(start, FBaseLimit), end, TOverlaySource::Zeros, 0);
    };
    int64_t at = 0;
    for (const auto& [start, extent] : FExtents) {
        unwritten(at, start);
        add(start, extent.End, extent.From < 0 ? TOverlaySource::Top : TOverlaySource::Base, extent.From);
        at = extent.End;
    }
    unwritten(at, FSize);
    return stretches;
}
