#include "support/Environment.h"
#include "Foundation/CodePages.h"
#ifdef _WIN32
#include <windows.h>
#else
#include <cstdlib>
#endif

TEnvironmentScope::TEnvironmentScope(const WideString& name, const std::optional<WideString>& value)
    : FName(name), FPrevious(GetEnvironment(name)) {
    SetEnvironment(name, value);
}

TEnvironmentScope::~TEnvironmentScope() { SetEnvironment(FName, FPrevious); }

#ifdef _WIN32
std::optional<WideString> GetEnvironment(const WideString& name) {
    auto n = reinterpret_cast<LPCWSTR>(name.c_str());
    DWORD size = ::GetEnvironmentVariableW(n, nullptr, 0);
    if (size == 0) return std::nullopt;
    WideString value(size, u'\0');
    DWORD length = ::GetEnvironmentVariableW(n, reinterpret_cast<LPWSTR>(value.data()), size);
    value.resize(length);
    return value;
}

void SetEnvironment(const WideString& name, const std::optional<WideString>& value) {
    ::SetEnvironmentVariableW(reinterpret_cast<LPCWSTR>(name.c_str()),
                              value ? reinterpret_cast<LPCWSTR>(value->c_str()) : nullptr);
}
#else
std::optional<WideString> GetEnvironment(const WideString& name) {
    const char* value = std::getenv(WideToUtf8(name).c_str());
    if (!value) return std::nullopt;
    return Utf8ToWide(value);
}

void SetEnvironment(const WideString& name, const std::optional<WideString>& value) {
    if (value) ::setenv(WideToUtf8(name).c_str(), WideToUtf8(*value).c_str(), 1);
    else ::unsetenv(WideToUtf8(name).c_str());
}
#endif
