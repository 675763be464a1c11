#include "FixProgress.h"
#include <algorithm>
#include <string>
#include "Foundation/CodePages.h"

WideString ProgressText(TFixStage stage, uint64_t done, uint64_t total) {
    static const char16_t* const Names[] = {u"Checking...", u"Backing up...", u"Writing..."};
    WideString text(Names[size_t(stage)]);
    // Totals are estimates (a save learns its sizes as it packs). Built by
    // appending: a literal plus a string trips a false -Wrestrict of mingw.
    if (total) text.append(u" ").append(Utf8ToWide(std::to_string(std::min(done, total) * 100 / total))).append(u"%");
    return text;
}
