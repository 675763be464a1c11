// Packs every file below folders into a new ZIP file: a Deflate entry per
// file, a folder entry per folder, a link entry per link, each with its Unix
// mode as a Mac needs it (EntryModes.h: ModeToStore). The
// file is staged and put in place when whole, so a failure or a stop leaves
// it as it was. Worker threads pack a file each; the archive is byte for
// byte what one worker writes, and events come from the caller's thread.
#pragma once
#include <functional>
#include <map>
#include <utility>
#include <vector>
#include "Archivers/Archive.h"
#include "Foundation/CodePages.h"
#include "Foundation/Lists.h"

class TFileZipper;
class TPackWorkers;
class TZipArchive;

// The workers a new zipper packs with: the usable processors, at most
// MaxZipWorkers, unless set for the run (0 goes back to the processors).
constexpr int32_t MaxZipWorkers = 8;
int32_t DefaultZipWorkers();
void SetDefaultZipWorkers(int32_t count);
using TZipperProgressEvent =
    std::function<void(TFileZipper* sender, const AnsiString& path, bool& stop, int32_t count, int32_t index)>;

class TFileZipper : public TRefObject {
public:
    TFileZipper();

    // Full paths of the files to pack; each string's object is its item.
    TRef<TStringList> Files;
    TZipperProgressEvent OnProgress;
    // 1 packs on the caller's thread.
    int32_t Workers;
    // Packed data waiting in memory for the writer; the rest spills to files.
    size_t WaitingMemory = 4 << 20;

    // Names for withFolderName at the call sites.
    static constexpr bool WithFolderName = true;
    static constexpr bool ContentsOnly = false;
    void Zip(const WideString& zipPath, const WideString& folder, bool withFolderName);
    void ZipFolders(const WideString& zipPath, const std::vector<WideString>& folders, bool withFolderName);
    // Writes the ZIP file into the file it is given (emptied first).
    using TZipWrite = std::function<void(const WideString& file)>;
    // The same where the caller puts the ZIP file in place: place gets the
    // step that writes it, once the folders are read, and only when they
    // hold a file.
    void ZipFoldersWith(const std::vector<WideString>& folders, bool withFolderName,
                        const std::function<void(const TZipWrite& write)>& place);
    void PackItem(TArchiveCallBack* callback, TStream* stream);

protected:
    void Dispose() override;

private:
    class TWorkerFedArchive;

    // A file, folder or link to pack.
    struct TSource {
        WideString Path;
        bool IsFolder;
        bool IsLink = false;
        TByteString LinkTarget = {};  // as stored: UTF-8, '/' separated
    };
    void CollectEntries(const WideString& folder, std::vector<TSource>& sources);
    // Fills the archive's tree, refusing names it cannot place.
    void AddEntries(TZipArchive* archive, const std::vector<TSource>& sources, const WideString& base);
    // Writes the source data of Files[index]: the file's bytes, or the
    // path a link points at.
    void WriteSource(int32_t index, TStream* stream) const;
    // The index in Files of an item being packed; -1 for none of ours.
    int32_t IndexOf(TArchItem* item) const;
    // Tells OnProgress about file index; true when it asks to stop.
    bool Announce(int32_t index);

    // Items with their indexes in Files, by item, for the length of a zip.
    std::vector<std::pair<const TArchItem*, int32_t>> FIndexOf;
    // The links among Files by index, with their stored targets.
    std::map<int32_t, TByteString> FLinks;
};
