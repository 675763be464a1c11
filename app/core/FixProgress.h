// What a front end learns while a fix runs: the stage and, where known, how
// far it got. Called on the fixing thread.
#pragma once
#include <cstdint>
#include <functional>
#include "Foundation/Types.h"

using TFixProgress = std::function<void(const char* stage, uint64_t done, uint64_t total)>;

// "Packing... 45%": the stage of a progress event and how far it is, as the
// front ends show it.
WideString ProgressText(const char* stage, uint64_t done, uint64_t total);
