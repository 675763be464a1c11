// Names Windows cannot keep apart or keep as they are: unpacked anyway,
// files would merge, vanish or be renamed without a word.
#pragma once
#include <vector>
#include "Foundation/Types.h"

class TZipArchive;

// Whether Windows keeps one path component as it is: no trailing dot or
// space, no device name (CON, COM1, ... with any extension), no character
// it does not allow.
bool WindowsKeepsName(const WideString& component);

// The stored names with a component Windows does not keep or a path (or
// folder) equal to another's but for case; in the order given, each once.
std::vector<WideString> NamesWindowsCannotHold(const std::vector<WideString>& names);

// Where the file system follows the Windows rules, raises EArchiveNames
// listing the archive's names it cannot hold; elsewhere does nothing.
void CheckNamesFitFileSystem(TZipArchive* archive, const WideString& archiveName);
