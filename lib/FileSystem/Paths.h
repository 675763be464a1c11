// Path text: separators, joining, names and extensions, roots, and the
// long form Windows needs. Every piece of code that takes a path apart or
// puts one together uses these; nothing here touches the file system.
#pragma once
#include "Foundation/Types.h"

// The platform's path separator ('\' on Windows, '/' on POSIX). Every path
// helper below uses it; nothing else spells a separator.
extern const WideChar PathDelim;
// Whether the system takes c as a separator: Windows takes '/' as well.
bool IsPathDelimiter(WideChar c);

WideString IncludeTrailingBackslash(const WideString& path);
// Removes one trailing separator.
WideString ExcludeTrailingBackslash(const WideString& path);
// Exactly one separator between folder and name (none for an empty folder).
WideString JoinPath(const WideString& folder, const WideString& name);
// The last component; one trailing separator is ignored.
WideString ExtractFileName(const WideString& path);
// What comes before the last component, with or without its separator.
WideString ExtractFilePath(const WideString& path, bool withBackslash);
// From the last "." of the last component on; empty when it has none.
WideString ExtractFileExt(const WideString& path);
// Replaces ExtractFileExt(path) by ext; a missing leading "." is added.
WideString ChangeFileExt(const WideString& path, const WideString& ext);

// Starts at a root, or names a drive on Windows ("\x", "C:x", "C:\x").
bool IsAbsolutePath(const WideString& path);
// A drive, share or file system root, with or without a trailing
// separator ("/", "C:\", "\\server\share"); an empty path counts as one.
// Such a folder has no parent to hold a backup beside it.
bool IsRootFolder(const WideString& folder);
// Repeated separators collapsed (a leading pair, the start of a network
// path, kept) and "." components dropped, so that a longer spelling of a
// link ("link//", "link/./") still names the link itself.
WideString NormalizedPath(const WideString& path);

// Long-path handling (Windows): a path of 260 characters or more gets the
// "\\?\" prefix ("\\?\UNC\" for network paths), made full first as the
// system reads it without the prefix; results lose it again.
WideString LongPathName(const WideString& path);
WideString RemoveLongPathPrefix(const WideString& path);
