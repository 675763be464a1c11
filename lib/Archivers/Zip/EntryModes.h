// Modes and names of archive entries: the Unix modes that keep programs and
// links, the three spellings of a path, and the names refused as unsafe.
#pragma once
#include <string_view>
#include "Foundation/Types.h"

namespace UnixMode {
constexpr uint32_t RegularFile = 0100000;
constexpr uint32_t Program = RegularFile | 0755;
constexpr uint32_t File = RegularFile | 0644;
constexpr uint32_t Folder = 0040755;
// Its data is the path it points at.
constexpr uint32_t SymbolicLink = 0120777;
constexpr uint32_t TypeBits = 0170000;
constexpr bool IsLink(uint32_t mode) { return (mode & TypeBits) == (SymbolicLink & TypeBits); }
// Some writers store the permission bits alone.
constexpr bool IsRegularFile(uint32_t mode) { return (mode & TypeBits) == RegularFile || (mode & TypeBits) == 0; }
// A program may be run by whoever may read it; no bit is taken away.
constexpr uint32_t WithExecute(uint32_t mode) { return mode | (mode & 0444) >> 2; }
}  // namespace UnixMode

// The mode an entry is stored with, so that a Mac unpacks it as it should:
// the file's own (ownMode; 0 where the system keeps none: then a program
// 0755, another file 0644, a folder 0755), a program with the execute bit
// of each class that may read it. No bit is taken away.
uint32_t ModeToStore(uint32_t ownMode, bool folder, bool program);
// Whether ModeToStore would give ownMode more for a program: only then does
// it matter whether the file is one.
bool ProgramWouldGain(uint32_t ownMode);
// An entry's external attributes for a Unix host: the mode in the high 16
// bits and, as other zippers write them, the DOS folder and read-only bits
// in the low byte.
uint32_t UnixExternalAttributes(uint32_t mode);

// Archive paths use '\'; the file system its own separator; stored names '/'.
WideString NativePath(WideString archivePath);
WideString ArchivePath(WideString nativePath);
WideString StoredPath(WideString archivePath);

// Whether a stored entry name could reach outside the folder it is
// extracted into: an absolute path, a drive letter, a ".." component. All
// of that is ASCII in every code page, so a name's bytes tell as well.
template <class Char>
bool ReachesOutside(std::basic_string_view<Char> name) {
    auto separator = [](Char c) { return c == Char('/') || c == Char('\\'); };
    if (name.empty() || separator(name[0]) || (name.size() >= 2 && name[1] == Char(':'))) return true;
    for (size_t start = 0, end; start <= name.size(); start = end + 1) {
        end = start;
        while (end < name.size() && !separator(name[end])) ++end;
        if (end - start == 2 && name[start] == Char('.') && name[start + 1] == Char('.')) return true;
    }
    return false;
}
inline bool ReachesOutside(const WideString& name) { return ReachesOutside(std::u16string_view(name)); }
// Raise EArchiveBroken naming the entry: CheckEntryPath for a name that
// reaches outside, CheckEntryName also for one no file can be named after.
void CheckEntryPath(const WideString& name);
void CheckEntryName(const WideString& name);
