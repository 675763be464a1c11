// The fix itself, shared by the window and the console program: check that
// a bundle folder holds a presentation and write the carried viewer over
// the old one.
#pragma once
#include <functional>
#include "FixProgress.h"
#include "Foundation/Types.h"
#include "Repack.h"

namespace FixOutcome {
inline constexpr char Done[] = "Done!";
// Deliberate spelling: the text stays as it has always been shown.
inline constexpr char Refused[] = "Slideshow damaged or made not in NVX 8.0";
// The viewer already is the carried one: nothing was backed up or written.
inline constexpr char AlreadyFixed[] = "Already fixed";
}  // namespace FixOutcome

// What a fix of a picked folder or archive did.
struct TFixResult {
    TFixResult() = default;
    // An outcome alone: nothing was backed up.
    TFixResult(const char* outcome) : Outcome(outcome) {}
    AnsiString Outcome;  // one of the FixOutcome texts
    WideString Backup;   // the backup this fix made; empty when it made none
    // The bundle fixed inside an archive, when it is not named after the
    // archive; empty otherwise.
    WideString Bundle;
    // The backup has the name the user expects (Show.bak.zip, Show.app.bak).
    bool UsualBackupName = false;
    bool operator==(const char* outcome) const { return Outcome == outcome; }
};

// Whether an outcome line names a backup of the usual name too; one of
// another name, and a bundle not named after its archive, are always named.
enum class TBackupMention { Always, WhenUnusual };

// The outcome as a line for the user: "Done! (backup: Show.bak (2).zip)".
// The window keeps its line short ("Done!") when nothing is unexpected.
WideString DescribeFix(const TFixResult& result, TBackupMention mention = TBackupMention::Always);

// The files the check looks at, inside a bundle folder.
WideString ViewerPath(const WideString& bundleFolder);
WideString MarkerPath(const WideString& bundleFolder);

// Writes the payload over the bundle's viewer when the bundle holds both
// the marker and the viewer, and then repacks the bundle into archivePath
// when repack is set (entries in kept keep their Unix modes and names). Returns
// FixOutcome::Done, Refused or AlreadyFixed (the viewer holds the payload:
// nothing is written); failures raise and leave the old viewer in place. A
// viewer reached through a link that leads out of the bundle is refused
// with an error.
AnsiString FixPresentation(const WideString& bundleFolder, const WideString& archivePath, bool repack,
                           TKeptEntries kept = {}, const TFixProgress& progress = {});
// Names for the repack flag at the call sites.
inline constexpr bool RepackIntoArchive = true;
inline constexpr bool FixFolderOnly = false;

// Folder mode: a folder that is no presentation, or whose viewer already
// is the payload, is left alone; otherwise it is backed up to a new
// <folder>.bak (or "<folder>.bak (2)", ...) and fixed. A backup that fails
// raises before anything in the bundle changes; progress reports the
// backup's bytes, and a progress event that raises stops the fix there.
// A picked link is followed: the folder it leads to is fixed.
TFixResult FixBundleFolder(const WideString& folder, const TFixProgress& progress = {});

// Told how many entries at the top of a fixed archive, beside the bundle,
// were left out of it and are kept only in the backup.
using TLeftOutEvent = std::function<void(int32_t count, const WideString& backup)>;

// ZIP mode: reads the archive's directory first and leaves alone an
// archive that is damaged, holds no presentation or is already fixed, and
// one it could not replace; otherwise backs up <name>.zip to a new
// <name>.bak.zip (or "<name>.bak (2).zip", ...; on the disk before anything
// else), unpacks it into a new temporary folder, fixes the bundle found
// there and packs it back over the archive. A failure anywhere leaves the
// archive unchanged. A picked link is followed and stays a link.
TFixResult FixBundleArchive(const WideString& archive, const TFixProgress& progress = {},
                            const TLeftOutEvent& leftOut = {});

// ZIP mode on a working copy of the picked archive (a browser's file, seen
// through a copy-on-write view): the archive given is changed in place, its
// viewer entry alone written anew, and put back as it was on any failure;
// no backup is made, since the picked file stays the original. Every entry
// is checked against its checksum first. A viewer that is the carried one
// already gives FixOutcome::AlreadyFixed and no change.
TFixResult FixBundleArchiveInPlace(const WideString& archive, const TFixProgress& progress = {});
