// The archive to send a show in, made by us: a folder zipped by Windows
// keeps no Unix modes, and on the Mac its programs cannot start.
#pragma once
#include "FixProcedure.h"
#include "FixProgress.h"
#include "Foundation/Types.h"

// Whether a fix ended where the archive to send of its bundle folder may
// follow: a folder "Done!" or "Already fixed".
bool ReadyToSend(const TFixResult& result);
// The archive to send of a fix of picked: the archive it fixed, or the one
// made to send a folder in; empty where there is none yet. Never a backup.
WideString ArchiveToSend(const WideString& picked, const TFixResult& result);

// Packs a bundle folder into "<name>.zip" beside it (its name without
// ".app"), under the first free name as backups take theirs (Show.zip,
// Show (2).zip, ...; never over a file): the bundle its one folder at the
// top, programs 0755 (ModeToStore in Archivers/Zip/EntryModes.h), links as
// links, times kept. The archive is written into a staged file and named
// only once it is whole and on the disk; a failure, or a stop (progress
// raises), removes it and raises. Returns the path made.
WideString MakeArchiveToSend(const WideString& bundleFolder, const TFixProgress& progress = {});
