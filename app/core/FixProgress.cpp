#include "FixProgress.h"
#include <algorithm>
#include <cstring>
#include <string>
#include "Foundation/CodePages.h"

WideString ProgressText(const char* stage, uint64_t done, uint64_t total) {
    static const struct {
        const char* Stage;
        const char16_t* Text;
    } Names[] = {{"backup", u"Backing up..."}, {"unpack", u"Unpacking..."}, {"pack", u"Packing..."}};
    WideString text = AnsiToWide(AnsiString(stage) + "...");
    for (const auto& name : Names)
        if (std::strcmp(stage, name.Stage) == 0) text = name.Text;
    // Totals are estimates (a save learns its sizes as it packs).
    if (total) text += u" " + AnsiToWide(std::to_string(std::min(done, total) * 100 / total)) + u"%";
    return text;
}
