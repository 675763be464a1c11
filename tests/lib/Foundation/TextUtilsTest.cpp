#include <gtest/gtest.h>
#include <cstdint>
#include <cstdlib>
#include "Foundation/TextUtils.h"

namespace {

TEST(TextUtils, IntToHexPadsButNeverCuts) {
    EXPECT_EQ(IntToHex(0x1A4, 4), u"01A4");
    EXPECT_EQ(IntToHex(0x12345, 4), u"12345");
    EXPECT_EQ(IntToHex(0, 0), u"0");
    EXPECT_EQ(IntToHex(0xABCDEF, -3), u"ABCDEF");
    EXPECT_EQ(IntToHex(UINT64_MAX, 2), u"FFFFFFFFFFFFFFFF");
    EXPECT_EQ(IntToHex(0x5, 8), u"00000005");
}

TEST(TextUtils, IntToStrCoversTheWholeRange) {
    EXPECT_EQ(IntToStr(0), u"0");
    EXPECT_EQ(IntToStr(1234), u"1234");
    EXPECT_EQ(IntToStr(-5), u"-5");
    EXPECT_EQ(IntToStr(INT64_MAX), u"9223372036854775807");
    EXPECT_EQ(IntToStr(INT64_MIN), u"-9223372036854775808");
}

TEST(TextUtils, GuidTextRoundTrips) {
    TGuid guid{0x0123ABCD, 0x4567, 0x89EF, {0xA0, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x7F}};
    WideString text = GuidToString(guid);
    EXPECT_EQ(text, u"{0123ABCD-4567-89EF-A01B-2C3D4E5F607F}");
    TGuid back;
    ASSERT_TRUE(StringToGuid(text, back));
    EXPECT_EQ(back, guid);
    ASSERT_TRUE(StringToGuid(u"{0123abcd-4567-89ef-a01b-2c3d4e5f607f}", back));
    EXPECT_EQ(back, guid);
}

TEST(TextUtils, StringToGuidRefusesAnyOtherForm) {
    TGuid untouched{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}, guid = untouched;
    for (const WideString& text : {
             WideString(u"0123ABCD-4567-89EF-A01B-2C3D4E5F607F"),     // no braces
             WideString(u"{0123ABCD-4567-89EF-A01B-2C3D4E5F607F"),    // 37 characters
             WideString(u"{0123ABCD-4567-89EF-A01B-2C3D4E5F607F}x"),  // 39
             WideString(u"(0123ABCD-4567-89EF-A01B-2C3D4E5F607F)"),
             WideString(u"{0123ABCD+4567-89EF-A01B-2C3D4E5F607F}"),
             WideString(u"{0123ABCD-456789EF-A-01B-2C3D4E5F607F}"),
             WideString(u"{0123ABCG-4567-89EF-A01B-2C3D4E5F607F}"),
             WideString(u"{0123ABCD-4567-89EF-A01B-2C3D4E5F607 }"),
             WideString(u"{-123ABCD-4567-89EF-A01B-2C3D4E5F607F}"),
         }) {
        EXPECT_FALSE(StringToGuid(text, guid)) << std::string(text.begin(), text.end());
        EXPECT_EQ(guid, untouched);
    }
}

TEST(TextUtils, CreateGuidGivesNewOnes) {
    TGuid a = CreateGuid(), b = CreateGuid();
    EXPECT_NE(a, b);
    EXPECT_NE(a, TGuid());
    EXPECT_EQ(GuidToString(a).size(), 38u);
}

TEST(TextUtils, ExpandEnvironmentReplacesKnownNamesOnly) {
    static char entry[] = "NVX_TEST_EXPAND=v@lue";
    ASSERT_EQ(putenv(entry), 0);
    EXPECT_EQ(ExpandEnvironment(u"a%NVX_TEST_EXPAND%b"), u"av@lueb");
    EXPECT_EQ(ExpandEnvironment(u"%NVX_TEST_EXPAND%%NVX_TEST_EXPAND%"), u"v@luev@lue");
    EXPECT_EQ(ExpandEnvironment(u"%NVX_NOT_DEFINED_HERE%"), u"%NVX_NOT_DEFINED_HERE%");
    EXPECT_EQ(ExpandEnvironment(u"%NVX_NOT_DEFINED_HERE%%NVX_TEST_EXPAND%"), u"%NVX_NOT_DEFINED_HERE%v@lue");
    EXPECT_EQ(ExpandEnvironment(u"100% sure"), u"100% sure");
    EXPECT_EQ(ExpandEnvironment(u"plain"), u"plain");
    EXPECT_EQ(ExpandEnvironment(u""), u"");
}

}  // namespace
