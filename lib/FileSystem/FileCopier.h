// Copies one file or a whole folder tree block by block through file
// handles of the file API, with attributes and times, a policy for existing
// targets and three optional events. Failures are result codes, not
// exceptions; a failed copy leaves no partial target.
#pragma once
#include <functional>
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

class TFileCopier : public TRefObject {
public:
    static constexpr int32_t MinBufferSize = 16384;
    static constexpr int32_t MaxBufferSize = 16777216;

    int32_t BufferSize = 65536;
    bool CopyAttributes = true;
    bool CopyTimes = true;
    bool Overwrite = false;
    bool CountOnly = false;
    int32_t FileCount = 0;
    int64_t TotalBytes = 0;
    TOverwriteEvent OnOverwrite;
    TCopyProgressEvent OnProgress;
    TCopyFilterEvent OnFilter;

    // Both paths end in a separator; entries are appended to listing and
    // removed again. False when anything failed; the walk goes on after it.
    virtual bool CopyTree(const WideString& sourceFolder, const WideString& targetFolder, TList* listing);
    // One of the CopyResult codes.
    virtual int CopyFile(const WideString& source, const WideString& target);
    bool CopyFolder(const WideString& sourceFolder, const WideString& targetFolder);

protected:
    void Dispose() override;

private:
    int PrepareTarget(const WideString& source, const WideString& target, uint32_t& clearedAttributes);
    int CopyData(TNativeHandle in, TNativeHandle out, int64_t size, const WideString& source, const WideString& target);
    int32_t CopyBlockInSystem(TNativeHandle in, TNativeHandle out, int32_t count, bool& systemCopy, int& result);
    int32_t CopyBlockThroughBuffer(TNativeHandle in, TNativeHandle out, int32_t count, int32_t blockSize, int& result);
    int CopyLink(const WideString& source, const WideString& target);
    bool ClearLinkInTarget(const WideString& targetFolder);
    void ApplyFolderMetadata(const WideString& source, const WideString& target, const TFileInfo& info);

    std::vector<uint8_t> FBuffer;
    TRef<TList> FListing;
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
