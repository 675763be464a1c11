// Environment variables changed for the length of a test; child processes
// started meanwhile see the change.
#pragma once
#include <optional>
#include "Foundation/Types.h"

class TEnvironmentScope {
public:
    // No value: the variable is removed.
    TEnvironmentScope(const WideString& name, const std::optional<WideString>& value);
    ~TEnvironmentScope();
    TEnvironmentScope(const TEnvironmentScope&) = delete;
    TEnvironmentScope& operator=(const TEnvironmentScope&) = delete;

private:
    WideString FName;
    std::optional<WideString> FPrevious;
};

std::optional<WideString> GetEnvironment(const WideString& name);
void SetEnvironment(const WideString& name, const std::optional<WideString>& value);
