#include "TempFolders.h"

std::vector<WideString> TempFolderCandidates() { return {u"%TMPDIR%", u"%TMP%", u"%TEMP%", u"/tmp"}; }
