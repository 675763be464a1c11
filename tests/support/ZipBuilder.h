// Composes ZIP archives byte by byte, independently of the archive code, so
// that tests can make well-formed and deliberately damaged ones.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct TZipFixtureEntry {
    std::string Name;  // bytes as stored
    std::string Data;  // stored as it is (the method field does not change it)
    uint16_t Method = 0;
    uint16_t Flags = 0;
    uint8_t Host = 0;
    uint8_t Version = 20;
    uint32_t External = 0;
    uint16_t Time = 0x6000;  // 12:00:00
    uint16_t Date = 0x5821;  // 2024-01-01
    std::string Extra;
    std::string Comment;
    // CRC and sizes go after the data (flag bit 3 set), local header fields 0.
    bool Descriptor = false;
    // Overrides; by default the real CRC and the data's length.
    int64_t Crc = -1;
    int64_t Size = -1;
};

// A stored entry with the fields tests vary most.
TZipFixtureEntry FixtureFile(const std::string& name, const std::string& data, uint8_t host = 0, uint32_t external = 0);

struct TZipFixture {
    std::vector<TZipFixtureEntry> Entries;
    std::string Comment;
    std::string Prefix;  // bytes before the first local header
    bool WithDirectory = true;
    // Pad between the last entry's data and the directory.
    size_t Gap = 0;

    // Filled by Build.
    std::vector<uint32_t> LocalOffsets;
    std::vector<uint32_t> CentralOffsets;
    uint32_t DirectoryOffset = 0;
    uint32_t DirectorySize = 0;
    uint32_t EndOffset = 0;

    std::vector<uint8_t> Build();
};

uint32_t FixtureCrc(const std::string& data);
void Put16At(std::vector<uint8_t>& bytes, size_t at, uint32_t value);
void Put32At(std::vector<uint8_t>& bytes, size_t at, uint32_t value);
uint32_t Get32At(const std::vector<uint8_t>& bytes, size_t at);
uint16_t Get16At(const std::vector<uint8_t>& bytes, size_t at);
