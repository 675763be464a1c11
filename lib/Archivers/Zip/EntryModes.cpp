#include "Archivers/Zip/EntryModes.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"
#include "FileSystem/FileAPI.h"

namespace {
WideString WithSeparator(WideString path, WideChar from, WideChar to) {
    for (WideChar& c : path)
        if (c == from) c = to;
    return path;
}
}  // namespace

WideString NativePath(WideString archivePath) { return WithSeparator(std::move(archivePath), u'\\', PathDelim); }
WideString ArchivePath(WideString nativePath) { return WithSeparator(std::move(nativePath), PathDelim, u'\\'); }
WideString StoredPath(WideString archivePath) { return WithSeparator(std::move(archivePath), u'\\', u'/'); }

namespace {
bool IsSeparator(WideChar c) { return c == u'/' || c == u'\\'; }
}  // namespace

// Absolute paths, drive letters, ".." components, and components holding ':'
// (an alternate data stream on Windows) or a control character are refused.
void CheckEntryName(const WideString& name) {
    bool unsafe = name.empty() || IsSeparator(name[0]) || (name.size() >= 2 && name[1] == u':');
    size_t start = 0;
    while (!unsafe && start <= name.size()) {
        size_t end = start;
        while (end < name.size() && !IsSeparator(name[end])) ++end;
        WideString part = name.substr(start, end - start);
        unsafe = part == u"..";
        for (WideChar c : part) unsafe = unsafe || c == u':' || c < 0x20 || c == 0x7F;
        start = end + 1;
    }
    if (unsafe) throw EArchiveBroken("Unsafe entry name \"" + WideToAnsi(name) + "\"");
}
