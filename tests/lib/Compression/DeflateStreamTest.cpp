#include <gtest/gtest.h>
#include "Compression/DeflateStream.h"
#include "Compression/InflateStream.h"
#include "Foundation/Exceptions.h"
#include "support/Packing.h"
#include "support/TestStreams.h"

namespace {

TEST(DeflateStream, EmptyInputGivesTheMinimalStreamAtItsPlace) {
    for (int8_t level = 1; level <= 5; ++level) {
        auto dest = MakeRef<TMemoryStream>();
        dest->Write("lead", 4);
        {
            auto pack = MakeRef<TDeflateStream>(dest.Get(), level);
            dest->SetPosition(0);
            pack->Finish();
        }
        EXPECT_EQ(ContentsOf(dest.Get()), (std::vector<uint8_t>{'l', 'e', 'a', 'd', 0x03, 0x00})) << int(level);
    }
    // Level 0 stores: one empty stored block.
    auto dest = MakeRef<TMemoryStream>();
    MakeRef<TDeflateStream>(dest.Get(), 0)->Finish();
    EXPECT_EQ(ContentsOf(dest.Get()), (std::vector<uint8_t>{0x01, 0x00, 0x00, 0xFF, 0xFF}));
}

TEST(DeflateStream, RoundTripsAtEveryLevelIndex) {
    std::vector<uint8_t> bytes = MixedBytes(300000, 11);
    size_t previous = SIZE_MAX;
    for (int8_t level = 0; level <= 5; ++level) {
        std::vector<uint8_t> packed = Pack(bytes, level, 10007);
        EXPECT_EQ(RawInflate(packed, bytes.size()), bytes) << int(level);
        auto source = SourceWith(packed);
        auto unpack = MakeRef<TInflateStream>(source.Get(), (int64_t)bytes.size());
        EXPECT_EQ(ReadAll(unpack.Get(), 32768), bytes) << int(level);
        // Higher indexes never pack worse here; level 0 only stores.
        if (level == 0) {
            EXPECT_GT(packed.size(), bytes.size());
        } else if (level > 1) {
            EXPECT_LE(packed.size(), previous + 64) << int(level);
        }
        previous = packed.size();
    }
}

TEST(DeflateStream, OutputGoesToItsOwnPlaceInLargePieces) {
    std::vector<uint8_t> bytes = MixedBytes(6000000, 13);
    std::vector<uint8_t> expected = RawDeflate(bytes, 1);
    ASSERT_GT(expected.size(), 2 * 1048576u);
    auto dest = MakeRef<TShortWriter>();
    dest->Write("lead", 4);
    dest->Writes = 0;
    {
        auto pack = MakeRef<TDeflateStream>(dest.Get(), 1);
        for (size_t at = 0; at < bytes.size(); at += 50000) {
            pack->Write(bytes, (int32_t)at, (int32_t)std::min<size_t>(50000, bytes.size() - at));
            dest->SetPosition(0);  // someone else writes elsewhere
        }
        EXPECT_EQ(pack->GetPosition(), (int64_t)bytes.size());
        pack->Finish();
    }
    EXPECT_EQ(dest->Writes, int((expected.size() + 1048575) / 1048576));
    std::vector<uint8_t> all = ContentsOf(dest.Get());
    ASSERT_EQ(all.size(), expected.size() + 4);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), all.begin() + 4));
}

TEST(DeflateStream, LoadFromStreamPacksTheWholeSourceFromItsStart) {
    auto source = MakeRef<TMemoryStream>();
    std::vector<uint8_t> bytes = MixedBytes(2200000, 17);
    FillStream(source.Get(), bytes);
    source->SetPosition(1000);
    auto dest = MakeRef<TMemoryStream>();
    {
        auto pack = MakeRef<TDeflateStream>(dest.Get(), 3);
        pack->LoadFromStream(source.Get());
        EXPECT_EQ(pack->GetSize(), (int64_t)bytes.size());
        EXPECT_EQ(source->GetPosition(), (int64_t)bytes.size());
        pack->Finish();
    }
    EXPECT_EQ(RawInflate(ContentsOf(dest.Get()), bytes.size()), bytes);
}

TEST(DeflateStream, ABadLevelIndexOrAFullDestinationRaises) {
    auto dest = MakeRef<TMemoryStream>();
    EXPECT_THROW(MakeRef<TDeflateStream>(dest.Get(), 6), EZCompressionError);
    EXPECT_THROW(MakeRef<TDeflateStream>(dest.Get(), -1), EZCompressionError);
    auto full = MakeRef<TShortWriter>();
    full->Limit = 0;
    auto pack = MakeRef<TDeflateStream>(full.Get(), 3);
    pack->Write("abc", 3);
    // The packed data cannot be written: finishing says so, once.
    EXPECT_THROW(pack->Finish(), EStreamWriteError);
    EXPECT_NO_THROW(pack->Finish());
    EXPECT_NO_THROW(pack.Reset());
}

TEST(DeflateStream, FreedUnfinishedItAbandonsTheDataQuietly) {
    // Finishing while being freed would write here and fail where no caller
    // can hear it.
    auto full = MakeRef<TShortWriter>();
    full->Limit = 0;
    auto pack = MakeRef<TDeflateStream>(full.Get(), 3);
    pack->Write("abc", 3);
    EXPECT_NO_THROW(pack.Reset());
    EXPECT_EQ(full->GetSize(), 0);
}

TEST(DeflateStream, ReportsProgressPerWrite) {
    auto dest = MakeRef<TMemoryStream>();
    auto pack = MakeRef<TDeflateStream>(dest.Get(), 2);
    std::vector<int64_t> seen;
    pack->OnProgress = [&](TStream* sender) { seen.push_back(sender->GetPosition()); };
    pack->Write("abc", 3);
    pack->Write("de", 2);
    EXPECT_EQ(seen, (std::vector<int64_t>{3, 5}));
}

}  // namespace
