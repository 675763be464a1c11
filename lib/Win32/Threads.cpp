#include <windows.h>
#include "Threads.h"

uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }
