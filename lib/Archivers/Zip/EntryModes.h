// Unix modes of archive entries, by the entry's path in the archive tree
// ('\'-separated). A presentation packed on a Mac keeps its programs and
// links only through these; the unzipper collects them and the zipper
// writes them back.
#pragma once
#include <map>
#include "Types.h"

using TEntryModes = std::map<WideString, uint32_t>;  // path -> external attributes (mode << 16)

namespace UnixMode {
constexpr uint32_t RegularFile = 0100000;
constexpr uint32_t Program = RegularFile | 0755;
}  // namespace UnixMode

// Archive paths use '\'; the file system its own separator.
WideString NativePath(WideString archivePath);
WideString ArchivePath(WideString nativePath);

// Refuses a stored entry name that could reach outside the folder it is
// extracted into: raises EArchiveBroken naming the entry.
void CheckEntryName(const WideString& name);
