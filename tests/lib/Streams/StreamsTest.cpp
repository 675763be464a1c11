#include <gtest/gtest.h>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>
#include "Foundation/Exceptions.h"
#include "Streams/Streams.h"
#include "support/TestStreams.h"

namespace {

// Exposes the growth step that Write and CopyFrom use.
class TGrowProbe : public TMemoryStream {
public:
    using TMemoryStream::Grow;
};

std::vector<uint8_t> Count(int n) {
    std::vector<uint8_t> bytes(n);
    for (int i = 0; i < n; ++i) bytes[i] = uint8_t(i);
    return bytes;
}

TEST(MemoryStream, CapacityGrowsInSmallStepsThenDoubles) {
    auto stream = MakeRef<TMemoryStream>();
    std::vector<int32_t> capacities;
    for (int i = 0; i < 609; ++i) {
        uint8_t b = uint8_t(i);
        ASSERT_EQ(stream->Write(&b, 1), 1);
        if (capacities.empty() || capacities.back() != stream->Capacity()) capacities.push_back(stream->Capacity());
        if (i == 299) {
            EXPECT_EQ(stream->Capacity(), 304);
            EXPECT_EQ(stream->GetSize(), 300);
            EXPECT_EQ(stream->GetPosition(), 300);
        }
    }
    EXPECT_EQ(capacities, (std::vector<int32_t>{16, 32, 48, 112, 176, 240, 304, 608, 1216}));
    EXPECT_EQ(ContentsOf(stream.Get()), Count(609));
}

TEST(MemoryStream, OneLargeWriteStepsStraightToTheFirstCapacityThatFits) {
    auto stream = MakeRef<TMemoryStream>();
    std::vector<uint8_t> bytes = Count(200);
    EXPECT_EQ(stream->Write(bytes.data(), 200), 200);
    EXPECT_EQ(stream->Capacity(), 240);
}

TEST(MemoryStream, GrowRefusesTheLimitWithoutTouchingTheBuffer) {
    auto stream = MakeRef<TGrowProbe>();
    EXPECT_FALSE(stream->Grow(TMemoryStream::GrowLimit));
    EXPECT_FALSE(stream->Grow(int64_t(1) << 40));
    EXPECT_EQ(stream->Capacity(), 0);
    EXPECT_EQ(stream->GetSize(), 0);
    // Grow raises the size to what was needed.
    EXPECT_TRUE(stream->Grow(20));
    EXPECT_EQ(stream->GetSize(), 20);
    EXPECT_EQ(stream->Capacity(), 32);
}

TEST(MemoryStream, PositionStaysWithinTheContents) {
    auto stream = MakeRef<TMemoryStream>();
    FillStream(stream.Get(), Count(10));
    stream->SetPosition(1000);
    EXPECT_EQ(stream->GetPosition(), 10);
    stream->SetPosition(-5);
    EXPECT_EQ(stream->GetPosition(), 0);
    stream->SetPosition(int64_t(1) << 40);
    EXPECT_EQ(stream->GetPosition(), 10);
    EXPECT_EQ(stream->GetRemaining(), 0);
}

TEST(MemoryStream, SetSizeCutsThePositionAndKeepsOrSizesTheBuffer) {
    auto stream = MakeRef<TMemoryStream>();
    FillStream(stream.Get(), Count(10));
    uint8_t* before = stream->Memory();
    stream->SetPosition(8);
    stream->SetSize(4);
    EXPECT_EQ(stream->GetSize(), 4);
    EXPECT_EQ(stream->GetPosition(), 4);
    EXPECT_EQ(stream->Memory(), before);
    EXPECT_EQ(stream->Capacity(), 16);
    // Growing by SetSize takes exactly the size asked, without steps.
    stream->SetSize(100);
    EXPECT_EQ(stream->Capacity(), 100);
    EXPECT_EQ(stream->GetPosition(), 4);
    EXPECT_EQ(stream->Memory()[3], 3);
    stream->SetSize(0);
    EXPECT_EQ(stream->Capacity(), 0);
    EXPECT_EQ(stream->Memory(), nullptr);
    EXPECT_EQ(stream->GetSize(), 0);
}

TEST(MemoryStream, SetSizeBeyondThirtyTwoBitsRaisesInsteadOfWrapping) {
    auto stream = MakeRef<TMemoryStream>();
    EXPECT_THROW(stream->SetSize((int64_t(1) << 32) + 10), EStreamError);
    EXPECT_EQ(stream->GetSize(), 0);
}

TEST(MemoryStream, ReadHonoursOffsetsAndTheCallersBuffer) {
    auto stream = MakeRef<TMemoryStream>();
    FillStream(stream.Get(), Count(10));
    std::vector<uint8_t> buffer(6, 0xEE);
    // Only the room after the offset is filled.
    EXPECT_EQ(stream->Read(buffer, 2, 100), 4);
    EXPECT_EQ(buffer, (std::vector<uint8_t>{0xEE, 0xEE, 0, 1, 2, 3}));
    EXPECT_EQ(stream->GetPosition(), 4);
    // An offset past the buffer's last index reads nothing.
    EXPECT_EQ(stream->Read(buffer, 6, 1), 0);
    EXPECT_EQ(stream->GetPosition(), 4);
    // A negative offset counts as 0.
    EXPECT_EQ(stream->Read(buffer, -3, 2), 2);
    EXPECT_EQ(buffer[0], 4);
    EXPECT_EQ(buffer[1], 5);
    EXPECT_EQ(stream->Read(buffer, 0, 0), 0);
    EXPECT_EQ(stream->Read(buffer, 0, -1), 0);
    // Only what is left of the contents.
    EXPECT_EQ(stream->Read(buffer, 0, 6), 4);
    EXPECT_EQ(stream->Read(buffer, 0, 6), 0);
}

TEST(MemoryStream, WriteOverwritesInsideAndExtendsAtTheEnd) {
    auto stream = MakeRef<TMemoryStream>();
    FillStream(stream.Get(), Count(10));
    std::vector<uint8_t> patch{0xA1, 0xA2, 0xA3, 0xA4};
    stream->SetPosition(8);
    EXPECT_EQ(stream->Write(patch, 1, 3), 3);
    EXPECT_EQ(stream->GetSize(), 11);
    EXPECT_EQ(stream->GetPosition(), 11);
    std::vector<uint8_t> expected = Count(8);
    expected.insert(expected.end(), {0xA2, 0xA3, 0xA4});
    EXPECT_EQ(ContentsOf(stream.Get()), expected);
    EXPECT_EQ(stream->Write(patch, 4, 1), 0);
    EXPECT_EQ(stream->Write(patch, -2, 1), 1);
}

TEST(MemoryStream, WriteNeverCopiesFromBeyondTheCallersBuffer) {
    auto stream = MakeRef<TMemoryStream>();
    std::vector<uint8_t> bytes{1, 2, 3};
    EXPECT_EQ(stream->Write(bytes, 1, 1000), 2);
    EXPECT_EQ(ContentsOf(stream.Get()), (std::vector<uint8_t>{2, 3}));
}

TEST(MemoryStream, CopyFromTakesTheRestOfASizedSourceInOneRead) {
    auto source = MakeRef<TShyStream>();
    FillStream(source.Get(), Count(100));
    source->SetPosition(30);
    auto stream = MakeRef<TMemoryStream>();
    stream->Write("ab", 2);
    source->Reads = 0;
    EXPECT_EQ(stream->CopyFrom(source.Get(), 1000), 70);
    EXPECT_EQ(source->Reads, 1);
    EXPECT_EQ(stream->GetSize(), 72);
    EXPECT_EQ(stream->GetPosition(), 72);
    std::vector<uint8_t> expected{'a', 'b'};
    for (int i = 30; i < 100; ++i) expected.push_back(uint8_t(i));
    EXPECT_EQ(ContentsOf(stream.Get()), expected);
    // Nothing left, or a source positioned past its end: nothing copied.
    EXPECT_EQ(stream->CopyFrom(source.Get(), 10), 0);
}

TEST(MemoryStream, CopyFromRaisesReadErrorOnAShortRead) {
    auto source = MakeRef<TShyStream>();
    FillStream(source.Get(), Count(100));
    source->Limit = 10;
    auto stream = MakeRef<TMemoryStream>();
    EXPECT_THROW(stream->CopyFrom(source.Get(), 50), EStreamReadError);
}

TEST(MemoryStream, CopyFromASourceOfUnknownSizeReadsUntilItEnds) {
    auto source = MakeRef<TShyStream>();
    std::vector<uint8_t> bytes = MixedBytes(100000);
    FillStream(source.Get(), bytes);
    source->HideSize = true;
    source->Limit = 1000;
    auto stream = MakeRef<TMemoryStream>();
    EXPECT_EQ(stream->CopyFrom(source.Get(), INT64_MAX), 100000);
    EXPECT_EQ(ContentsOf(stream.Get()), bytes);
}

TEST(Stream, BaseCopyFromRaisesWriteErrorWhenTheTargetTakesLess) {
    auto source = MakeRef<TShyStream>();
    FillStream(source.Get(), Count(100));
    source->HideSize = true;
    auto target = MakeRef<TShortWriter>();
    target->Limit = 60;
    EXPECT_THROW(target->CopyFrom(source.Get(), 100), EStreamWriteError);
    EXPECT_EQ(target->GetSize(), 60);
}

TEST(Stream, WholeBuffersGoInPiecesOrRaise) {
    auto target = MakeRef<TShortWriter>();
    target->Limit = 3;
    target->WriteBuffer("abcdefgh", 8);
    EXPECT_EQ(target->Writes, 3);
    EXPECT_EQ(target->GetSize(), 8);
    target->Limit = 0;
    EXPECT_THROW(target->WriteBuffer("x", 1), EStreamWriteError);

    auto source = MakeRef<TShyStream>();
    FillStream(source.Get(), BytesOf("abcdefgh"));
    source->Limit = 3;
    char buffer[8];
    source->ReadBuffer(buffer, 8);
    EXPECT_EQ(std::string(buffer, 8), "abcdefgh");
    EXPECT_THROW(source->ReadBuffer(buffer, 1), EStreamReadError);
}

TEST(Stream, LoadFromStreamCopiesEverythingAndPutsBothPositionsBack) {
    auto source = MakeRef<TShyStream>();
    FillStream(source.Get(), Count(50));
    source->SetPosition(7);
    auto stream = MakeRef<TMemoryStream>();
    stream->Write("old contents that are longer than fifty bytes, to be dropped", 60);
    stream->LoadFromStream(source.Get());
    EXPECT_EQ(source->GetPosition(), 7);
    EXPECT_EQ(stream->GetPosition(), 0);
    EXPECT_EQ(stream->GetSize(), 50);
    EXPECT_EQ(ContentsOf(stream.Get()), Count(50));
}

TEST(Stream, LoadFromStreamOfUnknownSizeAndItsFailure) {
    auto source = MakeRef<TShyStream>();
    FillStream(source.Get(), Count(50));
    source->HideSize = true;
    source->SetPosition(9);
    auto stream = MakeRef<TShortWriter>();
    stream->Limit = 1000;
    stream->LoadFromStream(source.Get());
    EXPECT_EQ(ContentsOf(stream.Get()), Count(50));
    EXPECT_EQ(source->GetPosition(), 9);
    // A failed load still gives the source its position back.
    stream->Limit = 20;
    EXPECT_THROW(stream->LoadFromStream(source.Get()), EStreamWriteError);
    EXPECT_EQ(source->GetPosition(), 9);
    EXPECT_EQ(stream->GetPosition(), 0);
}

TEST(Stream, ReadIntoStringStaysInsideTheTextAndReadsInPieces) {
    auto source = MakeRef<TShyStream>();
    std::vector<uint8_t> bytes = MixedBytes(6000);
    FillStream(source.Get(), bytes);
    AnsiString text(5000, '.');
    EXPECT_EQ(ReadIntoString(source.Get(), text, 0, 100000), 5000);
    EXPECT_EQ(source->Reads, 3);  // 2048 + 2048 + 904
    EXPECT_EQ(text, AnsiString(bytes.begin(), bytes.begin() + 5000));

    source->SetPosition(0);
    AnsiString small = "0123456789";
    EXPECT_EQ(ReadIntoString(source.Get(), small, 8, 100), 3);
    EXPECT_EQ(small, AnsiString("0123456") + char(bytes[0]) + char(bytes[1]) + char(bytes[2]));
    EXPECT_EQ(ReadIntoString(source.Get(), small, 12, 100), 0);
    EXPECT_EQ(ReadIntoString(source.Get(), small, 1, -4), 0);
}

TEST(Stream, ReadIntoStringStopsAtAShortPiece) {
    auto source = MakeRef<TShyStream>();
    FillStream(source.Get(), MixedBytes(6000));
    source->Limit = 1000;
    AnsiString text(5000, '.');
    EXPECT_EQ(ReadIntoString(source.Get(), text, 1, 5000), 1000);
    EXPECT_EQ(source->Reads, 1);
    EXPECT_EQ(text[1000], '.');
}

// ctest names the file the build embedded, so that a build folder that
// moves keeps its test.
std::vector<uint8_t> PayloadFileBytes(const char* path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
}

TEST(ResourceStream, ThePayloadIsEmbeddedByteForByte) {
    const char* path = std::getenv("NVX_TEST_PAYLOAD_FILE");
    ASSERT_TRUE(path) << "NVX_TEST_PAYLOAD_FILE is not set (ctest sets it to the embedded file)";
    std::vector<uint8_t> expected = PayloadFileBytes(path);
    ASSERT_FALSE(expected.empty()) << path;
    TRef<TResourceStream> stream = OpenResourceStream(u"ZUVORUDAD", RT_RCDATA);
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->GetPosition(), 0);
    EXPECT_EQ(stream->GetSize(), (int64_t)expected.size());
    EXPECT_EQ(ContentsOf(stream.Get()), expected);
    // Resource names ignore case, as Windows does.
    EXPECT_TRUE(OpenResourceStream(u"zuvOrudad", RT_RCDATA));
}

TEST(ResourceStream, AMissingNameOrTypeGivesNone) {
    EXPECT_FALSE(OpenResourceStream(u"ZUVORUDAD5", RT_RCDATA));
    EXPECT_FALSE(OpenResourceStream(u"ZUVORUDA", RT_RCDATA));
    EXPECT_FALSE(OpenResourceStream(u"", RT_RCDATA));
    EXPECT_FALSE(OpenResourceStream(u"ZUVORUDAD", 6));
}

}  // namespace
