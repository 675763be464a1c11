#include "FixProgress.h"
#include <algorithm>
#include <string>
#include "Foundation/CodePages.h"

WideString ProgressText(TFixStage stage, uint64_t done, uint64_t total) {
    WideString text = stage == TFixStage::Checking    ? u"Checking..."
                      : stage == TFixStage::BackingUp ? u"Backing up..."
                                                      : u"Writing...";
    // Totals are estimates (a save learns its sizes as it packs).
    if (total) text += u" " + AnsiToWide(std::to_string(std::min(done, total) * 100 / total)) + u"%";
    return text;
}
