#include "TempFolders.h"

std::vector<WideString> TempFolderCandidates() { return {u"%TMP%", u"%TEMP%", u"%WINDIR%\\TEMP"}; }
