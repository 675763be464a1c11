// SHA-1 and SHA-256 (FIPS 180-4), as code signatures and their seals hash
// files: fed in pieces, finished once.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class TSha1 {
public:
    static constexpr size_t Size = 20;
    TSha1();
    void Update(const void* data, size_t length);
    std::array<uint8_t, Size> Final();

private:
    uint32_t FState[5];
    uint64_t FLength = 0;
    uint8_t FBlock[64];
    size_t FUsed = 0;
};

class TSha256 {
public:
    static constexpr size_t Size = 32;
    TSha256();
    void Update(const void* data, size_t length);
    std::array<uint8_t, Size> Final();

private:
    uint32_t FState[8];
    uint64_t FLength = 0;
    uint8_t FBlock[64];
    size_t FUsed = 0;
};

// The digest of data in one call, as raw bytes.
std::string Sha1Of(const std::string& data);
std::string Sha256Of(const std::string& data);
