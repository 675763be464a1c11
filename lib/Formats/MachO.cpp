#include "Formats/MachO.h"
#include <algorithm>
#include "Foundation/CaseFolding.h"
#include "Foundation/Exceptions.h"
#include "Streams/FileStream.h"

namespace {

constexpr uint32_t ThinMagic32 = 0xFEEDFACE, ThinMagic64 = 0xFEEDFACF;
constexpr uint32_t UniversalMagic32 = 0xCAFEBABE, UniversalMagic64 = 0xCAFEBABF;
// A Java class file starts as a universal file does; its version, where the
// count of architectures would be, is at least 45.
constexpr uint32_t MostArchitectures = 30;
// Load commands of a real program take a few kilobytes.
constexpr uint32_t MostCommandBytes = 1 << 20;

constexpr uint32_t CodeSignatureCommand = 0x1D;

uint32_t Big32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint32_t Little32(const uint8_t* p) { return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]; }
uint64_t Big64(const uint8_t* p) { return uint64_t(Big32(p)) << 32 | Big32(p + 4); }

// Reads a stream front to back, skipping what is not asked for.
class TForwardReader {
public:
    explicit TForwardReader(TStream& stream) : FStream(stream) {}

    // False when the stream ends first, or at lies behind what was read.
    bool Read(uint64_t at, size_t count, std::vector<uint8_t>& bytes) {
        if (at < FAt) return false;
        uint8_t skipped[4096];
        while (FAt < at) {
            int32_t n = FStream.Read(skipped, int32_t(std::min<uint64_t>(sizeof skipped, at - FAt)));
            if (n <= 0) return false;
            FAt += uint64_t(n);
        }
        bytes.resize(count);
        for (size_t done = 0; done < count;) {
            int32_t n = FStream.Read(bytes.data() + done, int32_t(std::min<size_t>(count - done, 1 << 20)));
            if (n <= 0) return false;
            done += size_t(n);
            FAt += uint64_t(n);
        }
        return true;
    }

private:
    TStream& FStream;
    uint64_t FAt = 0;
};

// The thin file at offset, whose first 28 bytes are header; false when it
// is none or is cut short.
bool ReadThin(TForwardReader& reader, uint64_t offset, const std::vector<uint8_t>& header, TMachOSlice& slice) {
    const uint32_t magic = Little32(header.data());
    const bool swapped = magic == __builtin_bswap32(ThinMagic32) || magic == __builtin_bswap32(ThinMagic64);
    const uint32_t native = swapped ? __builtin_bswap32(magic) : magic;
    if (native != ThinMagic32 && native != ThinMagic64) return false;
    auto field = [swapped](const uint8_t* p) { return swapped ? Big32(p) : Little32(p); };
    slice.CpuType = field(header.data() + 4);
    const uint32_t commandBytes = field(header.data() + 20);
    if (commandBytes > MostCommandBytes) return false;
    std::vector<uint8_t> commands;
    const uint64_t headerSize = native == ThinMagic64 ? 32 : 28;
    if (!reader.Read(offset + headerSize, commandBytes, commands)) return false;
    for (size_t at = 0; at + 8 <= commands.size();) {
        const uint8_t* command = commands.data() + at;
        const uint32_t kind = field(command), size = field(command + 4);
        if (size < 8 || size > commands.size() - at) break;
        if (kind == CodeSignatureCommand) slice.Signed = true;
        at += size;
    }
    return true;
}

bool IsUniversal(const uint8_t* head) {
    const uint32_t magic = Big32(head), count = Big32(head + 4);
    return (magic == UniversalMagic32 || magic == UniversalMagic64) && count >= 1 && count <= MostArchitectures;
}

}  // namespace

bool TMachOFile::Signed() const {
    return std::any_of(Slices.begin(), Slices.end(), [](const TMachOSlice& s) { return s.Signed; });
}

bool TMachOFile::Only32Bit() const {
    return IsProgram() &&
           std::none_of(Slices.begin(), Slices.end(), [](const TMachOSlice& s) { return s.CpuType & MachOCpu::Abi64; });
}

bool TMachOFile::IntelOnly() const {
    return IsProgram() && !Has(MachOCpu::Arm64) && std::all_of(Slices.begin(), Slices.end(), [](const TMachOSlice& s) {
               return s.CpuType == MachOCpu::X86 || s.CpuType == MachOCpu::X86_64;
           });
}

bool TMachOFile::Has(uint32_t cpuType) const {
    return std::any_of(Slices.begin(), Slices.end(), [cpuType](const TMachOSlice& s) { return s.CpuType == cpuType; });
}

std::string TMachOFile::Architectures() const {
    static const std::pair<uint32_t, const char*> names[] = {
        {MachOCpu::X86, "i386"},    {MachOCpu::X86_64, "x86_64"}, {MachOCpu::Arm, "arm"},
        {MachOCpu::Arm64, "arm64"}, {MachOCpu::PowerPC, "ppc"},   {MachOCpu::PowerPC64, "ppc64"}};
    std::string text;
    for (const TMachOSlice& slice : Slices) {
        std::string name = "cpu " + std::to_string(slice.CpuType);
        for (auto [type, known] : names)
            if (type == slice.CpuType) name = known;
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

bool LooksLikeMachO(const uint8_t* head, size_t length) {
    if (length < 8) return false;
    const uint32_t magic = Little32(head);
    for (uint32_t thin : {ThinMagic32, ThinMagic64})
        if (magic == thin || magic == __builtin_bswap32(thin)) return true;
    return IsUniversal(head);
}

TMachOFile ReadMachO(TStream& stream) {
    TMachOFile file;
    TForwardReader reader(stream);
    std::vector<uint8_t> head;
    if (!reader.Read(0, 8, head) || !LooksLikeMachO(head.data(), head.size())) return file;
    TMachOSlice slice;
    if (!IsUniversal(head.data())) {
        std::vector<uint8_t> rest;
        if (!reader.Read(8, 20, rest)) return file;
        head.insert(head.end(), rest.begin(), rest.end());
        if (ReadThin(reader, 0, head, slice)) file.Slices.push_back(slice);
        return file;
    }
    const bool wide = Big32(head.data()) == UniversalMagic64;
    const uint32_t count = Big32(head.data() + 4);
    const size_t entrySize = wide ? 32 : 20;
    std::vector<uint8_t> table;
    if (!reader.Read(8, count * entrySize, table)) return file;
    std::vector<uint64_t> offsets;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* entry = table.data() + i * entrySize;
        offsets.push_back(wide ? Big64(entry + 8) : Big32(entry + 8));
    }
    std::sort(offsets.begin(), offsets.end());
    for (uint64_t offset : offsets) {
        std::vector<uint8_t> header;
        if (!reader.Read(offset, 28, header) || !ReadThin(reader, offset, header, slice)) return TMachOFile();
        file.Slices.push_back(slice);
        slice = TMachOSlice();
    }
    return file;
}

bool IsProgramFile(const std::string& head, bool inMacOSFolder) {
    return inMacOSFolder || head.compare(0, 2, "#!") == 0 ||
           LooksLikeMachO(reinterpret_cast<const uint8_t*>(head.data()), head.size());
}

std::string ProgramHead(const WideString& path) {
    std::string head(ProgramHeadSize, '\0');
    try {
        // Read while others may go on writing: only what it holds is looked at.
        TRef<TFileStream> file = MakeRef<TFileStream>(path, FileAccess::Read, FileShare::Read | FileShare::Write,
                                                      FileDisposition::OpenExisting);
        head.resize(size_t(std::max(file->Read(head.data(), int32_t(head.size())), 0)));
    } catch (const Exception&) {
        head.clear();
    }
    return head;
}

bool InMacOSFolder(const WideString& path) {
    const WideString separators = u"/\\";
    const size_t file = path.find_last_of(separators);
    const size_t folder =
        file == 0 || file == WideString::npos ? WideString::npos : path.find_last_of(separators, file - 1);
    if (folder == WideString::npos) return false;
    const size_t parent = folder == 0 ? WideString::npos : path.find_last_of(separators, folder - 1);
    const size_t from = parent == WideString::npos ? 0 : parent + 1;
    return CompareText(path.substr(folder + 1, file - folder - 1), u"MacOS", true) == 0 &&
           CompareText(path.substr(from, folder - from), u"Contents", true) == 0;
}
