// Extracts every entry of a ZIP file into a folder, recreating the entries'
// folders below it. Entry names that could reach outside the folder or that
// the file system cannot hold are refused before anything is written, and
// so are entries that cannot be unpacked (password-protected, unknown
// method), naming the entry.
#pragma once
#include <functional>
#include <set>
#include "Archivers/Archive.h"
#include "Archivers/Zip/EntryModes.h"

class TZipArchive;

class TFileUnzipper : public TRefObject {
public:
    // The destination folder with a trailing separator.
    WideString DestFolder;
    // Filled by Unzip when KeepEntryForms is set: how every entry was
    // stored (name bytes and flags, host and external attributes, time,
    // extra fields, comment, place) and the archive comment, for packing
    // the files again.
    TEntryForms EntryForms;
    bool KeepEntryForms = false;
    // Set by Unzip when the central directory was missing or damaged and
    // the entries were found by scanning for local headers: they carry no
    // modes, and entries past the damage are missing.
    bool DirectoryRecovered = false;
    // Unzip refuses such an archive before writing anything.
    bool RequireSoundDirectory = false;
    // Progress of the whole extraction, in bytes.
    TArchiveProgressEvent OnProgress;

    // Makes destFolder when it is missing (a relative path counts from the
    // current folder).
    void Unzip(const WideString& zipPath, const WideString& destFolder);
    // Opens zipPath with every check Unzip makes before it writes anything
    // (unsafe names, names the file system cannot hold, methods, a sound
    // directory when required) and lets look read the archive; nothing is
    // extracted.
    void Inspect(const WideString& zipPath, const std::function<void(TZipArchive* archive)>& look);
    void ExtractItem(TArchiveCallBack* callback, TStream* stream);

private:
    TRef<TZipArchive> OpenChecked(const WideString& zipPath, TStream* file);
    TRef<TDefaultCallBack> FCallBack;
    void MakeFolders(TZipArchive* archive);
    // Folders this unzip has made or found: not looked up again per entry.
    std::set<WideString> FMadeFolders;
};
