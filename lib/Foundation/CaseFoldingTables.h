// The generated case-folding data (lib/CaseFoldingTables.cpp, written by
// tools/gen-text-tables.py). Only the case-folding unit reads it.
#pragma once
#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
// A run of simple foldings: |Count| times, the running code point advances
// by Step and folds to running + Distance (Count > 0) or running - Distance
// (Count < 0), modulo 0x10000 within its plane.
struct TFoldRecord {
    uint16_t Step;
    int16_t Distance;
    int8_t Count;
};
#pragma pack(pop)
static_assert(sizeof(TFoldRecord) == 5, "fold records are packed");

struct TFullFoldEntry {
    uint16_t CodePoint;
    const char16_t* Folded;
};

extern const TFoldRecord SimpleFoldRecords[];
extern const size_t SimpleFoldRecordsCount;
extern const TFoldRecord SimpleFoldRecords2[];
extern const size_t SimpleFoldRecords2Count;
extern const TFullFoldEntry FullFoldEntries[];
extern const size_t FullFoldEntryCount;
