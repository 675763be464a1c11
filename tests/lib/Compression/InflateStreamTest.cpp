#include <gtest/gtest.h>
#include <zlib.h>
#include <random>
#include "Compression/InflateStream.h"
#include "Foundation/Exceptions.h"
#include "support/Packing.h"
#include "support/TestStreams.h"

namespace {

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

}  // namespace
