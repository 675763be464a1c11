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
    WideString text(1, u'{');
    text.append(IntToHex(guid.Data1, 8)).append(1, u'-');
    text.append(IntToHex(guid.Data2, 4)).append(1, u'-');
    text.append(IntToHex(guid.Data3, 4)).append(1, u'-');
    for (int i = 0; i < 8; ++i) {
        if (i == 2) text += u'-';
        text += IntToHex(guid.Data4[i], 2);
    }
    text += u'}';
    return text;
}

namespace {

int HexValue(WideChar c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    return -1;
}

// Reads digits hexadecimal digits at text[at..].
bool ReadHex(const WideString& text, size_t at, int digits, uint64_t& value) {
    value = 0;
    for (int i = 0; i < digits; ++i) {
        int v = HexValue(text[at + i]);
        if (v < 0) return false;
        value = (value << 4) | (uint64_t)v;
    }
    return true;
}

}  // namespace

bool StringToGuid(const WideString& text, TGuid& guid) {
    if (text.size() != 38 || text[0] != u'{' || text[37] != u'}' || text[9] != u'-' || text[14] != u'-' ||
        text[19] != u'-' || text[24] != u'-')
        return false;
    TGuid result;
    uint64_t value;
    if (!ReadHex(text, 1, 8, value)) return false;
    result.Data1 = (uint32_t)value;
    if (!ReadHex(text, 10, 4, value)) return false;
    result.Data2 = (uint16_t)value;
    if (!ReadHex(text, 15, 4, value)) return false;
    result.Data3 = (uint16_t)value;
    for (int i = 0; i < 8; ++i) {
        size_t at = i < 2 ? 20 + 2 * i : 25 + 2 * (i - 2);
        if (!ReadHex(text, at, 2, value)) return false;
        result.Data4[i] = (uint8_t)value;
    }
    guid = result;
    return true;
}

TGuid CreateGuid() {
    TGuid guid;
    if (!NativeCreateGuid(guid)) FillRandom(&guid, sizeof guid);
    return guid;
}
