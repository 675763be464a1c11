// Unicode simple case folding, the ground of every comparison that ignores
// case. The map is built once at start-up and only read afterwards.
#pragma once
#include <climits>
#include <vector>
#include "Foundation/RefObject.h"
#include "Foundation/Types.h"

// 256 code points of the fold map. Only pages where something folds exist;
// all pages form one chain, freed together at shutdown.
class TCharPage : public TRefObject {
public:
    static constexpr uint32_t LastPage = 0x10FF;

    // Starts as the identity and registers itself in the page directory.
    explicit TCharPage(uint32_t pageNumber);

    TCharPage* Previous = nullptr;
    uint16_t Targets[256];
    uint32_t PageNumber;
    uint32_t HighPart;  // code point AND 0xFF0000, added to a 16-bit target
    // Full (one-to-many) folding for the code points FullFirst.. of the page.
    uint32_t FullFirst = 0;
    uint32_t FullCount = 0;
    std::vector<WideString> Full;
};

void InitCaseFolding();
void DoneCaseFolding();

uint32_t Fold(uint32_t codePoint);
// The full folding of a code point (U+00DF gives "ss"); its simple folding
// when it has none.
WideString FullFold(uint32_t codePoint);
// How many code points change under simple folding.
size_t FoldedCodePointCount();

// Reads the code point at i of text[..end) and moves i past it; a valid
// surrogate pair is one code point.
uint32_t NextCodePoint(const WideChar* text, size_t& i, size_t end);
// Appends a code point in UTF-16.
void AppendCodePoint(WideString& text, uint32_t codePoint);

// Characters start..start+count-1 (1-based, clamped) with every code point
// folded; surrogate pairs fold as one code point.
WideString FoldString(const WideString& text, int start = 1, int count = INT_MAX);

// Compares two 1-based, clamped substrings code point by code point after
// folding: negative, zero or positive.
int CompareFolded(const WideString& a, int startA, int countA, const WideString& b, int startB, int countB);
// Ignoring case: CompareFolded of the whole strings. Otherwise the
// difference of the first differing units, or of the lengths.
int CompareText(const WideString& a, const WideString& b, bool ignoreCase);
