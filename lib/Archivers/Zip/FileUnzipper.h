// Extracts every file of a ZIP file into a folder, recreating the entries'
// folders below it. Entry names that could reach outside the folder are
// refused before anything is written.
#pragma once
#include "Archive.h"
#include "EntryModes.h"

class TFileUnzipper : public TRefObject {
public:
    // The destination folder with a trailing separator.
    WideString DestFolder;
    // Filled by Unzip: the Unix modes of the entries that carry them.
    TEntryModes UnixModes;
    // Progress of the whole extraction, in bytes.
    TArchiveProgressEvent OnProgress;

    void Unzip(const WideString& zipPath, const WideString& destFolder);
    void ExtractItem(TArchiveCallBack* callback, TStream* stream);
};
