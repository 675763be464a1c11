#include <gtest/gtest.h>
#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>
#include "Foundation/Exceptions.h"
#include "Streams/OverlayStream.h"
#include "Streams/StreamUtil.h"
#include "support/TestStreams.h"

namespace {
using TBytes = std::vector<uint8_t>;
constexpr int64_t MiB = TStreamUtil::PieceSize;

// A base that counts what is read from it and refuses every write.
struct TBase : TMemoryStream {
    using TStream::Read;
    int64_t BytesRead = 0;
    int32_t LargestRead = 0;

    explicit TBase(const TBytes& bytes) {
        SetSize((int64_t)bytes.size());
        std::memcpy(Memory(), bytes.data(), bytes.size());
    }
    int32_t Read(TByteSpan buffer, int32_t offset, int32_t count) override {
        int32_t n = TMemoryStream::Read(buffer, offset, count);
        BytesRead += n;
        LargestRead = std::max(LargestRead, n);
        return n;
    }
    int32_t Write(TConstByteSpan, int32_t, int32_t) override { throw std::logic_error("base written"); }
};
}  // namespace

// What a reader holding both streams puts together from the layout.
TBytes FromLayout(TOverlayStream* overlay, TStream* base, TStream* top) {
    TBytes bytes;
    for (const TOverlayStretch& stretch : overlay->Layout()) {
        TBytes part(size_t(stretch.Length));
        TStream* source = stretch.Source == TOverlaySource::Top ? top : base;
        if (stretch.Source != TOverlaySource::Zeros) {
            source->SetPosition(stretch.Source == TOverlaySource::Top ? stretch.Start : stretch.From);
            source->ReadBuffer(part.data(), int32_t(part.size()));
        }
        EXPECT_EQ(stretch.Start, int64_t(bytes.size()));
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    return bytes;
}

// Copies within the stream are written through the caller, or recorded as
// the base's bytes: either way every read, the layout and the flattened top
// give the model's bytes.
TEST(OverlayStream, MatchesAModelThroughRandomWritesCopiesResizesAndReads) {
    for (TCopyWithin copies : {TCopyWithin::Written, TCopyWithin::Recorded}) {
        TBytes model = MixedBytes(3000, 21);
        auto base = MakeRef<TBase>(model);
        auto top = MakeRef<TShortWriter>();
        top->Limit = 13;  // only what top took may count as written
        auto overlay = MakeRef<TOverlayStream>(base.Get(), top.Get(), copies);
        std::mt19937 random(5);
        auto upTo = [&](int64_t n) { return std::uniform_int_distribution<int64_t>(0, n)(random); };
        int recorded = 0;
        for (int step = 0; step < 3000; ++step) {
            int64_t size = (int64_t)model.size(), at = upTo(size + 200), op = upTo(5);
            TBytes bytes(size_t(1 + upTo(399)));
            for (auto& b : bytes) b = uint8_t(random());  // reads too: zeros must come from the overlay
            overlay->SetPosition(at);
            if (op == 0) {
                int64_t newSize = upTo(std::min<int64_t>(size + 300, 6000));
                overlay->SetSize(newSize);
                model.resize(size_t(newSize));
            } else if (op <= 2) {
                overlay->WriteBuffer(bytes.data(), (int32_t)bytes.size());
                model.resize(std::max(model.size(), at + bytes.size()));
                std::copy(bytes.begin(), bytes.end(), model.begin() + at);
            } else if (op == 3) {
                int32_t n = overlay->Read(bytes.data(), (int32_t)bytes.size());
                ASSERT_EQ(n, std::clamp<int64_t>(size - at, 0, (int64_t)bytes.size())) << step;
                ASSERT_EQ(overlay->GetPosition(), at + n);
                ASSERT_TRUE(std::equal(bytes.begin(), bytes.begin() + n, model.begin() + at)) << step;
            } else {
                if (size == 0) continue;
                const int64_t from = upTo(size - 1), count = 1 + upTo(std::min<int64_t>(size - from, 600) - 1);
                TBytes moved(model.begin() + from, model.begin() + from + count);
                if (overlay->CopyWithin(from, at, count)) {
                    ++recorded;
                } else {
                    overlay->SetPosition(from);
                    overlay->ReadBuffer(moved.data(), int32_t(count));
                    overlay->SetPosition(at);
                    overlay->WriteBuffer(moved.data(), int32_t(count));
                }
                model.resize(std::max<size_t>(model.size(), size_t(at + count)));
                std::copy(moved.begin(), moved.end(), model.begin() + at);
            }
            ASSERT_EQ(overlay->GetSize(), (int64_t)model.size());
        }
        EXPECT_EQ(recorded > 0, copies == TCopyWithin::Recorded);
        EXPECT_EQ(FromLayout(overlay.Get(), base.Get(), top.Get()), model);
        overlay->Flatten();
        EXPECT_EQ(ContentsOf(top.Get()), model);
        EXPECT_EQ(ContentsOf(overlay.Get()), model);
    }
}

TEST(OverlayStream, SequentialRewriteCopiesOnlyTheUntouchedHead) {
    TBytes original = MixedBytes(size_t(3 * MiB + 100), 3);
    auto base = MakeRef<TBase>(original);
    // A staged file left over, longer than the result: none of it shows.
    auto top = MakeRef<TMemoryStream>();
    FillStream(top.Get(), MixedBytes(size_t(6 * MiB), 5));
    auto overlay = MakeRef<TOverlayStream>(base.Get(), top.Get());
    // As an in-place save: all from k on rewritten past the old end, and a
    // header in front of k patched.
    const int64_t k = MiB + 777;
    TBytes tail = MixedBytes(size_t(2 * MiB + 5000), 4);
    overlay->SetPosition(k);
    for (size_t at = 0; at < tail.size(); at += 32768)
        overlay->WriteBuffer(tail.data() + at, (int32_t)std::min<size_t>(32768, tail.size() - at));
    EXPECT_EQ(overlay->ExtentCount(), 1);
    overlay->SetPosition(10);
    overlay->WriteBuffer("ABCD", 4);

    overlay->Flatten();
    EXPECT_EQ(base->BytesRead, k - 4);
    EXPECT_LE(base->LargestRead, MiB);
    EXPECT_EQ(overlay->ExtentCount(), 1);
    TBytes expected(original.begin(), original.begin() + k);
    std::copy_n("ABCD", 4, expected.begin() + 10);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(ContentsOf(top.Get()), expected);
}

TEST(OverlayStream, FailuresOfEitherStreamShowNoFalseBytes) {
    TBytes original = MixedBytes(100, 8);
    auto base = MakeRef<TBase>(original);
    auto top = MakeRef<TFaultyStream>();
    top->FailAt = 1;  // takes half, then raises
    auto overlay = MakeRef<TOverlayStream>(base.Get(), top.Get());
    overlay->SetPosition(20);
    EXPECT_THROW(overlay->WriteBuffer(MixedBytes(40, 9).data(), 40), EStreamWriteError);
    EXPECT_EQ(ContentsOf(overlay.Get()), original);

    base->SetSize(60);  // cut short behind the overlay's back
    overlay->SetPosition(50);
    EXPECT_THROW(overlay->Read(MixedBytes(20).data(), 20), EStreamReadError);
    EXPECT_THROW(overlay->Flatten(), EStreamReadError);
}
