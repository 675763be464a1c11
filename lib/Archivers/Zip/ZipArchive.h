// The ZIP kind of archive, on a stream it is given: extracts marked entries
// through the callback and saves changes in place (removed blocks cut out,
// new data appended), undone when the save fails.
#pragma once
#include <map>
#include <vector>
#include "Archivers/Archive.h"
#include "Archivers/Zip/BoundedStream.h"
#include "Archivers/Zip/ZipPasswordStream.h"
#include "Archivers/Zip/ZipStructure.h"
#include "Compression/CompressionMethods.h"
#include "Compression/DeflateStream.h"
#include "Compression/UnpackStream.h"
#include "Streams/FilterStream.h"
#include "Streams/StreamUtil.h"

// "compression method <n>", with the name other tools give it.
AnsiString ZipMethodText(uint16_t method);

class TZipArchive : public TArchive {
public:
    static constexpr int32_t IoBufferSize = ZipRecord::BufferSize;
    // The highest level index a save takes (the deflate levels).
    static constexpr int MaxLevel = int(std::size(TDeflateStream::LevelTable)) - 1;

    TZipArchive();

    // The directory as read or last saved; its entries are changed through
    // the archive (ReplaceEntry, SetEntryMode, the tree's marks).
    TZipStructure* Structure() const { return FStructure.Get(); }
    // A save encrypts what it writes. Nothing in the program sets it.
    bool Encrypt = false;

    TStream* GetStream() override { return ArchiveStream; }
    void SetStream(TStream* stream) override { ArchiveStream = stream; }
    WideString GetFileName() override { return FileName; }
    // Stores the name, then fails an assertion: only streams are supported.
    void SetFileName(const WideString& name) override;
    TArchItem* AddFile(const WideString& path, int64_t size) override;
    // A folder entry for path, marked for adding; none when the path
    // cannot be placed.
    TArchItem* AddFolderEntry(const WideString& path);
    // The next save writes size bytes of new data (OnPackItem) for entry,
    // dated time, as a Unix file of mode; name, place and comment stay, the
    // old data's extra fields go.
    void ReplaceEntry(TZipItem* entry, int64_t size, const TSystemTime& time, uint32_t unixMode);
    // The next save gives entry this Unix mode in its directory record,
    // above the MS-DOS attribute bits.
    void SetEntryMode(TZipItem* entry, uint32_t unixMode);
    void Open() override;
    // Raises EArchiveAbort "User aborted" on a stop, and after an entry
    // whose bad header or CRC the callback left unhandled (Aborted set).
    void Extract() override;
    // Extracts these file entries in this order, marks unchanged; they may
    // be another archive's over the same bytes.
    void ExtractEntries(const std::vector<TZipItem*>& entries);
    // What extraction checks before it reads an entry's data: the local
    // header against the directory record, where the data may lie, and the
    // local extra field. Raises EArchiveDamaged naming the entry.
    void CheckRecords(TZipItem* entry);
    // On any failure the stream regains its earlier bytes and length
    // (unless KeepsRollback is off), the old directory stays in force, and
    // the failure is raised again. A level above MaxLevel is refused before
    // anything changes.
    // Writes in an order the web page's working copy relies on, as it cannot
    // read back a chunk once a write has started past it: the stream is read
    // (headers, the blocks kept for rollback) before anything is written;
    // nothing in front of the first removed block is written; the cut moves
    // the kept data down front to back, each piece read from bytes no write
    // has reached, and ends the stream where its writes end; new entries,
    // their local headers finished in place, then the directory follow at
    // the end. Only the rollback of a failed save reads back what it wrote.
    void Save(int level) override;
    // Called by a save before the directory, with the entries it is about
    // to write (whose records may still change): what it raises fails the
    // save. The old entries are freed after it, so that their readers can
    // be waited for.
    std::function<void(TZipStructure& written)> BeforeDirectory;
    // Off where the stream is a scratch layer its caller throws away when a
    // save fails: the save then copies nothing it cuts to put back, and a
    // failed save leaves the stream as it stopped (the tree is still put
    // back).
    bool KeepsRollback = true;
    void Clear() override;

    // Progress of the cut during a save: the first answers true to stop.
    virtual bool CutProgress(int64_t position);
    virtual void CutProgress2(int64_t position);
    virtual void PackProgress(TStream* stream);
    virtual void UnpackProgress(TStream* stream);
    // The structure's item factory.
    virtual TArchItem* CreateItem(const WideString& path, bool isFolder);
    // Data packed ahead with the save's packer and level: an override
    // writes it at dest with its CRC and unpacked size, or returns false to
    // have the item packed here. Not asked when the save encrypts.
    virtual bool CopyPackedItem(TArchItem* item, TStream* dest, uint32_t& crc, uint64_t& size);

    // The class registered for a ZIP method; none when there is none.
    const TPackStreamClass* Packer(uint16_t method) const;
    const TUnpackStreamClass* Unpacker(uint16_t method) const;

    // For encrypted entries; only tests set one.
    void SetPassword(const WideString& password) { FPassword = password; }

    // The entries come from a scan of the local headers: without
    // attributes, perhaps incomplete.
    bool DirectoryRecovered() const { return FStructure->Recovered(); }

protected:
    void Dispose() override;
    // Bytes of the operation done so far: the base of the total progress.
    uint64_t BytesDone = 0;
    // One marked file entry; a subclass may catch what it raises.
    virtual void ExtractMarkedEntry(TZipItem* entry) { ExtractEntry(entry); }

private:
    TRef<TZipStructure> FStructure;
    TStream* ArchiveStream = nullptr;  // borrowed
    WideString FileName;
    // Allocated for the duration of an extraction or a save.
    std::vector<uint8_t> IoBuffer;

    // An entry's local header, and where extraction goes on from it.
    struct TLocalHeader : TZipLocalHeader {
        int64_t DataStart = 0;
        // Where the archive stream stands after the header was read.
        int64_t ReadTo = 0;
    };
    // False when there is no local header at the entry's offset; raises
    // EArchiveDamaged when it names another entry.
    bool ReadLocalHeader(TZipItem* entry, TLocalHeader& header);
    void CheckLocalValues(TZipItem* entry, TLocalHeader& header, int64_t extraStart);
    void CheckPlacement(TZipItem* entry, const TLocalHeader& header);
    void CheckLength(TZipItem* entry, TUnpackStream* unpack);
    void ExtractEntry(TZipItem* entry);
    void ExtractEntries(const std::vector<TZipItem*>& entries, bool clearMarks);
    void PlanSave(TZipStructure* target, std::vector<TStreamBlock>& blocks, int64_t streamSize);
    void MoveDownByCut(TZipStructure* target, const std::vector<TStreamBlock>& blocks);
    int64_t OldBlockLength(TZipItem* entry);
    void WriteEntries(TZipStructure* target, int level);
    void PackEntry(TZipStructure* target, TZipItem* entry, int level);
    // The descriptor after the data of an entry flagged to have one.
    void WriteDescriptor(TZipItem* entry);
    void RewriteLocalHeaders(TZipStructure* target);
    void ReadExact(int64_t offset, int32_t count, const char* brokenMessage);
    // ReadExact that answers false instead of raising when the archive ends first.
    bool TryReadExact(int64_t offset, int32_t count);
    TRef<TZipPasswordStream> NewPasswordStream(TZipStructure* structure);

    // Slots by ZIP method, filled from the registries at construction.
    std::map<uint16_t, const TPackStreamClass*> FPackers;
    std::map<uint16_t, const TUnpackStreamClass*> FUnpackers;
    WideString FPassword;
    // Structure's directory is in the stream (read or written there), to be
    // cut out with the end record on the next save.
    bool FDirectoryInStream = false;
    // During an extraction: the archive stream, ending where the current
    // entry's packed data ends.
    TRef<TBoundedStream> FDataWindow;
    // During an extraction: where the stream stands after the last entry,
    // -1 when not known; the next local header there is read without a seek.
    int64_t FStreamAt = -1;
    // Present during an extraction, and during a save that encrypts.
    TRef<TZipPasswordStream> FPasswordStream;
    // Entry data passes through it during an extraction or a save.
    TRef<TCrc32Stream> FCrcStream;
};
