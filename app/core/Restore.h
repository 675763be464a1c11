// Putting a show back as it was before it was fixed: a backup the fixes
// made takes the show's place, and the show it replaces becomes a backup
// in turn, so that nothing is lost and a second restore goes back further.
#pragma once
#include "FixProcedure.h"

// Of the backups of a picked folder or archive (Backups.h), takes the
// newest whose viewer is not the payload and checks it: one that holds no
// presentation or (an archive) cannot be read whole is refused as
// FixOutcome::BackupDamaged, the cause in the notes, and nothing changes.
// Otherwise the show goes to its next free backup name (Kept) and the
// backup (Backup), whole and beside it, takes its place in one move: it is
// the staged replacement, so the original comes back byte for byte. No
// such backup: FixOutcome::NothingToRestore. A picked link is followed and
// stays a link. Failures raise and leave the show where it was.
TFixResult RestoreFolder(const WideString& folder, const TFixProgress& progress = {});
TFixResult RestoreArchive(const WideString& archive, const TFixProgress& progress = {});
// The one its kind asks for; any other file is refused.
TFixResult RestorePicked(const WideString& path, const TFixProgress& progress = {});
