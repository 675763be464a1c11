// A path given rather than asked for in one mode (a drop, the command
// line): a folder is fixed in the folder mode, a .zip archive in the ZIP
// mode; and how the ends of several add up.
#pragma once
#include <exception>
#include <functional>
#include <vector>
#include "FixProcedure.h"

enum class TPickedKind { Folder, Archive, OtherFile, Missing };
// What is at path now; a .zip name is an archive whatever its case.
TPickedKind KindOfPicked(const WideString& path);

// Fixes path in the mode its kind asks for; any other file is refused
// (TOutcome::Refused), and a missing path raises that it was not found.
TFixResult FixPicked(const WideString& path, const TFixProgress& progress = {});
// The same, or with TFixMode::Check only what a fix would find.
TFixResult FixOrCheckPicked(const WideString& path, const TFixProgress& progress, TFixMode mode);

// How the fixes of several paths ended.
struct TFixTally {
    int Fixed = 0;
    int AlreadyFixed = 0;
    int Refused = 0;
    int NeedsFixing = 0;  // found by a check
    int Missing = 0;      // gone when their turn came; not tried
    int Failed = 0;
    int Restored = 0;
    int NothingToRestore = 0;
    // Of Fixed: given back nothing but execute permission.
    int PermissionsOnly = 0;
    int Total() const {
        return Fixed + AlreadyFixed + Refused + NeedsFixing + Missing + Failed + Restored + NothingToRestore;
    }
};

// How one path ended: its result, or the failure that ended it; neither
// when the path was missing.
struct TPathEnd {
    const WideString& Path;
    const TFixResult* Result;
    const std::exception* Failure;
};

// What every front end tells while paths are fixed; all of it is pure
// virtual, so that no outcome, note or failure goes unsaid.
class TFixListener {
public:
    virtual ~TFixListener() = default;
    // On the fixing thread; what it raises stops the fix there.
    virtual void Progress(TFixStage stage, uint64_t done, uint64_t total) = 0;
    // How each path ended, in turn.
    virtual void Ended(const TPathEnd& end) = 0;
};

using TPathFix = std::function<TFixResult(const WideString& path, const TFixProgress& progress)>;

// Fixes the paths in turn, telling and counting each. A failure does not
// stop the next; EAbort (a stop, or an assertion reported) ends them all.
TFixTally FixPaths(const std::vector<WideString>& paths, const TPathFix& fix, TFixListener& listener);
