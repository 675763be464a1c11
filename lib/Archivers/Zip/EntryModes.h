// How archive entries were stored, by the entry's path in the archive tree
// ('\'-separated). A presentation packed on a Mac keeps its programs and
// links only through their Unix modes; tools on macOS and Linux write UTF-8
// names without flag bit 11, and written back with the same bytes and flag
// such a name reads the same there after a repack. The unzipper collects
// them and the zipper writes them back.
#pragma once
#include <vector>
#include "Foundation/CodePages.h"
#include "Foundation/Types.h"

namespace UnixMode {
constexpr uint32_t RegularFile = 0100000;
constexpr uint32_t Program = RegularFile | 0755;
// Its data is the path it points at.
constexpr uint32_t SymbolicLink = 0120777;
}  // namespace UnixMode

struct TEntryForm {
    bool HasUnixMode = false;
    bool Utf8Flag = false;
    uint32_t UnixMode = 0;  // external attributes (mode << 16)
    // The name's bytes; empty when they are the path itself in ASCII with
    // '/' separators, as a new entry's name is written anyway.
    TByteString NameBytes;
};

// One compact record per entry, its path held once in UTF-8: archives of
// tens of thousands of entries pass through a repack.
class TEntryForms {
public:
    // A path recorded again keeps its last form.
    void Add(const WideString& path, TEntryForm form);
    void SetUnixMode(const WideString& path, uint32_t mode);
    // None when the path was not recorded.
    const TEntryForm* Find(const WideString& path) { return FindForm(path); }
    size_t Size() const { return FRecords.size(); }
    void Reserve(size_t count) { FRecords.reserve(count); }
    void Clear();

private:
    struct TRecord {
        TByteString Path;
        TEntryForm Form;
    };
    // Sorts by path before a search, keeping the last of equal paths.
    void Sort();
    TEntryForm* FindForm(const WideString& path);

    std::vector<TRecord> FRecords;
    bool FSorted = true;
};

// Archive paths use '\'; the file system its own separator; stored names '/'.
WideString NativePath(WideString archivePath);
WideString ArchivePath(WideString nativePath);
WideString StoredPath(WideString archivePath);

// Refuses a stored entry name that could reach outside the folder it is
// extracted into: raises EArchiveBroken naming the entry.
void CheckEntryName(const WideString& name);
