#include <gtest/gtest.h>
#include "Compression/DeflateStream.h"
#include "Compression/PackStream.h"
#include "Foundation/Exceptions.h"
#include "support/Packing.h"
#include "support/TestStreams.h"

namespace {

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

}  // namespace
