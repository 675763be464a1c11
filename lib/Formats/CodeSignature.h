// Ad-hoc code signatures of Mach-O files, thin and universal, every slice:
// what a file's signature would be for a bundle's files, written inside
// the room the file's signatures already take, so that every other byte
// (and a universal file's layout) stays as it is.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "Streams/Streams.h"

enum class TCodeHashType : uint8_t { Sha1 = 1, Sha256 = 2 };

namespace CodeSignFlags {
constexpr uint32_t Adhoc = 0x2;
constexpr uint32_t LinkerSigned = 0x20000;
}  // namespace CodeSignFlags

// What a signature names besides the code. A bundle's program names its
// Info.plist (special slot 1), an empty requirement set (slot 2) and the
// bundle's seal, _CodeSignature/CodeResources (slot 3); a null pointer
// leaves that slot zero. With none of the three and Requirements false the
// signature has no special slots, as a linker's own has.
struct TSignatureInputs {
    std::string Identifier;  // the bundle's CFBundleIdentifier
    const std::string* InfoPlist = nullptr;
    const std::string* Resources = nullptr;
    bool Requirements = true;
    // The first is the CodeDirectory at slot 0, the others alternates.
    std::vector<TCodeHashType> HashTypes{TCodeHashType::Sha256};
    uint32_t Flags = CodeSignFlags::Adhoc;
};

// Bytes to write over the file at Offset.
struct TFilePatch {
    uint64_t Offset = 0;
    std::string Bytes;
};

enum class TSigningFailure {
    None,
    NotMachO,     // not a Mach-O file, or its headers are cut short
    NoSignature,  // a slice has no LC_CODE_SIGNATURE
    Layout,       // the signature is not last in __LINKEDIT at the slice's end
    NoRoom,       // the new signature is larger than the room it has
};

struct TSigningPlan {
    // One per slice that changes: its whole signature space, the new
    // signature then zeros. None when every slice's signature already holds
    // for these inputs (its page hashes, and slots 1 and 3 those of the
    // inputs), whoever made it: the file is then kept as it is.
    std::vector<TFilePatch> Patches;
    TSigningFailure Failure = TSigningFailure::None;
};

// Reads the file from the stream's position (its start) to its end, front
// to back, a page at a time. The exec-segment fields come from __TEXT;
// codeLimit is the signature's offset in its slice.
TSigningPlan PlanAdHocSignature(TStream& file, const TSignatureInputs& inputs);

// The patches that leave the file unsigned, its layout kept: each slice's
// LC_CODE_SIGNATURE taken out of its load commands and its signature
// zeroed. None when no slice is signed; NotMachO as above.
TSigningPlan PlanUnsigned(TStream& file);

// A copy of a Mach-O file whose every slice has room for an ad-hoc
// signature with an identifier of up to identifierRoom bytes and both hash
// types: a thin file grows at its end, a universal one is laid out anew at
// its slices' alignment. Not grown when it has that room already; Failure
// (and the file unchanged) where a slice has no signature to grow or its
// signature is not last.
struct TRoomyFile {
    std::string Bytes;
    bool Grown = false;
    TSigningFailure Failure = TSigningFailure::None;
};
TRoomyFile WithSignatureRoom(const std::string& file, size_t identifierRoom);

// The hash types of the first signed slice's CodeDirectories, the primary
// first; none where no slice is signed or its signature cannot be read.
std::vector<TCodeHashType> SignatureHashTypes(TStream& file);
