// POSIX code pages: ANSI is UTF-8 and OEM is code page 437. Malformed input
// is replaced, not refused, as Windows does without MB_ERR_INVALID_CHARS.
#include "Foundation/CodePages.h"
#include <algorithm>
#include <iterator>
#include <string>
#include "Foundation/SysError.h"
#include "Posix/CodePage437.h"
#include "Posix/FileNames.h"

namespace {

constexpr char16_t Replacement = 0xFFFD;

enum class TKind { Utf8, Cp437, Unknown };

TKind KindOf(uint32_t codePage) {
    switch (codePage) {
    case CodePage::Ansi:
    case CodePage::Utf8: return TKind::Utf8;
    case CodePage::Oem:
    case CodePage::Us: return TKind::Cp437;
    default: return TKind::Unknown;
    }
}

// What becomes of bytes that are no UTF-8: one U+FFFD per broken sequence,
// or each byte b kept as the lone surrogate U+DC00 + b (names of files).
enum class TInvalid { Replace, Escape };

constexpr char16_t EscapeBase = 0xDC00;

bool IsEscapedByte(uint32_t c) { return c >= EscapeBase + 0x80 && c <= EscapeBase + 0xFF; }

void PutInvalid(const unsigned char* bytes, int count, TInvalid invalid, std::u16string& out) {
    if (invalid == TInvalid::Replace) out += Replacement;
    else
        for (int k = 0; k < count; ++k) out += (char16_t)(EscapeBase + bytes[k]);
}

void DecodeUtf8(const unsigned char* in, int count, std::u16string& out, TInvalid invalid = TInvalid::Replace) {
    int i = 0;
    while (i < count) {
        unsigned char b = in[i];
        if (b < 0x80) {
            out += (char16_t)b;
            ++i;
            continue;
        }
        int length;
        uint32_t cp;
        // The second byte's range excludes overlong forms, surrogates and
        // code points above U+10FFFF.
        unsigned char low = 0x80, high = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) length = 2, cp = b & 0x1F;
        else if (b >= 0xE0 && b <= 0xEF) {
            length = 3, cp = b & 0x0F;
            if (b == 0xE0) low = 0xA0;
            if (b == 0xED) high = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4, cp = b & 0x07;
            if (b == 0xF0) low = 0x90;
            if (b == 0xF4) high = 0x8F;
        } else {
            PutInvalid(in + i, 1, invalid, out);
            ++i;
            continue;
        }
        // A broken sequence is replaced once as far as it was valid; the
        // byte that broke it is read again.
        int k = 1;
        for (; k < length && i + k < count; ++k) {
            unsigned char c = in[i + k];
            if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) break;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (k < length) {
            PutInvalid(in + i, k, invalid, out);
            i += k;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += (char16_t)(0xD800 + (cp >> 10));
            out += (char16_t)(0xDC00 + (cp & 0x3FF));
        } else {
            out += (char16_t)cp;
        }
        i += length;
    }
}

void EncodeUtf8(const char16_t* in, int count, std::string& out, TInvalid invalid = TInvalid::Replace) {
    for (int i = 0; i < count; ++i) {
        uint32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < count && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (invalid == TInvalid::Escape && IsEscapedByte(cp)) {
            out += (char)(cp - EscapeBase);
            continue;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = Replacement;  // a lone surrogate
        }
        if (cp < 0x80) {
            out += (char)cp;
        } else if (cp < 0x800) {
            out += (char)(0xC0 | (cp >> 6));
            out += (char)(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += (char)(0xE0 | (cp >> 12));
            out += (char)(0x80 | ((cp >> 6) & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        } else {
            out += (char)(0xF0 | (cp >> 18));
            out += (char)(0x80 | ((cp >> 12) & 0x3F));
            out += (char)(0x80 | ((cp >> 6) & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        }
    }
}

void Decode437(const unsigned char* in, int count, std::u16string& out) {
    for (int i = 0; i < count; ++i) out += in[i] < 0x80 ? (char16_t)in[i] : (char16_t)CodePage437High[in[i] - 0x80];
}

void Encode437(const char16_t* in, int count, std::string& out) {
    for (int i = 0; i < count; ++i) {
        char16_t c = in[i];
        if (c < 0x80) {
            out += (char)c;
            continue;
        }
        const uint16_t* high = std::find(std::begin(CodePage437High), std::end(CodePage437High), c);
        char byte = high == std::end(CodePage437High) ? '?' : (char)(0x80 + (high - CodePage437High));
        // A surrogate pair is one character and gets one '?'.
        if (byte == '?' && c >= 0xD800 && c <= 0xDBFF && i + 1 < count && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF)
            ++i;
        out += byte;
    }
}

// The Windows output contract shared by both directions.
template <class TChar>
int Deliver(const std::basic_string<TChar>& result, TChar* out, int outCount) {
    if (outCount == 0) return (int)result.size();
    if ((size_t)outCount < result.size()) {
        SetLastErrorCode(WinError::InsufficientBuffer);
        return 0;
    }
    result.copy(out, result.size());
    return (int)result.size();
}

// The kind of conversion, or Unknown (with the error set) for a bad call.
TKind CheckCall(uint32_t codePage, const void* in, int count, const void* out, int outCount) {
    TKind kind = KindOf(codePage);
    if (kind == TKind::Unknown || !in || count <= 0 || outCount < 0 || (outCount > 0 && !out)) {
        SetLastErrorCode(WinError::InvalidParameter);
        return TKind::Unknown;
    }
    return kind;
}

}  // namespace

int NativeBytesToWide(uint32_t codePage, const char* bytes, int count, WideChar* out, int outCount) {
    TKind kind = CheckCall(codePage, bytes, count, out, outCount);
    if (kind == TKind::Unknown) return 0;
    std::u16string result;
    const auto* in = reinterpret_cast<const unsigned char*>(bytes);
    if (kind == TKind::Utf8) DecodeUtf8(in, count, result);
    else Decode437(in, count, result);
    return Deliver(result, out, outCount);
}

int NativeWideToBytes(uint32_t codePage, const WideChar* text, int count, char* out, int outCount) {
    TKind kind = CheckCall(codePage, text, count, out, outCount);
    if (kind == TKind::Unknown) return 0;
    std::string result;
    if (kind == TKind::Utf8) EncodeUtf8(text, count, result);
    else Encode437(text, count, result);
    return Deliver(result, out, outCount);
}

WideString SystemNameToWide(const std::string& name) {
    std::u16string result;
    DecodeUtf8(reinterpret_cast<const unsigned char*>(name.data()), (int)name.size(), result, TInvalid::Escape);
    return result;
}

std::string WideToSystemName(const WideString& name) {
    std::string result;
    EncodeUtf8(name.data(), (int)name.size(), result, TInvalid::Escape);
    return result;
}
