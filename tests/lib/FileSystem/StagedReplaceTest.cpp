#include <gtest/gtest.h>
#include <filesystem>
#include "FileSystem/FileAPI.h"
#include "FileSystem/StagedReplace.h"
#include "FixProcedure.h"
#include "Foundation/Exceptions.h"
#include "support/Files.h"
#include "support/ScratchFolder.h"
#include "support/Shows.h"

namespace {

namespace fs = std::filesystem;

// Files of the user's that carry the names a staged file would take first.
TEST(StagedFiles, NeverTakeTheNameOfAFileAlreadyThere) {
    TScratchFolder scratch;
    WideString archive = MakeArchive(scratch.Path());
    WriteBytes(archive + u".new", "mine");
    FixBundleArchive(archive);
    EXPECT_EQ(ReadBytes(archive + u".new"), "mine");

    WideString bundle = MakeBundle(scratch / u"Own.app");
    WriteBytes(ViewerPath(bundle) + u".new", "notes");
    EXPECT_EQ(FixPresentation(bundle), TOutcome::Done);
    EXPECT_EQ(ReadBytes(ViewerPath(bundle)), Payload());
    EXPECT_EQ(ReadBytes(ViewerPath(bundle) + u".new"), "notes");
}

// A staged file left by a fix that was killed goes with the next fix; one
// a running fix holds open stays, and the next fix takes another name.
TEST(StagedFiles, AbandonedOnesAreRemovedHeldOnesKept) {
    TScratchFolder scratch;
    WideString archive = MakeArchive(scratch.Path());
    WriteBytes(archive + u".nvxfix-new", "abandoned");
    WriteBytes(archive + u".nvxfix-new2", "still being written");
    TFileHandle held(FileAPI->CreateFile(archive + u".nvxfix-new2", FileAccess::Read,
                                         FileShare::Read | FileShare::Write, nullptr, FileDisposition::OpenExisting,
                                         0));
    ASSERT_TRUE(held.Valid());
    EXPECT_EQ(FixBundleArchive(archive), TOutcome::Done);
    EXPECT_FALSE(fs::exists(FsPath(archive + u".nvxfix-new")));
    EXPECT_EQ(ReadBytes(archive + u".nvxfix-new2"), "still being written");
    EXPECT_FALSE(fs::exists(FsPath(archive + u".nvxfix-new3")));
}

// A replace that fails leaves the target as it was, read-only included.
TEST(StagedFiles, AFailedReplaceLeavesTheTargetReadOnly) {
    TScratchFolder scratch;
    const WideString target = scratch / u"kept.txt";
    WriteBytes(target, "old");
    ASSERT_TRUE(FileAPI->SetFileAttributes(target, FileAttr::ReadOnly));
    TFileHandle held(
        FileAPI->CreateFile(target, FileAccess::Read, FileShare::Read, nullptr, FileDisposition::OpenExisting, 0));
    ASSERT_TRUE(held.Valid());
    EXPECT_THROW(ReplaceThroughStagedFile(target, [](const WideString& staged) { WriteBytes(staged, "new"); }),
                 EFileAccessError);
    held.Close();
    EXPECT_EQ(ReadBytes(target), "old");
    EXPECT_TRUE(FileAPI->GetFileAttributes(target) & FileAttr::ReadOnly);
    FileAPI->SetFileAttributes(target, FileAttr::Normal);
}

}  // namespace
