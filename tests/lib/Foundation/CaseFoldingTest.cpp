#include <gtest/gtest.h>
#include <fstream>
#include <map>
#include <sstream>
#include "Foundation/CaseFolding.h"
#include "Foundation/Exceptions.h"
#include "support/MessageBoxes.h"

namespace {

WideString Units(std::initializer_list<uint32_t> units) {
    WideString s;
    for (uint32_t u : units) s += (WideChar)u;
    return s;
}

TEST(CaseFolding, KnownFoldings) {
    EXPECT_EQ(Fold(0x41), 0x61u);
    EXPECT_EQ(Fold(0x5A), 0x7Au);
    EXPECT_EQ(Fold(0x61), 0x61u);
    EXPECT_EQ(Fold(0xB5), 0x3BCu);
    EXPECT_EQ(Fold(0x1E9E), 0xDFu);
    EXPECT_EQ(Fold(0x10400), 0x10428u);
    EXPECT_EQ(Fold(0x130), 0x130u);
    EXPECT_EQ(Fold(0x212A), 0x6Bu);
    EXPECT_EQ(Fold(0x1F88), 0x1F80u);
    // Distances beyond 16 signed bits wrap within the plane.
    EXPECT_EQ(Fold(0xAB70), 0x13A0u);
    EXPECT_EQ(Fold(0x13F8), 0x13F0u);
    EXPECT_EQ(Fold(0x1E900), 0x1E922u);
    // Outside the map and outside Unicode.
    EXPECT_EQ(Fold(0x4E2D), 0x4E2Du);
    EXPECT_EQ(Fold(0x110000), 0x110000u);
    EXPECT_EQ(Fold(0xFFFFFFFF), 0xFFFFFFFFu);
}

TEST(CaseFolding, FullFoldingStrings) {
    EXPECT_EQ(FullFold(0xDF), u"ss");
    EXPECT_EQ(FullFold(0x1E9E), u"ss");
    EXPECT_EQ(FullFold(0xFB03), u"ffi");
    EXPECT_EQ(FullFold(0x130), u"i\u0307");
    EXPECT_EQ(FullFold(0x41), u"a");
    EXPECT_EQ(FullFold(0x10400), u"\U00010428");
}

// Every mapping of the Unicode data the tables were generated from, and the
// identity everywhere else.
TEST(CaseFolding, MatchesTheUnicodeData) {
    std::ifstream file("/usr/share/unicode/CaseFolding.txt");
    if (!file) GTEST_SKIP() << "no CaseFolding.txt on this system";
    std::map<uint32_t, uint32_t> simple;
    std::map<uint32_t, std::vector<uint32_t>> full;
    std::string line;
    while (std::getline(file, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream fields(line);
        std::string code, status, mapping;
        if (!std::getline(fields, code, ';') || !std::getline(fields, status, ';') ||
            !std::getline(fields, mapping, ';'))
            continue;
        uint32_t cp = std::stoul(code, nullptr, 16);
        std::istringstream targets(mapping);
        std::vector<uint32_t> values;
        for (std::string t; targets >> t;) values.push_back(std::stoul(t, nullptr, 16));
        if (status == " C" || status == " S") simple[cp] = values[0];
        else if (status == " F") full[cp] = values;
    }
    ASSERT_GT(simple.size(), 1400u);
    EXPECT_EQ(FoldedCodePointCount(), simple.size());
    for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        auto it = simple.find(cp);
        uint32_t expected = it == simple.end() ? cp : it->second;
        if (Fold(cp) != expected) {
            ADD_FAILURE() << std::hex << "U+" << cp << " folds to " << Fold(cp) << ", expected " << expected;
            break;
        }
    }
    for (auto& [cp, values] : full) {
        WideString expected;
        for (uint32_t v : values) expected += (WideChar)v;
        EXPECT_EQ(FullFold(cp), expected) << std::hex << cp;
    }
}

TEST(CaseFolding, FoldStringHandlesPairsAndRanges) {
    EXPECT_EQ(FoldString(u"Hello \u00C4\U00010400!"), u"hello \u00E4\U00010428!");
    EXPECT_EQ(FoldString(u"ABCDE", 2, 3), u"bcd");
    EXPECT_EQ(FoldString(u"ABCDE", 0, 2), u"ab");
    EXPECT_EQ(FoldString(u"ABCDE", 4, 100), u"de");
    EXPECT_EQ(FoldString(u"ABCDE", 9, 1), u"");
    EXPECT_EQ(FoldString(u"ABCDE", 1, 0), u"");
    // Lone surrogates stay as they are, also at the end of the range.
    WideString lone = Units({'A', 0xDC00, 'B', 0xD801});
    EXPECT_EQ(FoldString(lone), Units({'a', 0xDC00, 'b', 0xD801}));
    // A pair cut by the range is not a pair.
    EXPECT_EQ(FoldString(u"\U00010400", 1, 1), Units({0xD801}));
}

TEST(CaseFolding, FoldStringAcrossChunkBoundaries) {
    WideString text, expected;
    for (int i = 0; i < 3000; ++i) {
        if (i % 7 == 0) {
            text += u"\U00010401";
            expected += u"\U00010429";
        } else {
            text += u'Q';
            expected += u'q';
        }
    }
    EXPECT_EQ(FoldString(text), expected);
}

TEST(CaseFolding, CompareFoldedIgnoresCaseOnly) {
    EXPECT_EQ(CompareFolded(u"\u00C4BC", 1, 3, u"\u00E4bc", 1, 3), 0);
    // Simple folding keeps U+00DF apart from "ss".
    EXPECT_NE(CompareFolded(u"Stra\u00DFe", 1, 6, u"STRASSE", 1, 7), 0);
    EXPECT_EQ(CompareFolded(u"\u1E9E", 1, 1, u"\u00DF", 1, 1), 0);
    EXPECT_EQ(CompareFolded(u"K", 1, 1, u"\u212A", 1, 1), 0);
    EXPECT_LT(CompareFolded(u"abc", 1, 3, u"ABCD", 1, 4), 0);
    EXPECT_GT(CompareFolded(u"ABCD", 1, 4, u"abc", 1, 3), 0);
    EXPECT_LT(CompareFolded(u"a", 1, 1, u"B", 1, 1), 0);
    EXPECT_GT(CompareFolded(u"b", 1, 1, u"A", 1, 1), 0);
    EXPECT_EQ(CompareFolded(u"", 1, 0, u"", 1, 0), 0);
}

TEST(CaseFolding, CompareFoldedTakesClampedSubstrings) {
    EXPECT_EQ(CompareFolded(u"xxHELLO", 3, 5, u"hello!", 1, 5), 0);
    EXPECT_EQ(CompareFolded(u"HELLO", 0, 100, u"hello", -3, 5), 0);
    EXPECT_LT(CompareFolded(u"HELLO", 1, 4, u"hello", 1, 5), 0);
    EXPECT_EQ(CompareFolded(u"abc", 4, 1, u"", 1, 1), 0);
}

TEST(CaseFolding, CompareFoldedKeepsSurrogatePairsWhole) {
    // The units first differ at the low surrogate; the pair must be folded whole.
    EXPECT_EQ(CompareFolded(u"x\U00010400y", 1, 4, u"x\U00010428Y", 1, 4), 0);
    EXPECT_EQ(CompareText(u"\U00010400", u"\U00010428", true), 0);
    EXPECT_LT(CompareText(u"\U00010428", u"\U00010429", true), 0);
    // A supplementary letter sorts after every BMP letter.
    EXPECT_GT(CompareText(u"\U00010400", u"\uFF3A", true), 0);
}

TEST(CaseFolding, CompareTextWithCase) {
    EXPECT_LT(CompareText(u"ABC", u"abc", false), 0);
    EXPECT_EQ(CompareText(u"abc", u"abc", false), 0);
    EXPECT_LT(CompareText(u"ab", u"abc", false), 0);
    EXPECT_GT(CompareText(u"abd", u"abc", false), 0);
    EXPECT_EQ(CompareText(u"ABC", u"abc", true), 0);
}

TEST(CaseFolding, PagesBeyondUnicodeAreRefused) {
    ShownBoxes().clear();
    EXPECT_THROW(MakeRef<TCharPage>(TCharPage::LastPage + 1), EAbort);
    EXPECT_EQ(ShownBoxes().size(), 1u);
}

TEST(CaseFolding, ShutdownDropsTheMapAndStartUpRebuildsIt) {
    size_t count = FoldedCodePointCount();
    DoneCaseFolding();
    EXPECT_EQ(Fold(0x41), 0x41u);
    EXPECT_EQ(FullFold(0xDF), u"\u00DF");
    InitCaseFolding();
    EXPECT_EQ(Fold(0x41), 0x61u);
    EXPECT_EQ(FoldedCodePointCount(), count);
}

}  // namespace
