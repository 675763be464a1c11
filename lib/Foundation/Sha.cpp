#include "Foundation/Sha.h"
#include <cstring>

namespace {

uint32_t RotateLeft(uint32_t value, int bits) { return value << bits | value >> (32 - bits); }
uint32_t RotateRight(uint32_t value, int bits) { return value >> bits | value << (32 - bits); }
uint32_t Big32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

void PutBig32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(value >> (24 - 8 * i));
}

void Sha1Block(uint32_t* state, const uint8_t* block) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) w[i] = Big32(block + 4 * i);
    for (int i = 16; i < 80; ++i) w[i] = RotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20) f = (b & c) | (~b & d), k = 0x5A827999;
        else if (i < 40) f = b ^ c ^ d, k = 0x6ED9EBA1;
        else if (i < 60) f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
        else f = b ^ c ^ d, k = 0xCA62C1D6;
        const uint32_t next = RotateLeft(a, 5) + f + e + k + w[i];
        e = d, d = c, c = RotateLeft(b, 30), b = a, a = next;
    }
    state[0] += a, state[1] += b, state[2] += c, state[3] += d, state[4] += e;
}

constexpr uint32_t Sha256Rounds[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

void Sha256Block(uint32_t* state, const uint8_t* block) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) w[i] = Big32(block + 4 * i);
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 = RotateRight(w[i - 15], 7) ^ RotateRight(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = RotateRight(w[i - 2], 17) ^ RotateRight(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t v[8];
    std::memcpy(v, state, sizeof v);
    for (int i = 0; i < 64; ++i) {
        const uint32_t s1 = RotateRight(v[4], 6) ^ RotateRight(v[4], 11) ^ RotateRight(v[4], 25);
        const uint32_t choice = (v[4] & v[5]) ^ (~v[4] & v[6]);
        const uint32_t t1 = v[7] + s1 + choice + Sha256Rounds[i] + w[i];
        const uint32_t s0 = RotateRight(v[0], 2) ^ RotateRight(v[0], 13) ^ RotateRight(v[0], 22);
        const uint32_t majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
        std::memmove(v + 1, v, 7 * sizeof(uint32_t));
        v[4] += t1;
        v[0] = t1 + s0 + majority;
    }
    for (int i = 0; i < 8; ++i) state[i] += v[i];
}

// Both hashes share the Merkle-Damgard frame: 64-byte blocks, a 1 bit, zeros
// and the length in bits, big-endian.
template <void (*Block)(uint32_t*, const uint8_t*)>
void Absorb(uint32_t* state, uint8_t* buffer, size_t& used, uint64_t& length, const void* data, size_t count) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    length += count;
    while (count > 0) {
        if (used == 0 && count >= 64) {
            Block(state, bytes);
            bytes += 64, count -= 64;
            continue;
        }
        const size_t take = count < 64 - used ? count : 64 - used;
        std::memcpy(buffer + used, bytes, take);
        used += take, bytes += take, count -= take;
        if (used == 64) Block(state, buffer), used = 0;
    }
}

template <void (*Block)(uint32_t*, const uint8_t*), size_t Size>
std::array<uint8_t, Size> Finish(uint32_t* state, uint8_t* buffer, size_t used, uint64_t length) {
    buffer[used++] = 0x80;
    if (used > 56) {
        std::memset(buffer + used, 0, 64 - used);
        Block(state, buffer);
        used = 0;
    }
    std::memset(buffer + used, 0, 56 - used);
    PutBig32(buffer + 56, uint32_t(length >> 29));
    PutBig32(buffer + 60, uint32_t(length << 3));
    Block(state, buffer);
    std::array<uint8_t, Size> digest;
    for (size_t i = 0; i < Size / 4; ++i) PutBig32(digest.data() + 4 * i, state[i]);
    return digest;
}

template <class THash>
std::string DigestOf(const std::string& data) {
    THash hash;
    hash.Update(data.data(), data.size());
    const auto digest = hash.Final();
    return std::string(digest.begin(), digest.end());
}

}  // namespace

TSha1::TSha1() : FState{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0} {}

void TSha1::Update(const void* data, size_t length) { Absorb<Sha1Block>(FState, FBlock, FUsed, FLength, data, length); }

std::array<uint8_t, TSha1::Size> TSha1::Final() { return Finish<Sha1Block, Size>(FState, FBlock, FUsed, FLength); }

TSha256::TSha256()
    : FState{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void TSha256::Update(const void* data, size_t length) {
    Absorb<Sha256Block>(FState, FBlock, FUsed, FLength, data, length);
}

std::array<uint8_t, TSha256::Size> TSha256::Final() {
    return Finish<Sha256Block, Size>(FState, FBlock, FUsed, FLength);
}

std::string Sha1Of(const std::string& data) { return DigestOf<TSha1>(data); }
std::string Sha256Of(const std::string& data) { return DigestOf<TSha256>(data); }
