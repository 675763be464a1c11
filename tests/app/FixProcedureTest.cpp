#include <gtest/gtest.h>
#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include "Archivers/Zip/EntryModes.h"
#include "Archivers/Zip/FileUnzipper.h"
#include "Archivers/Zip/FileZipper.h"
#include "Archivers/Zip/ZipStructure.h"
#include "FileSystem/FileAPI.h"
#include "FixProcedure.h"
#include "Formats/MachO.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"
#include "Foundation/Threads.h"
#include "Streams/Streams.h"
#include "support/FaultyFileAPI.h"
#include "support/Files.h"
#include "support/ScratchFolder.h"
#include "support/Shows.h"
#include "support/ZipBuilder.h"
#include "support/ZipSession.h"

namespace {

namespace fs = std::filesystem;

TEST_F(FixProcedure, PathsUseThePlatformSeparator) {
    WideString sep(1, PathDelim);
    EXPECT_EQ(ViewerPath(u"B"), u"B" + sep + u"Contents" + sep + u"Resources" + sep + u"Viewer.app" + sep +
                                    u"Contents" + sep + u"MacOS" + sep + u"ZuvOrudad5");
    EXPECT_EQ(MarkerPath(u"B" + sep), u"B" + sep + u"Contents" + sep + u"Resources" + sep + u"slideshow.dat");
}

TEST_F(FixProcedure, BundleWithoutMarkerOrViewerIsRefusedAndUntouched) {
    MakeBundle(Bundle, false, true);
    EXPECT_EQ(FixPresentation(Bundle), TOutcome::Refused);
    EXPECT_EQ(ReadBytes(ViewerPath(Bundle)), "OLD VIEWER");

    WideString other = MakeBundle(Scratch / u"Other.app", true, false);
    EXPECT_EQ(FixPresentation(other), TOutcome::Refused);
    EXPECT_FALSE(fs::exists(FsPath(ViewerPath(other))));

    // A folder where the viewer should be is no viewer.
    WideString folderViewer = MakeBundle(Scratch / u"Odd.app", true, false);
    fs::create_directories(FsPath(ViewerPath(folderViewer)));
    EXPECT_EQ(FixPresentation(folderViewer), TOutcome::Refused);
}

TEST_F(FixProcedure, ViewerBecomesThePayloadAsAPlainProgramFile) {
    MakeBundle(Bundle);
    auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    fs::last_write_time(FsPath(ViewerPath(Bundle)), old);
    SetReadOnly(ViewerPath(Bundle), true);
    EXPECT_EQ(FixPresentation(Bundle), TOutcome::Done);
    EXPECT_EQ(ReadBytes(ViewerPath(Bundle)), Payload());
    EXPECT_FALSE(IsReadOnly(ViewerPath(Bundle)));
    EXPECT_GT(WriteTime(ViewerPath(Bundle)), old + std::chrono::hours(24 * 399));
#ifndef _WIN32
    EXPECT_EQ(fs::status(FsPath(ViewerPath(Bundle))).permissions() & fs::perms::mask, fs::perms(0755));
#endif
    // Fixing again finds nothing to do.
    EXPECT_EQ(FixPresentation(Bundle + PathDelim), TOutcome::AlreadyFixed);
    EXPECT_EQ(ReadBytes(ViewerPath(Bundle)), Payload());
    EXPECT_EQ(fs::directory_iterator(FsPath(ExtractFilePath(ViewerPath(Bundle), false)))->path().filename(),
              "ZuvOrudad5");
}

// The archive to send is named after the backup, also where the backup is not.
TEST(DescribeFix, NamesTheArchiveToSend) {
    TFixResult done(TOutcome::Done);
    done.Backup = JoinPath(u"x", u"Show.app.bak");
    done.UsualBackupName = true;
    done.ToSend = JoinPath(u"x", u"Show.zip");
    EXPECT_EQ(DescribeFix(done), u"Done! (backup: Show.app.bak; to send: Show.zip)");
    EXPECT_EQ(DescribeFix(done, TBackupMention::WhenUnusual), u"Done! (to send: Show.zip)");
    TFixResult already(TOutcome::AlreadyFixed);
    already.ToSend = JoinPath(u"x", u"Show (2).zip");
    EXPECT_EQ(DescribeFix(already), u"Already fixed (to send: Show (2).zip)");
}

// A stop as the archive is backed up leaves no backup behind.
TEST_F(FixProcedure, AStopAsTheArchiveIsBackedUpLeavesNoBackup) {
    const WideString archive = MakeArchive(Scratch.Path());
    const std::string before = ReadBytes(archive);
    const TFixProgress stop = [](TFixStage stage, uint64_t, uint64_t) {
        if (stage == TFixStage::BackingUp) throw EAbort("stopped");
    };
    EXPECT_THROW(FixBundleArchive(archive, stop), EAbort);
    EXPECT_EQ(ReadBytes(archive), before);
    EXPECT_FALSE(fs::exists(FsPath(Scratch / u"Show.bak.zip")));
}

TEST_F(FixProcedure, NamesOutsideTheAnsiCodePageAreFixedToo) {
    WideString bundle = MakeBundle(Scratch / u"\u0428\u043E\u0443 \u6F14\u793A \U0001F3AC.app");
    EXPECT_EQ(FixPresentation(bundle), TOutcome::Done);
    EXPECT_EQ(ReadBytes(ViewerPath(bundle)), Payload());
}

TEST_F(FixProcedure, FailedWriteKeepsTheOldViewerAndRaises) {
    MakeBundle(Bundle);
    TRef<TFullDisk> failing = MakeRef<TFullDisk>();
    try {
        TFileAPIScope scope(failing.Get());
        FixPresentation(Bundle);
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

// Backups are never merged into or replaced: an older one stays as it is,
// the new one takes the next name, and a fixed bundle needs none.
TEST_F(FixProcedure, FolderModeKeepsEveryBackupAndLeavesAFixedBundleAlone) {
    MakeBundle(Bundle);
    WideString older = Bundle + u".bak";
    WriteBytes(JoinPath(older, u"only-in-older-backup"), "keep");
    TFixResult first = FixBundleFolder(Bundle);
    EXPECT_EQ(first, TOutcome::Done);
    EXPECT_EQ(first.Backup, Bundle + u".bak (2)");
    EXPECT_EQ(ReadBytes(ViewerPath(first.Backup)), "OLD VIEWER");
    EXPECT_FALSE(fs::exists(FsPath(JoinPath(first.Backup, u"only-in-older-backup"))));
    EXPECT_EQ(ReadBytes(JoinPath(older, u"only-in-older-backup")), "keep");
    EXPECT_FALSE(fs::exists(FsPath(ViewerPath(older))));
    EXPECT_EQ(ReadBytes(ViewerPath(Bundle)), Payload());

    TFixResult second = FixBundleFolder(Bundle);
    EXPECT_EQ(second, TOutcome::AlreadyFixed);
    EXPECT_TRUE(second.Backup.empty());
    EXPECT_FALSE(fs::exists(FsPath(Bundle + u".bak (3)")));
    EXPECT_EQ(ReadBytes(ViewerPath(first.Backup)), "OLD VIEWER");
}

// The folder backup tells how far it is in bytes of the whole tree, and a
// stop (progress raising) ends it with the bundle as it was and the
// backup this run began removed.
TEST_F(FixProcedure, FolderBackupReportsBytesAndAStopRemovesIt) {
    MakeBundle(Bundle);
    for (int i = 0; i < 20; ++i)
        WriteBytes(JoinPath(Bundle, u"Contents/Resources/media/clip" + Utf8ToWide(std::to_string(i))),
                   std::string(100000, 'x'));
    const WideString backup = Bundle + u".bak";
    uint64_t lastDone = 0, lastTotal = 0;
    bool backwards = false;
    EXPECT_EQ(FixBundleFolder(Bundle,
                              [&](TFixStage stage, uint64_t done, uint64_t total) {
                                  EXPECT_EQ(stage, TFixStage::BackingUp);
                                  backwards |= total == lastTotal && done < lastDone;
                                  lastDone = done;
                                  lastTotal = total;
                              }),
              TOutcome::Done);
    EXPECT_FALSE(backwards);
    EXPECT_GT(lastTotal, 2000000u);
    EXPECT_EQ(lastDone, lastTotal);
    DeleteFolderTree(backup);

    WriteBytes(ViewerPath(Bundle), "OLD VIEWER");
    for (int stopAt : {1, 5, 30}) {
        int calls = 0;
        EXPECT_THROW(FixBundleFolder(Bundle,
                                     [&](TFixStage, uint64_t, uint64_t total) {
                                         if (total && ++calls == stopAt) throw EAbort("stopped");
                                     }),
                     EAbort)
            << stopAt;
        EXPECT_FALSE(fs::exists(FsPath(backup))) << stopAt;
        EXPECT_EQ(ReadBytes(ViewerPath(Bundle)), "OLD VIEWER");
    }
}

TEST_F(FixProcedure, WhatIsNoPresentationIsRefusedBeforeAnyCopy) {
    WideString folder = Scratch / u"Photos";
    WriteBytes(JoinPath(folder, u"a.jpg"), "jpeg");
    EXPECT_EQ(FixBundleFolder(folder), TOutcome::Refused);
    EXPECT_FALSE(fs::exists(FsPath(folder + u".bak")));
    EXPECT_THROW(FixBundleFolder(u""), EFileError);
}

// A backup that fails says why, removes what it made and nothing else.
TEST_F(FixProcedure, FailedBackupStopsBeforeTheBundleChanges) {
    MakeBundle(Bundle);
    WriteBytes(JoinPath(Bundle + u".bak", u"older"), "keep");
    TRef<TFullDisk> full = MakeRef<TFullDisk>();
    try {
        TFileAPIScope scope(full.Get());
        FixBundleFolder(Bundle);
        ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find("Cannot create backup \"" + Narrow(Bundle) +
                                   ".bak (2)\": " + SystemErrorText(WinError::DiskFull)),
                  std::string::npos)
            << e.Message();
    }
    EXPECT_EQ(ReadBytes(ViewerPath(Bundle)), "OLD VIEWER");
    EXPECT_FALSE(fs::exists(FsPath(Bundle + u".bak (2)")));
    EXPECT_EQ(ReadBytes(JoinPath(Bundle + u".bak", u"older")), "keep");
}

// The viewer is written only inside the bundle, never through a link.
TEST_F(FixProcedure, ViewerFolderLinkedOutOfTheBundleIsRefused) {
    WideString outside = MakeBundle(Scratch / u"Elsewhere.app");
    MakeBundle(Bundle, true, false);
    fs::remove_all(FsPath(JoinPath(Bundle, u"Contents/Resources/Viewer.app")));
    std::error_code error;
    fs::create_directory_symlink(FsPath(JoinPath(outside, u"Contents/Resources/Viewer.app")),
                                 FsPath(JoinPath(Bundle, u"Contents/Resources/Viewer.app")), error);
    if (error) GTEST_SKIP() << "no links here: " << error.message();
    EXPECT_THROW(FixBundleFolder(Bundle), EFileError);
    EXPECT_EQ(ReadBytes(ViewerPath(outside)), "OLD VIEWER");
    EXPECT_FALSE(fs::exists(FsPath(Bundle + u".bak")));
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
    for (const WideString& root : roots) EXPECT_EQ(FixBundleFolder(root), TOutcome::Refused) << Narrow(root);
    EXPECT_TRUE(fs::is_empty(FsPath(empty)));
#ifdef _WIN32
    EXPECT_FALSE(fs::exists(FsPath(u"C:\\.bak")));
#endif
    SetCurrentFolder(start);
}

}  // namespace

namespace {

// The staged archive cannot be made, as on a full or read-only disk.
class TNoStagedArchive : public TFileAPI {
public:
    TNativeHandle CreateFile(const WideString& path, uint32_t access, uint32_t share, void* security,
                             uint32_t disposition, uint32_t flags, TNativeHandle templateFile) override {
        if (path.size() > 15 && path.substr(path.size() - 15) == u".zip.nvxfix-new") {
            SetLastErrorCode(WinError::DiskFull);
            return InvalidNativeHandle;
        }
        return TFileAPI::CreateFile(path, access, share, security, disposition, flags, templateFile);
    }
};

// A failure after the backup leaves the archive as it was, so the backup
// this fix made goes again.
TEST(ZipMode, FailedWriteLeavesThePickedArchiveAndNoBackup) {
    TScratchFolder scratch;
    WideString archive = MakeArchive(scratch.Path());
    std::string before = ReadBytes(archive);
    TRef<TNoStagedArchive> failing = MakeRef<TNoStagedArchive>();
    {
        TFileAPIScope scope(failing.Get());
        EXPECT_THROW(FixBundleArchive(archive), Exception);
    }
    EXPECT_EQ(ReadBytes(archive), before);
    EXPECT_FALSE(fs::exists(FsPath(archive + u".nvxfix-new")));
    EXPECT_FALSE(fs::exists(FsPath(scratch / u"Show.bak.zip")));
}

// Reads of files fail on every thread but the one that made it: the
// check's workers meet a failing disk, the caller does not.
class TWorkerReadsFail : public TFileAPI {
public:
    bool ReadFile(TNativeHandle file, void* buffer, uint32_t count, uint32_t& done) override {
        if (CurrentThreadId() == FCaller) return TFileAPI::ReadFile(file, buffer, count, done);
        done = 0;
        SetLastErrorCode(WinError::IoDevice);
        return false;
    }

private:
    const uint32_t FCaller = CurrentThreadId();
};

// An archive of many entries, damaged in the viewer, early or late, with a
// second damage after the first: the check names the first in the
// directory's order, on one worker to four, whether the fix waits for it
// (entries without modes, which it plans) or writes its staged copy
// meanwhile (entries with modes), and a worker's failing read is reported;
// nothing is written either way. A sound one is fixed, then found fixed
// while its check still runs.
TEST(ZipMode, TheCheckReportsTheFirstDamageWhateverTheWorkers) {
    TScratchFolder scratch;
    const WideString archive = scratch / u"Show.zip";
    TZipFixture zip;
    std::vector<uint8_t> bytes;
    for (uint8_t host : {0, 3}) {
        const uint32_t mode = host == 3 ? 0100644u << 16 : 0;
        zip.Entries = {
            FixtureFile("Show.app/Contents/Resources/slideshow.dat", "slides", host, mode),
            FixtureFile("Show.app/Contents/Resources/Viewer.app/Contents/MacOS/ZuvOrudad5", "OLD VIEWER", host, mode)};
        for (int i = 0; i < 60; ++i)
            zip.Entries.push_back(FixtureFile("Show.app/Contents/Resources/p" + std::to_string(i) + ".jpg",
                                              std::string(size_t(i) * 300, char('a' + i % 26)), host, mode));
        for (size_t damaged : {1, 4, 58}) {
            zip.Entries[damaged].Crc = 0x1234;
            zip.Entries[59].Crc = 0x5678;
            bytes = zip.Build();
            zip.Entries[damaged].Crc = zip.Entries[59].Crc = -1;
            const std::string before(bytes.begin(), bytes.end());
            WriteBytes(archive, before);
            for (int workers = 1; workers <= 4; ++workers) {
                SetDefaultZipWorkers(workers);
                try {
                    FixBundleArchive(archive);
                    ADD_FAILURE() << "no error";
                } catch (const EArchiveBroken& e) {
                    EXPECT_NE(e.Message().find(zip.Entries[damaged].Name + "\" is damaged"), std::string::npos)
                        << workers << e.Message();
                }
                EXPECT_EQ(ReadBytes(archive), before);
            }
        }
    }
    bytes = zip.Build();
    WriteBytes(archive, std::string(bytes.begin(), bytes.end()));
    SetDefaultZipWorkers(3);
    TRef<TWorkerReadsFail> failing = MakeRef<TWorkerReadsFail>();
    try {
        TFileAPIScope scope(failing.Get());
        FixBundleArchive(archive);
        ADD_FAILURE() << "no error";
    } catch (const Exception&) {
    }
    EXPECT_EQ(std::vector<std::string>{"Show.zip"}, [&] {
        std::vector<std::string> names;
        for (auto& entry : fs::directory_iterator(FsPath(scratch.Path())))
            names.push_back(entry.path().filename().string());
        return names;
    }());
    SetDefaultZipWorkers(4);
    EXPECT_EQ(FixBundleArchive(archive), TOutcome::Done);
    EXPECT_EQ(FixBundleArchive(archive), TOutcome::AlreadyFixed);
    SetDefaultZipWorkers(0);
}

// Records, in order, what reaches a file or the disk, by file name; the
// check's workers open files meanwhile.
class TDiskRecorder : public TFileAPI {
public:
    std::vector<std::string> Events;
    // As a system that flushes a volume at once, or file by file.
    bool Volumes = false;

    TNativeHandle CreateFile(const WideString& path, uint32_t access, uint32_t share, void* security,
                             uint32_t disposition, uint32_t flags, TNativeHandle templateFile) override {
        TNativeHandle file = TFileAPI::CreateFile(path, access, share, security, disposition, flags, templateFile);
        std::lock_guard<std::mutex> guard(FLock);
        FPaths[file] = path;
        return file;
    }
    bool WriteFile(TNativeHandle file, const void* buffer, uint32_t count, uint32_t& done) override {
        Note("write", file);
        return TFileAPI::WriteFile(file, buffer, count, done);
    }
    bool FlushFileBuffers(TNativeHandle file) override {
        Note("flush", file);
        return TFileAPI::FlushFileBuffers(file);
    }
    bool SetFileAttributesByHandle(TNativeHandle file, const TFindData& from) override {
        Note("mode", file);
        return TFileAPI::SetFileAttributesByHandle(file, from);
    }
    bool MoveFile(const WideString& oldPath, const WideString& newPath, uint32_t flags) override {
        Note("move", oldPath);
        return TFileAPI::MoveFile(oldPath, newPath, flags);
    }
    bool ReplaceFile(const WideString& replacement, const WideString& target) override {
        Note("move", replacement);
        return TFileAPI::ReplaceFile(replacement, target);
    }
    bool CreateHardLink(const WideString& existing, const WideString& newName) override {
        Note("link", newName);
        return TFileAPI::CreateHardLink(existing, newName);
    }
    bool FlushFolder(const WideString& path) override {
        Note("sync", path);
        return TFileAPI::FlushFolder(path);
    }
    bool FlushesVolumes() override { return Volumes; }
    bool FlushVolume(const WideString& folder) override {
        Note("volume", folder);
        return !TFileAPI::FlushesVolumes() || TFileAPI::FlushVolume(folder);
    }
    ptrdiff_t First(const std::string& event) const {
        return std::find(Events.begin(), Events.end(), event) - Events.begin();
    }
    ptrdiff_t Last(const std::string& event) const {
        return Events.rend() - std::find(Events.rbegin(), Events.rend(), event) - 1;
    }

private:
    void Note(const char* what, TNativeHandle file) {
        WideString path;
        {
            std::lock_guard<std::mutex> guard(FLock);
            path = FPaths[file];
        }
        Note(what, path);
    }
    void Note(const char* what, const WideString& path) {
        std::lock_guard<std::mutex> guard(FLock);
        std::string event = what + (" " + Narrow(ExtractFileName(path)));
        if (Events.empty() || Events.back() != event) Events.push_back(event);
    }
    std::mutex FLock;
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
        EXPECT_EQ(FixBundleArchive(archive), TOutcome::Done);
    }
    const auto& events = disk->Events;
    const std::string folder = "sync " + Narrow(ExtractFileName(ExcludeTrailingBackslash(scratch.Path())));
    // The backup is a second name of the archive, or where there are none a
    // copy; either way on the disk before the archive's name moves.
    ptrdiff_t backup = std::min(disk->First("link Show.bak.zip"), disk->First("flush Show.bak.zip"));
    ptrdiff_t backupOnDisk = disk->First(folder), moved = disk->First("move Show.zip.nvxfix-new");
    ptrdiff_t lastWrite = disk->Last("write Show.zip.nvxfix-new"), flushed = disk->First("flush Show.zip.nvxfix-new");
    ptrdiff_t synced = disk->Last(folder);
    ASSERT_LT(synced, (ptrdiff_t)events.size()) << "the folder was not synced";
    EXPECT_LT(backup, backupOnDisk);
    EXPECT_LT(backupOnDisk, moved);
    EXPECT_LT(lastWrite, flushed);
    EXPECT_LT(flushed, moved);
    EXPECT_LT(moved, synced);
}

// A power cut once the viewer has moved must find the folder's backup
// whole: its files' data and modes, its folders' entries and its own name
// on the disk first. A staged viewer an earlier cut left is no program to
// give a mode, and no part of the backup.
TEST_F(FixProcedure, FolderBackupIsOnTheDiskBeforeTheViewerMoves) {
    const std::string backup = Narrow(ExtractFileName(Bundle)) + ".bak";
    for (bool volumes : {false, true}) {
        SCOPED_TRACE(volumes ? "the volume at once" : "file by file");
        MakeBundle(Bundle);
        const WideString staged = ViewerPath(Bundle) + u".nvxfix-new";
        WriteBytes(staged, "");
        TRef<TDiskRecorder> disk = MakeRef<TDiskRecorder>();
        disk->Volumes = volumes;
        {
            TFileAPIScope scope(disk.Get());
            EXPECT_EQ(FixBundleFolder(Bundle), TOutcome::Done);
        }
        const ptrdiff_t moved = disk->First("move ZuvOrudad5.nvxfix-new");
        ASSERT_LT(moved, ptrdiff_t(disk->Events.size()));
        const std::vector<std::string> before =
            volumes
                ? std::vector<std::string>{"volume " + backup}
                : std::vector<std::string>{"flush slideshow.dat", "sync " + backup,
                                           "sync " + Narrow(ExtractFileName(ExcludeTrailingBackslash(Scratch.Path())))};
        for (const std::string& event : before) {
            EXPECT_GE(disk->Last(event), 0) << event;
            EXPECT_LT(disk->Last(event), moved) << event;
        }
        if (!volumes) {
            // The flush takes the file's mode along.
            EXPECT_GE(disk->Last("mode slideshow.dat"), 0);
            EXPECT_LT(disk->Last("mode slideshow.dat"), disk->Last("flush slideshow.dat"));
        }
        EXPECT_FALSE(fs::exists(FsPath(staged)));
        EXPECT_FALSE(fs::exists(FsPath(ViewerPath(Bundle + u".bak") + u".nvxfix-new")));
        fs::remove_all(FsPath(Bundle));
        fs::remove_all(FsPath(Bundle + u".bak"));
    }
}

// Where the file system has no second names the backup is a copy: an
// older backup survives one that fails, and the failure says why and
// leaves no partial backup. A full disk stops the fix at the staged copy,
// before any backup.
TEST(ZipMode, FailedBackupSaysWhyAndKeepsTheOlderBackup) {
    // Without second names, and full once the staged copy is written.
    class TFullForBackups : public TBufferedFileAPI {
    public:
        bool CreateHardLink(const WideString&, const WideString&) override {
            SetLastErrorCode(WinError::NotSupported);
            return false;
        }
        TNativeHandle CreateFile(const WideString& path, uint32_t access, uint32_t share, void* security,
                                 uint32_t disposition, uint32_t flags, TNativeHandle templateFile) override {
            TNativeHandle file = TFileAPI::CreateFile(path, access, share, security, disposition, flags, templateFile);
            if (ExtractFileName(path).find(u".bak") != WideString::npos) FBackups.insert(file);
            return file;
        }
        bool WriteFile(TNativeHandle file, const void* buffer, uint32_t count, uint32_t& done) override {
            if (!FBackups.count(file)) return TFileAPI::WriteFile(file, buffer, count, done);
            done = 0;
            SetLastErrorCode(WinError::DiskFull);
            return false;
        }

    private:
        std::set<TNativeHandle> FBackups;
    };
    TScratchFolder scratch;
    WideString archive = MakeArchive(scratch.Path());
    std::string before = ReadBytes(archive);
    WriteBytes(scratch / u"Show.bak.zip", "an older show");
    for (bool links : {false, true}) {
        TRef<TFileAPI> full;
        if (links) full = MakeRef<TFullDisk>();
        else full = MakeRef<TFullForBackups>();
        try {
            TFileAPIScope scope(full.Get());
            FixBundleArchive(archive);
            ADD_FAILURE() << "no error";
        } catch (const Exception& e) {
            const std::string cause = SystemErrorText(WinError::DiskFull);
            EXPECT_NE(e.Message().find(links ? cause : "Show.bak (2).zip\": " + cause), std::string::npos)
                << e.Message();
        }
        EXPECT_EQ(ReadBytes(archive), before);
        EXPECT_EQ(ReadBytes(scratch / u"Show.bak.zip"), "an older show");
        EXPECT_FALSE(fs::exists(FsPath(scratch / u"Show.bak (2).zip")));
        EXPECT_FALSE(fs::exists(FsPath(scratch / u"Show.zip.nvxfix-new")));
    }
}

// A name typed into the pick dialog that names nothing.
TEST(ZipMode, AMissingArchiveIsReportedNotFound) {
    TScratchFolder scratch;
    try {
        FixBundleArchive(scratch / u"Typo.zip");
        ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find("Typo.zip\" was not found"), std::string::npos) << e.Message();
    }
    EXPECT_TRUE(fs::is_empty(FsPath(scratch.Path())));
}

// The page's fix: what the save writes held apart, the fixed archive put
// together from the layout and written over the archive, as the page's
// download would be. Gives the count of bytes the layout takes from the
// archive.
TFixResult FixOnTop(const WideString& archive, int64_t* fromArchive = nullptr) {
    TRef<TMemoryStream> written = MakeRef<TMemoryStream>();
    std::vector<TOverlayStretch> layout;
    const TFixResult result = FixBundleArchiveOnTop(archive, written.Get(), layout);
    if (result != TOutcome::Done) return result;
    const std::string original = ReadBytes(archive);
    std::string fixed;
    int64_t base = 0;
    for (const TOverlayStretch& stretch : layout) {
        EXPECT_EQ(stretch.Start, int64_t(fixed.size()));
        if (stretch.Source == TOverlaySource::Base) {
            fixed += original.substr(size_t(stretch.From), size_t(stretch.Length));
            base += stretch.Length;
        } else if (stretch.Source == TOverlaySource::Zeros) {
            fixed += std::string(size_t(stretch.Length), '\0');
        } else {
            fixed.append(reinterpret_cast<const char*>(written->Memory()) + stretch.Start, size_t(stretch.Length));
        }
    }
    WriteBytes(archive, fixed);
    if (fromArchive) *fromArchive = base;
    return result;
}

// A browser's fix: only the viewer entry and the directory are written
// anew, the entries after the viewer are the archive's bytes where they
// lay, everything in front keeps its place; names, modes and comments stay;
// a second fix changes nothing, and damage anywhere in the archive is
// reported with the file as it was.
TEST(ZipMode, BrowserFixWritesOnlyTheViewerEntryAndTheDirectory) {
    TScratchFolder scratch;
    const std::string viewer = "Show.app/Contents/Resources/Viewer.app/Contents/MacOS/ZuvOrudad5";
    auto build = [&](int64_t afterCrc) {
        TZipFixture zip;
        zip.Entries = {FixtureFile("Show.app/Contents/Info.plist", "<plist/>", ZipHost::Unix, 0100644u << 16),
                       FixtureFile("Show.app/Contents/Resources/slideshow.dat", "slides"),
                       FixtureFile(viewer, "OLD VIEWER", ZipHost::Unix, 0100644u << 16),
                       FixtureFile("Show.app/Contents/Resources/after.jpg", "jpeg bytes"),
                       FixtureFile("ReadMe.txt", "read me")};
        zip.Entries[0].Extra = std::string("UT\x05\x00\x01\x00\x00\x00\x60", 9);
        zip.Entries[2].Comment = "the viewer";
        zip.Entries[3].Crc = afterCrc;
        zip.Comment = "archive comment";
        std::vector<uint8_t> bytes = zip.Build();
        WriteBytes(scratch / u"Show.zip", std::string(bytes.begin(), bytes.end()));
        return zip;
    };
    const WideString archive = scratch / u"Show.zip";
    TZipFixture zip = build(-1);
    const std::string before = ReadBytes(archive);
    int64_t fromArchive = 0;
    EXPECT_EQ(FixOnTop(archive, &fromArchive), TOutcome::Done);
    const std::string after = ReadBytes(archive);
    EXPECT_EQ(after.substr(0, zip.LocalOffsets[2]), before.substr(0, zip.LocalOffsets[2]));
    // The moved entries are never written: the page slices them from the picked file.
    EXPECT_EQ(fromArchive, int64_t(zip.LocalOffsets[2]) + (zip.DirectoryOffset - zip.LocalOffsets[3]));

    TRef<TFileUnzipper> unzipper = MakeRef<TFileUnzipper>();
    unzipper->Unzip(archive, scratch / u"out");
    EXPECT_EQ(ReadBytes(scratch / u"out/Show.app/Contents/Resources/after.jpg"), "jpeg bytes");
    EXPECT_EQ(ReadBytes(scratch / u"out/ReadMe.txt"), "read me");
    EXPECT_EQ(ReadBytes(ViewerPath(scratch / u"out/Show.app")), Payload());
    TRef<TMemoryStream> fixed = MakeRef<TMemoryStream>();
    fixed->Write(after.data(), int32_t(after.size()));
    TZipSession session(fixed.Get());
    session.Archive->Open();
    ASSERT_EQ(session.Archive->Structure()->Count(), 5);
    const TZipItem* entry = session.Archive->Structure()->Entry(2);
    EXPECT_EQ(entry->NameBytes, viewer);
    EXPECT_EQ((std::pair<int, uint32_t>(entry->HostSystem, entry->ExternalAttributes)),
              (std::pair<int, uint32_t>(ZipHost::Unix, UnixMode::Program << 16)));
    EXPECT_EQ(session.Archive->Structure()->Entry(0)->ExternalAttributes, 0100644u << 16);
    EXPECT_NE(after.find("the viewer"), std::string::npos);
    EXPECT_NE(after.find("archive comment"), std::string::npos);

    EXPECT_EQ(FixOnTop(archive), TOutcome::AlreadyFixed);
    EXPECT_EQ(ReadBytes(archive), after);

    build(0x1234);
    const std::string damaged = ReadBytes(archive);
    try {
        FixOnTop(archive);
        ADD_FAILURE() << "no error";
    } catch (const EArchiveBroken& e) {
        EXPECT_NE(e.Message().find("after.jpg"), std::string::npos) << e.Message();
    }
    EXPECT_EQ(ReadBytes(archive), damaged);
}

// The check judges the entries' local records as it reads them; a fix that
// ends without the check (no show; a show already fixed, every file a
// program) judges them alone: damage is said whatever the fix would end in.
TEST(ZipMode, DamagedLocalRecordsAreSaidWhateverTheFixWouldEndIn) {
    TScratchFolder scratch;
    const WideString archive = scratch / u"Show.zip";
    const std::string viewer = "Show.app/Contents/Resources/Viewer.app/Contents/MacOS/ZuvOrudad5";
    for (const char* marker : {"Show.app/Contents/Resources/slideshow.dat", "Show.app/ReadMe.txt"})
        for (const std::string& program : {std::string("OLD"), Payload()}) {
            TZipFixture zip;
            const uint32_t mode = UnixMode::Program << 16;
            zip.Entries = {FixtureFile(marker, "slides", ZipHost::Unix, mode),
                           FixtureFile(viewer, program, ZipHost::Unix, mode),
                           FixtureFile("Show.app/Contents/Resources/after.jpg", "jpeg", ZipHost::Unix, mode)};
            std::vector<uint8_t> bytes = zip.Build();
            bytes[zip.LocalOffsets[2] + ZipRecord::LocalHeaderSize] = 's';
            WriteBytes(archive, std::string(bytes.begin(), bytes.end()));
            try {
                FixBundleArchive(archive);
                ADD_FAILURE() << marker << " " << program.size();
            } catch (const EArchiveDamaged& e) {
                EXPECT_NE(e.Message().find("its local header holds another name"), std::string::npos) << e.Message();
            }
            EXPECT_EQ(ReadBytes(archive), std::string(bytes.begin(), bytes.end()));
        }
}

// What an unzip on a Mac would make of the archive decides: of twin viewer
// entries one comes out, the payload; a link standing for a folder on the
// viewer's way is refused with the archive untouched.
TEST(ZipMode, BrowserFixLeavesOneViewerAndRefusesALinkOnItsWay) {
    TScratchFolder scratch;
    const std::string viewer = "Show.app/Contents/Resources/Viewer.app/Contents/MacOS/ZuvOrudad5";
    const WideString archive = scratch / u"Show.zip";
    auto write = [&](std::vector<TZipFixtureEntry> entries) {
        TZipFixture zip;
        zip.Entries = std::move(entries);
        std::vector<uint8_t> bytes = zip.Build();
        WriteBytes(archive, std::string(bytes.begin(), bytes.end()));
    };
    const TZipFixtureEntry marker = FixtureFile("Show.app/Contents/Resources/slideshow.dat", "slides");
    const std::string twin = "Show.app/Contents/Resources/viewer.app/Contents/MacOS/ZuvOrudad5";
    write({marker, FixtureFile(viewer, "OLD 1"), FixtureFile("Show.app/x", "x"), FixtureFile(twin, "OLD 2")});
    const TFixResult result = FixOnTop(archive);
    EXPECT_EQ(result, TOutcome::Done);
    // The twin that goes is named.
    EXPECT_EQ(result.Notes.back(),
              "another copy of the viewer, differing only in case or Unicode form, is removed: \"" + twin + "\"");
    const std::string fixed = ReadBytes(archive);
    EXPECT_EQ(ParseZip(std::vector<uint8_t>(fixed.begin(), fixed.end())).Entries.size(), 3u);
    TRef<TFileUnzipper> unzipper = MakeRef<TFileUnzipper>();
    unzipper->Unzip(archive, scratch / u"out");
    EXPECT_EQ(ReadBytes(ViewerPath(scratch / u"out/Show.app")), Payload());

    write({marker,
           FixtureFile("Show.app/Contents/Resources/Viewer.app", "/tmp/elsewhere", ZipHost::Unix,
                       UnixMode::SymbolicLink << 16),
           FixtureFile(viewer, "OLD")});
    const std::string linked = ReadBytes(archive);
    try {
        FixOnTop(archive);
        ADD_FAILURE() << "no error";
    } catch (const EFileAccessError& e) {
        EXPECT_NE(e.Message().find("Viewer.app\" is a link"), std::string::npos) << e.Message();
    }
    EXPECT_EQ(ReadBytes(archive), linked);
}

}  // namespace

namespace {

const std::string ViewerName = "Show.app/Contents/Resources/Viewer.app/Contents/MacOS/ZuvOrudad5";

// The first bytes of a Mach-O program of one architecture.
std::string MachO(uint32_t cpu) {
    std::string header = std::string("\xCF\xFA\xED\xFE", 4) + std::string(28, '\0');
    for (int i = 0; i < 4; ++i) header[size_t(4 + i)] = char(cpu >> (8 * i));
    return header;
}

// Directory records of an archive, by name: host and external attributes.
std::map<std::string, std::pair<int, uint32_t>> ModesOf(const WideString& archive) {
    const std::string bytes = ReadBytes(archive);
    TRef<TMemoryStream> stream = MakeRef<TMemoryStream>();
    stream->Write(bytes.data(), int32_t(bytes.size()));
    TZipSession session(stream.Get());
    session.Archive->Open();
    std::map<std::string, std::pair<int, uint32_t>> modes;
    for (int32_t i = 0; i < session.Archive->Structure()->Count(); ++i) {
        const TZipItem* entry = session.Archive->Structure()->Entry(i);
        modes[entry->NameBytes] = {entry->HostSystem, entry->ExternalAttributes};
    }
    return modes;
}

// An archive made on Windows carries no modes: its programs (by their
// first bytes, their folder or a "#!") come out 0755, other files 0644 and
// folders 0755, in the directory only; entries with modes are left alone.
// A check first says so and changes nothing; a show needing only modes
// (its viewer is the carried one) is fixed; the next fix finds nothing to do.
TEST(ZipMode, AnArchiveMadeOnWindowsGetsItsProgramsBack) {
    TScratchFolder scratch;
    const WideString archive = scratch / u"Show.zip";
    TZipFixture zip;
    zip.Entries = {FixtureFile("Show.app/", "", 0, 0x10), FixtureFile("Show.app/Contents/MacOS/Show", "launcher"),
                   FixtureFile("Show.app/Contents/Frameworks/Player.dylib", MachO(MachOCpu::Arm64) + "code"),
                   FixtureFile("Show.app/Contents/Resources/run.sh", "#!/bin/sh\n"),
                   FixtureFile("Show.app/Contents/Resources/Old.class", std::string("\xCA\xFE\xBA\xBE\0\0\0\x34", 8)),
                   FixtureFile("Show.app/Contents/Resources/slideshow.dat", "slides", 0, 0x20),
                   FixtureFile("Show.app/Contents/Resources/kept.bin", "x", ZipHost::Unix, 0100600u << 16),
                   // With modes, a program runs for whoever may read it; outside the bundle nothing changes.
                   FixtureFile("Show.app/Contents/Resources/tool.sh", "#!/bin/sh\n", ZipHost::Unix, 0100640u << 16),
                   FixtureFile("Extras/tool.sh", "#!/bin/sh\n", ZipHost::Unix, 0100644u << 16),
                   FixtureFile(ViewerName, Payload())};
    std::vector<uint8_t> bytes = zip.Build();
    WriteBytes(archive, std::string(bytes.begin(), bytes.end()));
    const std::string before = ReadBytes(archive);

    TFixResult checked = FixBundleArchive(archive, {}, TFixMode::Check);
    EXPECT_EQ(DescribeFix(checked), u"Needs fixing (execute permission missing on 5 programs)");
    EXPECT_EQ(ReadBytes(archive), before);
    EXPECT_FALSE(fs::exists(FsPath(scratch / u"Show.bak.zip")));

    TFixResult fixed = FixBundleArchive(archive);
    EXPECT_EQ(DescribeFix(fixed), u"Done! (execute permission restored on 5 programs; backup: Show.bak.zip)");
    auto modes = ModesOf(archive);
    const std::pair<int, uint32_t> program{ZipHost::Unix, UnixMode::Program << 16};
    EXPECT_EQ(modes["Show.app/"], (std::pair<int, uint32_t>(ZipHost::Unix, 040755u << 16 | 0x10)));
    EXPECT_EQ(modes["Show.app/Contents/MacOS/Show"], program);
    EXPECT_EQ(modes["Show.app/Contents/Frameworks/Player.dylib"], program);
    EXPECT_EQ(modes["Show.app/Contents/Resources/run.sh"], program);
    EXPECT_EQ(modes[ViewerName], program);
    EXPECT_EQ(modes["Show.app/Contents/Resources/Old.class"],
              (std::pair<int, uint32_t>(ZipHost::Unix, 0100644u << 16)));
    EXPECT_EQ(modes["Show.app/Contents/Resources/slideshow.dat"].second, 0100644u << 16 | 0x20);
    EXPECT_EQ(modes["Show.app/Contents/Resources/kept.bin"], (std::pair<int, uint32_t>(ZipHost::Unix, 0100600u << 16)));
    EXPECT_EQ(modes["Show.app/Contents/Resources/tool.sh"], (std::pair<int, uint32_t>(ZipHost::Unix, 0100750u << 16)));
    EXPECT_EQ(modes["Extras/tool.sh"], (std::pair<int, uint32_t>(ZipHost::Unix, 0100644u << 16)));
    // Only the directory changed: every byte in front of it is as it was.
    const std::string after = ReadBytes(archive);
    EXPECT_EQ(after.substr(0, zip.DirectoryOffset), before.substr(0, zip.DirectoryOffset));
    EXPECT_EQ(FixBundleArchive(archive), TOutcome::AlreadyFixed);

    // Compressed again on a Mac after a Windows zip: modes, none that runs.
    zip.Entries = {FixtureFile("Show.app/Contents/MacOS/Show", "launcher", ZipHost::Unix, 0100644u << 16),
                   FixtureFile("Show.app/Contents/Resources/slideshow.dat", "slides", ZipHost::Unix, 0100644u << 16),
                   FixtureFile(ViewerName, Payload(), ZipHost::Unix, UnixMode::Program << 16)};
    bytes = zip.Build();
    WriteBytes(archive, std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(DescribeFix(FixBundleArchive(archive)),
              u"Done! (execute permission restored on 1 program; backup: Show.bak (2).zip)");
    EXPECT_EQ(ModesOf(archive)["Show.app/Contents/MacOS/Show"], program);
}

// What the fix cannot mend is said after the outcome: a launcher of 32-bit
// code only (named by a binary Info.plist), and a signed show whose seal
// the new viewer breaks; the Finder's note of the old viewer goes with it.
TEST(ZipMode, NotesTellWhatTheFixCannotMend) {
    TScratchFolder scratch;
    const WideString archive = scratch / u"Show.zip";
    std::string info = "bplist00";
    info += std::string("\xD1\x01\x02", 3) + std::string("\x5F\x10\x12", 3) + "CFBundleExecutable" + "\x55Movie";
    const size_t table = info.size();
    info += std::string("\x08\x0B\x20", 3);
    std::string trailer(6, '\0');
    trailer += "\x01\x01";
    for (uint64_t value : {uint64_t(3), uint64_t(0), uint64_t(table)})
        for (int i = 7; i >= 0; --i) trailer += char(value >> (8 * i));
    info += trailer;
    TZipFixture zip;
    zip.Entries = {
        FixtureFile("Show.app/Contents/Info.plist", info, ZipHost::Unix, 0100644u << 16),
        FixtureFile("Show.app/Contents/MacOS/Movie", MachO(MachOCpu::X86), ZipHost::Unix, UnixMode::Program << 16),
        FixtureFile("Show.app/Contents/Resources/Viewer.app/Contents/_CodeSignature/CodeResources", "<plist/>",
                    ZipHost::Unix, 0100644u << 16),
        FixtureFile("Show.app/Contents/MacOS/Other", "other", ZipHost::Unix, UnixMode::Program << 16),
        FixtureFile("Show.app/Contents/Resources/slideshow.dat", "slides", ZipHost::Unix, 0100644u << 16),
        FixtureFile(ViewerName, "OLD", ZipHost::Unix, UnixMode::Program << 16),
        FixtureFile("__MACOSX/Show.app/Contents/Resources/Viewer.app/Contents/MacOS/._ZuvOrudad5", "fork"),
        FixtureFile("__MACOSX/Show.app/Contents/._Info.plist", "fork")};
    std::vector<uint8_t> bytes = zip.Build();
    WriteBytes(archive, std::string(bytes.begin(), bytes.end()));
    TFixResult fixed = FixBundleArchive(archive);
    ASSERT_EQ(fixed.Notes.size(), 2u);
    EXPECT_NE(fixed.Notes[0].find("\"Movie\" holds 32-bit code only (i386)"), std::string::npos) << fixed.Notes[0];
    EXPECT_NE(fixed.Notes[1].find("Terminal lines"), std::string::npos) << fixed.Notes[1];
    EXPECT_EQ(fixed.Commands.at(1), "codesign --force --sign - Show.app/Contents/Resources/Viewer.app");
    auto modes = ModesOf(archive);
    EXPECT_EQ(modes.count("__MACOSX/Show.app/Contents/Resources/Viewer.app/Contents/MacOS/._ZuvOrudad5"), 0u);
    EXPECT_EQ(modes.count("__MACOSX/Show.app/Contents/._Info.plist"), 1u);

    // Without an Info.plist the launcher is the one file in Contents/MacOS,
    // which its twin (a Mac takes both names for one) does not make two;
    // folders are found whatever their case.
    zip.Entries = {
        FixtureFile("Show.app/Contents/MacOS/Movie", MachO(MachOCpu::X86), ZipHost::Unix, UnixMode::Program << 16),
        FixtureFile("Show.app/contents/macos/MOVIE", MachO(MachOCpu::X86), ZipHost::Unix, UnixMode::Program << 16),
        FixtureFile("Show.app/Contents/_codesignature/CodeResources", "<plist/>", ZipHost::Unix, 0100644u << 16),
        FixtureFile("Show.app/Contents/Resources/slideshow.dat", "slides", ZipHost::Unix, 0100644u << 16),
        FixtureFile(ViewerName, "OLD", ZipHost::Unix, UnixMode::Program << 16)};
    bytes = zip.Build();
    WriteBytes(archive, std::string(bytes.begin(), bytes.end()));
    fixed = FixBundleArchive(archive);
    ASSERT_EQ(fixed.Notes.size(), 2u);
    EXPECT_NE(fixed.Notes[0].find("\"Movie\" holds 32-bit code only"), std::string::npos) << fixed.Notes[0];
    EXPECT_NE(fixed.Notes[1].find("the show is signed"), std::string::npos) << fixed.Notes[1];

    // The program the Info.plist names is missing: another file does not stand in.
    zip.Entries = {FixtureFile("Show.app/Contents/Info.plist", info),
                   FixtureFile("Show.app/Contents/MacOS/Other", MachO(MachOCpu::Arm64)),
                   FixtureFile("Show.app/Contents/Resources/slideshow.dat", "slides"),
                   FixtureFile(ViewerName, Payload())};
    bytes = zip.Build();
    WriteBytes(archive, std::string(bytes.begin(), bytes.end()));
    const TFixResult checked = FixBundleArchive(archive, {}, TFixMode::Check);
    ASSERT_EQ(checked.Notes.size(), 1u);
    EXPECT_NE(checked.Notes[0].find("\"Contents/MacOS/Movie\" is missing: it cannot start"), std::string::npos)
        << checked.Notes[0];
}

// The folder a show was exported to, or the Desktop: the one show in it is
// fixed and named; with two, neither is, and both are named.
TEST_F(FixProcedure, AFolderHoldingOneShowFixesIt) {
    MakeBundle(Bundle);
    WriteBytes(Scratch / u"ReadMe.txt", "read me");
    EXPECT_EQ(DescribeFix(FixBundleFolder(Scratch.Path())), u"Done! (fixed Show.app; backup: Show.app.bak)");
    EXPECT_EQ(ReadBytes(ViewerPath(Bundle)), Payload());
    // Its backup is no second show.
    EXPECT_EQ(FixBundleFolder(Scratch.Path()), TOutcome::AlreadyFixed);
    MakeBundle(Scratch / u"Other.app");
    const TFixResult refused = FixBundleFolder(Scratch.Path());
    EXPECT_EQ(refused, TOutcome::Refused);
    ASSERT_EQ(refused.Notes.size(), 1u);
    EXPECT_EQ(refused.Notes[0], "this folder holds 2 shows, \"Other.app\" and \"Show.app\": pick one of them");
    EXPECT_EQ(ReadBytes(ViewerPath(Scratch / u"Other.app")), "OLD VIEWER");
}

#ifndef _WIN32
// A folder carried on a stick without modes: its programs get their
// execute permission back, found by the backup copy where the viewer is
// written too, and also when the viewer is fixed already.
TEST_F(FixProcedure, AFolderWithoutModesGetsItsProgramsBack) {
    for (const bool viewerFixed : {false, true}) {
        const WideString bundle = Scratch / (viewerFixed ? u"Fixed.app" : u"Old.app");
        MakeBundle(bundle);
        if (viewerFixed) WriteBytes(ViewerPath(bundle), Payload());
        const WideString launcher = JoinPath(bundle, u"Contents/MacOS/Show");
        WriteBytes(launcher, "launcher");
        const WideString library = JoinPath(bundle, u"Contents/Resources/lib.dylib");
        WriteBytes(library, MachO(MachOCpu::X86_64));
        fs::permissions(FsPath(launcher), fs::perms(0644));
        fs::permissions(FsPath(library), fs::perms(0640));
        const TFixResult fixed = FixBundleFolder(bundle);
        EXPECT_EQ(DescribeFix(fixed),
                  u"Done! (execute permission restored on 2 programs; backup: " + ExtractFileName(bundle) + u".bak)");
        EXPECT_EQ(fs::status(FsPath(launcher)).permissions() & fs::perms::mask, fs::perms(0755));
        // Whoever may read it may run it; no one else.
        EXPECT_EQ(fs::status(FsPath(library)).permissions() & fs::perms::mask, fs::perms(0750));
        // The backup keeps the modes it found.
        EXPECT_EQ(fs::status(FsPath(bundle + u".bak/Contents/Resources/lib.dylib")).permissions() & fs::perms::mask,
                  fs::perms(0640));
        EXPECT_EQ(ReadBytes(ViewerPath(bundle)), Payload());
        EXPECT_EQ(FixBundleFolder(bundle), TOutcome::AlreadyFixed);
    }
}
#endif

}  // namespace
