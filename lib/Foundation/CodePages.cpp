#include "Foundation/CodePages.h"
#include <algorithm>
#include <climits>

void ClampSubstring(size_t size, int start, int count, size_t& offset, size_t& length) {
    if (start < 1) start = 1;
    offset = std::min((size_t)start - 1, size);
    length = count <= 0 ? 0 : std::min((size_t)count, size - offset);
}

WideString BufferToWide(const void* bytes, size_t count, uint32_t codePage) {
    if (count == 0 || count > INT_MAX) return WideString();
    const char* in = static_cast<const char*>(bytes);
    // The code pages in use keep printable ASCII as it is, and most names
    // are nothing else.
    const bool known = codePage == CodePage::Ansi || codePage == CodePage::Oem || codePage == CodePage::Us ||
                       codePage == CodePage::Utf8;
    if (known && std::all_of(in, in + count, [](char c) { return c >= 0x20 && c < 0x7F; }))
        return WideString(in, in + count);
    // No code page gives more UTF-16 units than bytes.
    if (count < 2048) {
        WideChar buffer[2047];
        int n = NativeBytesToWide(codePage, in, (int)count, buffer, 2047);
        return n > 0 ? WideString(buffer, (size_t)n) : WideString();
    }
    WideString out(count, u'\0');
    int n = NativeBytesToWide(codePage, in, (int)count, out.data(), (int)count);
    if (n <= 0) return WideString();
    out.resize((size_t)n);
    return out;
}

WideString BytesToWide(const TByteString& bytes, int start, int count, uint32_t codePage) {
    size_t offset, length;
    ClampSubstring(bytes.size(), start, count, offset, length);
    return BufferToWide(bytes.data() + offset, length, codePage);
}

WideString BytesToWide(const TByteString& bytes, uint32_t codePage) {
    return BufferToWide(bytes.data(), bytes.size(), codePage);
}

TByteString WideToBytes(const WideChar* text, size_t count, uint32_t codePage) {
    if (count == 0 || count > INT_MAX / 2 - 1) return TByteString();
    // The estimate is short for UTF-8 beyond two bytes a unit; the exact
    // size is asked for below when it does not fit.
    int estimate = 2 * (int)count + 2;
    if (estimate >= 4095) {
        TByteString out((size_t)estimate, '\0');
        int n = NativeWideToBytes(codePage, text, (int)count, out.data(), estimate);
        if (n > 0) {
            out.resize((size_t)n);
            return out;
        }
    } else {
        char buffer[4095];
        int n = NativeWideToBytes(codePage, text, (int)count, buffer, (int)sizeof buffer);
        if (n > 0) return TByteString(buffer, (size_t)n);
    }
    int needed = NativeWideToBytes(codePage, text, (int)count, nullptr, 0);
    if (needed <= 0) return TByteString();
    TByteString out((size_t)needed, '\0');
    int n = NativeWideToBytes(codePage, text, (int)count, out.data(), needed);
    if (n <= 0) return TByteString();
    out.resize((size_t)n);
    return out;
}

TByteString WideToBytes(const WideString& text, uint32_t codePage) {
    return WideToBytes(text.data(), text.size(), codePage);
}

TByteString WideSubToBytes(const WideString& text, int start, int count, uint32_t codePage) {
    size_t offset, length;
    ClampSubstring(text.size(), start, count, offset, length);
    return WideToBytes(text.data() + offset, length, codePage);
}
