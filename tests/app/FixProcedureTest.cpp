#include <gtest/gtest.h>
#include <algorithm>
#include <map>
#include "Archivers/Zip/FileZipper.h"
#include "FileSystem/FileAPI.h"
#include "FixProcedure.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"
#include "Streams/Streams.h"
#include "support/FaultyFileAPI.h"
#include "support/Files.h"
#include "support/ScratchFolder.h"
#include "support/WorkerWatch.h"

namespace {

namespace fs = std::filesystem;

std::string Payload() {
    TRef<TResourceStream> payload = OpenResourceStream(u"ZUVORUDAD", RT_RCDATA);
    return std::string((const char*)payload->Memory(), (size_t)payload->GetSize());
}

// A bundle as the fix finds it; parts can be left out.
WideString MakeBundle(const WideString& folder, bool marker = true, bool viewer = true) {
    WriteBytes(JoinPath(folder, u"Contents/Info.plist"), "<plist/>");
    if (marker) WriteBytes(MarkerPath(folder), "slides");
    if (viewer) WriteBytes(ViewerPath(folder), "OLD VIEWER");
    return folder;
}

class FixProcedure : public testing::Test {
protected:
    TScratchFolder Scratch;
    WideString Bundle = Scratch / u"Show.app";
};

TEST_F(FixProcedure, PathsUseThePlatformSeparator) {
    WideString sep(1, PathDelim);
    EXPECT_EQ(ViewerPath(u"B"), u"B" + sep + u"Contents" + sep + u"Resources" + sep + u"Viewer.app" + sep +
                                    u"Contents" + sep + u"MacOS" + sep + u"ZuvOrudad5");
    EXPECT_EQ(MarkerPath(u"B" + sep), u"B" + sep + u"Contents" + sep + u"Resources" + sep + u"slideshow.dat");
}

TEST_F(FixProcedure, BundleWithoutMarkerOrViewerIsRefusedAndUntouched) {
    MakeBundle(Bundle, false, true);
    EXPECT_EQ(FixPresentation(Bundle, u"", false), FixOutcome::Refused);
    EXPECT_EQ(ReadBytes(ViewerPath(Bundle)), "OLD VIEWER");

    WideString other = MakeBundle(Scratch / u"Other.app", true, false);
    EXPECT_EQ(FixPresentation(other, u"", false), FixOutcome::Refused);
    EXPECT_FALSE(fs::exists(FsPath(ViewerPath(other))));

    // A folder where the viewer should be is no viewer.
    WideString folderViewer = MakeBundle(Scratch / u"Odd.app", true, false);
    fs::create_directories(FsPath(ViewerPath(folderViewer)));
    EXPECT_EQ(FixPresentation(folderViewer, u"", false), FixOutcome::Refused);
}

TEST_F(FixProcedure, ViewerBecomesThePayloadAsAPlainProgramFile) {
    MakeBundle(Bundle);
    auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    fs::last_write_time(FsPath(ViewerPath(Bundle)), old);
    SetReadOnly(ViewerPath(Bundle), true);
    EXPECT_EQ(FixPresentation(Bundle, u"", false), FixOutcome::Done);
    EXPECT_EQ(ReadBytes(ViewerPath(Bundle)), Payload());
    EXPECT_FALSE(IsReadOnly(ViewerPath(Bundle)));
    EXPECT_GT(WriteTime(ViewerPath(Bundle)), old + std::chrono::hours(24 * 399));
#ifndef _WIN32
    EXPECT_EQ(fs::status(FsPath(ViewerPath(Bundle))).permissions() & fs::perms::mask, fs::perms(0755));
#endif
    // Fixing again is as good as the first time.
    EXPECT_EQ(FixPresentation(Bundle + PathDelim, u"", false), FixOutcome::Done);
    EXPECT_EQ(ReadBytes(ViewerPath(Bundle)), Payload());
    EXPECT_EQ(fs::directory_iterator(FsPath(ExtractFilePath(ViewerPath(Bundle), false)))->path().filename(),
              "ZuvOrudad5");
}

TEST_F(FixProcedure, NamesOutsideTheAnsiCodePageAreFixedToo) {
    WideString bundle = MakeBundle(Scratch / u"\u0428\u043E\u0443 \u6F14\u793A \U0001F3AC.app");
    EXPECT_EQ(FixPresentation(bundle, u"", false), FixOutcome::Done);
    EXPECT_EQ(ReadBytes(ViewerPath(bundle)), Payload());
}

TEST_F(FixProcedure, FailedWriteKeepsTheOldViewerAndRaises) {
    MakeBundle(Bundle);
    TRef<TFullDisk> failing = MakeRef<TFullDisk>();
    try {
        TFileAPIScope scope(failing.Get());
        FixPresentation(Bundle, u"", false);
        ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
        // The viewer by its name in the bundle, not the staged file, and why.
        WideString viewer = ViewerPath(Bundle).substr(Scratch.Path().size() + 1);
        EXPECT_NE(e.Message().find("Cannot write the viewer \"" + Narrow(viewer) +
                                   "\": " + SystemErrorText(WinError::DiskFull)),
                  std::string::npos)
            << e.Message();
    }
    EXPECT_EQ(ReadBytes(ViewerPath(Bundle)), "OLD VIEWER");
    int entries = 0;
    for (auto& entry : fs::directory_iterator(FsPath(ExtractFilePath(ViewerPath(Bundle), false)))) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1) << "the half-written viewer was left behind";
}

TEST_F(FixProcedure, FolderModeBacksUpThenFixesAndRefreshesTheBackup) {
    MakeBundle(Bundle);
    WideString backup = Bundle + u".bak";
    WriteBytes(JoinPath(backup, u"only-in-backup"), "keep");
    EXPECT_EQ(FixBundleFolder(Bundle), FixOutcome::Done);
    EXPECT_EQ(ReadBytes(ViewerPath(backup)), "OLD VIEWER");
    EXPECT_EQ(ReadBytes(ViewerPath(Bundle)), Payload());
    EXPECT_EQ(FixBundleFolder(Bundle), FixOutcome::Done);
    EXPECT_EQ(ReadBytes(ViewerPath(backup)), Payload());  // the second backup is of the fixed bundle
    EXPECT_EQ(ReadBytes(JoinPath(backup, u"only-in-backup")), "keep");
}

TEST_F(FixProcedure, NonBundleStillGetsItsBackup) {
    WideString folder = Scratch / u"Photos";
    WriteBytes(JoinPath(folder, u"a.jpg"), "jpeg");
    EXPECT_EQ(FixBundleFolder(folder), FixOutcome::Refused);
    EXPECT_EQ(ReadBytes(JoinPath(folder + u".bak", u"a.jpg")), "jpeg");
}

TEST_F(FixProcedure, FailedBackupStopsBeforeTheBundleChanges) {
    MakeBundle(Bundle);
    WriteBytes(Bundle + u".bak", "a file where the backup folder must go");
    try {
        FixBundleFolder(Bundle);
        ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find("Cannot create backup \""), std::string::npos) << e.Message();
        EXPECT_NE(e.Message().find("Show.app.bak\""), std::string::npos) << e.Message();
    }
    EXPECT_EQ(ReadBytes(ViewerPath(Bundle)), "OLD VIEWER");
}

// A root has no parent to hold a backup beside it: the backup would go
// inside the folder being copied (C:\.bak) or, for a drive without its
// separator, into the current folder. It is no bundle either.
TEST_F(FixProcedure, RootFolderIsRefusedWithoutAnyBackup) {
    const WideString start = GetCurrentFolder(true);
    WideString empty = Scratch / u"cwd";
    fs::create_directories(FsPath(empty));
    ASSERT_TRUE(SetCurrentFolder(empty));
#ifdef _WIN32
    const WideString roots[] = {u"C:\\", u"C:", u"\\\\server\\share\\", u"\\\\server\\share"};
#else
    const WideString roots[] = {u"/", u"//"};
#endif
    for (const WideString& root : roots) EXPECT_EQ(FixBundleFolder(root), FixOutcome::Refused) << Narrow(root);
    EXPECT_TRUE(fs::is_empty(FsPath(empty)));
#ifdef _WIN32
    EXPECT_FALSE(fs::exists(FsPath(u"C:\\.bak")));
#endif
    SetCurrentFolder(start);
}

}  // namespace

namespace {

// A bundle packed into <folder>/Show.zip by the library's own zipper.
WideString MakeArchive(const WideString& folder) {
    WideString source = MakeBundle(JoinPath(JoinPath(folder, u"src"), u"Show.app"));
    WideString archive = JoinPath(folder, u"Show.zip");
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->Zip(archive, source, true);
    return archive;
}

// The staged archive cannot be made, as on a full or read-only disk.
class TNoStagedArchive : public TFileAPI {
public:
    TNativeHandle CreateFile(const WideString& path, uint32_t access, uint32_t share, void* security,
                             uint32_t disposition, uint32_t flags, TNativeHandle templateFile) override {
        if (path.size() > 8 && path.substr(path.size() - 8) == u".zip.new") {
            SetLastErrorCode(WinError::DiskFull);
            return InvalidNativeHandle;
        }
        return TFileAPI::CreateFile(path, access, share, security, disposition, flags, templateFile);
    }
};

TEST(ZipMode, FailedRepackLeavesThePickedArchiveAsItWas) {
    TScratchFolder scratch;
    WideString archive = MakeArchive(scratch.Path());
    std::string before = ReadBytes(archive);
    TRef<TNoStagedArchive> failing = MakeRef<TNoStagedArchive>();
    {
        TFileAPIScope scope(failing.Get());
        EXPECT_THROW(FixBundleArchive(archive), Exception);
    }
    EXPECT_EQ(ReadBytes(archive), before);
    EXPECT_FALSE(fs::exists(FsPath(archive + u".new")));
    EXPECT_EQ(ReadBytes(scratch / u"Show.bak.zip"), before);
}

TEST(ZipMode, FailedReadInOneWorkerLeavesThePickedArchiveAndNothingElse) {
    TScratchFolder scratch;
    WideString source = MakeBundle(scratch / u"src/Show.app");
    for (int i = 0; i < 40; ++i)
        WriteBytes(JoinPath(source, u"Contents/Resources/" + AnsiToWide(std::to_string(i)) + u".txt"),
                   std::string(size_t(i) * 500, char('a' + i % 26)));
    WriteBytes(JoinPath(source, u"Contents/Resources/poison.bin"), "unreadable");
    WideString archive = scratch / u"Show.zip";
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->Zip(archive, source, true);
    std::string before = ReadBytes(archive);

    TRef<TWorkerWatch> watch = MakeRef<TWorkerWatch>(u"poison.bin");
    SetDefaultZipWorkers(3);
    {
        TFileAPIScope scope(watch.Get());
        try {
            FixBundleArchive(archive);
            ADD_FAILURE() << "no error";
        } catch (const Exception& e) {
            EXPECT_NE(e.Message().find("I/O device error"), std::string::npos) << e.Message();
        }
    }
    SetDefaultZipWorkers(0);
    EXPECT_EQ(ReadBytes(archive), before);
    EXPECT_FALSE(fs::exists(FsPath(archive + u".new")));
    for (const WideString& spill : watch->Spills())
        EXPECT_FALSE(fs::exists(FsPath(ExtractFilePath(spill, false)))) << Narrow(spill);
}

// Records, in order, what reaches a file or the disk, by file name.
class TDiskRecorder : public TFileAPI {
public:
    std::vector<std::string> Events;

    TNativeHandle CreateFile(const WideString& path, uint32_t access, uint32_t share, void* security,
                             uint32_t disposition, uint32_t flags, TNativeHandle templateFile) override {
        TNativeHandle file = TFileAPI::CreateFile(path, access, share, security, disposition, flags, templateFile);
        FPaths[file] = path;
        return file;
    }
    bool WriteFile(TNativeHandle file, const void* buffer, uint32_t count, uint32_t& done) override {
        Note("write", FPaths[file]);
        return TFileAPI::WriteFile(file, buffer, count, done);
    }
    bool FlushFileBuffers(TNativeHandle file) override {
        Note("flush", FPaths[file]);
        return TFileAPI::FlushFileBuffers(file);
    }
    bool MoveFile(const WideString& oldPath, const WideString& newPath, uint32_t flags) override {
        Note("move", oldPath);
        return TFileAPI::MoveFile(oldPath, newPath, flags);
    }
    bool FlushFolder(const WideString& path) override {
        Note("sync", path);
        return TFileAPI::FlushFolder(path);
    }
    ptrdiff_t First(const std::string& event) const {
        return std::find(Events.begin(), Events.end(), event) - Events.begin();
    }
    ptrdiff_t Last(const std::string& event) const {
        return Events.rend() - std::find(Events.rbegin(), Events.rend(), event) - 1;
    }

private:
    void Note(const char* what, const WideString& path) {
        std::string event = what + (" " + Narrow(ExtractFileName(path)));
        if (Events.empty() || Events.back() != event) Events.push_back(event);
    }
    std::map<TNativeHandle, WideString> FPaths;
};

// A crash just after a move must not leave a name without its data, nor a
// replaced archive without its backup on the disk.
TEST(ZipMode, BackupAndNewArchiveAreOnTheDiskBeforeTheMove) {
    TScratchFolder scratch;
    WideString archive = MakeArchive(scratch.Path());
    TRef<TDiskRecorder> disk = MakeRef<TDiskRecorder>();
    {
        TFileAPIScope scope(disk.Get());
        EXPECT_EQ(FixBundleArchive(archive), FixOutcome::Done);
    }
    const auto& events = disk->Events;
    ptrdiff_t backupFlushed = disk->First("flush Show.bak.zip"), firstWrite = disk->First("write Show.zip.new");
    ptrdiff_t lastWrite = disk->Last("write Show.zip.new"), flushed = disk->First("flush Show.zip.new");
    ptrdiff_t moved = disk->First("move Show.zip.new");
    ptrdiff_t synced = disk->First("sync " + Narrow(ExtractFileName(ExcludeTrailingBackslash(scratch.Path()))));
    ASSERT_LT(synced, (ptrdiff_t)events.size()) << "the folder was not synced";
    EXPECT_LT(backupFlushed, firstWrite);
    EXPECT_LT(lastWrite, flushed);
    EXPECT_LT(flushed, moved);
    EXPECT_LT(moved, synced);
}

TEST(ZipMode, FailedBackupSaysWhy) {
    TScratchFolder scratch;
    WideString archive = MakeArchive(scratch.Path());
    std::string before = ReadBytes(archive);
    TRef<TFullDisk> full = MakeRef<TFullDisk>();
    try {
        TFileAPIScope scope(full.Get());
        FixBundleArchive(archive);
        ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find("Show.bak.zip\": " + SystemErrorText(WinError::DiskFull)), std::string::npos)
            << e.Message();
    }
    EXPECT_EQ(ReadBytes(archive), before);
}

TEST(ZipMode, FailedBackupStopsBeforeAnythingChanges) {
    TScratchFolder scratch;
    WideString archive = MakeArchive(scratch.Path());
    std::string before = ReadBytes(archive);
    fs::create_directories(FsPath(scratch / u"Show.bak.zip"));  // a folder where the backup must go
    try {
        FixBundleArchive(archive);
        ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find("Cannot create backup \""), std::string::npos) << e.Message();
    }
    EXPECT_EQ(ReadBytes(archive), before);
}

// A browser's file: the picked archive is only read and gets no backup;
// the fixed one, picked again, is reported and not written a second time.
TEST(ZipMode, FixIntoAnotherFileLeavesThePickedOneAndSaysAlreadyFixed) {
    TScratchFolder scratch;
    WideString archive = MakeArchive(scratch.Path());
    std::string before = ReadBytes(archive);
    fs::create_directories(FsPath(scratch / u"out"));
    fs::create_directories(FsPath(scratch / u"again"));
    WideString output = JoinPath(scratch / u"out", u"Show.zip");
    EXPECT_EQ(FixBundleArchiveInto(archive, output), FixOutcome::Done);
    EXPECT_EQ(ReadBytes(archive), before);
    EXPECT_FALSE(fs::exists(FsPath(scratch / u"Show.bak.zip")));
    EXPECT_NE(ReadBytes(output), before);

    WideString again = JoinPath(scratch / u"again", u"Show.zip");
    EXPECT_EQ(FixBundleArchiveInto(output, again), FixOutcome::AlreadyFixed);
    EXPECT_FALSE(fs::exists(FsPath(again)));
    EXPECT_TRUE(fs::is_empty(FsPath(scratch / u"again")));
}

}  // namespace

namespace {

// Files of the user's that carry the names a staged file would take first.
TEST(StagedFiles, NeverTakeTheNameOfAFileAlreadyThere) {
    TScratchFolder scratch;
    WideString archive = MakeArchive(scratch.Path());
    WriteBytes(archive + u".new", "mine");
    WriteBytes(archive + u".new2", "mine too");
    FixBundleArchive(archive);
    EXPECT_EQ(ReadBytes(archive + u".new"), "mine");
    EXPECT_EQ(ReadBytes(archive + u".new2"), "mine too");
    EXPECT_FALSE(fs::exists(FsPath(archive + u".new3")));

    WideString bundle = MakeBundle(scratch / u"Own.app");
    WriteBytes(ViewerPath(bundle) + u".new", "notes");
    EXPECT_EQ(FixPresentation(bundle, u"", false), FixOutcome::Done);
    EXPECT_EQ(ReadBytes(ViewerPath(bundle)), Payload());
    EXPECT_EQ(ReadBytes(ViewerPath(bundle) + u".new"), "notes");
}

}  // namespace
