#include <gtest/gtest.h>
#include "Archivers/Zip/EntryModes.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"

namespace {

TEST(EntryNames, UnsafeNamesAreRefusedAndSafeOnesPass) {
    for (const char16_t* name : {u"a/b.txt", u"a.b/..c/d", u"Show.app/Contents/x..y", u"a/./b"})
        EXPECT_NO_THROW(CheckEntryName(name)) << WideToUtf8(WideString(name));
    for (const char16_t* name : {u"../x", u"a/../../x", u"/abs", u"\\abs", u"C:x", u"a\\..\\x", u""}) {
        EXPECT_THROW(CheckEntryName(name), EArchiveBroken) << WideToUtf8(WideString(name));
        EXPECT_THROW(CheckEntryPath(name), EArchiveBroken) << WideToUtf8(WideString(name));
    }
    // A stored name's bytes tell as its text does, whatever the code page.
    for (const char* bytes : {"../x", "a\\..\\x", "C:x", "\xC3\xA9/../x", ""})
        EXPECT_TRUE(ReachesOutside(std::string_view(bytes))) << bytes;
    for (const char* bytes : {"a/..c/d", "\xE9..\xE9/x", "a/./b"})
        EXPECT_FALSE(ReachesOutside(std::string_view(bytes)));
    // No file can be named so, but the name leads nowhere outside.
    for (const char16_t* name : {u"a/b:c", u"a/b\x01", u"a/\x7F", u"Show.app/Icon\r"}) {
        EXPECT_THROW(CheckEntryName(name), EArchiveBroken) << WideToUtf8(WideString(name));
        EXPECT_NO_THROW(CheckEntryPath(name)) << WideToUtf8(WideString(name));
    }
}

}  // namespace
