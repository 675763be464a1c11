// Backups of what the user picked: each fix makes a new one under the first
// free name, never touching one that exists; a failed one removes only what
// it made.
#pragma once
#include <functional>
#include <string>
#include <vector>
#include "FixProgress.h"
#include "Foundation/Types.h"

// Calls make with "<stem><suffix>", then "<stem> (2)<suffix>", ... until it
// makes one, and returns that name. A name taken (make fails with
// FileExists or AlreadyExists) is passed by; another failure raises
// EFileWriteError "Cannot create <what> ..." with the system's cause.
WideString FirstFreeName(const WideString& stem, const WideString& suffix,
                         const std::function<bool(const WideString&)>& make, const char* what = "backup");

// "<folder>.bak", then "<folder>.bak (2)", ...; made before the copy, so
// that no fix running meanwhile takes the name. eachHead, where given, is
// told every file copied (its path in folder) with its first headSize
// bytes, which the copy reads anyway.
WideString BackUpFolder(const WideString& folder, const TFixProgress& progress, size_t headSize = 0,
                        const std::function<void(const WideString& file, const std::string& head)>& eachHead = {});

// "<name>.bak.zip", then "<name>.bak (2).zip", ...: a second name of the
// archive where the file system has them (the archive must then be replaced,
// never written in place), else a copy.
WideString BackUpArchive(const WideString& archive, const TFixProgress& progress);
// Removes a backup of an archive left as it was.
void RemoveBackup(const WideString& backup);

// Whether a name is one these backups take: "<x>.bak" and "<x>.bak (N)" for
// a folder, "<x>.bak.zip" and "<x>.bak (N).zip" for a file; case aside.
bool IsBackupName(const WideString& name, bool folder);
// The bytes of the files below folder, links not followed; a folder that
// cannot be listed counts for nothing (the backup says why).
uint64_t TreeBytes(const WideString& folder);
// The backups of a folder or an archive that are there, by their number:
// the first made comes first, so the last is the newest. Links are none.
std::vector<WideString> BackupsOf(const WideString& picked, bool folder);
// Moves a folder to its first free backup name and returns that name.
WideString MoveToBackupName(const WideString& folder);
