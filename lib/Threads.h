// Facts about the calling thread.
#pragma once
#include <cstdint>

// The system's identifier of the calling thread.
uint32_t CurrentThreadId();
