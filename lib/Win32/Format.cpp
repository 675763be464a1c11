#include <windows.h>
#include "Foundation/Format.h"

AnsiString FormatV(const char* format, va_list args) {
    char buffer[MaxFormattedLength + 1];
    int n = ::wvsprintfA(buffer, format, args);
    if (n < 0) n = 0;
    return AnsiString(buffer, (size_t)n);
}
