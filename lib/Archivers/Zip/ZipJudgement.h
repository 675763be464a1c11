// The one judgement of a ZIP archive that every reader of the program takes
// before it reads data: what in its records is damage (the directory
// against the local headers, each entry's place and extra fields, folder
// entries, the end records), and whether its bytes can be read as another
// archive besides. Wrong checksums and data are found by reading the data.
#pragma once
#include <vector>
#include "Archivers/Archive.h"

class TZipArchive;
class TZipItem;

struct TZipFinding {
    TZipItem* Entry;  // none where it concerns the archive as a whole
    AnsiString Cause;

    // "The entry "<name>" is damaged: <cause>", or "The archive is
    // damaged: <cause>".
    AnsiString Text() const;
};

// Whether a judgement reads the local records of file entries: the entry
// check (ZipEntryChecks.h) judges them as it reads each entry's data,
// which saves a pass over the archive where the data is read anyway.
enum class TFileRecords { Judged, LeftToEntryCheck };

class TZipJudgement {
public:
    // Of the archive as opened: its directory (or recovery scan) read.
    explicit TZipJudgement(TZipArchive* archive, TFileRecords files = TFileRecords::Judged);

    // The archive's damage first, then its entries' in the directory's order.
    std::vector<TZipFinding> Damage;
    // Why the same bytes read as another archive too; empty when they do not.
    AnsiString OtherReading;

    const TZipFinding* DamageOf(const TZipItem* entry) const;
    // "The archive can be read in two ways: <why>"; empty when it cannot.
    AnsiString OtherReadingText() const;
    // Raises the first damage, with the archive named by archiveName.
    void RefuseDamage(const WideString& archiveName) const;

private:
    void JudgeEnd(TZipArchive* archive);
    void JudgeEntry(TZipArchive* archive, TZipItem* entry, TFileRecords files);
};

// What is wrong with an entry's local header against the directory (its
// name, method, checksum and sizes, its extra field, where its data lies);
// empty when nothing is.
AnsiString LocalRecordsDamage(TZipArchive* archive, TZipItem* entry);
// Raises what LocalRecordsDamage finds, as extraction says it: "The entry
// "<name>" is damaged: <cause>".
void CheckLocalRecords(TZipArchive* archive, TZipItem* entry);
// What TFileRecords::LeftToEntryCheck left, for where the check does not
// run: the local records of every entry it would read, in the directory's
// order, the first damage raised.
void CheckFileRecords(TZipArchive* archive);

// What the fix refuses, raised with the archive named by zipPath: a missing
// or damaged directory, damage, and two readings.
void CheckArchiveSound(TZipArchive* archive, const WideString& zipPath, TFileRecords files = TFileRecords::Judged);
