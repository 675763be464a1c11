// Extracts every entry of a ZIP file below a folder. Damage the judgement
// finds (ZipJudgement.h), names that reach outside it or that the file
// system cannot hold, and entries that cannot be unpacked, are refused
// before anything is written, naming the entry.
#pragma once
#include <set>
#include "Archivers/Archive.h"

class TZipArchive;

class TFileUnzipper : public TRefObject {
public:
    // The destination folder with a trailing separator.
    WideString DestFolder;
    // Set by Unzip when the entries come from a scan of the local headers:
    // without modes, and perhaps incomplete.
    bool DirectoryRecovered = false;
    // Set by Unzip when the archive's bytes read as another archive too
    // (ZipJudgement.h); this one is extracted.
    AnsiString OtherReading;
    // Progress of the whole extraction, in bytes.
    TArchiveProgressEvent OnProgress;

    // Makes destFolder when it is missing.
    void Unzip(const WideString& zipPath, const WideString& destFolder);
    void ExtractItem(TArchiveCallBack* callback, TStream* stream);

private:
    TRef<TZipArchive> OpenChecked(const WideString& zipPath, TStream* file);
    TRef<TDefaultCallBack> FCallBack;
    void MakeFolders(TZipArchive* archive);
    // Folders this unzip has made or found: not looked up again per entry.
    std::set<WideString> FMadeFolders;
    // The file of the entry being extracted, until the entry proves sound.
    WideString FWriting;
};
