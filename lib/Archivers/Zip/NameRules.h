// Names a Windows file system cannot keep apart or keep as they are. An
// archive holding such names is refused before anything is written: unpacked
// anyway, files would merge, vanish or be renamed without a word.
#pragma once
#include <vector>
#include "Foundation/Types.h"

class TZipArchive;

// Whether Windows keeps one path component as it is: no trailing dot or
// space, no device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with any
// extension), none of the characters it does not allow.
bool WindowsKeepsName(const WideString& component);

// The stored names ('/'-separated) among names that Windows cannot hold:
// those with a component it does not keep, and those whose paths (or
// folders) are equal but for case. In the order given, each once.
std::vector<WideString> NamesWindowsCannotHold(const std::vector<WideString>& names);

// Where the file system follows the Windows rules, raises EArchiveNames
// listing the archive's names it cannot hold; elsewhere does nothing.
void CheckNamesFitFileSystem(TZipArchive* archive, const WideString& archiveName);
