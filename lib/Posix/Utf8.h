// UTF-8, the encoding of file names and of the ANSI code page here.
#pragma once
#include "Types.h"

// Unpaired surrogates and malformed bytes become U+FFFD.
std::string Utf16ToUtf8(const WideString& text);
WideString Utf8ToUtf16(const std::string& text);
