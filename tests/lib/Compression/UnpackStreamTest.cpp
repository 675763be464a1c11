#include <gtest/gtest.h>
#include "Compression/InflateStream.h"
#include "Compression/UnpackStream.h"
#include "Foundation/Exceptions.h"
#include "support/Packing.h"
#include "support/TestStreams.h"

namespace {

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

}  // namespace
