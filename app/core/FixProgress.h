// What a front end learns while a fix runs: the stage and, where known, how
// far it got. Called on the fixing thread.
#pragma once
#include <cstdint>
#include <functional>

using TFixProgress = std::function<void(const char* stage, uint64_t done, uint64_t total)>;
