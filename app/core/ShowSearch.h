// Runs over whole trees of shows: finding every bundle folder and ZIP
// archive below the folders given, never what fixes leave beside a show
// (backups, staged files), never inside a bundle and never through a link;
// then fixing each in turn and counting the run.
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
};

// What a run over trees tells its user beyond each show's end.
class TRunListener : public TFixListener {
public:
    // text says where the link leads or why the folder cannot be read.
    virtual void PassedBy(const WideString& path, TPassedBy why, const WideString& text) = 0;
    // Once the search is done and after each show: shows done of found, and
    // their bytes.
    virtual void RunProgress(int32_t done, int32_t found, uint64_t bytesDone, uint64_t bytesTotal) = 0;
};

struct TRunTally {
    TFixTally Shows;  // archives without a presentation are none
    // Archives and bundles of other programs that hold no presentation.
    int32_t WithoutPresentation = 0;
    int32_t LinksPassed = 0;
    int32_t Unreadable = 0;
};

// Every show below each root, in name order within a folder. A root is
// followed where it is a link, and is a show itself when it is a bundle or
// anything but a folder (the fix then says what is wrong with it). A
// folder is a bundle when its name ends in ".app" or it holds a
// presentation's marker or viewer: a show unless it has a backup's name,
// and never searched.
std::vector<TFoundShow> FindShows(const std::vector<WideString>& roots, TRunListener& listener, TRunTally& tally);

// Finds the shows below the roots, then fixes each with fix as FixPaths
// does; an archive fix refuses holds no presentation and is counted, not
// told.
TRunTally FixTrees(const std::vector<WideString>& roots, const TPathFix& fix, TRunListener& listener);

// "300 shows: 250 fixed, 10 already fixed, 40 restored permissions, 0
// refused, 0 failed; 5 archives without a presentation, 2 links not
// followed, 1 folder unreadable; 12.3 s".
WideString DescribeRun(const TRunTally& tally, uint32_t milliseconds);
