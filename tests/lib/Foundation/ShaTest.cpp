#include <gtest/gtest.h>
#include <algorithm>
#include <string>
#include "Foundation/Sha.h"

namespace {

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) text += {digits[c >> 4], digits[c & 15]};
    return text;
}

template <class THash>
std::string MillionA() {
    // Odd piece sizes cross the 64-byte blocks at every phase.
    const std::string a(1000000, 'a');
    THash hash;
    size_t at = 0;
    for (size_t piece = 1; at < a.size(); piece = piece * 7 % 193 + 1) {
        const size_t take = std::min(piece, a.size() - at);
        hash.Update(a.data() + at, take);
        at += take;
    }
    const auto digest = hash.Final();
    return Hex(std::string(digest.begin(), digest.end()));
}

const std::string TwoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";

// The FIPS 180 examples: one block, a message whose padding needs a second
// block, and a long one fed in pieces.
TEST(Sha, Sha1MatchesTheStandardsExamples) {
    EXPECT_EQ(Hex(Sha1Of("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(Hex(Sha1Of(TwoBlocks)), "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(Hex(Sha1Of("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(MillionA<TSha1>(), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha, Sha256MatchesTheStandardsExamples) {
    EXPECT_EQ(Hex(Sha256Of("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Hex(Sha256Of(TwoBlocks)), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(Hex(Sha256Of("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(MillionA<TSha256>(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
