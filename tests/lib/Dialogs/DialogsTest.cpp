// The dialogs' own behaviour around the system dialog, which a test cannot
// show: what Execute keeps and what it hands back.
#include <gtest/gtest.h>
#include "Dialogs/Dialogs.h"
#include "FileSystem/FileAPI.h"
#include "Foundation/Exceptions.h"
#include "support/ScratchFolder.h"

namespace {

// Stands in for the system dialog: moves the current folder as a user's
// browsing may, then confirms the given paths, cancels, or fails.
class TWanderingDialog : public TOpenDialog {
public:
    enum TEnd { Confirm, Cancel, Fail };
    TWanderingDialog(const WideString& wanderTo, TEnd end, std::vector<WideString> chosen = {})
        : TOpenDialog(0), FWanderTo(wanderTo), FEnd(end), FChosen(std::move(chosen)) {}
    int Shown = 0;

protected:
    bool ShowDialog() override {
        ++Shown;
        EXPECT_TRUE(SetCurrentFolder(FWanderTo));
        if (FEnd == Fail) throw EOSError("Showing the dialog failed", 5);
        if (FEnd == Cancel) return false;
        TakeChosen(FChosen);
        return true;
    }

private:
    WideString FWanderTo;
    TEnd FEnd;
    std::vector<WideString> FChosen;
};

class Dialogs : public testing::Test {
protected:
    void SetUp() override {
        Scratch.MakeFolder(Elsewhere);
        Start = GetCurrentFolder(true);
        ASSERT_NE(IncludeTrailingBackslash(Elsewhere), Start);
    }
    void TearDown() override { SetCurrentFolder(Start); }

    TScratchFolder Scratch;
    WideString Elsewhere = Scratch / u"elsewhere";
    WideString Start;
};

TEST_F(Dialogs, StartWithTheDocumentedDefaults) {
    TRef<TOpenDialog> dialog = MakeRef<TOpenDialog>(0);
    EXPECT_EQ(dialog->Options, 0x00040004u);
    EXPECT_FALSE(dialog->FolderMode);
    EXPECT_EQ(dialog->FileName, u"");
    EXPECT_EQ(dialog->Filter, u"");
    EXPECT_EQ(dialog->Title, u"");
    EXPECT_EQ(dialog->Files()->GetCount(), 0);
}

TEST_F(Dialogs, CurrentFolderIsRestoredWhateverTheOutcome) {
    TRef<TWanderingDialog> confirmed =
        MakeRef<TWanderingDialog>(Elsewhere, TWanderingDialog::Confirm, std::vector<WideString>{Elsewhere});
    EXPECT_TRUE(confirmed->Execute());
    EXPECT_EQ(GetCurrentFolder(true), Start);

    TRef<TWanderingDialog> cancelled = MakeRef<TWanderingDialog>(Elsewhere, TWanderingDialog::Cancel);
    EXPECT_FALSE(cancelled->Execute());
    EXPECT_EQ(GetCurrentFolder(true), Start);

    TRef<TWanderingDialog> failed = MakeRef<TWanderingDialog>(Elsewhere, TWanderingDialog::Fail);
    EXPECT_THROW(failed->Execute(), EOSError);
    EXPECT_EQ(GetCurrentFolder(true), Start);
}

TEST_F(Dialogs, ConfirmedChoiceFillsFileNameAndFilesCancelKeepsThem) {
    const WideString first = Scratch / u"a.zip", second = Scratch / u"b.zip";
    TRef<TWanderingDialog> dialog =
        MakeRef<TWanderingDialog>(Elsewhere, TWanderingDialog::Confirm, std::vector<WideString>{first, second});
    dialog->FileName = u"seed.zip";
    ASSERT_TRUE(dialog->Execute());
    EXPECT_EQ(dialog->FileName, first);
    ASSERT_EQ(dialog->Files()->GetCount(), 2);
    EXPECT_EQ(dialog->Files()->GetString(1), second);

    // A second choice replaces the list rather than adding to it.
    TRef<TWanderingDialog> again =
        MakeRef<TWanderingDialog>(Elsewhere, TWanderingDialog::Confirm, std::vector<WideString>{second});
    ASSERT_TRUE(again->Execute());
    ASSERT_TRUE(again->Execute());
    EXPECT_EQ(again->Files()->GetCount(), 1);

    TRef<TWanderingDialog> cancelled = MakeRef<TWanderingDialog>(Elsewhere, TWanderingDialog::Cancel);
    cancelled->FileName = u"seed.zip";
    EXPECT_FALSE(cancelled->Execute());
    EXPECT_EQ(cancelled->FileName, u"seed.zip");
    EXPECT_EQ(cancelled->Files()->GetCount(), 0);
}

}  // namespace
