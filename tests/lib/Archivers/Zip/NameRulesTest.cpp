#include <gtest/gtest.h>
#include <vector>
#include "Archivers/Zip/NameRules.h"

namespace {

TEST(EntryNames, NamesWindowsCannotHoldAreListed) {
    std::vector<WideString> names = {u"a/Readme.txt", u"a/notes.txt", u"a/notes.txt.", u"b/nul.png",
                                     u"b/Com1",       u"b/trail /x",  u"Docs/one",     u"a/README.TXT",
                                     u"docs/two",     u"b/console",   u"b/q?.txt",     u"a/fine.txt"};
    EXPECT_EQ(NamesWindowsCannotHold(names),
              (std::vector<WideString>{u"a/Readme.txt", u"a/notes.txt", u"a/notes.txt.", u"b/nul.png", u"b/Com1",
                                       u"b/trail /x", u"Docs/one", u"a/README.TXT", u"docs/two", u"b/q?.txt"}));
    EXPECT_TRUE(NamesWindowsCannotHold({u"a/x", u"a/", u"b/X"}).empty());
}

}  // namespace
