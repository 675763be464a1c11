// What a user can do after a fix failed, said after the failure itself.
#pragma once
#include <exception>
#include "Foundation/Types.h"

// A sentence for the cause's kind: damage, a file in use or not to be
// changed, a full disk, a path gone; else that nothing changed and a retry.
WideString FailureAdvice(const std::exception& failure);
