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
inline constexpr char AlreadyFixed[] = "Already fixed";
}  // namespace FixOutcome

// The files the check looks at, inside a bundle folder.
WideString ViewerPath(const WideString& bundleFolder);
WideString MarkerPath(const WideString& bundleFolder);
// Whether the bundle's viewer is the carried one, byte for byte.
bool ViewerHoldsPayload(const WideString& bundleFolder);

// Writes the payload over the bundle's viewer when the bundle holds both
// the marker and the viewer, and then repacks the bundle into archivePath
// when repack is set (entries in kept keep their Unix modes and names). Returns
// FixOutcome::Done or FixOutcome::Refused; failures raise and leave the old
// viewer in place.
AnsiString FixPresentation(const WideString& bundleFolder, const WideString& archivePath, bool repack,
                           TKeptEntries kept = {}, const TFixProgress& progress = {});
// Names for the repack flag at the call sites.
inline constexpr bool RepackIntoArchive = true;
inline constexpr bool FixFolderOnly = false;

// Folder mode: refreshes the backup <folder>.bak, then fixes the folder.
// A backup that fails raises before anything in the bundle changes.
AnsiString FixBundleFolder(const WideString& folder);

// Told how many entries at the top of a fixed archive, beside the bundle,
// were left out of it and are kept only in the backup.
using TLeftOutEvent = std::function<void(int32_t count, const WideString& backup)>;

// ZIP mode: refuses an archive it could not replace, backs up <name>.zip to
// <name>.bak.zip (on the disk before anything else), unpacks it into a new
// temporary folder, fixes the bundle <name>.app found there and packs it
// back over the archive. An archive whose central directory is damaged is
// refused. A failure anywhere leaves the archive unchanged.
AnsiString FixBundleArchive(const WideString& archive, const TFixProgress& progress = {},
                            const TLeftOutEvent& leftOut = {});

// ZIP mode where the picked archive is only read (a browser's file): the
// fixed archive is written to output, and no backup is made since the
// picked file stays the original. A viewer that is the carried one already
// gives FixOutcome::AlreadyFixed and no output.
AnsiString FixBundleArchiveInto(const WideString& archive, const WideString& output, const TFixProgress& progress = {});
