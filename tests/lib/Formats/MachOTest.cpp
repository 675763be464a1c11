#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "Formats/MachO.h"
#include "Streams/Streams.h"

namespace {

void Put32(std::string& out, uint32_t value, bool big) {
    for (int i = 0; i < 4; ++i) out += char(big ? value >> (24 - 8 * i) : value >> (8 * i));
}

// A thin Mach-O header with a signature and a minimum macOS version.
std::string Thin(uint32_t cpu, bool is64, bool big, bool sign, uint32_t minimum) {
    std::string commands;
    if (sign) {
        Put32(commands, 0x1D, big);
        Put32(commands, 16, big);
        Put32(commands, 0, big);
        Put32(commands, 0, big);
    }
    Put32(commands, 0x32, big);  // build version: macOS, minos
    Put32(commands, 24, big);
    Put32(commands, 1, big);
    Put32(commands, minimum, big);
    Put32(commands, 0, big);
    Put32(commands, 0, big);
    std::string out;
    Put32(out, is64 ? 0xFEEDFACF : 0xFEEDFACE, big);
    Put32(out, cpu, big);
    Put32(out, 3, big);
    Put32(out, 2, big);  // an executable
    Put32(out, sign ? 2 : 1, big);
    Put32(out, uint32_t(commands.size()), big);
    Put32(out, 0, big);
    if (is64) Put32(out, 0, big);
    return out + commands;
}

std::string Universal(const std::vector<std::pair<uint32_t, std::string>>& slices) {
    std::string out;
    Put32(out, 0xCAFEBABE, true);
    Put32(out, uint32_t(slices.size()), true);
    uint32_t offset = 4096;
    std::string data;
    for (const auto& [cpu, slice] : slices) {
        Put32(out, cpu, true);
        Put32(out, 3, true);
        Put32(out, offset, true);
        Put32(out, uint32_t(slice.size()), true);
        Put32(out, 12, true);
        data += slice + std::string(4096 - slice.size() % 4096, '\0');
        offset += uint32_t(slice.size() + 4096 - slice.size() % 4096);
    }
    return out + std::string(4096 - out.size(), '\0') + data;
}

TMachOFile Read(const std::string& bytes) {
    TRef<TMemoryStream> stream = MakeRef<TMemoryStream>();
    stream->Write(bytes.data(), int32_t(bytes.size()));
    stream->SetPosition(0);
    return ReadMachO(*stream);
}

// Thin files of either width and byte order, universal files, and what
// only looks like one: each says what it holds or that it is no program.
TEST(MachO, ThinAndUniversalFilesSayWhatTheyHoldAndOthersNothing) {
    TMachOFile intel = Read(Thin(MachOCpu::X86_64, true, false, false, 0x0A0D00));
    ASSERT_EQ(intel.Slices.size(), 1u);
    EXPECT_TRUE(intel.IntelOnly());
    EXPECT_FALSE(intel.Only32Bit() || intel.Signed());

    TMachOFile powerpc = Read(Thin(MachOCpu::PowerPC, false, true, true, 0x0A0400));
    EXPECT_TRUE(powerpc.Only32Bit() && powerpc.Signed());
    EXPECT_EQ(powerpc.Architectures(), "ppc");

    TMachOFile both = Read(Universal({{MachOCpu::X86_64, Thin(MachOCpu::X86_64, true, false, true, 0x0A0D00)},
                                      {MachOCpu::Arm64, Thin(MachOCpu::Arm64, true, false, false, 0x0B0000)}}));
    EXPECT_EQ(both.Architectures(), "x86_64, arm64");
    EXPECT_FALSE(both.IntelOnly() || both.Only32Bit());
    EXPECT_TRUE(both.Signed());
    TMachOFile old = Read(Universal({{MachOCpu::X86, Thin(MachOCpu::X86, false, false, false, 0)},
                                     {MachOCpu::PowerPC, Thin(MachOCpu::PowerPC, false, true, false, 0)}}));
    EXPECT_TRUE(old.Only32Bit());

    // A Java class file: its version stands where the count would.
    std::string java = "\xCA\xFE\xBA\xBE";
    Put32(java, 52, true);
    java += std::string(64, '\0');
    EXPECT_FALSE(LooksLikeMachO(reinterpret_cast<const uint8_t*>(java.data()), java.size()));
    EXPECT_FALSE(Read(java).IsProgram());
    // Cut short, or garbage: no program, and no read beyond the bytes.
    std::string cut = Thin(MachOCpu::Arm64, true, false, true, 0);
    EXPECT_FALSE(Read(cut.substr(0, cut.size() - 3)).IsProgram());
    EXPECT_FALSE(Read("#!/bin/sh\necho\n").IsProgram());
    std::string huge = Thin(MachOCpu::Arm64, true, false, false, 0);
    huge[20] = '\xFF', huge[21] = '\xFF', huge[22] = '\xFF', huge[23] = '\x7F';
    EXPECT_FALSE(Read(huge).IsProgram());
}

}  // namespace
