#include "MacSteps.h"
#include "FileSystem/Paths.h"
#include "Foundation/CodePages.h"

WideString MacSteps(const WideString& archive, const WideString& bundle, const TFixResult& result,
                    const WideString& lineBreak) {
    const WideString zip = ExtractFileName(archive), app = ExtractFileName(bundle);
    WideString text = u"Opening the show on a Mac" + lineBreak;
    text += u"1. Double-click " + zip + u" to unpack it, and move " + app +
            u" out of the Downloads folder (to Documents, say)." + lineBreak;
    text += u"2. Double-click " + app + u"." + lineBreak;
    text +=
        u"3. On macOS 15 and later, when the Mac refuses to open it: click Done, then in System Settings, "
        u"Privacy & Security, click Open Anyway beside the note about the show (offered for about an hour)." +
        lineBreak;
    text += u"4. On macOS 10.12 to 14: Control-click " + app + u", choose Open, then click Open." + lineBreak;
    text += u"Or on every version, in Terminal: type this line with the space at its end, drag " + app +
            u" onto the Terminal window, and press Return:" + lineBreak + u"xattr -dr com.apple.quarantine " +
            lineBreak;
    for (const AnsiString& note : result.Notes) text += u"Note: " + Utf8ToWide(note) + lineBreak;
    if (!result.Commands.empty()) text += DescribeCommands(result, lineBreak) + lineBreak;
    return text;
}
