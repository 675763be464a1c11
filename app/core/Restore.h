// Putting a show back as it was before it was fixed: a backup the fixes
// made takes the show's place, and the show it replaces becomes a backup
// in turn, so that nothing is lost and a second restore goes back further.
#pragma once
#include "FixProcedure.h"

// Takes the newest backup (Backups.h) whose viewer is not the payload: one
// without a presentation or (an archive) unreadable gives BackupDamaged, the
// cause in the notes. Otherwise the show goes to its next free backup name
// (Kept) and the backup takes its place in one move, byte for byte; none:
// NothingToRestore. A picked link stays a link. Failures raise and leave
// the show where it was.
TFixResult RestoreFolder(const WideString& folder, const TFixProgress& progress = {});
TFixResult RestoreArchive(const WideString& archive, const TFixProgress& progress = {});
// The one its kind asks for; any other file is refused.
TFixResult RestorePicked(const WideString& path, const TFixProgress& progress = {});
