// What "nvxzip t" does: every file entry of a ZIP archive held in a stream
// is extracted into nothing, and each one whose header, data or CRC is
// wrong is named.
#pragma once
#include <vector>
#include "ZipListing.h"

struct TZipTestReport {
    WideString Text;  // one line per entry, then the summary; see TestZipArchive
    int32_t Tested = 0;
    int32_t Bad = 0;
    // Encrypted entries left untested: no password was given.
    int32_t Encrypted = 0;
    // The central directory was missing or damaged: the entries come from a
    // scan of the local headers, and the archive does not count as good.
    bool Recovered = false;
    // What the judgement finds wrong with the archive as a whole, two
    // readings of its bytes too (ZipJudgement.h), as the report says it.
    std::vector<AnsiString> ArchiveProblems;

    bool AllGood() const { return Bad == 0 && !Recovered && ArchiveProblems.empty(); }
};

// Raises what opening the archive raises; problems of single entries go
// into the report. The lines go to output as they come, or into Text when
// there is none.
TZipTestReport TestZipArchive(TStream* stream, const TLineWriter& output = {});
