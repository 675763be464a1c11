#include <windows.h>
#include "Foundation/CodePages.h"

int NativeBytesToWide(uint32_t codePage, const char* bytes, int count, WideChar* out, int outCount) {
    return ::MultiByteToWideChar(codePage, 0, bytes, count, reinterpret_cast<LPWSTR>(out), outCount);
}

int NativeWideToBytes(uint32_t codePage, const WideChar* text, int count, char* out, int outCount) {
    return ::WideCharToMultiByte(codePage, 0, reinterpret_cast<LPCWCH>(text), count, out, outCount, nullptr, nullptr);
}
