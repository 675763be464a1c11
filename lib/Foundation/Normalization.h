// Canonical decomposition (Unicode's NFD). macOS stores file names
// decomposed ("a" + U+0308), while names typed on Windows are composed
// (U+00E4); both are the same name to the user.
#pragma once
#include "Foundation/Types.h"

// text with every character canonically decomposed and combining marks in
// canonical order. Unpaired surrogates pass through unchanged.
WideString DecomposeCanonical(const WideString& text);

// Whether a and b are canonically equivalent.
bool SameCanonicalText(const WideString& a, const WideString& b);
