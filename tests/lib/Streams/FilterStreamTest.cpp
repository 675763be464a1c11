#include <gtest/gtest.h>
#include <zlib.h>
#include "Streams/FilterStream.h"
#include "support/TestStreams.h"

namespace {

// The checksum the byte-wise definition gives.
uint32_t ReferenceCrc(const std::vector<uint8_t>& bytes) {
    uint32_t crc = 0xFFFFFFFF;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
    }
    return crc ^ 0xFFFFFFFF;
}

TEST(Crc32Stream, KnownValuesThroughReads) {
    auto source = MakeRef<TMemoryStream>();
    FillStream(source.Get(), BytesOf("abc"));
    auto crc = MakeRef<TCrc32Stream>(source.Get());
    EXPECT_EQ(crc->GetCrc(), 0u);
    uint8_t buffer[8];
    EXPECT_EQ(crc->Read(buffer, 8), 3);
    EXPECT_EQ(crc->GetCrc(), 0x352441C2u);
    // Reading nothing more changes nothing; Reset starts over.
    EXPECT_EQ(crc->Read(buffer, 8), 0);
    EXPECT_EQ(crc->GetCrc(), 0x352441C2u);
    crc->Reset();
    EXPECT_EQ(crc->GetCrc(), 0u);
    source->SetPosition(0);
    FillStream(source.Get(), BytesOf("123456789"));
    EXPECT_EQ(crc->Read(buffer, 8), 8);
    EXPECT_EQ(crc->Read(buffer, 8), 1);
    EXPECT_EQ(crc->GetCrc(), 0xCBF43926u);
}

TEST(Crc32Stream, ShortReadsCountOnlyWhatCame) {
    auto source = MakeRef<TShyStream>();
    FillStream(source.Get(), BytesOf("abcdef"));
    source->Limit = 2;
    auto crc = MakeRef<TCrc32Stream>(source.Get());
    std::vector<uint8_t> buffer(6, 'z');
    EXPECT_EQ(crc->Read(buffer, 1, 5), 2);
    EXPECT_EQ(crc->GetCrc(), ReferenceCrc(BytesOf("ab")));
}

TEST(Crc32Stream, WritesCountEveryRequestedByte) {
    auto target = MakeRef<TShortWriter>();
    target->Limit = 1;
    auto crc = MakeRef<TCrc32Stream>(target.Get());
    EXPECT_EQ(crc->Write("abc", 3), 1);
    EXPECT_EQ(crc->GetCrc(), 0x352441C2u);
    EXPECT_EQ(target->GetSize(), 1);
}

TEST(Crc32Stream, RegisterCanBeLoadedAndContinued) {
    auto crc = MakeRef<TCrc32Stream>();
    crc->SetCrc(0x12345678);
    EXPECT_EQ(crc->GetCrc(), 0x12345678u ^ 0xFFFFFFFFu);
    // A checksum taken in two parts through a saved register is the whole one.
    std::vector<uint8_t> bytes = MixedBytes(1000);
    crc->Reset();
    crc->Update(bytes, 0, 400);
    uint32_t saved = crc->GetCrc() ^ 0xFFFFFFFF;
    auto other = MakeRef<TCrc32Stream>();
    other->SetCrc(saved);
    other->Update(bytes, 400, 600);
    EXPECT_EQ(other->GetCrc(), ReferenceCrc(bytes));
    // Nothing for counts of 0 or less, or from outside the buffer.
    other->Update(bytes, 0, 0);
    other->Update(bytes, 0, -5);
    other->Update(bytes, 1000, 5);
    EXPECT_EQ(other->GetCrc(), ReferenceCrc(bytes));
}

TEST(Crc32Stream, TheTableAndTheFastPathAgreeWithTheDefinition) {
    auto crc = MakeRef<TCrc32Stream>();
    EXPECT_EQ(crc->CrcTable()[0], 0u);
    EXPECT_EQ(crc->CrcTable()[1], 0x77073096u);
    EXPECT_EQ(crc->CrcTable()[255], 0x2D02EF8Du);
    for (size_t size : {1u, 7u, 8u, 9u, 63u, 4096u, 100003u}) {
        std::vector<uint8_t> bytes = MixedBytes(size, (uint32_t)size);
        crc->Reset();
        crc->Update(bytes, 0, (int32_t)size);
        uint32_t stepped = 0xFFFFFFFF;
        for (uint8_t b : bytes) stepped = crc->UpdateByte(stepped, b);
        EXPECT_EQ(crc->GetCrc(), ReferenceCrc(bytes)) << size;
        EXPECT_EQ(stepped ^ 0xFFFFFFFF, ReferenceCrc(bytes)) << size;
    }
}

TEST(FilterStream, PassesEverythingToATargetThatCanBeSwitched) {
    auto first = MakeRef<TMemoryStream>();
    auto second = MakeRef<TMemoryStream>();
    FillStream(first.Get(), BytesOf("first"));
    auto crc = MakeRef<TCrc32Stream>(first.Get());
    EXPECT_EQ(crc->GetSize(), 5);
    crc->SetPosition(2);
    EXPECT_EQ(first->GetPosition(), 2);
    EXPECT_EQ(crc->GetRemaining(), 3);
    crc->Target = second.Get();
    crc->Write("xy", 2);
    crc->SetSize(1);
    EXPECT_EQ(second->GetSize(), 1);
    EXPECT_EQ(first->GetSize(), 5);
    EXPECT_EQ(crc->GetPosition(), 1);
}

}  // namespace
