// Extracts every entry of a ZIP file into a folder, recreating the entries'
// folders below it. Entry names that could reach outside the folder or that
// the file system cannot hold are refused before anything is written, and
// so are entries that cannot be unpacked (password-protected, unknown
// method), naming the entry.
#pragma once
#include <set>
#include "Archivers/Archive.h"

class TZipArchive;

class TFileUnzipper : public TRefObject {
public:
    // The destination folder with a trailing separator.
    WideString DestFolder;
    // Set by Unzip when the central directory was missing or damaged and
    // the entries were found by scanning for local headers: they carry no
    // modes, and entries past the damage are missing.
    bool DirectoryRecovered = false;
    // Progress of the whole extraction, in bytes.
    TArchiveProgressEvent OnProgress;

    // Makes destFolder when it is missing (a relative path counts from the
    // current folder).
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
