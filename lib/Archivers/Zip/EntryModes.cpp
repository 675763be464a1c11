#include "Archivers/Zip/EntryModes.h"
#include <algorithm>
#include "FileSystem/FileAPI.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"

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

namespace {
// The bytes a new entry's name gets anyway: the path with '/', when ASCII.
bool IsPathItself(const TByteString& bytes, const WideString& path) {
    if (bytes.size() != path.size()) return false;
    for (size_t i = 0; i < path.size(); ++i) {
        WideChar c = path[i] == u'\\' ? u'/' : path[i];
        if (c >= 0x80 || uint8_t(bytes[i]) != c) return false;
    }
    return true;
}
}  // namespace

void TEntryForms::Add(const WideString& path, TEntryForm form) {
    if (IsPathItself(form.NameBytes, path)) TByteString().swap(form.NameBytes);
    FRecords.push_back({WideToUtf8(path), std::move(form)});
    FSorted = false;
}

void TEntryForm::SetStored(const TByteString& localExtra, const TByteString& centralExtra, const TByteString& comment) {
    // Each comes from a 16-bit length field.
    LocalLength = uint16_t(localExtra.size());
    CentralLength = uint16_t(centralExtra.size());
    Stored = localExtra.substr(0, LocalLength) + centralExtra.substr(0, CentralLength) + comment;
}

void TEntryForms::Renew(const WideString& path, uint32_t mode) {
    SetUnixMode(path, mode);
    TEntryForm* form = FindForm(path);
    form->HasHost = false;
    form->HasDosTime = false;
    form->SetStored({}, {}, form->Comment());
}

void TEntryForms::SetUnixMode(const WideString& path, uint32_t mode) {
    TEntryForm* form = FindForm(path);
    if (!form) {
        Add(path, {});
        form = FindForm(path);
    }
    form->HasUnixMode = true;
    form->UnixMode = mode;
}

void TEntryForms::Sort() {
    if (FSorted) return;
    std::stable_sort(FRecords.begin(), FRecords.end(),
                     [](const TRecord& a, const TRecord& b) { return a.Path < b.Path; });
    // Of equal paths the one recorded last counts.
    auto last = std::unique(FRecords.rbegin(), FRecords.rend(),
                            [](const TRecord& a, const TRecord& b) { return a.Path == b.Path; });
    FRecords.erase(FRecords.begin(), last.base());
    FSorted = true;
}

TEntryForm* TEntryForms::FindForm(const WideString& path) {
    Sort();
    TByteString key = WideToUtf8(path);
    auto found = std::lower_bound(FRecords.begin(), FRecords.end(), key,
                                  [](const TRecord& r, const TByteString& k) { return r.Path < k; });
    return found != FRecords.end() && found->Path == key ? &found->Form : nullptr;
}

void TEntryForms::Clear() {
    FRecords.clear();
    ArchiveComment.clear();
    FSorted = true;
}
