// The generated normalization data (NormalizationTables.cpp, written by
// tools/gen-text-tables.py). Only the normalization unit reads it.
#pragma once
#include <cstddef>

// One canonical decomposition: CodePoint into First and Second (0 when the
// decomposition is a single code point). Sorted by CodePoint.
struct TDecomposition {
    char32_t CodePoint, First, Second;
};

// Code points First..Last all have the canonical combining class Class
// (never 0). Sorted, not overlapping.
struct TCombiningRun {
    char32_t First, Last;
    unsigned char Class;
};

extern const TDecomposition CanonicalDecompositions[];
extern const size_t CanonicalDecompositionCount;
extern const TCombiningRun CombiningRuns[];
extern const size_t CombiningRunCount;
