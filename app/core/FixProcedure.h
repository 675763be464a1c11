// The fix every front end shares: the carried viewer written over a
// presentation's old one, in a folder or in an archive.
#pragma once
#include <vector>
#include "BundleRules.h"
#include "FixProgress.h"
#include "Foundation/Types.h"
#include "Streams/OverlayStream.h"

// What a fix, a check or a restore came to. Every front end tells them
// apart by this and shows OutcomeText's words for them.
enum class TOutcome : uint8_t {
    Pending,  // no outcome yet
    Done,
    Refused,
    // The viewer already is the carried one: nothing was backed up or written.
    AlreadyFixed,
    // What a check finds that a fix would change.
    NeedsFixing,
    // A restore put a backup back in the show's place.
    Restored,
    // Every backup there is (if any) holds a fixed show: nothing changed.
    NothingToRestore,
    // The backup a restore would take is unreadable or holds no presentation.
    BackupDamaged,
};
// "Done!", "Already fixed", ...
const char* OutcomeText(TOutcome outcome);

// A fix, or a check that changes nothing and tells what a fix would do.
enum class TFixMode { Fix, Check };

// What a fix of a picked folder or archive did.
struct TFixResult {
    TFixResult() = default;
    // An outcome alone: nothing was backed up.
    TFixResult(TOutcome outcome) : Outcome(outcome) {}
    TOutcome Outcome = TOutcome::Pending;
    WideString Backup;  // the backup this fix made, or the one a restore took; empty when none
    // Where a restore kept the show it replaced, and whether that was a
    // fixed one (a second restore keeps an original).
    WideString Kept;
    bool KeptFixed = false;
    // The bundle folder a folder's fix judged: the one picked, or the one
    // show in the folder it was exported to; empty for an archive.
    WideString BundleFolder;
    // The archive made to send the show in (SendArchive.h).
    WideString ToSend;
    // The bundle fixed inside an archive, when not named after the archive.
    WideString Bundle;
    // The backup has the name the user expects (Show.bak.zip, Show.app.bak).
    bool UsualBackupName = false;
    // Programs given back the execute permission lost on the way through
    // Windows; after a check, those that lack it.
    int32_t Programs = 0;
    // The viewer is (or, after a check, would be) written anew.
    bool NewViewer = false;
    // Refused for several shows where one was looked for (a note names them).
    bool SeveralShows = false;
    // What the show needs that the fix cannot give (BundleRules.h), and
    // whether that keeps it from starting on a current Mac.
    std::vector<AnsiString> Notes;
    std::vector<AnsiString> Commands;
    bool CannotStart = false;
    void Note(const TBundleNotes& notes) {
        Notes = notes.Lines;
        Commands = notes.Commands;
        CannotStart = notes.CannotStart;
    }
    bool operator==(TOutcome outcome) const { return Outcome == outcome; }
    bool operator!=(TOutcome outcome) const { return Outcome != outcome; }
};

// Whether an outcome line names a backup of the usual name too.
enum class TBackupMention { Always, WhenUnusual };

// The outcome as a line for the user, notes left out: "Done! (execute
// permission restored on 3 programs; backup: Show.bak (2).zip; to send:
// Show.zip)".
WideString DescribeFix(const TFixResult& result, TBackupMention mention = TBackupMention::Always);
// The line and, after it, each note on a line of its own ("Note: ..."),
// then the Terminal lines the notes call for, unless told to leave them to
// the caller.
enum class TCommandMention { Included, LeftOut };
WideString DescribeFixAndNotes(const TFixResult& result, TBackupMention mention, const WideString& lineBreak,
                               TCommandMention commands = TCommandMention::Included);
// The Terminal lines of a fix with what they are for, one per line; empty
// when there are none.
WideString DescribeCommands(const TFixResult& result, const WideString& lineBreak);

// The files the check looks at, inside a bundle folder.
WideString ViewerPath(const WideString& bundleFolder);
WideString MarkerPath(const WideString& bundleFolder);

// What the user picked, links followed as the system follows them (".."
// after a link included); raises when it is not there.
WideString PickedPath(const WideString& given);

// What the bundle rules make of a bundle folder as it is now.
TBundleState JudgeBundleFolder(const WideString& bundleFolder);

// Writes the payload over the viewer of a bundle folder, without a backup:
// TOutcome::Done, Refused or AlreadyFixed. Failures raise and leave the
// old viewer in place; a link on the viewer's way is refused.
TOutcome FixPresentation(const WideString& bundleFolder);

// Folder mode: a folder that needs neither the payload nor execute
// permission for its programs is left alone; otherwise it is backed up
// (Backups.h) and fixed. A failed backup raises before the bundle changes;
// a progress event that raises stops the fix there.
TFixResult FixBundleFolder(const WideString& folder, const TFixProgress& progress = {}, TFixMode mode = TFixMode::Fix);

// ZIP mode: an archive that is damaged, holds no presentation, is already
// fixed or cannot be replaced is left alone. Otherwise every entry is
// checked, the archive is backed up (Backups.h), and a staged copy with the
// viewer entry written anew and Unix modes given (ShowEdits.h) takes its
// place with its owner, permissions and attributes. A failure anywhere
// leaves the archive unchanged and removes the backup this fix made. A
// picked link is followed and stays a link.
TFixResult FixBundleArchive(const WideString& archive, const TFixProgress& progress = {},
                            TFixMode mode = TFixMode::Fix);

// ZIP mode for a browser, where the picked file stays the original: no
// backup and no staged copy, and nothing is written to the archive. What
// the save writes goes into written at the offsets it has in the fixed
// archive; layout then says, stretch by stretch, where every byte of the
// fixed archive is: in written, in the archive from an offset (the entries
// the save moves), or zeros. Nothing the fix leaves as it was is copied.
TFixResult FixBundleArchiveOnTop(const WideString& archive, TStream* written, std::vector<TOverlayStretch>& layout,
                                 const TFixProgress& progress = {});
