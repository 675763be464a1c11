// What "nvxzip l" shows: one line per entry of a ZIP archive held in a
// stream, as its directory (or a recovery scan) gives them.
#pragma once
#include <functional>
#include <vector>
#include "Streams/Streams.h"

// Takes one line of a report, without its line end.
using TLineWriter = std::function<void(const WideString& line)>;

struct TZipListing {
    WideString Text;
    int32_t Entries = 0;
    // The central directory was missing or damaged: the entries come from a
    // scan of the local headers.
    bool Recovered = false;
    // What the judgement of the archive says (ZipJudgement.h): damage, and
    // another reading of its bytes.
    std::vector<AnsiString> Judged;
};

// Reads the directory of the archive in stream. Raises what the archive
// code raises. The lines go to output as they come, or into Text when there
// is none.
TZipListing ListZipArchive(TStream* stream, const TLineWriter& output = {});
