#include <gtest/gtest.h>
#include "Foundation/CodePages.h"

namespace {

const WideString Mixed = u"Zürich \u4E2D\u6587 \U0001F600.app";
const AnsiString MixedUtf8 = "Z\xC3\xBCrich \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80.app";

TEST(CodePages, Utf8RoundTripsEveryPlane) {
    EXPECT_EQ(WideToUtf8(Mixed), MixedUtf8);
    EXPECT_EQ(Utf8ToWide(MixedUtf8), Mixed);
}

TEST(CodePages, AsciiSurvivesTheSystemCodePages) {
    const WideString text = u"Contents\\Resources\\slideshow.dat";
    EXPECT_EQ(WideToAnsiCodePage(text), "Contents\\Resources\\slideshow.dat");
    EXPECT_EQ(AnsiCodePageToWide(WideToAnsiCodePage(text)), text);
    EXPECT_EQ(OemToWide(WideToOem(text)), text);
}

TEST(CodePages, CodePage437MapsTheUpperHalf) {
    EXPECT_EQ(BytesToWide("\x8E\x81\xE1\xFF\x9E", CodePage::Us), u"\u00C4\u00FC\u00DF\u00A0\u20A7");
    EXPECT_EQ(WideToBytes(u"\u00C4\u00FC\u00DF\u2591", CodePage::Us), "\x8E\x81\xE1\xB0");
    AnsiString all;
    for (int b = 0x80; b < 0x100; ++b) all += (char)b;
    EXPECT_EQ(WideToBytes(BytesToWide(all, CodePage::Us), CodePage::Us), all);
}

TEST(CodePages, UnmappableCharactersBecomeQuestionMarks) { EXPECT_EQ(WideToBytes(u"a\u4E2Db", CodePage::Us), "a?b"); }

TEST(CodePages, EmptyAndUnknownGiveEmptyResults) {
    EXPECT_EQ(Utf8ToWide(""), u"");
    EXPECT_EQ(WideToAnsiCodePage(u""), "");
    EXPECT_EQ(BufferToWide(nullptr, 0, CodePage::Utf8), u"");
    EXPECT_EQ(BytesToWide("abc", 12345), u"");
    EXPECT_EQ(WideToBytes(u"abc", 12345), "");
}

TEST(CodePages, SubstringsAreOneBasedAndClamped) {
    EXPECT_EQ(BytesToWide("hello", 2, 3, CodePage::Utf8), u"ell");
    EXPECT_EQ(BytesToWide("hello", 0, 2, CodePage::Utf8), u"he");
    EXPECT_EQ(BytesToWide("hello", -5, 100, CodePage::Utf8), u"hello");
    EXPECT_EQ(BytesToWide("hello", 4, 100, CodePage::Utf8), u"lo");
    EXPECT_EQ(BytesToWide("hello", 6, 1, CodePage::Utf8), u"");
    EXPECT_EQ(BytesToWide("hello", 1, 0, CodePage::Utf8), u"");
    EXPECT_EQ(WideSubToBytes(u"hello", 2, 3, CodePage::Utf8), "ell");
    EXPECT_EQ(WideSubToBytes(u"hello", 0, 1, CodePage::Utf8), "h");
    EXPECT_EQ(WideSubToBytes(u"hello", 5, 9, CodePage::Utf8), "o");
    EXPECT_EQ(WideSubToBytes(u"hello", 9, 9, CodePage::Utf8), "");
}

// Inputs on both sides of the stack-buffer limits convert completely.
TEST(CodePages, LongInputsConvertCompletely) {
    for (size_t n : {2047u, 2048u, 5000u}) {
        AnsiString bytes(n, 'x');
        bytes.back() = 'y';
        WideString wide = BytesToWide(bytes, CodePage::Utf8);
        ASSERT_EQ(wide.size(), n);
        EXPECT_EQ(wide.back(), u'y');
    }
    // Three bytes a unit overflow the first estimate both below and above
    // its 4095-byte threshold; the exact size is asked for then.
    for (size_t n : {1000u, 2000u, 3000u}) {
        WideString wide(n, u'\u4E2D');
        wide.back() = u'!';
        AnsiString bytes = WideToUtf8(wide);
        ASSERT_EQ(bytes.size(), 3 * n - 2);
        EXPECT_EQ(bytes.back(), '!');
        EXPECT_EQ(Utf8ToWide(bytes), wide);
    }
}

TEST(CodePages, MalformedUtf8IsReplacedNotDropped) {
    EXPECT_EQ(Utf8ToWide("a\xFF"
                         "b"),
              u"a\uFFFDb");
    EXPECT_EQ(Utf8ToWide("a\xC0\xAF"
                         "b"),
              u"a\uFFFD\uFFFDb");  // overlong '/'
    EXPECT_EQ(WideToUtf8(WideString(u"a") + (WideChar)0xD800 + u"b"),
              "a\xEF\xBF\xBD"
              "b");
}

}  // namespace
