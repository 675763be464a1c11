// What a front end learns while a fix runs: the stage and, where known, how
// far it got. Called on the fixing thread; what it raises stops the fix.
#pragma once
#include <cstdint>
#include <functional>
#include "Foundation/Types.h"

enum class TFixStage : uint8_t { Checking, BackingUp, Writing };

using TFixProgress = std::function<void(TFixStage stage, uint64_t done, uint64_t total)>;

// "Writing... 45%": the stage of a progress event and how far it is, as
// every front end shows it.
WideString ProgressText(TFixStage stage, uint64_t done, uint64_t total);
