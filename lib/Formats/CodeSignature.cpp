#include "Formats/CodeSignature.h"
#include <algorithm>
#include <functional>
#include "Formats/MachO.h"
#include "Foundation/Sha.h"

namespace {

constexpr uint32_t EmbeddedSignatureMagic = 0xFADE0CC0, CodeDirectoryMagic = 0xFADE0C02;
constexpr uint32_t RequirementsMagic = 0xFADE0C01, BlobWrapperMagic = 0xFADE0B01;
constexpr uint32_t CodeDirectorySlot = 0, RequirementsSlot = 2, AlternateSlot = 0x1000, WrapperSlot = 0x10000;
constexpr uint32_t AlternateCount = 5;
constexpr uint32_t InfoSlot = 1, ResourcesSlot = 3, SpecialSlots = 3;
constexpr uint32_t CodeDirectoryVersion = 0x20400;
constexpr size_t CodeDirectoryHeader = 88;
// The fields up to pageSize, which every version has.
constexpr size_t CodeDirectoryCore = 40;
constexpr uint32_t PageShift = 12;
constexpr uint64_t PageSize = uint64_t(1) << PageShift;
constexpr uint32_t ExecutableFileType = 2;
constexpr uint64_t MainBinaryExecSeg = 1;
// Offsets and sizes beyond this are no real file's; keeps sums from wrapping.
constexpr uint64_t MostFileBytes = uint64_t(1) << 48;
constexpr uint32_t MostAlignment = 20;

size_t HashSize(TCodeHashType type) { return type == TCodeHashType::Sha1 ? TSha1::Size : TSha256::Size; }
size_t HashIndex(TCodeHashType type) { return type == TCodeHashType::Sha1 ? 0 : 1; }

std::string Hash(TCodeHashType type, const void* data, size_t length) {
    auto digest = [&](auto hash) {
        hash.Update(data, length);
        const auto bytes = hash.Final();
        return std::string(bytes.begin(), bytes.end());
    };
    return type == TCodeHashType::Sha1 ? digest(TSha1()) : digest(TSha256());
}

void PutBig32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out += char(value >> (24 - 8 * i));
}
void PutBig64(std::string& out, uint64_t value) {
    PutBig32(out, uint32_t(value >> 32));
    PutBig32(out, uint32_t(value));
}
uint32_t Big32(const std::string& bytes, size_t at) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data() + at);
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint64_t RoundUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }
uint64_t PageCount(uint64_t codeLimit) { return RoundUp(codeLimit, PageSize) / PageSize; }

std::string EmptyRequirements() {
    std::string blob;
    PutBig32(blob, RequirementsMagic);
    PutBig32(blob, 12);
    PutBig32(blob, 0);
    return blob;
}

// A slice as the signer reads it: where it lies, its headers, its code's
// page hashes of both types and the first bytes of its signature (up to the
// SuperBlob's own length).
struct TSlice {
    uint64_t Offset = 0;
    uint64_t Size = 0;
    TMachOHeaders Headers;
    std::string PageHashes[2];
    std::string Signature;

    bool Signed() const { return Headers.SignatureAt != 0; }
};

enum class TScanDepth { Headers, Signature, Pages };

// Every slice in file order, each read as deep as asked and handed to
// visit, whose failure ends the scan. A signed slice's signature must lie
// within it, behind its load commands; with needLayout it must also end
// __LINKEDIT and the slice.
TSigningFailure ScanSlices(TStream& file, TScanDepth depth, bool needLayout,
                           const std::function<TSigningFailure(TSlice&)>& visit) {
    TForwardReader reader(file);
    TMachOContainer container;
    if (!ReadMachOContainer(reader, container)) return TSigningFailure::NotMachO;
    uint64_t taken = container.Head.size();
    for (const TMachOSliceEntry& entry : container.Slices)
        if (container.Universal) {
            if (entry.Offset < taken || entry.Size > MostFileBytes || entry.Offset > MostFileBytes)
                return TSigningFailure::NotMachO;
            taken = entry.Offset + entry.Size;
        }
    std::vector<uint8_t> bytes;
    for (const TMachOSliceEntry& entry : container.Slices) {
        TSlice slice;
        slice.Offset = entry.Offset;
        TMachOHeaders& headers = slice.Headers;
        if (!ReadMachOHeaders(reader, entry.Offset, headers) || !headers.WellFormed ||
            headers.Bytes.size() > entry.Size)
            return TSigningFailure::NotMachO;
        if (slice.Signed()) {
            const uint64_t limit = headers.SignatureOffset, end = limit + headers.SignatureSize;
            if (end > entry.Size) return TSigningFailure::NotMachO;
            if (limit < headers.Bytes.size()) return TSigningFailure::Layout;
            slice.Size = container.Universal ? entry.Size : end;
            const TMachOSegment& linkEdit = headers.LinkEdit;
            if (needLayout && (!headers.HasLinkEdit || linkEdit.FileOffset > limit ||
                               linkEdit.FileSize != end - linkEdit.FileOffset || end != slice.Size))
                return TSigningFailure::Layout;
            for (uint64_t at = 0; depth == TScanDepth::Pages && at < limit; at += PageSize) {
                if (!reader.Read(slice.Offset + at, std::min(PageSize, limit - at), bytes))
                    return TSigningFailure::NotMachO;
                for (TCodeHashType type : {TCodeHashType::Sha1, TCodeHashType::Sha256})
                    slice.PageHashes[HashIndex(type)] += Hash(type, bytes.data(), bytes.size());
            }
            if (depth != TScanDepth::Headers) {
                // A SuperBlob says how long it is: the rest of the room is skipped.
                const uint64_t head = std::min<uint64_t>(headers.SignatureSize, 12);
                if (!reader.Read(slice.Offset + limit, head, bytes)) return TSigningFailure::NotMachO;
                slice.Signature.assign(bytes.begin(), bytes.end());
                if (head == 12 && Big32(slice.Signature, 0) == EmbeddedSignatureMagic) {
                    const uint64_t length = std::min<uint64_t>(Big32(slice.Signature, 4), headers.SignatureSize);
                    if (!reader.Read(slice.Offset + limit, std::max(length, head), bytes))
                        return TSigningFailure::NotMachO;
                    slice.Signature.assign(bytes.begin(), bytes.end());
                }
            }
            // Its room is there to be written over.
            if (!reader.Read(slice.Offset + end, 0, bytes)) return TSigningFailure::NotMachO;
            if (needLayout && !container.Universal && !reader.EndsAt(end)) return TSigningFailure::Layout;
        }
        const TSigningFailure failure = visit(slice);
        if (failure != TSigningFailure::None) return failure;
    }
    return TSigningFailure::None;
}

// A CodeDirectory inside a signature, its bounds checked.
struct TDirectory {
    const std::string* Signature = nullptr;
    size_t At = 0;
    TCodeHashType Type = TCodeHashType::Sha256;
    size_t HashSize = 0;
    uint64_t HashOffset = 0;
    uint32_t SpecialSlots = 0, CodeSlots = 0, CodeLimit = 0;
    uint8_t PageShift = 0;

    std::string Slot(uint32_t slot) const {
        return slot > SpecialSlots ? std::string(HashSize, '\0')
                                   : Signature->substr(At + HashOffset - slot * HashSize, HashSize);
    }
    std::string CodeHashes() const { return Signature->substr(At + HashOffset, CodeSlots * HashSize); }
};

// The signature's CodeDirectories, the primary first; false when it is no
// SuperBlob, holds none, or one reaches outside it or has a hash type this
// signer does not make.
bool ReadDirectories(const std::string& signature, std::vector<TDirectory>& directories) {
    directories.clear();
    if (signature.size() < 12 || Big32(signature, 0) != EmbeddedSignatureMagic) return false;
    const uint64_t length = Big32(signature, 4), count = Big32(signature, 8);
    if (length > signature.size() || count > (length - 12) / 8) return false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t type = Big32(signature, 12 + 8 * i), at = Big32(signature, 16 + 8 * i);
        if (type != CodeDirectorySlot && (type < AlternateSlot || type >= AlternateSlot + AlternateCount)) continue;
        if (at > length || length - at < CodeDirectoryCore) return false;
        const uint64_t size = Big32(signature, at + 4);
        if (Big32(signature, at) != CodeDirectoryMagic || size < CodeDirectoryCore || size > length - at) return false;
        TDirectory directory;
        directory.Signature = &signature;
        directory.At = at;
        directory.HashOffset = Big32(signature, at + 16);
        directory.SpecialSlots = Big32(signature, at + 24);
        directory.CodeSlots = Big32(signature, at + 28);
        directory.CodeLimit = Big32(signature, at + 32);
        const uint8_t hashSize = uint8_t(signature[at + 36]), hashType = uint8_t(signature[at + 37]);
        directory.PageShift = uint8_t(signature[at + 39]);
        if (hashType != uint8_t(TCodeHashType::Sha1) && hashType != uint8_t(TCodeHashType::Sha256)) return false;
        directory.Type = TCodeHashType(hashType);
        directory.HashSize = ::HashSize(directory.Type);
        if (hashSize != directory.HashSize || directory.HashOffset < uint64_t(directory.SpecialSlots) * hashSize ||
            directory.HashOffset + uint64_t(directory.CodeSlots) * hashSize > size)
            return false;
        if (type == CodeDirectorySlot) directories.insert(directories.begin(), directory);
        else directories.push_back(directory);
    }
    return !directories.empty();
}

// What the inputs put in a special slot: a hash, or zeros.
std::string SpecialSlot(uint32_t slot, TCodeHashType type, const TSignatureInputs& inputs) {
    if (slot == InfoSlot && inputs.InfoPlist) return Hash(type, inputs.InfoPlist->data(), inputs.InfoPlist->size());
    if (slot == ResourcesSlot && inputs.Resources)
        return Hash(type, inputs.Resources->data(), inputs.Resources->size());
    if (slot == RequirementsSlot && inputs.Requirements) {
        const std::string requirements = EmptyRequirements();
        return Hash(type, requirements.data(), requirements.size());
    }
    return std::string(HashSize(type), '\0');
}

bool HasSpecialSlots(const TSignatureInputs& inputs) {
    return inputs.InfoPlist || inputs.Resources || inputs.Requirements;
}

const std::vector<TCodeHashType>& HashTypesOf(const TSignatureInputs& inputs) {
    static const std::vector<TCodeHashType> fallback{TCodeHashType::Sha256};
    return inputs.HashTypes.empty() ? fallback : inputs.HashTypes;
}

// Whether the slice's signature covers its code as it is and names what
// the inputs name, in every CodeDirectory it has.
bool SignatureHolds(const TSlice& slice, const TSignatureInputs& inputs) {
    std::vector<TDirectory> directories;
    if (!ReadDirectories(slice.Signature, directories)) return false;
    const uint32_t limit = slice.Headers.SignatureOffset;
    const std::vector<TCodeHashType>& types = HashTypesOf(inputs);
    return std::all_of(directories.begin(), directories.end(), [&](const TDirectory& directory) {
        return std::find(types.begin(), types.end(), directory.Type) != types.end() &&
               directory.PageShift == PageShift && directory.CodeLimit == limit &&
               directory.CodeSlots == PageCount(limit) &&
               directory.CodeHashes() == slice.PageHashes[HashIndex(directory.Type)] &&
               directory.Slot(InfoSlot) == SpecialSlot(InfoSlot, directory.Type, inputs) &&
               directory.Slot(ResourcesSlot) == SpecialSlot(ResourcesSlot, directory.Type, inputs);
    });
}

std::string CodeDirectory(const TSlice& slice, TCodeHashType type, const TSignatureInputs& inputs) {
    const TMachOHeaders& headers = slice.Headers;
    const std::string identifier = inputs.Identifier.c_str();
    const uint32_t specialSlots = HasSpecialSlots(inputs) ? SpecialSlots : 0;
    const std::string& pages = slice.PageHashes[HashIndex(type)];
    const size_t hashSize = HashSize(type);
    const uint32_t hashOffset = uint32_t(CodeDirectoryHeader + identifier.size() + 1 + specialSlots * hashSize);
    std::string directory;
    PutBig32(directory, CodeDirectoryMagic);
    PutBig32(directory, uint32_t(hashOffset + pages.size()));
    PutBig32(directory, CodeDirectoryVersion);
    PutBig32(directory, inputs.Flags);
    PutBig32(directory, hashOffset);
    PutBig32(directory, uint32_t(CodeDirectoryHeader));
    PutBig32(directory, specialSlots);
    PutBig32(directory, uint32_t(pages.size() / hashSize));
    PutBig32(directory, headers.SignatureOffset);
    directory += {char(hashSize), char(type), 0, char(PageShift)};
    PutBig32(directory, 0);  // spare2
    PutBig32(directory, 0);  // scatterOffset
    PutBig32(directory, 0);  // teamOffset
    PutBig32(directory, 0);  // spare3
    PutBig64(directory, 0);  // codeLimit64
    PutBig64(directory, headers.HasText ? headers.Text.FileOffset : 0);
    PutBig64(directory, headers.HasText ? headers.Text.FileSize : 0);
    PutBig64(directory, headers.FileType == ExecutableFileType ? MainBinaryExecSeg : 0);
    directory += identifier + '\0';
    for (uint32_t slot = specialSlots; slot >= 1; --slot) directory += SpecialSlot(slot, type, inputs);
    return directory + pages;
}

// The SuperBlob: CodeDirectory, requirements, alternates, then the empty
// CMS wrapper an ad-hoc signature of a bundle carries.
std::string BuildSignature(const TSlice& slice, const TSignatureInputs& inputs) {
    const std::vector<TCodeHashType>& types = HashTypesOf(inputs);
    std::vector<std::pair<uint32_t, std::string>> blobs{{CodeDirectorySlot, CodeDirectory(slice, types[0], inputs)}};
    if (inputs.Requirements) blobs.emplace_back(RequirementsSlot, EmptyRequirements());
    for (size_t i = 1; i < types.size() && i <= AlternateCount; ++i)
        blobs.emplace_back(AlternateSlot + uint32_t(i - 1), CodeDirectory(slice, types[i], inputs));
    if (HasSpecialSlots(inputs)) {
        std::string wrapper;
        PutBig32(wrapper, BlobWrapperMagic);
        PutBig32(wrapper, 8);
        blobs.emplace_back(WrapperSlot, wrapper);
    }
    std::string index, data;
    const size_t headerSize = 12 + 8 * blobs.size();
    for (const auto& [type, blob] : blobs) {
        PutBig32(index, type);
        PutBig32(index, uint32_t(headerSize + data.size()));
        data += blob;
    }
    std::string signature;
    PutBig32(signature, EmbeddedSignatureMagic);
    PutBig32(signature, uint32_t(headerSize + data.size()));
    PutBig32(signature, uint32_t(blobs.size()));
    return signature + index + data;
}

// How large the largest signature this signer makes for the slice is.
uint64_t RoomNeeded(const TSlice& slice, size_t identifierRoom) {
    TSlice sized;
    sized.Headers = slice.Headers;
    const uint64_t pages = PageCount(slice.Headers.SignatureOffset);
    for (TCodeHashType type : {TCodeHashType::Sha1, TCodeHashType::Sha256})
        sized.PageHashes[HashIndex(type)].assign(size_t(pages * HashSize(type)), '\0');
    const std::string named;
    TSignatureInputs inputs;
    inputs.Identifier.assign(identifierRoom, 'x');
    inputs.InfoPlist = inputs.Resources = &named;
    inputs.HashTypes = {TCodeHashType::Sha256, TCodeHashType::Sha1};
    return BuildSignature(sized, inputs).size();
}

TSigningPlan Failed(TSigningFailure failure) {
    TSigningPlan plan;
    plan.Failure = failure;
    return plan;
}

}  // namespace

TSigningPlan PlanAdHocSignature(TStream& file, const TSignatureInputs& inputs) {
    TSigningPlan plan;
    plan.Failure = ScanSlices(file, TScanDepth::Pages, true, [&](TSlice& slice) {
        if (!slice.Signed()) return TSigningFailure::NoSignature;
        if (SignatureHolds(slice, inputs)) return TSigningFailure::None;
        TFilePatch patch;
        patch.Offset = slice.Offset + slice.Headers.SignatureOffset;
        patch.Bytes = BuildSignature(slice, inputs);
        if (patch.Bytes.size() > slice.Headers.SignatureSize) return TSigningFailure::NoRoom;
        patch.Bytes.resize(slice.Headers.SignatureSize, '\0');
        plan.Patches.push_back(std::move(patch));
        return TSigningFailure::None;
    });
    return plan.Failure == TSigningFailure::None ? plan : Failed(plan.Failure);
}

TSigningPlan PlanUnsigned(TStream& file) {
    TSigningPlan plan;
    plan.Failure = ScanSlices(file, TScanDepth::Headers, false, [&](TSlice& slice) {
        if (!slice.Signed()) return TSigningFailure::None;
        TMachOHeaders headers = slice.Headers;
        std::vector<uint8_t>& bytes = headers.Bytes;
        const size_t at = headers.SignatureAt, size = headers.Get32(at + 4);
        bytes.erase(bytes.begin() + ptrdiff_t(at), bytes.begin() + ptrdiff_t(at + size));
        bytes.resize(slice.Headers.Bytes.size(), 0);
        headers.Put32(16, headers.Get32(16) - 1);
        headers.Put32(20, headers.Get32(20) - uint32_t(size));
        plan.Patches.push_back({slice.Offset, std::string(bytes.begin(), bytes.end())});
        plan.Patches.push_back({slice.Offset + headers.SignatureOffset, std::string(headers.SignatureSize, '\0')});
        return TSigningFailure::None;
    });
    return plan.Failure == TSigningFailure::None ? plan : Failed(plan.Failure);
}

TRoomyFile WithSignatureRoom(const std::string& file, size_t identifierRoom) {
    TRoomyFile roomy;
    roomy.Bytes = file;
    auto failed = [&file](TSigningFailure failure) {
        TRoomyFile kept;
        kept.Bytes = file;
        kept.Failure = failure;
        return kept;
    };
    TRef<TMemoryStream> stream = MakeRef<TMemoryStream>();
    stream->Write(file.data(), int32_t(std::min<size_t>(file.size(), TMemoryStream::GrowLimit)));
    stream->SetPosition(0);
    TMachOContainer container;
    TForwardReader reader(*stream);
    ReadMachOContainer(reader, container);
    stream->SetPosition(0);
    std::vector<TSlice> slices;
    roomy.Failure = ScanSlices(*stream, TScanDepth::Headers, true, [&](TSlice& slice) {
        if (!slice.Signed()) return TSigningFailure::NoSignature;
        slices.push_back(slice);
        return TSigningFailure::None;
    });
    if (roomy.Failure != TSigningFailure::None) return roomy;

    std::vector<std::string> grown;
    for (TSlice& slice : slices) {
        TMachOHeaders& headers = slice.Headers;
        const uint64_t needed = RoundUp(RoomNeeded(slice, identifierRoom), 16);
        std::string bytes = file.substr(size_t(slice.Offset), size_t(slice.Size));
        if (needed > headers.SignatureSize) {
            const uint64_t more = needed - headers.SignatureSize;
            TMachOSegment& linkEdit = headers.LinkEdit;
            linkEdit.FileSize += more;
            const uint64_t page = headers.CpuType == MachOCpu::Arm64 ? 0x4000 : 0x1000;
            linkEdit.VmSize = std::max(linkEdit.VmSize, RoundUp(linkEdit.FileSize, page));
            if (!headers.Is64 && (linkEdit.VmSize > UINT32_MAX || linkEdit.FileSize > UINT32_MAX))
                return failed(TSigningFailure::NoRoom);
            headers.Put32(headers.SignatureAt + 12, uint32_t(needed));
            if (headers.Is64) {
                headers.Put64(linkEdit.CommandAt + 32, linkEdit.VmSize);
                headers.Put64(linkEdit.CommandAt + 48, linkEdit.FileSize);
            } else {
                headers.Put32(linkEdit.CommandAt + 28, uint32_t(linkEdit.VmSize));
                headers.Put32(linkEdit.CommandAt + 36, uint32_t(linkEdit.FileSize));
            }
            std::copy(headers.Bytes.begin(), headers.Bytes.end(), bytes.begin());
            bytes.resize(size_t(slice.Size + more), '\0');
            roomy.Grown = true;
        }
        grown.push_back(std::move(bytes));
    }
    if (!roomy.Grown) return roomy;
    if (!container.Universal) {
        roomy.Bytes = grown[0];
        return roomy;
    }
    // The table again, each slice at its alignment after the one before.
    std::string out(container.Head.begin(), container.Head.end());
    for (size_t i = 0; i < grown.size(); ++i) {
        const TMachOSliceEntry& entry = container.Slices[i];
        if (entry.Align > MostAlignment) return failed(TSigningFailure::NotMachO);
        const uint64_t offset = RoundUp(out.size(), uint64_t(1) << entry.Align);
        std::string field;
        if (container.Wide) {
            PutBig64(field, offset);
            PutBig64(field, grown[i].size());
        } else if (offset + grown[i].size() <= UINT32_MAX) {
            PutBig32(field, uint32_t(offset));
            PutBig32(field, uint32_t(grown[i].size()));
        } else {
            return failed(TSigningFailure::NoRoom);
        }
        out.replace(entry.EntryAt + 8, field.size(), field);
        out.resize(size_t(offset), '\0');
        out += grown[i];
    }
    roomy.Bytes = std::move(out);
    return roomy;
}

std::vector<TCodeHashType> SignatureHashTypes(TStream& file) {
    std::vector<TCodeHashType> types;
    ScanSlices(file, TScanDepth::Signature, false, [&types](TSlice& slice) {
        std::vector<TDirectory> directories;
        if (!slice.Signed() || !ReadDirectories(slice.Signature, directories)) return TSigningFailure::None;
        for (const TDirectory& directory : directories) types.push_back(directory.Type);
        // The first signed slice says it.
        return TSigningFailure::NoSignature;
    });
    return types;
}
