// Message formatting by the wvsprintfA rules: %d %i %u %x %X %s %c %p, the l
// prefix, width, precision, the 0 and - flags; at most 2048 bytes of output.
#pragma once
#include <cstdarg>
#include <type_traits>
#include "Foundation/Types.h"

constexpr size_t MaxFormattedLength = 2048;

AnsiString FormatV(const char* format, va_list args);
AnsiString FormatC(const char* format, ...);

namespace FormatDetail {
inline const char* Pass(const AnsiString& s) { return s.c_str(); }
inline const char* Pass(const char* s) { return s; }
template <class T>
requires std::is_arithmetic_v<T> || std::is_pointer_v<T> || std::is_enum_v<T>
inline T Pass(T v) { return v; }
}  // namespace FormatDetail

// Only the argument values are passed; std::string arguments go as %s text.
template <class... Args>
AnsiString Format(const char* format, const Args&... args) {
    return FormatC(format, FormatDetail::Pass(args)...);
}
