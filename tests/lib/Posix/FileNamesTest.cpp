// Names as POSIX keeps them (any bytes but NUL) on their way into the
// library's UTF-16 names and back to the system.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include "FileSystem/FileAPI.h"
#include "Foundation/SysError.h"
#include "Posix/FileNames.h"
#include "support/Files.h"
#include "support/ScratchFolder.h"

// Any byte string is a possible file name and survives the trip through
// UTF-16; valid UTF-8 reads as the text it is.
TEST(FileNames, EveryByteStringSurvivesAndUtf8StaysText) {
    const std::string names[] = {"caf\xe9", "\xff\xfe", "\xc3(", "a\xe2\x82", "\xed\xa0\x80", "plain", "caf\xc3\xa9"};
    for (const std::string& name : names) EXPECT_EQ(WideToSystemName(SystemNameToWide(name)), name);
    EXPECT_EQ(SystemNameToWide("caf\xc3\xa9"), u"caf\u00e9");
    EXPECT_NE(SystemNameToWide("caf\xe9"), SystemNameToWide("caf\xc3\xa9"));
}

TEST(FileNames, FlushFolderReachesAFolderWhoseNameIsNoUtf8) {
    TScratchFolder scratch;
    std::string folder = FsPath(scratch.Path()).native() + "/caf\xe9";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    EXPECT_TRUE(FileAPI->FlushFolder(SystemNameToWide(folder))) << GetLastErrorCode();
}
