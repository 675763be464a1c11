#include <gtest/gtest.h>
#include <zlib.h>
#include <random>
#include "Compression/DeflateStream.h"
#include "Compression/InflateStream.h"
#include "Foundation/Exceptions.h"
#include "support/TestStreams.h"

namespace {

std::vector<uint8_t> RawDeflate(const std::vector<uint8_t>& bytes, int level) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<uint8_t> out(deflateBound(&z, bytes.size()));
    z.next_in = const_cast<Bytef*>(bytes.data());
    z.avail_in = (uInt)bytes.size();
    z.next_out = out.data();
    z.avail_out = (uInt)out.size();
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::vector<uint8_t> RawInflate(const std::vector<uint8_t>& packed, size_t size) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
    std::vector<uint8_t> out(size);
    z.next_in = const_cast<Bytef*>(packed.data());
    z.avail_in = (uInt)packed.size();
    z.next_out = out.data();
    z.avail_out = (uInt)out.size();
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    inflateEnd(&z);
    return out;
}

// Everything an unpack stream gives, read in pieces of piece bytes.
std::vector<uint8_t> ReadAll(TStream* stream, int32_t piece) {
    std::vector<uint8_t> out, buffer(piece);
    for (int32_t n; (n = stream->Read(buffer, 0, piece)) > 0;)
        out.insert(out.end(), buffer.begin(), buffer.begin() + n);
    return out;
}

// Packs bytes with a deflate stream at level index level, placed after a
// prefix in the destination.
std::vector<uint8_t> Pack(const std::vector<uint8_t>& bytes, int8_t level, int32_t piece = 65536) {
    auto dest = MakeRef<TMemoryStream>();
    {
        auto pack = MakeRef<TDeflateStream>(dest.Get(), level);
        for (size_t at = 0; at < bytes.size(); at += piece)
            pack->Write(bytes, (int32_t)at, (int32_t)std::min<size_t>(piece, bytes.size() - at));
        EXPECT_EQ(pack->GetSize(), (int64_t)bytes.size());
        pack->Finish();
    }
    return ContentsOf(dest.Get());
}

// A source holding garbage, the packed item, then a tail, positioned at the item.
TRef<TShyStream> SourceWith(const std::vector<uint8_t>& packed, int64_t* start = nullptr) {
    auto source = MakeRef<TShyStream>();
    std::vector<uint8_t> all = BytesOf("HEADER");
    all.insert(all.end(), packed.begin(), packed.end());
    for (const char* t = "TAIL BYTES"; *t; ++t) all.push_back(uint8_t(*t));
    FillStream(source.Get(), all);
    source->SetPosition(6);
    if (start) *start = 6;
    return source;
}

std::string DecompressionErrorOf(const std::vector<uint8_t>& packed) {
    auto source = MakeRef<TMemoryStream>();
    FillStream(source.Get(), packed);
    auto unpack = MakeRef<TInflateStream>(source.Get(), 1 << 20);
    try {
        ReadAll(unpack.Get(), 65536);
    } catch (const EZDecompressionError& e) {
        return e.what();
    }
    return "";
}

// Unpacking

TEST(RestoreStream, ReadsStoredBytesWithoutStoppingAtTheAnnouncedSize) {
    auto source = SourceWith(BytesOf("0123456789"));
    auto unpack = MakeRef<TRestoreStream>(source.Get(), 10);
    EXPECT_EQ(unpack->GetSize(), 10);
    char buffer[5] = {};
    EXPECT_EQ(unpack->Read(buffer, 4), 4);
    EXPECT_EQ(unpack->Read(buffer, 4), 4);
    EXPECT_EQ(unpack->Read(buffer, 4), 4);
    EXPECT_STREQ(buffer, "89TA");
    EXPECT_EQ(unpack->GetPosition(), 12);
}

TEST(RestoreStream, FollowsItsOwnPlaceInASharedSource) {
    auto source = SourceWith(BytesOf("0123456789"));
    auto unpack = MakeRef<TRestoreStream>(source.Get(), 10);
    char buffer[4] = {};
    unpack->Read(buffer, 3);
    source->SetPosition(0);
    EXPECT_EQ(unpack->Read(buffer, 3), 3);
    EXPECT_STREQ(buffer, "345");
    // Positioning moves only its own place.
    unpack->SetPosition(8);
    EXPECT_EQ(unpack->Read(buffer, 2), 2);
    EXPECT_EQ(std::string(buffer, 2), "89");
}

TEST(UnpackStreams, AreReadOnlyAndReportProgress) {
    auto source = SourceWith(Pack(BytesOf("some text"), 3));
    TRef<TUnpackStream> streams[] = {MakeRef<TRestoreStream>(source.Get(), 9),
                                     MakeRef<TInflateStream>(source.Get(), 9)};
    for (auto& stream : streams) {
        try {
            stream->Write("x", 1);
            ADD_FAILURE();
        } catch (const EUnpackError& e) {
            EXPECT_STREQ(e.what(), "Cannot write to read-only stream");
        }
        int calls = 0;
        stream->OnProgress = [&](TStream* sender) {
            EXPECT_EQ(sender, stream.Get());
            ++calls;
        };
        char buffer[4];
        stream->Read(buffer, 4);
        EXPECT_EQ(calls, 1);
        // SetSize records nothing: the size stays the announced one.
        stream->SetSize(1);
        EXPECT_EQ(stream->GetSize(), 9);
    }
}

TEST(InflateStream, UnpacksAnItemOfMoreThanOneMebibyteInSmallPieces) {
    std::vector<uint8_t> bytes = MixedBytes(4000000, 7);
    std::vector<uint8_t> packed = RawDeflate(bytes, 1);
    ASSERT_GT(packed.size(), 1048576u);
    int64_t start;
    auto source = SourceWith(packed, &start);
    auto unpack = MakeRef<TInflateStream>(source.Get(), (int64_t)bytes.size());
    EXPECT_EQ(ReadAll(unpack.Get(), 32768), bytes);
    EXPECT_EQ(unpack->GetPosition(), (int64_t)bytes.size());
    // Past the end every read gives 0 and leaves the source alone.
    source->SetPosition(1);
    char buffer[16];
    EXPECT_EQ(unpack->Read(buffer, 16), 0);
    EXPECT_EQ(source->GetPosition(), 1);
}

TEST(InflateStream, FollowsItsOwnPlaceInASharedSource) {
    std::vector<uint8_t> bytes = MixedBytes(3000000, 3);
    auto source = SourceWith(Pack(bytes, 2));
    auto unpack = MakeRef<TInflateStream>(source.Get(), (int64_t)bytes.size());
    std::vector<uint8_t> out, buffer(700000);
    for (int32_t n; (n = unpack->Read(buffer, 0, 700000)) > 0;) {
        out.insert(out.end(), buffer.begin(), buffer.begin() + n);
        source->SetPosition(out.size() % 5);  // someone else reads elsewhere
    }
    EXPECT_EQ(out, bytes);
}

TEST(InflateStream, RewindsAndSkipsByPosition) {
    std::vector<uint8_t> bytes = MixedBytes(1500000, 9);
    auto source = SourceWith(Pack(bytes, 3));
    auto unpack = MakeRef<TInflateStream>(source.Get(), (int64_t)bytes.size());
    std::vector<uint8_t> buffer(1000);
    unpack->Read(buffer, 0, 1000);
    unpack->SetPosition(0);
    EXPECT_EQ(unpack->GetPosition(), 0);
    ASSERT_EQ(unpack->Read(buffer, 0, 1000), 1000);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), bytes.begin()));
    // Forward over more than one scratch buffer, then back again.
    unpack->SetPosition(1300000);
    ASSERT_EQ(unpack->Read(buffer, 0, 1000), 1000);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), bytes.begin() + 1300000));
    unpack->SetPosition(5);
    ASSERT_EQ(unpack->Read(buffer, 0, 10), 10);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 10, bytes.begin() + 5));
    // Past the end the skip stops where the data ends.
    unpack->SetPosition(10000000);
    EXPECT_EQ(unpack->GetPosition(), (int64_t)bytes.size());
    EXPECT_EQ(unpack->Read(buffer, 0, 10), 0);
}

TEST(InflateStream, BrokenDataRaisesZlibsTexts) {
    std::vector<uint8_t> packed = Pack(MixedBytes(100000), 3);
    std::vector<uint8_t> truncated(packed.begin(), packed.begin() + packed.size() / 2);
    EXPECT_EQ(DecompressionErrorOf(truncated), "buffer error");
    // A block type of 3 does not exist.
    EXPECT_EQ(DecompressionErrorOf({0x07, 0x00, 0x00}), "data error");
    // A source that gives nothing at all ends the read at once.
    EXPECT_EQ(DecompressionErrorOf({}), "buffer error");
}

TEST(InflateStream, SourceThatDeliversNothingEndsTheRead) {
    auto source = MakeRef<TShyStream>();
    FillStream(source.Get(), Pack(MixedBytes(5000), 3));
    source->Limit = 0;
    auto unpack = MakeRef<TInflateStream>(source.Get(), 5000);
    char buffer[100];
    EXPECT_THROW(unpack->Read(buffer, 100), EZDecompressionError);
    EXPECT_LE(source->Reads, 2);
}

TEST(InflateStream, GarbageNeverCrashesAndAlwaysEnds) {
    std::mt19937 random(12345);
    std::vector<uint8_t> valid = Pack(MixedBytes(20000, 5), 4);
    std::vector<uint8_t> buffer(4096);
    int failures = 0;
    for (int round = 0; round < 400; ++round) {
        std::vector<uint8_t> bytes;
        if (round % 2 == 0) {
            bytes.resize(random() % 3000);
            for (auto& b : bytes) b = uint8_t(random());
        } else {
            // Valid data with a few bytes changed and maybe cut short.
            bytes = valid;
            for (int k = 0; k < 1 + round % 5; ++k) bytes[random() % bytes.size()] ^= uint8_t(1 + random() % 255);
            if (round % 3 == 0) bytes.resize(random() % bytes.size());
        }
        auto source = MakeRef<TMemoryStream>();
        FillStream(source.Get(), bytes);
        auto unpack = MakeRef<TInflateStream>(source.Get(), 20000);
        try {
            int64_t total = 0;
            for (int32_t n; (n = unpack->Read(buffer, 0, 4096)) > 0;) total += n;
            // Deflate cannot make more than 1032 bytes of one input byte.
            EXPECT_LE(total, (int64_t)bytes.size() * 1032 + 1032);
        } catch (const EZDecompressionError&) {
            ++failures;
        }
    }
    EXPECT_GT(failures, 0);
}

// Packing

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

TEST(StoreStream, WritesAtItsOwnPlaceWhateverTheDestinationDid) {
    auto dest = MakeRef<TMemoryStream>();
    dest->Write("lead", 4);
    auto store = MakeRef<TStoreStream>(dest.Get(), 5);
    EXPECT_EQ(store->Write("01234", 5), 5);
    dest->SetPosition(1);
    EXPECT_EQ(store->Write("56789", 5), 5);
    EXPECT_EQ(store->GetSize(), 10);
    EXPECT_EQ(store->GetPosition(), 10);
    EXPECT_EQ(ContentsOf(dest.Get()), BytesOf("lead0123456789"));
    // Size and position are the stream's own numbers.
    store->SetSize(3);
    EXPECT_EQ(dest->GetSize(), 14);
}

TEST(PackStreams, AreWriteOnly) {
    auto dest = MakeRef<TMemoryStream>();
    TRef<TPackStream> streams[] = {MakeRef<TStoreStream>(dest.Get(), 0), MakeRef<TDeflateStream>(dest.Get(), 3)};
    for (auto& stream : streams) {
        char buffer[4];
        try {
            stream->Read(buffer, 4);
            ADD_FAILURE();
        } catch (const EPackError& e) {
            EXPECT_STREQ(e.what(), "Invalid Operation");
        }
    }
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
