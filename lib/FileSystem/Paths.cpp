#include "FileSystem/Paths.h"
#include <algorithm>
#include "FileSystem/FileModes.h"

namespace {
bool StartsWith(const WideString& text, const WideString& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// Index of the last separator before end; npos when there is none.
size_t LastDelimiterBefore(const WideString& path, size_t end) {
    while (end > 0)
        if (IsPathDelimiter(path[--end])) return end;
    return WideString::npos;
}

// Index of the last "." of the last component; npos when there is none.
size_t ExtensionDot(const WideString& path) {
    size_t dot = path.rfind(u'.');
    size_t delim = LastDelimiterBefore(path, path.size());
    return delim != WideString::npos && delim > dot ? WideString::npos : dot;
}
}  // namespace

bool IsPathDelimiter(WideChar c) { return c == PathDelim || (PathDelim == u'\\' && c == u'/'); }

WideString IncludeTrailingBackslash(const WideString& path) {
    if (path.empty() || IsPathDelimiter(path.back())) return path;
    return path + PathDelim;
}

WideString ExcludeTrailingBackslash(const WideString& path) {
    if (!path.empty() && IsPathDelimiter(path.back())) return path.substr(0, path.size() - 1);
    return path;
}

WideString JoinPath(const WideString& folder, const WideString& name) {
    if (folder.empty()) return name;
    bool folderEnds = IsPathDelimiter(folder.back());
    bool nameStarts = !name.empty() && IsPathDelimiter(name.front());
    if (folderEnds && nameStarts) return folder + name.substr(1);
    if (folderEnds || nameStarts) return folder + name;
    return folder + PathDelim + name;
}

WideString ExtractFileName(const WideString& path) {
    WideString trimmed = ExcludeTrailingBackslash(path);
    size_t delim = LastDelimiterBefore(trimmed, trimmed.size());
    return delim == WideString::npos ? trimmed : trimmed.substr(delim + 1);
}

WideString ExtractFilePath(const WideString& path, bool withBackslash) {
    // A final separator is none before the last component.
    const bool trailing = !path.empty() && IsPathDelimiter(path.back());
    size_t delim = LastDelimiterBefore(path, path.size() - (trailing ? 1 : 0));
    if (delim == WideString::npos) return WideString();
    return path.substr(0, withBackslash ? delim + 1 : delim);
}

WideString ExtractFileExt(const WideString& path) {
    size_t dot = ExtensionDot(path);
    return dot == WideString::npos ? WideString() : path.substr(dot);
}

WideString ChangeFileExt(const WideString& path, const WideString& ext) {
    size_t dot = ExtensionDot(path);
    WideString result = dot == WideString::npos ? path : path.substr(0, dot);
    if (!ext.empty() && ext.front() != u'.') result += u'.';
    return result + ext;
}

bool IsAbsolutePath(const WideString& path) {
    if (!path.empty() && IsPathDelimiter(path.front())) return true;
    // "C:x" is a drive's on Windows, a name like any other elsewhere.
    return PathDelim == u'\\' && path.size() >= 2 && path[1] == u':';
}

bool IsRootFolder(const WideString& folder) {
    const WideString path = ExcludeTrailingBackslash(folder);
    if (std::all_of(path.begin(), path.end(), IsPathDelimiter)) return true;
    // Drives and network shares are Windows names.
    if (PathDelim != u'\\') return false;
    if (path.size() == 2 && path[1] == u':') return true;
    // \\server or \\server\share: at most one separator after the leading pair.
    if (path.size() > 2 && IsPathDelimiter(path[0]) && IsPathDelimiter(path[1]))
        return std::count_if(path.begin() + 2, path.end(), IsPathDelimiter) <= 1;
    return false;
}

WideString NormalizedPath(const WideString& path) {
    size_t lead = 0;
    while (lead < path.size() && lead < 2 && path[lead] == PathDelim) ++lead;
    WideString result = path.substr(0, lead);
    for (size_t start = lead; start < path.size();) {
        size_t end = path.find(PathDelim, start);
        if (end == WideString::npos) end = path.size();
        if (end > start && path.compare(start, end - start, u".") != 0) {
            if (result.size() > lead) result += PathDelim;
            result.append(path, start, end - start);
        }
        start = end + 1;
    }
    return result;
}

namespace {
constexpr size_t MaxShortPath = 260;
const WideString LongPrefix = u"\\\\?\\";
const WideString LongUncPrefix = u"\\\\?\\UNC\\";
}  // namespace

WideString LongPathName(const WideString& path) {
    if (path.size() < MaxShortPath || StartsWith(path, LongPrefix)) return path;
    // The prefix exists on Windows only; elsewhere the name is only text.
    WideString full = PathDelim == u'\\' ? FullPathName(path) : path;
    if (StartsWith(full, u"\\\\")) return LongPrefix + u"UNC" + full.substr(1);
    return LongPrefix + full;
}

WideString RemoveLongPathPrefix(const WideString& path) {
    // "\\?\UNC\server" back to "\\server": keep the prefix's last backslash.
    if (StartsWith(path, LongUncPrefix)) return u'\\' + path.substr(LongUncPrefix.size() - 1);
    if (StartsWith(path, LongPrefix)) return path.substr(LongPrefix.size());
    return path;
}
