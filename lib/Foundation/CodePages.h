// Conversions between UTF-16 and 8-bit code pages. They never raise: a
// conversion that fails gives an empty result.
#pragma once
#include <cstddef>
#include "Foundation/Types.h"

namespace CodePage {
constexpr uint32_t Ansi = 0;  // the system's ANSI code page; UTF-8 on POSIX
constexpr uint32_t Oem = 1;   // the system's OEM code page; 437 on POSIX
constexpr uint32_t Us = 437;
constexpr uint32_t Utf8 = 65001;
}  // namespace CodePage

// A growable array of bytes in some code page.
using TByteString = std::string;

// The 1-based substring start..start+count-1 of a string of size as
// [offset, offset + length): a start below 1 counts as 1, the count is cut
// at the end, and a substring outside the string is empty.
void ClampSubstring(size_t size, int start, int count, size_t& offset, size_t& length);

// count bytes from a raw buffer (ZIP names, resource text).
WideString BufferToWide(const void* bytes, size_t count, uint32_t codePage);
// The substring start..start+count-1 of bytes, clamped as ClampSubstring does.
WideString AnsiToWide(const AnsiString& bytes, int start, int count, uint32_t codePage);
WideString AnsiToWide(const AnsiString& bytes, uint32_t codePage = CodePage::Ansi);

TByteString WideToBytes(const WideChar* text, size_t count, uint32_t codePage);
TByteString WideToBytes(const WideString& text, uint32_t codePage);
// The substring of text, clamped as ClampSubstring does.
TByteString WideSubToBytes(const WideString& text, int start, int count, uint32_t codePage);

inline AnsiString WideToAnsi(const WideString& text) { return WideToBytes(text, CodePage::Ansi); }
inline AnsiString WideToOem(const WideString& text) { return WideToBytes(text, CodePage::Oem); }
inline AnsiString WideToUtf8(const WideString& text) { return WideToBytes(text, CodePage::Utf8); }
inline WideString OemToWide(const AnsiString& bytes) { return AnsiToWide(bytes, CodePage::Oem); }
inline WideString Utf8ToWide(const AnsiString& bytes) { return AnsiToWide(bytes, CodePage::Utf8); }

// The platform's conversions with the Windows contract of
// MultiByteToWideChar / WideCharToMultiByte (flags 0, no default character):
// an output count of 0 asks for the size needed; 0 means failure and sets
// the last error (122 when the output is too small).
int NativeBytesToWide(uint32_t codePage, const char* bytes, int count, WideChar* out, int outCount);
int NativeWideToBytes(uint32_t codePage, const WideChar* text, int count, char* out, int outCount);
