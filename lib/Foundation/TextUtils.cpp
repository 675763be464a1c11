#include "Foundation/TextUtils.h"

WideString IntToHex(uint64_t value, int digits) {
    WideChar buffer[16];
    int n = 0;
    do {
        buffer[n++] = u"0123456789ABCDEF"[value & 0xF];
        value >>= 4;
    } while (value);
    WideString result;
    if (digits > n) result.assign((size_t)(digits - n), u'0');
    while (n) result += buffer[--n];
    return result;
}

WideString IntToStr(int64_t value) {
    std::string digits = std::to_string(value);
    return WideString(digits.begin(), digits.end());
}

WideString Printable(const WideString& text) {
    WideString shown;
    shown.reserve(text.size());
    for (WideChar c : text) {
        if (c >= 0x20 && c != 0x7F && !(c >= 0x80 && c < 0xA0)) shown += c;
        else shown += u"\\x" + IntToHex(c, 2);
    }
    return shown;
}

WideString GuidToString(const TGuid& guid) {
    // Appended: a literal plus a string trips a false -Wrestrict of mingw.
    WideString text(u"{");
    text.append(IntToHex(guid.Data1, 8)).append(u"-").append(IntToHex(guid.Data2, 4)).append(u"-");
    text.append(IntToHex(guid.Data3, 4)).append(u"-");
    for (int i = 0; i < 8; ++i) text.append(i == 2 ? u"-" : u"").append(IntToHex(guid.Data4[i], 2));
    return text.append(u"}");
}

namespace {

int HexValue(WideChar c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    return -1;
}

// Reads value from the hexadecimal digits at text[at..], two a byte.
template <class T>
bool ReadHex(const WideString& text, size_t at, T& value) {
    uint64_t read = 0;
    for (size_t i = 0; i < 2 * sizeof(T); ++i) {
        int digit = HexValue(text[at + i]);
        if (digit < 0) return false;
        read = (read << 4) | (uint64_t)digit;
    }
    value = (T)read;
    return true;
}

}  // namespace

bool StringToGuid(const WideString& text, TGuid& guid) {
    if (text.size() != 38 || text[0] != u'{' || text[37] != u'}' || text[9] != u'-' || text[14] != u'-' ||
        text[19] != u'-' || text[24] != u'-')
        return false;
    TGuid result;
    if (!ReadHex(text, 1, result.Data1) || !ReadHex(text, 10, result.Data2) || !ReadHex(text, 15, result.Data3))
        return false;
    for (int i = 0; i < 8; ++i)
        if (!ReadHex(text, i < 2 ? 20 + 2 * i : 25 + 2 * (i - 2), result.Data4[i])) return false;
    guid = result;
    return true;
}

TGuid CreateGuid() {
    TGuid guid;
    if (!NativeCreateGuid(guid)) FillRandom(&guid, sizeof guid);
    return guid;
}
