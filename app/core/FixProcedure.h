// The fix itself, shared by every front end: check that a bundle holds a
// presentation and write the carried viewer over the old one, in a folder
// or in an archive.
#pragma once
#include <functional>
#include <vector>
#include "BundleRules.h"
#include "FixProgress.h"
#include "Foundation/Types.h"

namespace FixOutcome {
inline constexpr char Done[] = "Done!";
// Deliberate spelling: the text stays as it has always been shown.
inline constexpr char Refused[] = "Slideshow damaged or made not in NVX 8.0";
// The viewer already is the carried one: nothing was backed up or written.
inline constexpr char AlreadyFixed[] = "Already fixed";
// What a check finds that a fix would change.
inline constexpr char NeedsFixing[] = "Needs fixing";
// A restore put a backup back in the show's place.
inline constexpr char Restored[] = "Restored";
// Every backup there is (if any) holds a fixed show: nothing changed.
inline constexpr char NothingToRestore[] = "Nothing to restore";
// The backup a restore would take cannot be read whole or holds no
// presentation: nothing changed.
inline constexpr char BackupDamaged[] = "Backup damaged";
}  // namespace FixOutcome

// A fix, or a check that changes nothing and tells what a fix would do.
enum class TFixMode { Fix, Check };

// What a fix of a picked folder or archive did.
struct TFixResult {
    TFixResult() = default;
    // An outcome alone: nothing was backed up.
    TFixResult(const char* outcome) : Outcome(outcome) {}
    AnsiString Outcome;  // one of the FixOutcome texts
    WideString Backup;   // the backup this fix made, or the one a restore took; empty when none
    // Where a restore kept the fixed show it replaced.
    WideString Kept;
    // The bundle fixed inside an archive, when it is not named after the
    // archive; empty otherwise.
    WideString Bundle;
    // The backup has the name the user expects (Show.bak.zip, Show.app.bak).
    bool UsualBackupName = false;
    // Programs given back the execute permission lost on the way through
    // Windows; after a check, those that lack it.
    int32_t Programs = 0;
    // The viewer is (or, after a check, would be) written anew: a fix that
    // is not only the execute permission.
    bool NewViewer = false;
    // What the show still needs that the fix cannot give, one line each
    // (BundleRules.h); said after the outcome.
    std::vector<AnsiString> Notes;
    bool operator==(const char* outcome) const { return Outcome == outcome; }
};

// Whether an outcome line names a backup of the usual name too; one of
// another name, and a bundle not named after its archive, are always named.
enum class TBackupMention { Always, WhenUnusual };

// The outcome as a line for the user: "Done! (execute permission restored
// on 3 programs; backup: Show.bak (2).zip)"; the notes are not in it.
// The window keeps its line short ("Done!") when nothing is unexpected.
WideString DescribeFix(const TFixResult& result, TBackupMention mention = TBackupMention::Always);
// The line and, after it, each note on a line of its own ("Note: ...").
WideString DescribeFixAndNotes(const TFixResult& result, TBackupMention mention, const WideString& lineBreak);

// The files the check looks at, inside a bundle folder.
WideString ViewerPath(const WideString& bundleFolder);
WideString MarkerPath(const WideString& bundleFolder);

// What the user picked, where it really is: a link is followed (and stays
// a link), and ".." after a link means what the system means by it. Raises
// when it is not there.
WideString PickedPath(const WideString& given);

// What the bundle rules make of a bundle folder as it is now.
TBundleState JudgeBundleFolder(const WideString& bundleFolder);

// Writes the payload over the viewer of a bundle folder that holds a
// presentation; nothing is backed up. Returns FixOutcome::Done, Refused or
// AlreadyFixed (the viewer holds the payload: nothing is written); failures
// raise and leave the old viewer in place, and a folder on the viewer's way
// that is a link is refused with an error.
AnsiString FixPresentation(const WideString& bundleFolder);

// Folder mode: a folder that is no presentation, or that needs neither the
// payload nor execute permission for its programs (POSIX), is left alone;
// otherwise it is backed up to a new <folder>.bak (or "<folder>.bak (2)",
// ...) and fixed. A backup that fails raises before anything in the bundle
// changes; a progress event that raises stops the fix there. A picked link
// is followed.
TFixResult FixBundleFolder(const WideString& folder, const TFixProgress& progress = {}, TFixMode mode = TFixMode::Fix);

// ZIP mode: the archive is read once. One that is damaged, holds no
// presentation, is already fixed or cannot be replaced is left alone;
// otherwise every entry is checked against its checksum (on the zipper's
// number of workers), <name>.zip is backed up to a new <name>.bak.zip (or
// "<name>.bak (2).zip", ...), the viewer entry alone is written anew in a
// staged copy, entries without Unix modes get them (ShowArchive.h), and the
// copy takes the archive's place with its owner, permissions and
// attributes. A failure anywhere leaves the archive unchanged and removes
// the backup this fix made. A picked link is followed and stays a link.
TFixResult FixBundleArchive(const WideString& archive, const TFixProgress& progress = {},
                            TFixMode mode = TFixMode::Fix);

// ZIP mode on a working copy of the picked archive (a browser's file, seen
// through a copy-on-write view): the same road without the backup and the
// staged copy, since the picked file stays the original; the archive given
// is changed in place and put back as it was on any failure.
TFixResult FixBundleArchiveInPlace(const WideString& archive, const TFixProgress& progress = {});
