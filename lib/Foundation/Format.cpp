#include "Foundation/Format.h"

AnsiString FormatC(const char* format, ...) {
    va_list args;
    va_start(args, format);
    AnsiString text = FormatV(format, args);
    va_end(args);
    return text;
}
