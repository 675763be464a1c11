// The running program's own resources (platform layer).
#pragma once
#include <cstddef>
#include "Foundation/Types.h"

struct TResourceData {
    const uint8_t* Data = nullptr;
    size_t Size = 0;
};

// Finds the resource of that name and numbered type in the program's own
// module. False when there is none or it cannot be loaded.
bool FindProgramResource(const WideString& name, uint16_t type, TResourceData& data);

// POSIX has no resources in the executable: the build generates a table of
// embedded files and links it into each program. A program without one has
// no resources.
struct TEmbeddedResource {
    const char16_t* Name;
    uint16_t Type;
    const uint8_t* Data;
    size_t Size;
};

// The table's accessor, defined by the generated source.
extern "C" const TEmbeddedResource* NvxEmbeddedResources(size_t* count);
