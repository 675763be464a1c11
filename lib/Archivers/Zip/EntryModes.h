// Unix modes of archive entries, by the entry's path in the archive tree
// ('\'-separated). A presentation packed on a Mac keeps its programs and
// links only through these; the unzipper collects them and the zipper
// writes them back.
#pragma once
#include <map>
#include "Foundation/CodePages.h"
#include "Foundation/Types.h"

using TEntryModes = std::map<WideString, uint32_t>;  // path -> external attributes (mode << 16)

namespace UnixMode {
constexpr uint32_t RegularFile = 0100000;
constexpr uint32_t Program = RegularFile | 0755;
}  // namespace UnixMode

// How an entry's name was stored, by the entry's path in the archive tree.
// Tools on macOS and Linux write UTF-8 without the flag; written back with
// the same bytes and flag, the name reads the same there after a repack.
struct TStoredName {
    TByteString Bytes;
    bool Utf8Flag = false;
};
using TEntryNames = std::map<WideString, TStoredName>;

// Archive paths use '\'; the file system its own separator; stored names '/'.
WideString NativePath(WideString archivePath);
WideString ArchivePath(WideString nativePath);
WideString StoredPath(WideString archivePath);

// Refuses a stored entry name that could reach outside the folder it is
// extracted into: raises EArchiveBroken naming the entry.
void CheckEntryName(const WideString& name);
