#include <gtest/gtest.h>
#include "Foundation/Normalization.h"

namespace {

// Names typed on Windows are composed, names from a Mac decomposed; marks
// in either order, Hangul and characters beyond the BMP are the same text.
TEST(Normalization, ComposedAndDecomposedNamesAreTheSame) {
    EXPECT_EQ(DecomposeCanonical(u"Pr\u00E4sentation"), u"Pra\u0308sentation");
    EXPECT_TRUE(SameCanonicalText(u"Pr\u00E4sentation.app", u"Pra\u0308sentation.app"));
    EXPECT_TRUE(SameCanonicalText(u"\u1E0B\u0323", u"d\u0323\u0307"));  // marks reordered by class
    EXPECT_TRUE(SameCanonicalText(u"\uD55C", u"\u1112\u1161\u11AB"));   // Hangul by arithmetic
    EXPECT_TRUE(SameCanonicalText(u"\U0002F800", u"\u4E3D"));           // beyond the BMP
    EXPECT_FALSE(SameCanonicalText(u"Pr\u00E4sentation", u"Prasentation"));
    const WideString escaped = u"caf\xDCE9";  // a byte that was not UTF-8, kept as a lone surrogate
    EXPECT_EQ(DecomposeCanonical(escaped), escaped);
}

}  // namespace
