// The checks of a whole ZIP archive before anything is done with it, so that
// the unzipper and the fix raise the same errors for the same damage.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include "Archivers/Archive.h"
#include "Formats/MachO.h"

class TZipArchive;
class TZipItem;
class TZipStructure;

// Raises ENotZipArchive when the file (its stream) holds no archive at all:
// "\"<zipPath>\" is not a ZIP archive", or the bare cause without a path.
void CheckHoldsArchive(const TZipStructure* structure, TStream* stream, const WideString& zipPath);

// Refuses an archive whose directory is damaged (read from local headers).
void CheckDirectorySound(TZipArchive* archive, const WideString& zipPath);
// Refuses, naming the entry, an archive that cannot be read whole: a name
// that reaches outside the folder, an entry encrypted or of a method the
// program lacks.
void CheckArchiveReadable(TZipArchive* archive);

// Callbacks that raise EArchiveBroken, naming the entry, for a wrong
// checksum or a missing local header.
void RaiseOnEntryErrors(TDefaultCallBack* callback);

// Copies an entry's recorded size of data from stream to out; data that
// ends early or does not inflate raises EArchiveBroken naming the entry.
void CopyEntryData(TArchItem* item, TStream* stream, TStream* out);

// Told how many of the bytes of all entries have been checked.
using TCheckProgress = std::function<void(uint64_t done, uint64_t total)>;
// A stream of its own over the archive's bytes, for one worker.
using TArchiveReaderSource = std::function<TRef<TStream>()>;

// Whether the check reads the entry: a file (links included) with a name.
bool EntryCheckReads(TZipArchive* archive, const TZipItem* entry);

// The first HeadSize bytes of each entry put in before the check starts:
// what IsProgramFile looks at.
using TEntryHeads = std::unordered_map<const TZipItem*, std::string>;
constexpr size_t HeadSize = ProgramHeadSize;

// Unpacks every file entry into nothing against its checksum and size,
// judging its local records first as TZipJudgement does (so that a
// judgement may leave them to the check: TFileRecords), and raises what
// the first damaged entry in the directory's order raises,
// whatever the number of workers. Several workers read through streams from
// openReader on threads of their own while the caller goes on; one reads,
// in Finish, the stream the archive had when the check began.
// What the workers read is theirs: the construction copies each file
// entry's name, place, sizes, method, flags and checksum, and the workers
// read those copies and the bytes of their own streams, never the archive's
// entries or items. So the caller may change, save or free the archive's
// entries at any time; WaitFor only tells when the check of some entries
// is over. heads names the entries whose first bytes are wanted; their
// strings are filled by Finish.
class TEntryCheck {
public:
    TEntryCheck(TZipArchive* archive, int32_t workers, TArchiveReaderSource openReader, TEntryHeads* heads = nullptr);
    // Stops the workers where they are and waits for them.
    ~TEntryCheck();
    TEntryCheck(const TEntryCheck&) = delete;
    TEntryCheck& operator=(const TEntryCheck&) = delete;

    // Waits for the check (with one worker makes it here). progress is told
    // on the caller's thread; what it raises stops the check.
    void Finish(const TCheckProgress& progress = {});
    // Waits until the workers are done with these entries, however their
    // check ended (Finish tells), so that the caller may change them while
    // the workers go on with the rest; with one worker, Finish.
    void WaitFor(const std::vector<TZipItem*>& entries, const TCheckProgress& progress = {});

private:
    struct TWork;
    std::unique_ptr<TWork> FWork;
};
