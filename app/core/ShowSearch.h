// Runs over whole trees: every show below the folders given, never what
// fixes leave beside one, never inside a bundle or through a link, fixed in
// turn and counted.
#pragma once
#include <cstdint>
#include <vector>
#include "FixDispatch.h"

struct TFoundShow {
    WideString Path;
    bool Archive = false;
    // Of the archive, or of the files in the bundle: what the run's
    // progress counts in.
    uint64_t Bytes = 0;
};

// What the search passes by and tells of.
enum class TPassedBy {
    LinkLoop,     // leads to a folder the link is in
    LinkOut,      // leads out of the tree searched
    LinkInside,   // leads to what the search meets where it is
    LinkNowhere,  // its end cannot be reached
    Unreadable,   // a folder that cannot be listed
    NoShow,       // an archive or bundle that holds no presentation
};

// What a run over trees tells its user beyond each show's end.
class TRunListener : public TFixListener {
public:
    // text says where the link leads or why the folder cannot be read.
    virtual void PassedBy(const WideString& path, TPassedBy why, const WideString& text) = 0;
    // Once the search is done and after each show: shows done of found, and
    // their bytes; what turns out to hold no show leaves both counts.
    virtual void RunProgress(int32_t done, int32_t found, uint64_t bytesDone, uint64_t bytesTotal) = 0;
};

struct TRunTally {
    TFixTally Shows;  // archives without a presentation are none
    // Archives and bundles of other programs that hold no presentation.
    int32_t WithoutPresentation = 0;
    int32_t LinksPassed = 0;
    int32_t Unreadable = 0;
};

// Every show below each root, in name order within a folder. A root link
// is followed; a root that is a bundle or no folder is a show itself. A
// bundle (a folder named ".app" or holding a marker or viewer) is a show
// unless it has a backup's name, and is never searched.
std::vector<TFoundShow> FindShows(const std::vector<WideString>& roots, TRunListener& listener, TRunTally& tally);

// Fixes the shows FindShows finds as FixPaths does; an archive refused
// holds no presentation and is counted, not told.
TRunTally FixTrees(const std::vector<WideString>& roots, const TPathFix& fix, TRunListener& listener);

// "300 shows: 250 fixed, 10 already fixed, 40 given execute permission
// only, 0 refused, 0 failed; 5 without a presentation, 2 links not
// followed, 1 folder unreadable; 12.3 s": each show counted once.
WideString DescribeRun(const TRunTally& tally, uint32_t milliseconds);
