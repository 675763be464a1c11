// The entries shared by the fuzzers and the corpus replay, each over an
// archive held in memory: its directory read and listed as "nvxzip l" does;
// every entry opened and extracted; one entry deleted, one added, the
// archive saved in place and read back.
#pragma once
#include <cstddef>
#include <cstdint>

// Each raises nothing the library raises for bad input; anything else (a
// failed assertion, a memory error, a sanitizer report, a broken check)
// is a finding.
void FuzzZipDirectory(const uint8_t* data, size_t size);
void FuzzZipExtract(const uint8_t* data, size_t size);
void FuzzZipSave(const uint8_t* data, size_t size);
