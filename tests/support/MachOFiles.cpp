#include "support/MachOFiles.h"

void Put(std::string& out, uint64_t value, int bytes, bool big) {
    for (int i = 0; i < bytes; ++i) out += char(value >> (big ? 8 * (bytes - 1 - i) : 8 * i));
}
uint32_t Get32(const std::string& in, size_t at, bool big) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= uint32_t(uint8_t(in[at + i])) << (big ? 24 - 8 * i : 8 * i);
    return value;
}

std::string Thin(uint32_t cpu, bool is64, bool big, uint32_t room, bool sign) {
    auto segment = [&](const char* name, uint64_t fileOffset, uint64_t size) {
        std::string command;
        Put(command, is64 ? 0x19 : 0x1, 4, big);
        Put(command, is64 ? 72 : 56, 4, big);
        command += std::string(name) + std::string(16 - std::string(name).size(), '\0');
        const int width = is64 ? 8 : 4;
        for (uint64_t field : {fileOffset, (size + 0xFFF) & ~uint64_t(0xFFF), fileOffset, size})
            Put(command, field, width, big);
        command += std::string(16, '\0');  // protections, sections, flags
        return command;
    };
    std::string commands = segment("__TEXT", 0, 0x2000) + segment("__LINKEDIT", 0x2000, room);
    if (sign) {
        Put(commands, 0x1D, 4, big);
        Put(commands, 16, 4, big);
        Put(commands, 0x2000, 4, big);
        Put(commands, room, 4, big);
    }
    std::string out;
    Put(out, is64 ? 0xFEEDFACF : 0xFEEDFACE, 4, big);
    for (uint32_t field : {cpu, 3u, 2u, sign ? 3u : 2u, uint32_t(commands.size()), 0u}) Put(out, field, 4, big);
    if (is64) Put(out, 0, 4, big);
    out += commands;
    for (size_t i = out.size(); i < 0x2000; ++i) out += char(i * 7 + cpu);
    return out + std::string(room, '\0');
}

std::string Universal(const std::vector<std::pair<uint32_t, std::string>>& slices) {
    std::string out;
    Put(out, 0xCAFEBABE, 4, true);
    Put(out, slices.size(), 4, true);
    std::string data;
    for (const auto& [cpu, slice] : slices) {
        const uint64_t offset = 0x1000 + data.size();
        for (uint64_t field : {uint64_t(cpu), uint64_t(3), offset, uint64_t(slice.size()), uint64_t(12)})
            Put(out, field, 4, true);
        data += slice + std::string((0x1000 - slice.size() % 0x1000) % 0x1000, '\0');
    }
    return out + std::string(0x1000 - out.size(), '\0') + data;
}
