// The same on every platform (the system's own stops at 1024 bytes).
// Integers are 32-bit whatever the l prefix says, as on Windows.
#include "Foundation/Format.h"
#include <cstring>

namespace {

struct TSpec {
    bool Left = false, Zero = false, Alternate = false;
    int Width = 0;
    int Precision = -1;
};

void Append(AnsiString& out, const char* text, size_t length) {
    size_t room = MaxFormattedLength - out.size();
    out.append(text, length < room ? length : room);
}

void Pad(AnsiString& out, const TSpec& spec, const char* body, size_t length, const char* prefix = "") {
    size_t prefixLength = std::strlen(prefix);
    size_t total = length + prefixLength;
    size_t fill = (size_t)spec.Width > total ? spec.Width - total : 0;
    if (!spec.Left && !spec.Zero) Append(out, AnsiString(fill, ' ').c_str(), fill);
    Append(out, prefix, prefixLength);
    if (!spec.Left && spec.Zero) Append(out, AnsiString(fill, '0').c_str(), fill);
    Append(out, body, length);
    if (spec.Left) Append(out, AnsiString(fill, ' ').c_str(), fill);
}

void Number(AnsiString& out, TSpec spec, unsigned long long value, bool negative, unsigned base, bool upper,
            const char* prefix) {
    char digits[32];
    int n = 0;
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        digits[n++] = set[value % base];
        value /= base;
    } while (value);
    AnsiString body;
    if (spec.Precision > n) body.assign(spec.Precision - n, '0');
    while (n) body += digits[--n];
    if (spec.Precision >= 0) spec.Zero = false;
    Pad(out, spec, body.data(), body.size(), negative ? "-" : prefix);
}

}  // namespace

AnsiString FormatV(const char* format, va_list args) {
    AnsiString out;
    for (const char* p = format; *p && out.size() < MaxFormattedLength; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        ++p;
        TSpec spec;
        for (;; ++p) {
            if (*p == '-') spec.Left = true;
            else if (*p == '0') spec.Zero = true;
            else if (*p == '#') spec.Alternate = true;
            else break;
        }
        while (*p >= '0' && *p <= '9') spec.Width = spec.Width * 10 + (*p++ - '0');
        if (*p == '.') {
            spec.Precision = 0;
            for (++p; *p >= '0' && *p <= '9'; ++p) spec.Precision = spec.Precision * 10 + (*p - '0');
        }
        while (*p == 'l' || *p == 'h') ++p;
        switch (*p) {
        case 'd':
        case 'i': {
            long long v = va_arg(args, int);
            Number(out, spec, (unsigned long long)(v < 0 ? -v : v), v < 0, 10, false, "");
            break;
        }
        case 'u': Number(out, spec, va_arg(args, unsigned), false, 10, false, ""); break;
        case 'x': Number(out, spec, va_arg(args, unsigned), false, 16, false, spec.Alternate ? "0x" : ""); break;
        case 'X': Number(out, spec, va_arg(args, unsigned), false, 16, true, spec.Alternate ? "0X" : ""); break;
        case 'p': {
            TSpec pointer = spec;
            pointer.Precision = (int)(2 * sizeof(void*));
            Number(out, pointer, (uintptr_t)va_arg(args, void*), false, 16, true, "");
            break;
        }
        case 'c': {
            char c = (char)va_arg(args, int);
            Pad(out, spec, &c, 1);
            break;
        }
        case 's': {
            const char* s = va_arg(args, const char*);
            if (!s) s = "(null)";
            size_t length = std::strlen(s);
            if (spec.Precision >= 0 && (size_t)spec.Precision < length) length = spec.Precision;
            Pad(out, spec, s, length);
            break;
        }
        case '\0':
            --p;  // a lone % at the end is dropped
            break;
        default:
            // Unknown type: the character itself, as wvsprintfA does for %%.
            out += *p;
            break;
        }
    }
    if (out.size() > MaxFormattedLength) out.resize(MaxFormattedLength);
    return out;
}

AnsiString FormatC(const char* format, ...) {
    va_list args;
    va_start(args, format);
    AnsiString text = FormatV(format, args);
    va_end(args);
    return text;
}
