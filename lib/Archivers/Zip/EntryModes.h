// How archive entries were stored, by the entry's path in the archive tree
// ('\'-separated). A presentation packed on a Mac keeps its programs and
// links only through their Unix modes; tools on macOS and Linux write UTF-8
// names without flag bit 11, and written back with the same bytes and flag
// such a name reads the same there after a repack. Times, extra fields,
// comments and the order of the entries are what the user had too. The
// unzipper collects them and the zipper writes them back.
#pragma once
#include <utility>
#include <vector>
#include "Foundation/CodePages.h"
#include "Foundation/Types.h"

namespace UnixMode {
constexpr uint32_t RegularFile = 0100000;
constexpr uint32_t Program = RegularFile | 0755;
// Its data is the path it points at.
constexpr uint32_t SymbolicLink = 0120777;
constexpr uint32_t TypeBits = 0170000;
constexpr bool IsLink(uint32_t mode) { return (mode & TypeBits) == (SymbolicLink & TypeBits); }
}  // namespace UnixMode

struct TEntryForm {
    TEntryForm(bool hasUnixMode = false, bool utf8Flag = false, uint32_t unixMode = 0, TByteString nameBytes = {})
        : HasUnixMode(hasUnixMode), Utf8Flag(utf8Flag), UnixMode(unixMode), NameBytes(std::move(nameBytes)) {}

    bool HasUnixMode = false;
    bool Utf8Flag = false;
    // External attributes (mode << 16 on Unix); with HasHost also those of
    // another host.
    uint32_t UnixMode = 0;
    // The name's bytes; empty when they are the path itself in ASCII with
    // '/' separators, as a new entry's name is written anyway.
    TByteString NameBytes;
    // What an entry carried over from an archive keeps besides.
    // Its place in the archive's directory; -1 for none.
    int32_t Order = -1;
    // Written with its host and external attributes as they were.
    bool HasHost = false;
    uint8_t Host = 0;
    bool DataDescriptor = false;
    bool HasDosTime = false;
    uint32_t DosTime = 0;

    // Extra fields (without ZIP64) of the local and central headers, and
    // the comment as stored.
    TByteString LocalExtra() const { return Stored.substr(0, LocalLength); }
    TByteString CentralExtra() const { return Stored.substr(LocalLength, CentralLength); }
    TByteString Comment() const { return Stored.substr(size_t(LocalLength) + CentralLength); }
    void SetStored(const TByteString& localExtra, const TByteString& centralExtra, const TByteString& comment);

    // The three in one string, most often empty; set through SetStored.
    TByteString Stored;
    uint16_t LocalLength = 0, CentralLength = 0;
};

// One compact record per entry, its path held once in UTF-8: archives of
// tens of thousands of entries pass through a repack.
class TEntryForms {
public:
    // A path recorded again keeps its last form.
    void Add(const WideString& path, TEntryForm form);
    void SetUnixMode(const WideString& path, uint32_t mode);
    // The entry at path holds new content with that mode: it keeps its
    // name, flag, place and comment, and takes its time anew, without the
    // extra fields that described the old file.
    void Renew(const WideString& path, uint32_t mode);
    // None when the path was not recorded.
    const TEntryForm* Find(const WideString& path) { return FindForm(path); }
    size_t Size() const { return FRecords.size(); }
    void Reserve(size_t count) { FRecords.reserve(count); }
    void Clear();

    // The archive's comment as stored.
    TByteString ArchiveComment;

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
