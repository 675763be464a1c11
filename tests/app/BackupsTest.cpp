#include <gtest/gtest.h>
#include "Backups.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"
#include "support/ScratchFolder.h"

// A backup takes the first free name and never another's; backups are
// found again in the order made, "(10)" after "(2)", and only backups of
// the kind asked count; another failure than a name taken raises.
TEST(Backups, TakeTheFirstFreeNameAndAreFoundInTheOrderMade) {
    TScratchFolder scratch;
    const WideString archive = scratch / u"Show.zip";
    scratch.Write(archive, "zip");
    for (const char16_t* taken : {u"Show.bak.zip", u"Show.bak (2).zip", u"Show.bak (10).zip", u"Show.bak (x).zip"})
        scratch.Write(scratch / taken, "older");
    scratch.MakeFolder(scratch / u"Show.bak (3).zip");  // a folder is no backup of a file
    const WideString made = FirstFreeName(scratch / u"Show.bak", u".zip", [&](const WideString& name) {
        if (scratch.Exists(name)) {
            SetLastErrorCode(WinError::FileExists);
            return false;
        }
        scratch.Write(name, "new");
        return true;
    });
    EXPECT_EQ(made, scratch / u"Show.bak (4).zip");
    EXPECT_EQ(BackupsOf(archive, false),
              (std::vector<WideString>{scratch / u"Show.bak.zip", scratch / u"Show.bak (2).zip",
                                       scratch / u"Show.bak (4).zip", scratch / u"Show.bak (10).zip"}));
    EXPECT_TRUE(IsBackupName(u"My.show.BAK (12).zip", false));
    EXPECT_FALSE(IsBackupName(u"Show.bak (0).zip", false) || IsBackupName(u"Show.bak.zip", true) ||
                 IsBackupName(u"Show.baker", true));
    EXPECT_THROW(FirstFreeName(scratch / u"Denied", u".zip",
                               [](const WideString&) {
                                   SetLastErrorCode(WinError::AccessDenied);
                                   return false;
                               }),
                 EFileWriteError);
}
