#include <gtest/gtest.h>
#include <filesystem>
#include "FileSystem/FileAPI.h"
#include "FixProcedure.h"
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
    EXPECT_EQ(FixPresentation(bundle), FixOutcome::Done);
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
    EXPECT_EQ(FixBundleArchive(archive), FixOutcome::Done);
    EXPECT_FALSE(fs::exists(FsPath(archive + u".nvxfix-new")));
    EXPECT_EQ(ReadBytes(archive + u".nvxfix-new2"), "still being written");
    EXPECT_FALSE(fs::exists(FsPath(archive + u".nvxfix-new3")));
}

}  // namespace
