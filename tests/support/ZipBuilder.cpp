#include "support/ZipBuilder.h"

uint32_t FixtureCrc(const std::string& data) {
    uint32_t crc = 0xFFFFFFFF;
    for (unsigned char b : data) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
    }
    return crc ^ 0xFFFFFFFF;
}

void Put16At(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    bytes[at] = uint8_t(value);
    bytes[at + 1] = uint8_t(value >> 8);
}

void Put32At(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    Put16At(bytes, at, value);
    Put16At(bytes, at + 2, value >> 16);
}

uint16_t Get16At(const std::vector<uint8_t>& bytes, size_t at) { return uint16_t(bytes[at] | bytes[at + 1] << 8); }

uint32_t Get32At(const std::vector<uint8_t>& bytes, size_t at) {
    return Get16At(bytes, at) | uint32_t(Get16At(bytes, at + 2)) << 16;
}

TZipFixtureEntry FixtureFile(const std::string& name, const std::string& data, uint8_t host, uint32_t external) {
    TZipFixtureEntry e;
    e.Name = name;
    e.Data = data;
    e.Host = host;
    e.External = external;
    return e;
}

namespace {

void Append(std::vector<uint8_t>& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }
void Append16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
void Append32(std::vector<uint8_t>& out, uint32_t v) {
    Append16(out, v);
    Append16(out, v >> 16);
}

}  // namespace

std::vector<uint8_t> TZipFixture::Build() {
    std::vector<uint8_t> out;
    Append(out, Prefix);
    LocalOffsets.clear();
    CentralOffsets.clear();
    for (TZipFixtureEntry& e : Entries) {
        uint32_t crc = e.Crc >= 0 ? uint32_t(e.Crc) : FixtureCrc(e.Data);
        uint32_t size = e.Size >= 0 ? uint32_t(e.Size) : uint32_t(e.Data.size());
        uint16_t flags = uint16_t(e.Flags | (e.Descriptor ? 8 : 0));
        LocalOffsets.push_back(uint32_t(out.size()));
        Append32(out, 0x04034B50);
        Append16(out, 20);
        Append16(out, flags);
        Append16(out, e.Method);
        Append16(out, e.Time);
        Append16(out, e.Date);
        Append32(out, e.Descriptor ? 0 : crc);
        Append32(out, e.Descriptor ? 0 : uint32_t(e.Data.size()));
        Append32(out, e.Descriptor ? 0 : size);
        Append16(out, uint32_t(e.Name.size()));
        Append16(out, uint32_t(e.Extra.size()));
        Append(out, e.Name);
        Append(out, e.Extra);
        Append(out, e.Data);
        if (e.Descriptor) {
            Append32(out, 0x08074B50);
            Append32(out, crc);
            Append32(out, uint32_t(e.Data.size()));
            Append32(out, size);
        }
    }
    out.insert(out.end(), Gap, 0);
    DirectoryOffset = uint32_t(out.size());
    if (WithDirectory) {
        for (size_t i = 0; i < Entries.size(); ++i) {
            TZipFixtureEntry& e = Entries[i];
            CentralOffsets.push_back(uint32_t(out.size()));
            Append32(out, 0x02014B50);
            out.push_back(e.Version);
            out.push_back(e.Host);
            Append16(out, 20);
            Append16(out, uint32_t(e.Flags | (e.Descriptor ? 8 : 0)));
            Append16(out, e.Method);
            Append16(out, e.Time);
            Append16(out, e.Date);
            Append32(out, e.Crc >= 0 ? uint32_t(e.Crc) : FixtureCrc(e.Data));
            Append32(out, uint32_t(e.Data.size()));
            Append32(out, e.Size >= 0 ? uint32_t(e.Size) : uint32_t(e.Data.size()));
            Append16(out, uint32_t(e.Name.size()));
            Append16(out, uint32_t(e.Extra.size()));
            Append16(out, uint32_t(e.Comment.size()));
            Append16(out, 0);
            Append16(out, 0);
            Append32(out, e.External);
            Append32(out, LocalOffsets[i]);
            Append(out, e.Name);
            Append(out, e.Extra);
            Append(out, e.Comment);
        }
        DirectorySize = uint32_t(out.size() - DirectoryOffset);
        EndOffset = uint32_t(out.size());
        Append32(out, 0x06054B50);
        Append16(out, 0);
        Append16(out, 0);
        Append16(out, uint32_t(Entries.size()));
        Append16(out, uint32_t(Entries.size()));
        Append32(out, DirectorySize);
        Append32(out, DirectoryOffset);
        Append16(out, uint32_t(Comment.size()));
        Append(out, Comment);
    }
    return out;
}
