// Backups of what the user picked. A backup that exists is never
// overwritten, merged into or deleted: each fix makes a new one under the
// first free name, and a backup that fails removes only what it made.
#pragma once
#include "FixProgress.h"
#include "Foundation/Types.h"

// "<folder>.bak", then "<folder>.bak (2)", "<folder>.bak (3)", ... The
// folder is made before the copy, so a name is never shared with a fix
// running at the same time.
WideString BackUpFolder(const WideString& folder, const TFixProgress& progress);

// "<name>.bak.zip", then "<name>.bak (2).zip", ... made anew, never replaced:
// a second name of the archive where the file system allows one (the
// archive must then be replaced by a new file, never written in place),
// else a copy.
WideString BackUpArchive(const WideString& archive, const TFixProgress& progress);
// Removes a backup of an archive left as it was.
void RemoveBackup(const WideString& backup);
