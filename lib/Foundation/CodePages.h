// Conversions between UTF-16 and 8-bit code pages. They never raise: a
// conversion that fails gives an empty result.
//
// Text the library keeps in 8-bit strings (AnsiString: exception messages,
// the fix's notes, reports) is UTF-8, on every system: WideToUtf8 builds it
// and Utf8ToWide reads it back (a broken sequence reads as U+FFFD). The
// system's ANSI and OEM code pages are no encoding of AnsiString; they are
// met only at the few calls that need them (8-bit Win32 calls, short paths,
// ZIP names without the UTF-8 flag), converted right there.
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
WideString BytesToWide(const TByteString& bytes, int start, int count, uint32_t codePage);
WideString BytesToWide(const TByteString& bytes, uint32_t codePage);

TByteString WideToBytes(const WideChar* text, size_t count, uint32_t codePage);
TByteString WideToBytes(const WideString& text, uint32_t codePage);
// The substring of text, clamped as ClampSubstring does.
TByteString WideSubToBytes(const WideString& text, int start, int count, uint32_t codePage);

// The library's text: UTF-8.
inline AnsiString WideToUtf8(const WideString& text) { return WideToBytes(text, CodePage::Utf8); }
inline WideString Utf8ToWide(const AnsiString& bytes) { return BytesToWide(bytes, CodePage::Utf8); }

// The code-page boundary only: bytes for, or from, an 8-bit system call
// that takes the system's ANSI code page (UTF-8 on POSIX) or its OEM code
// page (437 on POSIX). Characters the code page lacks are lost ('?', or a
// look-alike on Windows). Never for a message or a note: that is UTF-8.
inline TByteString WideToAnsiCodePage(const WideString& text) { return WideToBytes(text, CodePage::Ansi); }
inline WideString AnsiCodePageToWide(const TByteString& bytes) { return BytesToWide(bytes, CodePage::Ansi); }
inline TByteString WideToOem(const WideString& text) { return WideToBytes(text, CodePage::Oem); }
inline WideString OemToWide(const TByteString& bytes) { return BytesToWide(bytes, CodePage::Oem); }

// The platform's conversions with the Windows contract of
// MultiByteToWideChar / WideCharToMultiByte (flags 0, no default character):
// an output count of 0 asks for the size needed; 0 means failure and sets
// the last error (122 when the output is too small).
int NativeBytesToWide(uint32_t codePage, const char* bytes, int count, WideChar* out, int outCount);
int NativeWideToBytes(uint32_t codePage, const WideChar* text, int count, char* out, int outCount);
