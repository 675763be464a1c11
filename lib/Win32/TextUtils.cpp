#include <windows.h>
#include <objbase.h>
#include <random>
#include "Foundation/CodePages.h"
#include "Foundation/SystemInfo.h"
#include "Foundation/TextUtils.h"

bool NativeCreateGuid(TGuid& guid) {
    GUID g;
    if (FAILED(::CoCreateGuid(&g))) return false;
    guid.Data1 = g.Data1;
    guid.Data2 = g.Data2;
    guid.Data3 = g.Data3;
    for (int i = 0; i < 8; ++i) guid.Data4[i] = g.Data4[i];
    return true;
}

void FillRandom(void* buffer, size_t size) {
    std::random_device device;
    auto* bytes = static_cast<unsigned char*>(buffer);
    for (size_t i = 0; i < size; ++i) bytes[i] = (unsigned char)device();
}

WideString ExpandEnvironment(const WideString& text) {
    if (OSVersion().Major < 5) {
        // Systems before NT 5 expand 8-bit text only.
        TByteString source = WideToAnsiCodePage(text);
        char buffer[260];
        DWORD n = ::ExpandEnvironmentStringsA(source.c_str(), buffer, sizeof buffer);
        if (n == 0 || n > sizeof buffer) return WideString();
        return AnsiCodePageToWide(TByteString(buffer, n - 1));
    }
    auto source = reinterpret_cast<LPCWSTR>(text.c_str());
    DWORD size = ::ExpandEnvironmentStringsW(source, nullptr, 0);
    if (size == 0) return WideString();
    WideString result(size, u'\0');
    DWORD n = ::ExpandEnvironmentStringsW(source, reinterpret_cast<LPWSTR>(result.data()), size);
    if (n == 0 || n > size) return WideString();
    result.resize(n - 1);
    return result;
}
