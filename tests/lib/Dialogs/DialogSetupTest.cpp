#include <gtest/gtest.h>
#include "Dialogs/DialogSetup.h"
#include "FileSystem/FileAPI.h"

namespace {

using namespace DialogOption;

// The common item dialog's flags, bit by bit; every other bit turns on nothing.
const std::pair<int, uint32_t> ItemFlagTable[] = {
    {OverwritePrompt, 0x2},       {NoChangeDir, 0x8},
    {NoValidate, 0x100},          {AllowMultiSelect, 0x200},
    {StrictFileTypes, 0x4},       {PathMustExist, 0x800},
    {FileMustExist, 0x1000},      {CreatePrompt, 0x2000},
    {ShareAware, 0x4000},         {NoReadOnlyReturn, 0x8000},
    {NoTestFileCreate, 0x10000},  {NoDereferenceLinks, 0x100000},
    {DontAddToRecent, 0x2000000}, {ForceShowHidden, 0x10000000},
};

TEST(DialogOptions, DefaultSetHoldsBitsTwoAndEighteenOfTwentyOne) {
    EXPECT_EQ(DefaultDialogOptions, 0x00040004u);
    EXPECT_EQ(AllDialogOptions, 0x1FFFFFu);
}

TEST(DialogOptions, EachBitTurnsOnItsItemDialogFlagOnly) {
    uint32_t all = 0;
    for (int bit = 0; bit < Count; ++bit) {
        uint32_t expected = 0;
        for (auto [tableBit, flag] : ItemFlagTable)
            if (tableBit == bit) expected = flag;
        EXPECT_EQ(ItemDialogFlags(OptionBit(bit), false), expected) << "bit " << bit;
        all |= expected;
    }
    EXPECT_EQ(ItemDialogFlags(AllDialogOptions, false), all);
    // Bits 0, 2, 4, 14, 15, 17 and 18 have no counterpart, so neither has the default set.
    EXPECT_EQ(ItemDialogFlags(DefaultDialogOptions, false), 0u);
    EXPECT_EQ(ItemDialogFlags(OptionBit(ReadOnly) | OptionBit(ShowHelp) | OptionBit(NoNetworkButton) |
                                  OptionBit(NoLongNames) | OptionBit(EnableIncludeNotify),
                              false),
              0u);
}

TEST(DialogOptions, FolderModeAddsFolderPickingToTheOptionFlags) {
    EXPECT_EQ(ItemDialogFlags(0, true), 0x20u);
    EXPECT_EQ(ItemDialogFlags(DefaultDialogOptions, true), 0x20u);
    EXPECT_EQ(ItemDialogFlags(OptionBit(FileMustExist) | OptionBit(NoChangeDir), true), 0x1028u);
}

TEST(DialogOptions, ClassicFlagsAreExplorerStyleWithTheMeaningOfEachBit) {
    const uint32_t explorer = 0x80000;
    EXPECT_EQ(ClassicDialogFlags(0), explorer);
    // Hide read-only and sizing.
    EXPECT_EQ(ClassicDialogFlags(DefaultDialogOptions), explorer | 0x4 | 0x800000);
    EXPECT_EQ(ClassicDialogFlags(OptionBit(AllowMultiSelect) | OptionBit(FileMustExist)), explorer | 0x200 | 0x1000);
    // Options that need a hook, and strict file types, turn on nothing.
    EXPECT_EQ(ClassicDialogFlags(OptionBit(ShowHelp) | OptionBit(EnableIncludeNotify) | OptionBit(StrictFileTypes)),
              explorer);
    // Where both dialogs know an option, they agree on its value.
    for (auto [bit, flag] : ItemFlagTable) {
        if (bit != StrictFileTypes) {
            EXPECT_EQ(ClassicDialogFlags(OptionBit(bit)), explorer | flag) << "bit " << bit;
        }
    }
}

TEST(DialogFilter, SplitsIntoDescriptionAndPatternPairs) {
    EXPECT_EQ(SplitFilter(u"Zip Files|*.zip"), (std::vector<TFilterPair>{{u"Zip Files", u"*.zip"}}));
    EXPECT_EQ(SplitFilter(u"Zip Files|*.zip|All files|*.*"),
              (std::vector<TFilterPair>{{u"Zip Files", u"*.zip"}, {u"All files", u"*.*"}}));
    EXPECT_EQ(SplitFilter(u"Pictures|*.jpg;*.png"), (std::vector<TFilterPair>{{u"Pictures", u"*.jpg;*.png"}}));
    EXPECT_TRUE(SplitFilter(u"").empty());
}

TEST(DialogFilter, DescriptionWithoutPatternEndsTheListWithAnEmptyPattern) {
    EXPECT_EQ(SplitFilter(u"Zip Files"), (std::vector<TFilterPair>{{u"Zip Files", u""}}));
    EXPECT_EQ(SplitFilter(u"Zip Files|*.zip|Other"),
              (std::vector<TFilterPair>{{u"Zip Files", u"*.zip"}, {u"Other", u""}}));
    EXPECT_EQ(SplitFilter(u"Zip Files|"), (std::vector<TFilterPair>{{u"Zip Files", u""}}));
    // Empty texts between bars keep their places.
    EXPECT_EQ(SplitFilter(u"|*.zip||*.txt"), (std::vector<TFilterPair>{{u"", u"*.zip"}, {u"", u"*.txt"}}));
}

TEST(DialogFilter, ClassicFormEndsEveryTextAndTheListWithNul) {
    EXPECT_EQ(ClassicFilter(u"Zip Files|*.zip"), WideString(u"Zip Files\0*.zip\0\0", 17));
    EXPECT_EQ(ClassicFilter(u"A|*.a|B"), WideString(u"A\0*.a\0B\0\0\0", 10));
    EXPECT_EQ(ClassicFilter(u""), u"");
}

TEST(DialogStart, GivenFolderElseTheFolderOfTheFileName) {
    const WideString sep(1, PathDelim);
    const WideString shows = sep + u"data" + sep + u"shows";
    EXPECT_EQ(StartingFolder(shows, shows + sep + u"x" + sep + u"Show.zip"), shows);
    EXPECT_EQ(StartingFolder(u"", shows + sep + u"Show.zip"), shows + sep);
    EXPECT_EQ(StartingFolder(u"", u"Show.zip"), u"");
    EXPECT_EQ(StartingFolder(u"", u""), u"");
}

TEST(DialogSelection, ClassicBufferHoldsOnePathOrAFolderAndNames) {
    const WideString sep(1, PathDelim);
    const WideString one = sep + u"shows" + sep + u"Show.zip";
    EXPECT_EQ(ClassicSelection(one + WideString(u"\0\0", 2), false), std::vector<WideString>{one});
    // A buffer filled to its end without the closing NUL still gives its path.
    EXPECT_EQ(ClassicSelection(one, false), std::vector<WideString>{one});
    // A shorter pick over a longer seed leaves the seed's end behind it.
    EXPECT_EQ(ClassicSelection(one + WideString(u"\0ows\\Older.zip\0\0", 16), false), std::vector<WideString>{one});

    const WideString folder = sep + u"shows";
    EXPECT_EQ(ClassicSelection(folder + WideString(u"\0a.zip\0b.zip\0\0", 14), true),
              (std::vector<WideString>{folder + sep + u"a.zip", folder + sep + u"b.zip"}));
    // A folder that already ends in a separator (a drive root) gets no second one.
    EXPECT_EQ(ClassicSelection(sep + WideString(u"\0a.zip\0b.zip\0\0", 14), true),
              (std::vector<WideString>{sep + u"a.zip", sep + u"b.zip"}));
    EXPECT_TRUE(ClassicSelection(WideString(u"\0\0", 2), true).empty());
    EXPECT_TRUE(ClassicSelection(u"", false).empty());
}

}  // namespace
