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

// Reads a stream front to back in bounded pieces, skipping what is not
// asked for, so that an archive entry can be read as it unpacks. The bytes
// of the last read can be read again.
class TForwardReader {
public:
    explicit TForwardReader(TStream& stream) : FStream(stream) {}

    // False when the stream ends first, or at lies behind what was read
    // and kept. Memory grows with the bytes that come, not with count.
    bool Read(uint64_t at, uint64_t count, std::vector<uint8_t>& bytes);
    // Whether the stream ends right at end, which lies at or after what
    // was read.
    bool EndsAt(uint64_t end);

private:
    bool Skip(uint64_t to);

    TStream& FStream;
    uint64_t FAt = 0;
    std::vector<uint8_t> FKept;  // the last read's bytes, which end at FAt
};

// Where a segment lies, and its load command in TMachOHeaders::Bytes.
struct TMachOSegment {
    size_t CommandAt = 0;
    uint64_t FileOffset = 0, FileSize = 0, VmSize = 0;
};

// A slice's header and load commands as its file holds them, with the
// parts a signature concerns.
struct TMachOHeaders {
    uint32_t CpuType = 0;
    uint32_t FileType = 0;
    bool Is64 = false;
    bool BigEndian = false;
    size_t HeaderSize = 0;
    std::vector<uint8_t> Bytes;  // the header, then the load commands
    // Every command lies within sizeofcmds, and there are ncmds of them.
    bool WellFormed = false;
    bool HasText = false, HasLinkEdit = false;
    TMachOSegment Text, LinkEdit;
    size_t SignatureAt = 0;  // LC_CODE_SIGNATURE in Bytes; 0: none
    uint32_t SignatureOffset = 0, SignatureSize = 0;

    // Fields in the slice's byte order.
    uint32_t Get32(size_t at) const;
    void Put32(size_t at, uint32_t value);
    void Put64(size_t at, uint64_t value);
};

// Where the file's slices lie: one for a thin file (its size unknown, the
// largest there is), a universal file's table in offset order.
struct TMachOSliceEntry {
    uint32_t CpuType = 0;
    uint64_t Offset = 0;
    uint64_t Size = UINT64_MAX;
    uint32_t Align = 0;  // log2
    size_t EntryAt = 0;  // of its table entry in TMachOContainer::Head
};
struct TMachOContainer {
    bool Universal = false;
    bool Wide = false;          // 64-bit table entries
    std::vector<uint8_t> Head;  // a universal file's header and table
    std::vector<TMachOSliceEntry> Slices;
};

// The layout from the file's first bytes; false when it is no Mach-O file.
bool ReadMachOContainer(TForwardReader& reader, TMachOContainer& container);
// The header and load commands of the slice at offset; false when there is
// none there or they are cut short.
bool ReadMachOHeaders(TForwardReader& reader, uint64_t offset, TMachOHeaders& headers);

// Reads stream from its current position, which is the start of the file;
// a file that is no Mach-O file, or whose headers are cut short, gives no
// slices. Reads no further than the last load command it needs.
TMachOFile ReadMachO(TStream& stream);
