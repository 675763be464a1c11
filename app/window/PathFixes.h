// What the window does with paths it is given rather than asked for: files
// and folders dropped onto it, or named on its command line.
#pragma once
#include <vector>
#include "FixProcedure.h"
#include "Foundation/Types.h"

struct TPathFixes {
    WideString Outcome;   // the line the window shows
    WideString Failures;  // one line per path that failed or was not found, with its reason
    // What the fix of one path did; nothing for several.
    TFixResult Result = {};
};

// Fixes the paths one after another as FixPicked does (anything but a
// folder or a .zip archive is refused). One path gives its own outcome and
// raises its own failure; several end in a summary, a failure of one does
// not keep the next from being fixed, and a stop ends them all.
TPathFixes FixGivenPaths(const std::vector<WideString>& paths, const TFixProgress& progress);
