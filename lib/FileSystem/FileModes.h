// What a Mac bundle needs beyond Windows attributes: permission bits and
// symbolic links. Windows has neither in this form; there these do nothing
// or report that they cannot.
#pragma once
#include "Foundation/Types.h"

// Gives target the permission bits of source (POSIX); true on Windows.
bool CopyPermissions(const WideString& source, const WideString& target);
// The type and permission bits of path, a link not followed (POSIX); 0 on
// Windows, which keeps no modes, and when path cannot be read.
uint32_t UnixModeOf(const WideString& path);
// Makes path a program the system can start: on POSIX whoever may read it
// may execute it (0644 becomes 0755, 0600 0700); no bit is taken away.
bool MakeProgramFile(const WideString& path);
// Whether path is a plain file someone may read but not execute (POSIX);
// false on Windows, which has no such permission to give.
bool LacksExecutePermission(const WideString& path);
// Makes target a symbolic link with the same target text as the link at
// source. False (last error set) when source is no link or the system
// cannot make one.
bool CopySymbolicLink(const WideString& source, const WideString& target);
// Whether an existing path that does not show as a link still leads to
// another file: wine shows a Unix link to a file as a plain file, and
// renaming or deleting it there reaches what it leads to. False on POSIX,
// where every link shows as one.
bool LeadsElsewhere(const WideString& path);
// Removes the link itself (to a file or a folder), never what it points to;
// also removes a plain file.
bool RemoveLink(const WideString& path);
// The path the system reaches through path: links followed, and "." and
// ".." taken as the system takes them (after a link, ".." is the parent of
// where it leads). Empty, with the last error set, when path is missing.
WideString ResolveLinks(const WideString& path);
// The full path the system reads path as, links not followed: on Windows
// joined to the current folder (or drive), "." and ".." taken by the text;
// on POSIX a relative path joined to the current folder as it is. The
// path unchanged when the system cannot make it full.
WideString FullPathName(const WideString& path);
