#include "Archivers/Zip/NameRules.h"
#include <unordered_map>
#include "Archivers/Zip/ZipArchive.h"
#include "FileSystem/FileAPI.h"
#include "Foundation/CaseFolding.h"
#include "Foundation/CodePages.h"

namespace {

bool IsDeviceName(const WideString& component) {
    // The name counts up to its first dot, trailing spaces left out.
    WideString base = component.substr(0, component.find(u'.'));
    while (!base.empty() && base.back() == u' ') base.pop_back();
    for (WideChar& c : base)
        if (c >= u'a' && c <= u'z') c = WideChar(c - u'a' + u'A');
    if (base == u"CON" || base == u"PRN" || base == u"AUX" || base == u"NUL") return true;
    return base.size() == 4 && (base.compare(0, 3, u"COM") == 0 || base.compare(0, 3, u"LPT") == 0) &&
           base[3] >= u'1' && base[3] <= u'9';
}

bool IsSeparator(WideChar c) { return c == u'/' || c == u'\\'; }

// The names listed in a message: enough to act on, not a flood.
constexpr size_t ListedNames = 20;

}  // namespace

bool WindowsKeepsName(const WideString& component) {
    if (component.empty()) return true;
    if (component.back() == u'.' || component.back() == u' ') return false;
    for (WideChar c : component)
        if (c < 0x20 || WideString(u"<>:\"|?*").find(c) != WideString::npos) return false;
    return !IsDeviceName(component);
}

std::vector<WideString> NamesWindowsCannotHold(const std::vector<WideString>& names) {
    std::vector<bool> refused(names.size());
    // Each path and folder by the name Windows makes of it (case folded,
    // trailing dots and spaces gone): the first spelling met and the name
    // it came from.
    std::unordered_map<WideString, std::pair<WideString, size_t>> spellings;
    for (size_t i = 0; i < names.size(); ++i) {
        WideString path = names[i];
        while (!path.empty() && IsSeparator(path.back())) path.pop_back();
        WideString made;
        for (size_t start = 0; start <= path.size();) {
            size_t end = start;
            while (end < path.size() && !IsSeparator(path[end])) ++end;
            WideString component = path.substr(start, end - start);
            if (!WindowsKeepsName(component)) refused[i] = true;
            while (!component.empty() && (component.back() == u'.' || component.back() == u' ')) component.pop_back();
            made += (start ? u"/" : u"") + component;
            WideString prefix = path.substr(0, end);
            auto [seen, added] = spellings.try_emplace(FoldString(made), prefix, i);
            if (!added && seen->second.first != prefix) refused[i] = refused[seen->second.second] = true;
            start = end + 1;
        }
    }
    std::vector<WideString> result;
    for (size_t i = 0; i < names.size(); ++i)
        if (refused[i]) result.push_back(names[i]);
    return result;
}

void CheckNamesFitFileSystem(TZipArchive* archive, const WideString& archiveName) {
    if (PathDelim != u'\\') return;
    std::vector<WideString> names;
    names.reserve(size_t(archive->Structure()->Count()));
    for (int32_t i = 0; i < archive->Structure()->Count(); ++i) names.push_back(archive->Structure()->Entry(i)->Name());
    std::vector<WideString> refused = NamesWindowsCannotHold(names);
    if (refused.empty()) return;
    AnsiString list;
    for (size_t i = 0; i < refused.size() && i < ListedNames; ++i)
        list += (i ? ", \"" : "\"") + WideToUtf8(refused[i]) + "\"";
    if (refused.size() > ListedNames) list += " and " + std::to_string(refused.size() - ListedNames) + " more";
    throw EArchiveNames(TPathText{"The archive \"", archiveName,
                                  "\" holds names that this system cannot keep apart or keep as they are: " + list});
}
