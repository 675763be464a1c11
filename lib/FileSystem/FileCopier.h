// Copies one file or a whole folder tree through the file API, with
// attributes and times, a policy for existing targets and three optional
// events. Failures are result codes, not exceptions; a failed copy removes
// only what it made, and a file it would have replaced is put back.
#pragma once
#include <functional>
#include <string>
#include <vector>
#include "FileSystem/FileAPI.h"
#include "Foundation/Lists.h"
#include "Foundation/RefObject.h"

namespace CopyResult {
constexpr int Copied = 0;
constexpr int Stopped = 1;       // aborted by OnProgress or refused by OnOverwrite
constexpr int SourceFailed = 2;  // missing, a folder, unreadable size or times
constexpr int TargetFailed = 3;  // a folder, may not be replaced, cannot be made or sized
constexpr int ReadFailed = 4;
constexpr int WriteFailed = 5;
}  // namespace CopyResult

class TFileCopier;
using TOverwriteEvent = std::function<bool(TFileCopier* copier, const WideString& source, const WideString& target)>;
using TCopyProgressEvent = std::function<void(TFileCopier* copier, const WideString& source, bool& abort,
                                              int64_t totalSize, int64_t doneSize, const WideString& target)>;
using TCopyFilterEvent = std::function<bool(TFileCopier* copier, const WideString& sourceFolder, TFileInfo* info)>;
// A file copied whole, with its first HeadSize bytes (fewer for a shorter
// file), read on the way: a caller that looks at them opens nothing more.
using TCopiedHeadEvent = std::function<void(TFileCopier* copier, const WideString& source, const std::string& head)>;

class TFileCopier : public TRefObject {
public:
    static constexpr int32_t MinBufferSize = 16384;
    static constexpr int32_t MaxBufferSize = 16777216;

    int32_t BufferSize = 65536;
    bool CopyAttributes = true;
    bool CopyTimes = true;
    bool Overwrite = false;
    bool CountOnly = false;
    // Each file copied (data, times, mode) and each folder made (its
    // entries, its mode) is on the disk before CopyFolder returns, the
    // target's own name too: a copy that must outlive a power cut. Where the
    // system flushes a volume at once, that is done once at the end.
    bool FlushToDisk = false;
    int32_t FileCount = 0;
    int64_t TotalBytes = 0;
    TOverwriteEvent OnOverwrite;
    TCopyProgressEvent OnProgress;
    TCopyFilterEvent OnFilter;
    int32_t HeadSize = 0;
    TCopiedHeadEvent OnCopiedHead;
    // Why the last CopyFile or CopyFolder failed: the first failure's Windows
    // error code and the path it concerns (the file, or the folder that could
    // not be listed or made). 0 and empty after a success. The calls also
    // leave FailureCode as the thread's last error code when they fail.
    uint32_t FailureCode = 0;
    WideString FailurePath;

    // Both paths end in a separator; entries are appended to listing and
    // removed again. False when anything failed; the walk goes on after it.
    virtual bool CopyTree(const WideString& sourceFolder, const WideString& targetFolder, TList* listing);
    // One of the CopyResult codes.
    virtual int CopyFile(const WideString& source, const WideString& target);
    bool CopyFolder(const WideString& sourceFolder, const WideString& targetFolder);

protected:
    void Dispose() override;

private:
    struct TMadeEntry {
        WideString Path;
        bool IsFolder;
    };

    int CopyFileData(const WideString& source, const WideString& target);
    int PrepareTarget(const WideString& source, const WideString& target, WideString& aside);
    int CreateTarget(const WideString& source, const WideString& target, TFileHandle& out, WideString& aside);
    int CopyData(TNativeHandle in, TNativeHandle out, int64_t size, const WideString& source, const WideString& target,
                 std::string& head);
    int32_t CopyBlockThroughBuffer(TNativeHandle in, TNativeHandle out, int32_t count, int& result);
    int CopyLink(const WideString& source, const WideString& target);
    bool ClearLinkInTarget(const WideString& targetFolder);
    bool MakeFolder(const WideString& folder);
    bool FillFolder(const WideString& sourceFolder, const WideString& targetFolder, TList* listing, int32_t first);
    void ApplyFolderMetadata(const WideString& source, const WideString& target, const TFileInfo& info);
    bool Failed(const WideString& path, uint32_t code);
    int Failed(int result, const WideString& path);
    void StartRun();
    void RemoveWhatWasMade();

    std::vector<uint8_t> FBuffer;
    TRef<TObjectList> FListing;
    bool FInFolderCopy = false;
    std::vector<TMadeEntry> FMade;
};

// Names for the three flags of the one-shot copies, so that a call reads as
// what it does: CopyFolderTree(from, to, KeepAttributes, KeepTimes, ReplaceExisting).
inline constexpr bool KeepAttributes = true;
inline constexpr bool KeepTimes = true;
inline constexpr bool ReplaceExisting = true;

// One-shot copies: a copier with the three flags set, freed afterwards.
uint8_t CopyOneFile(const WideString& source, const WideString& target, bool copyAttributes, bool copyTimes,
                    bool overwrite);
bool CopyFolderTree(const WideString& source, const WideString& target, bool copyAttributes, bool copyTimes,
                    bool overwrite);
