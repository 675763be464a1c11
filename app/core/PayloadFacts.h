// What the build embedded as the viewer payload. The repository's own is a
// placeholder for tests and the demo; a program that carries one says so
// wherever its user looks, so that nobody ships it by mistake.
#pragma once
#include <cstdint>

struct TPayloadFacts {
    bool Placeholder;  // not a Mac program (Mach-O executable)
    uint64_t Size;
    const char* Sha256;  // lower-case hexadecimal
};

// Written by the build beside the embedded payload (cmake/Payload.cmake).
const TPayloadFacts& PayloadFacts();

inline bool PayloadIsPlaceholder() { return PayloadFacts().Placeholder; }
