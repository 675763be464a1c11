// What the parts of TZipStructure (reading the directory, the recovery
// scan, writing) share; private to this folder.
#pragma once
#include <initializer_list>
#include "Archivers/Zip/ZipStructure.h"

namespace ZipStructureParts {

// DOS attribute bits and the tree's elements they map to.
struct TDosAttribute {
    uint8_t Bit;
    TArchAttribute Element;
};
inline constexpr TDosAttribute DosAttributes[] = {
    {0x01, TArchAttribute::ReadOnly}, {0x02, TArchAttribute::Hidden},  {0x04, TArchAttribute::System},
    {0x10, TArchAttribute::Folder},   {0x20, TArchAttribute::Archive},
};

// Tools on macOS and Linux write UTF-8 names without flag bit 11. Bytes
// that decode as UTF-8 and back unchanged are taken as such; plain ASCII
// reads the same either way.
bool IsUtf8BeyondAscii(const uint8_t* bytes, int32_t count);

// A stored name as a tree path, a trailing separator marking a folder. Empty
// components are left out; the entry keeps its stored name, to be listed,
// tested and refused on extraction.
WideString TreePath(WideString name, bool& isFolder);

void SetItemTimes(TArchItem* item, uint32_t dosTime);

// Replaces each value that holds the ZIP64 marker with the next of the
// ZIP64 field; EArchiveBroken when the field is too short.
void ReadZip64Values(TConstByteSpan extra, std::initializer_list<uint64_t*> values);

// Whether every block of an extra field ends inside it. Fewer bytes than a
// block header at its end are padding, as aligning tools leave.
bool ExtraBlocksFit(TConstByteSpan extra);

}  // namespace ZipStructureParts
