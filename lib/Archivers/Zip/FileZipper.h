// Packs every file below one or more folders into a new ZIP file, one
// Deflate entry per file, no folder entries. Failures reach the caller.
#pragma once
#include <functional>
#include "Archive.h"
#include "EntryModes.h"
#include "Lists.h"

class TFileZipper;
class TZipItem;
using TZipperProgressEvent =
    std::function<void(TFileZipper* sender, const AnsiString& path, bool& stop, int32_t count, int32_t index)>;

class TFileZipper : public TRefObject {
public:
    TFileZipper();

    // Full paths of the files to pack; each string's object is its item.
    TStringList* Files;
    TZipperProgressEvent OnProgress;
    // Progress of the whole save, in bytes.
    TArchiveProgressEvent OnSaveProgress;
    // Entries named here are written with Unix host and these external
    // attributes; the rest in the MS-DOS form.
    TEntryModes UnixModes;
    // Entries named here are written with these name bytes and UTF-8 flag.
    TEntryNames StoredNames;

    void Zip(const WideString& zipPath, const WideString& folder, bool withFolderName);
    void ZipFolders(const WideString& zipPath, const std::vector<WideString>& folders, bool withFolderName);
    void PackItem(TArchiveCallBack* callback, TStream* stream);

protected:
    void Dispose() override;

private:
    void CollectFiles(const WideString& folder);
    void KeepEntryForm(TZipItem* entry);
};
