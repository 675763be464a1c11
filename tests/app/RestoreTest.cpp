#include <gtest/gtest.h>
#include <filesystem>
#include "Archivers/Zip/FileZipper.h"
#include "FileSystem/FileAPI.h"
#include "FixProcedure.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"
#include "Restore.h"
#include "support/FaultyFileAPI.h"
#include "support/Files.h"
#include "support/ScratchFolder.h"
#include "support/Shows.h"

namespace {

namespace fs = std::filesystem;

// <folder>/<name>.zip holding Show.app, whose slides are its name: shows
// of one name told apart.
WideString ZipShow(const WideString& folder, const std::string& name) {
    const WideString source = MakeBundle(JoinPath(JoinPath(folder, u"src-" + Widen(name)), u"Show.app"));
    WriteBytes(MarkerPath(source), name);
    const WideString archive = JoinPath(folder, Widen(name) + u".zip");
    MakeRef<TFileZipper>()->Zip(archive, source, TFileZipper::WithFolderName);
    return archive;
}

// Two fixes of two shows of one name: a restore takes the newest original,
// the fixed show it replaces becomes a backup and is passed over after.
TEST(Restore, PutsBackTheNewestOriginalAndKeepsWhatItReplaces) {
    TScratchFolder scratch;
    const WideString show = scratch / u"Show.zip";
    const std::string first = ReadBytes(ZipShow(scratch.Path(), "first"));
    const std::string second = ReadBytes(ZipShow(scratch.Path(), "second"));
    WriteBytes(show, first);
    EXPECT_EQ(RestorePicked(show), TOutcome::NothingToRestore);
    ASSERT_EQ(FixBundleArchive(show), TOutcome::Done);
    WriteBytes(show, second);
    ASSERT_EQ(FixBundleArchive(show).Backup, scratch / u"Show.bak (2).zip");
    const std::string fixed = ReadBytes(show);

    TFixResult restored = RestorePicked(show);
    EXPECT_EQ(DescribeFix(restored), u"Restored (from Show.bak (2).zip; fixed show kept as Show.bak (3).zip)");
    EXPECT_EQ(ReadBytes(show), second);
    EXPECT_EQ(ReadBytes(restored.Kept), fixed);
    EXPECT_FALSE(fs::exists(FsPath(restored.Backup)));
    restored = RestorePicked(show);
    EXPECT_EQ(restored.Backup, scratch / u"Show.bak.zip");
    EXPECT_EQ(ReadBytes(show), first);
    EXPECT_EQ(ReadBytes(restored.Kept), second);
}

// A backup that is no presentation is refused; a move that fails puts the
// show back where it was and leaves the backup as it is.
TEST_F(FixProcedure, ARestoreThatCannotTakeItsBackupChangesNothing) {
    MakeBundle(Bundle);
    ASSERT_EQ(FixBundleFolder(Bundle), TOutcome::Done);
    const WideString backup = Bundle + u".bak";
    fs::rename(FsPath(MarkerPath(backup)), FsPath(Scratch / u"slideshow.dat"));
    const TFixResult refused = RestorePicked(Bundle);
    EXPECT_EQ(DescribeFixAndNotes(refused, TBackupMention::Always, u"\n"),
              u"Backup damaged (Show.app.bak)\nNote: it holds no presentation");
    fs::rename(FsPath(Scratch / u"slideshow.dat"), FsPath(MarkerPath(backup)));

    class TBackupStuck : public TFileAPI {
    public:
        bool MoveFile(const WideString& from, const WideString& to, uint32_t flags) override {
            if (ExtractFileName(from) == u"Show.app.bak") return SetLastErrorCode(WinError::SharingViolation), false;
            return TFileAPI::MoveFile(from, to, flags);
        }
    };
    TRef<TBackupStuck> stuck = MakeRef<TBackupStuck>();
    {
        TFileAPIScope scope(stuck.Get());
        EXPECT_THROW(RestorePicked(Bundle), EFileWriteError);
    }
    EXPECT_EQ(ReadBytes(ViewerPath(Bundle)), Payload());
    EXPECT_EQ(ReadBytes(ViewerPath(backup)), "OLD VIEWER");
    EXPECT_FALSE(fs::exists(FsPath(backup + u" (2)")));
}

}  // namespace
