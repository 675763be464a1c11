// Modes and names of archive entries: the Unix modes through which a
// presentation packed on a Mac keeps its programs and links, the three
// spellings of a path (archive tree, file system, stored), and the names
// refused as unsafe.
#pragma once
#include "Foundation/Types.h"

namespace UnixMode {
constexpr uint32_t RegularFile = 0100000;
constexpr uint32_t Program = RegularFile | 0755;
// Its data is the path it points at.
constexpr uint32_t SymbolicLink = 0120777;
constexpr uint32_t TypeBits = 0170000;
constexpr bool IsLink(uint32_t mode) { return (mode & TypeBits) == (SymbolicLink & TypeBits); }
}  // namespace UnixMode

// Archive paths use '\'; the file system its own separator; stored names '/'.
WideString NativePath(WideString archivePath);
WideString ArchivePath(WideString nativePath);
WideString StoredPath(WideString archivePath);

// Whether a stored entry name could reach outside the folder it is
// extracted into.
bool ReachesOutside(const WideString& name);
// Raise EArchiveBroken naming the entry: CheckEntryPath for a name that
// reaches outside, CheckEntryName also for one no file can be named after.
void CheckEntryPath(const WideString& name);
void CheckEntryName(const WideString& name);
