#include "Archivers/Zip/EntryModes.h"
#include "FileSystem/FileAPI.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"
#include "Foundation/TextUtils.h"

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
constexpr uint32_t DosReadOnly = 0x01, DosFolder = 0x10;
}  // namespace

uint32_t ModeToStore(uint32_t ownMode, bool folder, bool program) {
    if (ownMode == 0) return folder ? UnixMode::Folder : program ? UnixMode::Program : UnixMode::File;
    return program ? UnixMode::WithExecute(ownMode) : ownMode;
}

bool ProgramWouldGain(uint32_t ownMode) { return ownMode == 0 || UnixMode::WithExecute(ownMode) != ownMode; }

uint32_t UnixExternalAttributes(uint32_t mode) {
    const bool folder = (mode & UnixMode::TypeBits) == (UnixMode::Folder & UnixMode::TypeBits);
    return mode << 16 | (folder ? DosFolder : 0) | ((mode & 0200) ? 0 : DosReadOnly);
}

namespace {
[[noreturn]] void RefuseName(const WideString& name) {
    throw EArchiveBroken("Unsafe entry name \"" + WideToUtf8(Printable(name)) + "\"");
}
}  // namespace

void CheckEntryPath(const WideString& name) {
    if (ReachesOutside(name)) RefuseName(name);
}

// Components holding ':' (an alternate data stream on Windows) or a control
// character are refused besides.
void CheckEntryName(const WideString& name) {
    CheckEntryPath(name);
    for (WideChar c : name)
        if (c == u':' || c < 0x20 || c == 0x7F) RefuseName(name);
}
