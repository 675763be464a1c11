// Replacing a file without ever leaving it incomplete.
#pragma once
#include <functional>
#include "Foundation/Types.h"

// Calls write with the path of a new file beside target, puts it on the
// disk, then moves it over target (read-only or not) and syncs the folder.
// When anything fails, the staged file is removed, target is left as it was
// and the error goes on to the caller. The staged name ("<target>.nvxfix-new")
// is never that of a file already there; staged files left by killed
// writers are removed first.
void ReplaceThroughStagedFile(const WideString& target, const std::function<void(const WideString& staged)>& write);
// The same for a file that must replace none: write fills the staged file
// beside near, then place gives it its name (PlaceStagedFile) and returns it.
WideString WriteThroughStagedFile(const WideString& near, const std::function<void(const WideString& staged)>& write,
                                  const std::function<WideString(const WideString& staged)>& place);
// Gives a staged file the name target only if no file has it, in one step
// of the system, so that a file made meanwhile is never replaced. False
// with the last error set (FileExists or AlreadyExists when it is taken).
bool PlaceStagedFile(const WideString& staged, const WideString& target);
// Gives staged the attributes and permission bits of target where target
// exists: the new file would otherwise get the default mode, and a private
// file would come back readable by everyone.
void KeepAttributesOf(const WideString& target, const WideString& staged);
// The name a staged file of target takes first.
WideString StagedName(const WideString& target);
// Whether a name is that of a staged file ("<name>.nvxfix-new", with a
// number after it while another writer held the first).
bool IsStagedName(const WideString& name);
