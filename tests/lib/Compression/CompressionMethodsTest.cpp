#include <gtest/gtest.h>
#include "Compression/CompressionMethods.h"
#include "Compression/DeflateStream.h"
#include "Compression/InflateStream.h"
#include "support/TestStreams.h"

namespace {

TEST(CompressionMethods, StartUpRegistersTheFourMethodsFoundWithoutRegardToCase) {
    EXPECT_EQ(FindUnpackMethod("Restore"), &TRestoreStream::Class);
    EXPECT_EQ(FindUnpackMethod("RESTORE"), &TRestoreStream::Class);
    EXPECT_EQ(FindUnpackMethod("inflate"), &TInflateStream::Class);
    EXPECT_EQ(FindPackMethod("store"), &TStoreStream::Class);
    EXPECT_EQ(FindPackMethod("Deflate"), &TDeflateStream::Class);
    // The two registries are apart.
    EXPECT_EQ(FindPackMethod("Inflate"), nullptr);
    EXPECT_EQ(FindUnpackMethod("Deflate"), nullptr);
}

TEST(CompressionMethods, UnknownNamesYieldNone) {
    for (const char* name : {"Deflate64", "BZip2Pack", "", "Deflat", "Deflate "})
        EXPECT_EQ(FindPackMethod(name), nullptr) << name;
    for (const char* name : {"Inflate64", "BZip2Unpack", "Store"}) EXPECT_EQ(FindUnpackMethod(name), nullptr) << name;
}

TEST(CompressionMethods, FoundClassesMakeWorkingStreams) {
    std::vector<uint8_t> bytes = MixedBytes(100000);
    auto packed = MakeRef<TMemoryStream>();
    {
        TRef<TPackStream> pack = FindPackMethod("Deflate")->Create(packed.Get(), 3);
        EXPECT_NE(dynamic_cast<TDeflateStream*>(pack.Get()), nullptr);
        pack->Write(bytes, 0, (int32_t)bytes.size());
        pack->Finish();
    }
    packed->SetPosition(0);
    TRef<TUnpackStream> unpack = FindUnpackMethod("Inflate")->Create(packed.Get(), (int64_t)bytes.size());
    EXPECT_NE(dynamic_cast<TInflateStream*>(unpack.Get()), nullptr);
    EXPECT_EQ(unpack->GetSize(), (int64_t)bytes.size());
    std::vector<uint8_t> out(bytes.size());
    int32_t total = 0;
    for (int32_t n; (n = unpack->Read(out, total, (int32_t)out.size() - total)) > 0;) total += n;
    EXPECT_EQ(out, bytes);
}

TEST(CompressionMethods, ARepeatedNameKeepsTheFirstRegistration) {
    RegisterPackMethod("STORE", &TDeflateStream::Class);
    EXPECT_EQ(FindPackMethod("Store"), &TStoreStream::Class);
    RegisterUnpackMethod("Extra", &TRestoreStream::Class);
    EXPECT_EQ(FindUnpackMethod("EXTRA"), &TRestoreStream::Class);
    // Start over with only the start-up registrations.
    DoneCompressionMethods();
    EXPECT_EQ(FindPackMethod("Store"), nullptr);
    InitCompressionMethods();
    EXPECT_EQ(FindUnpackMethod("Extra"), nullptr);
    EXPECT_EQ(FindPackMethod("Store"), &TStoreStream::Class);
}

}  // namespace
