// What the parts of TZipArchive (the archive with its extraction, and
// saving) share; private to this folder.
#pragma once
#include "Archivers/Zip/ZipStructureParts.h"
#include "Foundation/ScopeExit.h"
#include "Foundation/TextUtils.h"

namespace ZipArchiveParts {
inline const AnsiString UserAborted = "User aborted";

// The I/O buffer, made at its first use and kept with the archive: a check
// of many small entries extracts again and again.
inline void HoldBuffer(std::vector<uint8_t>& buffer, size_t size) {
    if (buffer.size() < size) buffer.resize(size);
}

// An object the archive holds in a field for the length of one operation.
template <class T>
auto HoldFor(TRef<T>& field, TRef<T> value) {
    field = std::move(value);
    return TScopeExit([&field] { field.Reset(); });
}

// The entry's name, printable, in quotes. (Appended to: a quote put in
// front of it draws a false -Wrestrict warning from GCC 12.)
inline AnsiString QuotedName(TZipItem* entry) {
    return AnsiString("\"").append(WideToUtf8(Printable(entry->Name()))) + "\"";
}
[[noreturn]] inline void RaiseDamaged(TZipItem* entry, const AnsiString& cause) {
    throw EArchiveDamaged("The entry " + QuotedName(entry) + " is damaged: " + cause);
}
}  // namespace ZipArchiveParts
