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
uint64_t Little64(const uint8_t* p) { return uint64_t(Little32(p + 4)) << 32 | Little32(p); }

constexpr uint32_t SegmentCommand = 0x1, Segment64Command = 0x19;

// A segment command's name and fields; false when it is none or too short.
bool ReadSegment(const TMachOHeaders& headers, size_t at, uint32_t kind, uint32_t size, std::string& name,
                 TMachOSegment& segment) {
    const bool wide = kind == Segment64Command;
    if ((kind != SegmentCommand && !wide) || size < (wide ? 72u : 56u)) return false;
    const uint8_t* command = headers.Bytes.data() + at;
    name.assign(reinterpret_cast<const char*>(command + 8), 16);
    name.resize(std::min<size_t>(name.find('\0'), 16));
    auto field64 = [&](size_t offset) {
        return headers.BigEndian ? Big64(command + offset) : Little64(command + offset);
    };
    segment.CommandAt = at;
    segment.VmSize = wide ? field64(32) : headers.Get32(at + 28);
    segment.FileOffset = wide ? field64(40) : headers.Get32(at + 32);
    segment.FileSize = wide ? field64(48) : headers.Get32(at + 36);
    return true;
}

bool IsUniversal(const uint8_t* head) {
    const uint32_t magic = Big32(head), count = Big32(head + 4);
    return (magic == UniversalMagic32 || magic == UniversalMagic64) && count >= 1 && count <= MostArchitectures;
}

}  // namespace

bool TForwardReader::Skip(uint64_t to) {
    FKept.clear();
    uint8_t skipped[4096];
    while (FAt < to) {
        int32_t n = FStream.Read(skipped, int32_t(std::min<uint64_t>(sizeof skipped, to - FAt)));
        if (n <= 0) return false;
        FAt += uint64_t(n);
    }
    return true;
}

bool TForwardReader::Read(uint64_t at, uint64_t count, std::vector<uint8_t>& bytes) {
    bytes.clear();
    if (at < FAt) {
        const uint64_t keptFrom = FAt - FKept.size();
        if (at < keptFrom) return false;
        const uint64_t taken = std::min(count, FAt - at);
        bytes.assign(FKept.begin() + ptrdiff_t(at - keptFrom), FKept.begin() + ptrdiff_t(at - keptFrom + taken));
        if (taken == count) return true;
    } else if (!Skip(at)) {
        return false;
    }
    while (bytes.size() < count) {
        const size_t done = bytes.size();
        bytes.resize(done + size_t(std::min<uint64_t>(count - done, 1 << 20)));
        int32_t n = FStream.Read(bytes.data() + done, int32_t(bytes.size() - done));
        if (n <= 0) {
            FKept.clear();
            return false;
        }
        bytes.resize(done + size_t(n));
        FAt += uint64_t(n);
    }
    FKept = bytes;
    return true;
}

bool TForwardReader::EndsAt(uint64_t end) {
    uint8_t extra;
    return end >= FAt && Skip(end) && FStream.Read(&extra, 1) <= 0;
}

uint32_t TMachOHeaders::Get32(size_t at) const {
    return BigEndian ? Big32(Bytes.data() + at) : Little32(Bytes.data() + at);
}

void TMachOHeaders::Put32(size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) Bytes[at + size_t(i)] = uint8_t(value >> (BigEndian ? 24 - 8 * i : 8 * i));
}

void TMachOHeaders::Put64(size_t at, uint64_t value) {
    Put32(at + (BigEndian ? 4 : 0), uint32_t(value));
    Put32(at + (BigEndian ? 0 : 4), uint32_t(value >> 32));
}

bool ReadMachOHeaders(TForwardReader& reader, uint64_t offset, TMachOHeaders& headers) {
    headers = TMachOHeaders();
    if (!reader.Read(offset, 28, headers.Bytes)) return false;
    const uint32_t magic = Little32(headers.Bytes.data());
    headers.BigEndian = magic == __builtin_bswap32(ThinMagic32) || magic == __builtin_bswap32(ThinMagic64);
    const uint32_t native = headers.BigEndian ? __builtin_bswap32(magic) : magic;
    if (native != ThinMagic32 && native != ThinMagic64) return false;
    headers.Is64 = native == ThinMagic64;
    headers.HeaderSize = headers.Is64 ? 32 : 28;
    headers.CpuType = headers.Get32(4);
    headers.FileType = headers.Get32(12);
    const uint32_t commandCount = headers.Get32(16), commandBytes = headers.Get32(20);
    if (commandBytes > MostCommandBytes) return false;
    if (!reader.Read(offset, headers.HeaderSize + commandBytes, headers.Bytes)) return false;
    size_t at = headers.HeaderSize, seen = 0;
    for (const size_t end = headers.Bytes.size(); at + 8 <= end; ++seen) {
        const uint32_t kind = headers.Get32(at), size = headers.Get32(at + 4);
        if (size < 8 || size > end - at) break;
        std::string name;
        TMachOSegment segment;
        if (kind == CodeSignatureCommand && size >= 16) {
            headers.SignatureAt = at;
            headers.SignatureOffset = headers.Get32(at + 8);
            headers.SignatureSize = headers.Get32(at + 12);
        } else if (ReadSegment(headers, at, kind, size, name, segment)) {
            if (name == "__TEXT") headers.Text = segment, headers.HasText = true;
            if (name == "__LINKEDIT") headers.LinkEdit = segment, headers.HasLinkEdit = true;
        }
        at += size;
    }
    headers.WellFormed = at == headers.Bytes.size() && seen == commandCount;
    return true;
}

bool ReadMachOContainer(TForwardReader& reader, TMachOContainer& container) {
    container = TMachOContainer();
    std::vector<uint8_t> head;
    if (!reader.Read(0, 8, head) || !LooksLikeMachO(head.data(), head.size())) return false;
    if (!IsUniversal(head.data())) {
        container.Slices.emplace_back();
        return true;
    }
    container.Universal = true;
    container.Wide = Big32(head.data()) == UniversalMagic64;
    const uint32_t count = Big32(head.data() + 4);
    const size_t entrySize = container.Wide ? 32 : 20;
    if (!reader.Read(0, 8 + count * entrySize, container.Head)) return false;
    for (uint32_t i = 0; i < count; ++i) {
        TMachOSliceEntry slice;
        slice.EntryAt = 8 + i * entrySize;
        const uint8_t* entry = container.Head.data() + slice.EntryAt;
        slice.CpuType = Big32(entry);
        slice.Offset = container.Wide ? Big64(entry + 8) : Big32(entry + 8);
        slice.Size = container.Wide ? Big64(entry + 16) : Big32(entry + 12);
        slice.Align = Big32(entry + (container.Wide ? 24 : 16));
        container.Slices.push_back(slice);
    }
    std::sort(container.Slices.begin(), container.Slices.end(),
              [](const TMachOSliceEntry& a, const TMachOSliceEntry& b) { return a.Offset < b.Offset; });
    return true;
}

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
    TMachOContainer container;
    if (!ReadMachOContainer(reader, container)) return file;
    for (const TMachOSliceEntry& entry : container.Slices) {
        TMachOHeaders headers;
        if (!ReadMachOHeaders(reader, entry.Offset, headers)) return TMachOFile();
        TMachOSlice slice;
        slice.CpuType = headers.CpuType;
        slice.Signed = headers.SignatureAt != 0;
        file.Slices.push_back(slice);
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
