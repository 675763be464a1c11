// What a file's own bytes say about it as a Mac program: thin Mach-O files
// of 32 or 64 bits in either byte order, and universal files of 32- or
// 64-bit offsets holding several. Only the headers and load commands are
// read, front to back, so an entry of an archive can be read as it unpacks.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "Foundation/Types.h"
#include "Streams/Streams.h"

namespace MachOCpu {
constexpr uint32_t Abi64 = 0x01000000;
constexpr uint32_t X86 = 7;
constexpr uint32_t X86_64 = X86 | Abi64;
constexpr uint32_t Arm = 12;
constexpr uint32_t Arm64 = Arm | Abi64;
constexpr uint32_t PowerPC = 18;
constexpr uint32_t PowerPC64 = PowerPC | Abi64;
}  // namespace MachOCpu

// One program of a file: a thin file has one, a universal file one per
// architecture it holds.
struct TMachOSlice {
    uint32_t CpuType = 0;
    bool Signed = false;  // holds a code signature
};

struct TMachOFile {
    std::vector<TMachOSlice> Slices;  // empty: no Mach-O file

    bool IsProgram() const { return !Slices.empty(); }
    bool Signed() const;
    // Every slice is 32-bit code (i386, PowerPC, 32-bit ARM): no Mac since
    // macOS 10.15 starts it.
    bool Only32Bit() const;
    // Intel code and no code for Apple silicon.
    bool IntelOnly() const;
    bool Has(uint32_t cpuType) const;
    // "x86_64, arm64"
    std::string Architectures() const;
};

// Whether the first bytes of a file (at least 8 of them) are those of a
// Mach-O file; a Java class file shares the first four of a universal one.
bool LooksLikeMachO(const uint8_t* head, size_t length);

// Whether a file is a program, which needs its execute permission on a Mac:
// by its first bytes (a Mach-O file, a "#!" script) or its place, right in
// a Contents/MacOS folder.
bool IsProgramFile(const std::string& head, bool inMacOSFolder);
// How many first bytes of a file IsProgramFile looks at: a Mach-O file
// tells itself in 8, a script in 2.
constexpr size_t ProgramHeadSize = 8;
// The first ProgramHeadSize bytes of the file at path; fewer or none when
// it is shorter or cannot be read.
std::string ProgramHead(const WideString& path);
// Whether the file at path (separated by '/' or '\\') sits right in a
// Contents/MacOS folder, case aside.
bool InMacOSFolder(const WideString& path);

// Reads stream from its current position, which is the start of the file;
// a file that is no Mach-O file, or whose headers are cut short, gives no
// slices. Reads no further than the last load command it needs.
TMachOFile ReadMachO(TStream& stream);
