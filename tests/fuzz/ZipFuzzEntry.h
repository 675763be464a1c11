// The one entry shared by the fuzzer and the corpus replay: the directory
// of an archive held in memory read and listed as "nvxzip l" does.
#pragma once
#include <cstddef>
#include <cstdint>

// Raises nothing the library raises for bad input; anything else (a
// failed assertion, a memory error, a sanitizer report) is a finding.
void FuzzZipDirectory(const uint8_t* data, size_t size);
