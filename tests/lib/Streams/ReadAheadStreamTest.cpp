#include <gtest/gtest.h>
#include <algorithm>
#include <cstdlib>
#include <vector>
#include "Foundation/Exceptions.h"
#include "Streams/ReadAheadStream.h"
#include "Streams/Streams.h"

namespace {

// Reads anywhere, back or forth, inside the buffer or past it, give the
// target's bytes; the target is read once per buffer, never written.
TEST(ReadAheadStream, ReadsAnywhereAsTheTargetWouldAndOnlyReads) {
    TRef<TMemoryStream> target = MakeRef<TMemoryStream>();
    std::vector<uint8_t> bytes(TReadAheadStream::BufferSize * 2 + 777);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7 + i / 251);
    target->Write(bytes.data(), int32_t(bytes.size()));
    TRef<TReadAheadStream> ahead = MakeRef<TReadAheadStream>(target.Get());
    EXPECT_EQ(ahead->GetSize(), int64_t(bytes.size()));
    std::srand(5);
    for (int i = 0; i < 300; ++i) {
        const int64_t at = std::rand() % int64_t(bytes.size() + 10);
        const int32_t count = std::rand() % 3 ? std::rand() % 300 : std::rand() % (TReadAheadStream::BufferSize + 9);
        std::vector<uint8_t> got(size_t(count) + 1, 0xEE);
        ahead->SetPosition(at);
        const int32_t n = ahead->Read(got.data(), count);
        const int32_t expected = int32_t(std::clamp<int64_t>(int64_t(bytes.size()) - at, 0, count));
        ASSERT_EQ(n, expected) << at << " " << count;
        EXPECT_TRUE(std::equal(got.begin(), got.begin() + n, bytes.begin() + at)) << at << " " << count;
        EXPECT_EQ(got[size_t(n)], 0xEE);
        EXPECT_EQ(ahead->GetPosition(), at + n);
    }
    EXPECT_THROW(ahead->Write("x", 1), EStreamWriteError);
    EXPECT_THROW(ahead->SetPosition(-1), EStreamSeekError);
    EXPECT_EQ(target->GetSize(), int64_t(bytes.size()));
}

}  // namespace
