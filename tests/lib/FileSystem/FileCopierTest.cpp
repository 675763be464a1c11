#include <gtest/gtest.h>
#include <fstream>
#include "FileSystem/FileAPI.h"
#include "FileSystem/FileCopier.h"
#include "Foundation/Clock.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"
#include "support/FaultyFileAPI.h"
#include "support/Files.h"
#include "support/ScratchFolder.h"
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <cstdlib>
#include <ctime>
#endif

namespace {

namespace fs = std::filesystem;

class FileCopier : public testing::Test {
protected:
    TScratchFolder Scratch;
    TRef<TFileCopier> Copier = MakeRef<TFileCopier>();
    WideString Source = Scratch / u"source.bin";
    WideString Target = Scratch / u"target.bin";
};

TEST_F(FileCopier, EmptyFileIsCopiedWithOneProgressCallAtTheEnd) {
    WriteBytes(Source, "");
    int calls = 0;
    Copier->OnProgress = [&](TFileCopier*, const WideString&, bool&, int64_t size, int64_t done, const WideString&) {
        ++calls;
        EXPECT_EQ(size, 0);
        EXPECT_EQ(done, 0);
    };
    EXPECT_EQ(Copier->CopyFile(Source, Target), CopyResult::Copied);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(fs::exists(FsPath(Target)));
    EXPECT_EQ(fs::file_size(FsPath(Target)), 0u);
}

TEST_F(FileCopier, CopiesManyBlocksWithTimesAndCountsBytes) {
    std::string data(200000, 'x');
    for (size_t i = 0; i < data.size(); ++i) data[i] = (char)(i * 7 + i / 251);
    WriteBytes(Source, data);
    auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    fs::last_write_time(FsPath(Source), old);
    Copier->BufferSize = 1;  // clamped to the 16 KiB minimum
    EXPECT_EQ(Copier->CopyFile(Source, Target), CopyResult::Copied);
    EXPECT_EQ(ReadBytes(Target), data);
    EXPECT_EQ(Copier->TotalBytes, (int64_t)data.size());
    EXPECT_LT(std::chrono::abs(WriteTime(Target) - WriteTime(Source)), std::chrono::milliseconds(2));
}

TEST_F(FileCopier, ExistingTargetIsKeptWithoutOverwriteOrConsent) {
    WriteBytes(Source, "new");
    WriteBytes(Target, "old");
    EXPECT_EQ(Copier->CopyFile(Source, Target), CopyResult::TargetFailed);
    EXPECT_EQ(ReadBytes(Target), "old");
    Copier->OnOverwrite = [](TFileCopier*, const WideString&, const WideString&) { return false; };
    EXPECT_EQ(Copier->CopyFile(Source, Target), CopyResult::Stopped);
    EXPECT_EQ(ReadBytes(Target), "old");
    Copier->OnOverwrite = [](TFileCopier*, const WideString&, const WideString&) { return true; };
    EXPECT_EQ(Copier->CopyFile(Source, Target), CopyResult::Copied);
    EXPECT_EQ(ReadBytes(Target), "new");
}

TEST_F(FileCopier, ReadOnlyTargetIsReplacedAndReadOnlyCarriedOver) {
    WriteBytes(Source, "new");
    SetReadOnly(Source, true);
    WriteBytes(Target, "old");
    SetReadOnly(Target, true);
    Copier->Overwrite = true;
    EXPECT_EQ(Copier->CopyFile(Source, Target), CopyResult::Copied);
    EXPECT_EQ(ReadBytes(Target), "new");
    EXPECT_TRUE(IsReadOnly(Target));
    SetReadOnly(Source, false);
    SetReadOnly(Target, false);
}

TEST_F(FileCopier, AbortLeavesNoTargetEvenWhereOneExisted) {
    WriteBytes(Source, std::string(100000, 'a'));
    WriteBytes(Target, "earlier");
    Copier->Overwrite = true;
    Copier->OnProgress = [](TFileCopier*, const WideString&, bool& abort, int64_t, int64_t done, const WideString&) {
        if (done > 0) abort = true;
    };
    EXPECT_EQ(Copier->CopyFile(Source, Target), CopyResult::Stopped);
    EXPECT_FALSE(fs::exists(FsPath(Target)));
}

// Reads deliver nothing after the first block, as from a file that shrank
// while it was copied.
class TShrinkingFile : public TBufferedFileAPI {
public:
    bool ReadFile(TNativeHandle file, void* buffer, uint32_t count, uint32_t& done) override {
        if (FReads++ == 0) return TFileAPI::ReadFile(file, buffer, count, done);
        done = 0;
        return true;
    }

private:
    int FReads = 0;
};

TEST_F(FileCopier, ReadOrWriteFailureGivesItsCodeAndNoTarget) {
    WriteBytes(Source, std::string(100000, 'a'));
    WriteBytes(Target, "earlier");
    Copier->Overwrite = true;
    {
        TRef<TShrinkingFile> shrinking = MakeRef<TShrinkingFile>();
        TFileAPIScope scope(shrinking.Get());
        EXPECT_EQ(Copier->CopyFile(Source, Target), CopyResult::ReadFailed);
    }
    EXPECT_FALSE(fs::exists(FsPath(Target)));
    {
        TRef<TFullDisk> full = MakeRef<TFullDisk>();
        TFileAPIScope scope(full.Get());
        EXPECT_EQ(Copier->CopyFile(Source, Target), CopyResult::WriteFailed);
    }
    EXPECT_FALSE(fs::exists(FsPath(Target)));
}

#ifndef _WIN32
// Windows lets nobody write to a file being copied; POSIX does.
TEST_F(FileCopier, SourceThatShrinksWhileCopiedGivesReadFailureAndNoTarget) {
    WriteBytes(Source, std::string(100000, 'a'));
    Copier->OnProgress = [&](TFileCopier*, const WideString&, bool&, int64_t, int64_t done, const WideString&) {
        if (done > 0) fs::resize_file(FsPath(Source), 20000);
    };
    TRef<TBufferedFileAPI> blockwise = MakeRef<TBufferedFileAPI>();  // progress comes between blocks
    TFileAPIScope scope(blockwise.Get());
    EXPECT_EQ(Copier->CopyFile(Source, Target), CopyResult::ReadFailed);
    EXPECT_FALSE(fs::exists(FsPath(Target)));
}
#endif

TEST_F(FileCopier, ProgressHandlerThatRaisesDoesNotBreakTheCopy) {
    WriteBytes(Source, "data");
    Copier->OnProgress = [](TFileCopier*, const WideString&, bool&, int64_t, int64_t, const WideString&) {
        throw EStreamError("handler");
    };
    EXPECT_EQ(Copier->CopyFile(Source, Target), CopyResult::Copied);
    EXPECT_EQ(ReadBytes(Target), "data");
}

TEST_F(FileCopier, MissingSourceOrFolderAsSourceOrTargetAreRefused) {
    EXPECT_EQ(Copier->CopyFile(Scratch / u"missing", Target), CopyResult::SourceFailed);
    fs::create_directories(FsPath(Scratch / u"folder"));
    EXPECT_EQ(Copier->CopyFile(Scratch / u"folder", Target), CopyResult::SourceFailed);
    WriteBytes(Source, "x");
    Copier->Overwrite = true;
    EXPECT_EQ(Copier->CopyFile(Source, Scratch / u"folder"), CopyResult::TargetFailed);
    EXPECT_EQ(Copier->CopyFile(Source, Scratch / u"no-such-folder" + WideString(1, PathDelim) + u"t"),
              CopyResult::TargetFailed);
}

class FolderCopy : public testing::Test {
protected:
    FolderCopy() {
        WriteBytes(JoinPath(From, u"a.txt"), "A");
        WriteBytes(JoinPath(JoinPath(From, u"sub"), u"b.txt"), "BB");
        WriteBytes(JoinPath(JoinPath(JoinPath(From, u"sub"), u"deeper.d"), u"c"), "CCC");
        fs::create_directories(FsPath(JoinPath(From, u"empty")));
    }
    TScratchFolder Scratch;
    WideString From = Scratch / u"from";
    WideString To = Scratch / u"to";
};

TEST_F(FolderCopy, CopiesTheTreeAndRefreshesAnExistingCopy) {
    WriteBytes(JoinPath(To, u"a.txt"), "stale");
    WriteBytes(JoinPath(To, u"only-in-target"), "keep");
    TSystemTime old = FileTimeToLocal(FileTimeNow() - 30ull * 24 * 3600 * 10000000);
    SetFileTimes(JoinPath(From, u"sub"), old, old, old);
    EXPECT_TRUE(CopyFolderTree(From, To, true, true, true));
    EXPECT_EQ(ReadBytes(JoinPath(To, u"a.txt")), "A");
    EXPECT_EQ(ReadBytes(JoinPath(JoinPath(JoinPath(To, u"sub"), u"deeper.d"), u"c")), "CCC");
    EXPECT_TRUE(fs::is_directory(FsPath(JoinPath(To, u"empty"))));
    EXPECT_EQ(ReadBytes(JoinPath(To, u"only-in-target")), "keep");
    // Filling the sub-folder did not change the time it was given.
    EXPECT_LT(std::chrono::abs(WriteTime(JoinPath(To, u"sub")) - WriteTime(JoinPath(From, u"sub"))),
              std::chrono::milliseconds(2));
    EXPECT_GT(fs::file_time_type::clock::now() - WriteTime(JoinPath(To, u"sub")), std::chrono::hours(24 * 29));
}

TEST_F(FolderCopy, CountsWithoutWritingAndReportsFileCount) {
    TRef<TFileCopier> copier = MakeRef<TFileCopier>();
    copier->CountOnly = true;
    EXPECT_TRUE(copier->CopyFolder(From, To));
    EXPECT_EQ(copier->TotalBytes, 6);
    EXPECT_EQ(copier->FileCount, 3);
    EXPECT_FALSE(fs::exists(FsPath(To)));
}

TEST_F(FolderCopy, FailureOfOneFileIsReportedAndTheRestStillCopied) {
    fs::create_directories(FsPath(JoinPath(To, u"a.txt")));  // a folder where a file must go
    TRef<TFileCopier> copier = MakeRef<TFileCopier>();
    copier->Overwrite = true;
    EXPECT_FALSE(copier->CopyFolder(From, To));
    EXPECT_EQ(ReadBytes(JoinPath(JoinPath(To, u"sub"), u"b.txt")), "BB");
    EXPECT_EQ(copier->FileCount, 2);
}

TEST_F(FolderCopy, MissingSourceFolderFails) {
    EXPECT_FALSE(CopyFolderTree(Scratch / u"nothing", To, true, true, true));
}

TEST_F(FolderCopy, FilterLeavesEntriesOut) {
    TRef<TFileCopier> copier = MakeRef<TFileCopier>();
    copier->OnFilter = [](TFileCopier*, const WideString&, TFileInfo* info) { return info->Name != u"sub"; };
    EXPECT_TRUE(copier->CopyFolder(From, To));
    EXPECT_FALSE(fs::exists(FsPath(JoinPath(To, u"sub"))));
    EXPECT_TRUE(fs::exists(FsPath(JoinPath(To, u"a.txt"))));
}

#ifdef _WIN32
// The build makes link-fixture/tree/dir-link on the host, a link to a folder
// holding keep.txt: wine shows such a link the way Windows shows a junction.
TEST_F(FolderCopy, LinkToAFolderIsNotDescendedIntoAndFailsTheCopy) {
    WideString fixture = JoinPath(ExtractFilePath(FileAPI->GetModuleFileName(0), false), u"link-fixture");
    if (!DirectoryExists(JoinPath(fixture, u"tree"))) GTEST_SKIP() << "no link fixture beside the test program";
    EXPECT_FALSE(CopyFolderTree(JoinPath(fixture, u"tree"), To, true, true, true));
    EXPECT_FALSE(fs::exists(FsPath(JoinPath(JoinPath(To, u"dir-link"), u"keep.txt"))));
    EXPECT_EQ(ReadBytes(JoinPath(JoinPath(fixture, u"target"), u"keep.txt")), "keep");
}
#else
TEST_F(FolderCopy, LinksAreCopiedAsLinksAndNeverFollowed) {
    fs::create_directory_symlink("sub", FsPath(JoinPath(From, u"current")));
    fs::create_symlink("sub/b.txt", FsPath(JoinPath(From, u"b-link")));
    fs::create_directory_symlink("..", FsPath(JoinPath(JoinPath(From, u"sub"), u"loop")));  // a cycle
    EXPECT_TRUE(CopyFolderTree(From, To, true, true, true));
    EXPECT_TRUE(fs::is_symlink(FsPath(JoinPath(To, u"current"))));
    EXPECT_EQ(fs::read_symlink(FsPath(JoinPath(To, u"current"))), "sub");
    EXPECT_EQ(fs::read_symlink(FsPath(JoinPath(To, u"b-link"))), "sub/b.txt");
    EXPECT_EQ(fs::read_symlink(FsPath(JoinPath(JoinPath(To, u"sub"), u"loop"))), "..");
    // A second copy over the first replaces the links.
    EXPECT_TRUE(CopyFolderTree(From, To, true, true, true));
    EXPECT_EQ(fs::read_symlink(FsPath(JoinPath(To, u"current"))), "sub");
}

TEST_F(FolderCopy, ProgramsKeepTheirExecuteBits) {
    WriteBytes(JoinPath(From, u"tool"), "#!/bin/sh\n");
    fs::permissions(FsPath(JoinPath(From, u"tool")), fs::perms(0755));
    EXPECT_TRUE(CopyFolderTree(From, To, true, true, true));
    EXPECT_EQ(fs::status(FsPath(JoinPath(To, u"tool"))).permissions() & fs::perms::mask, fs::perms(0755));
}
#endif

TEST_F(FileCopier, CopyOntoItselfIsRefusedAndEmptiesNothing) {
    WriteBytes(Source, "keep");
    EXPECT_NE(CopyOneFile(Source, Source, true, true, true), CopyResult::Copied);
    EXPECT_EQ(ReadBytes(Source), "keep");
}

// The target refuses to open for writing, or to be sized.
class TStubbornTarget : public TFileAPI {
public:
    WideString Target;
    bool FailSize = false;
    TNativeHandle CreateFile(const WideString& path, uint32_t access, uint32_t share, void* security,
                             uint32_t disposition, uint32_t flags, TNativeHandle model) override {
        if (path == Target && (access & FileAccess::Write) && !FailSize) {
            SetLastErrorCode(WinError::AccessDenied);
            return InvalidNativeHandle;
        }
        return TFileAPI::CreateFile(path, access, share, security, disposition, flags, model);
    }
    bool SetEndOfFile(TNativeHandle file) override {
        if (FailSize) return false;
        return TFileAPI::SetEndOfFile(file);
    }
};

TEST_F(FileCopier, ACopyThatCannotStartPutsTheReadOnlyFlagBackAndLeavesNoPartialTarget) {
    WriteBytes(Source, "new");
    WriteBytes(Target, "old");
    SetReadOnly(Target, true);
    Copier->Overwrite = true;
    TRef<TStubbornTarget> stubborn = MakeRef<TStubbornTarget>();
    stubborn->Target = Target;
    {
        TFileAPIScope scope(stubborn.Get());
        EXPECT_EQ(Copier->CopyFile(Source, Target), CopyResult::TargetFailed);
    }
    EXPECT_TRUE(IsReadOnly(Target));
    EXPECT_EQ(ReadBytes(Target), "old");
    stubborn->FailSize = true;
    {
        TFileAPIScope scope(stubborn.Get());
        EXPECT_EQ(Copier->CopyFile(Source, Target), CopyResult::TargetFailed);
    }
    EXPECT_FALSE(fs::exists(FsPath(Target)));
}

TEST_F(FolderCopy, WithoutAttributesNoReadOnlyFlagOrModeIsCarried) {
    SetReadOnly(JoinPath(From, u"a.txt"), true);
    EXPECT_TRUE(CopyFolderTree(From, To, false, true, true));
    EXPECT_FALSE(IsReadOnly(JoinPath(To, u"a.txt")));
    SetReadOnly(JoinPath(From, u"a.txt"), false);
}

// Shows a.txt as a reparse point of a kind that is no link, as a cloud
// placeholder looks.
class TCloudFiles : public TFileAPI {
public:
    static void Mark(TFindData& data) {
        if (data.FileName != u"a.txt") return;
        data.Attributes |= FileAttr::ReparsePoint;
        data.ReparseTag = 0x9000001A;
    }
    TNativeHandle FindFirst(const WideString& pattern, TFindData& data) override {
        TNativeHandle search = TFileAPI::FindFirst(pattern, data);
        Mark(data);
        return search;
    }
    bool FindNext(TNativeHandle search, TFindData& data) override {
        bool found = TFileAPI::FindNext(search, data);
        Mark(data);
        return found;
    }
};

TEST_F(FolderCopy, ReparsePointsOtherThanLinksAreCopiedAsWhatTheyAre) {
    TRef<TCloudFiles> cloud = MakeRef<TCloudFiles>();
    TFileAPIScope scope(cloud.Get());
    EXPECT_TRUE(CopyFolderTree(From, To, true, true, true));
    EXPECT_EQ(ReadBytes(JoinPath(To, u"a.txt")), "A");
}

#ifndef _WIN32
TEST_F(FolderCopy, ATargetThatIsTheSourceEmptiesNothing) {
    fs::create_directory_symlink(FsPath(From), FsPath(To));
    EXPECT_FALSE(CopyFolderTree(From, To, true, true, true));
    EXPECT_EQ(ReadBytes(JoinPath(From, u"a.txt")), "A");
    EXPECT_EQ(ReadBytes(JoinPath(JoinPath(From, u"sub"), u"b.txt")), "BB");
    fs::create_symlink(FsPath(JoinPath(From, u"a.txt")), FsPath(Scratch / u"a-link"));
    // A link in the target's place is replaced, not written through.
    EXPECT_EQ(CopyOneFile(JoinPath(From, u"a.txt"), Scratch / u"a-link", true, true, true), CopyResult::Copied);
    EXPECT_FALSE(fs::is_symlink(FsPath(Scratch / u"a-link")));
    EXPECT_EQ(ReadBytes(JoinPath(From, u"a.txt")), "A");
}

TEST_F(FolderCopy, LinksInTheTargetAreReplacedAndNeverWrittenThrough) {
    WideString outside = Scratch / u"outside";
    WriteBytes(JoinPath(outside, u"file"), "mine");
    fs::create_directories(FsPath(To));
    fs::create_symlink(FsPath(JoinPath(outside, u"file")), FsPath(JoinPath(To, u"a.txt")));
    fs::create_directory_symlink(FsPath(outside), FsPath(JoinPath(To, u"sub")));
    EXPECT_TRUE(CopyFolderTree(From, To, true, true, true));
    EXPECT_EQ(ReadBytes(JoinPath(outside, u"file")), "mine");
    EXPECT_FALSE(fs::exists(FsPath(JoinPath(outside, u"b.txt"))));
    EXPECT_FALSE(fs::is_symlink(FsPath(JoinPath(To, u"a.txt"))));
    EXPECT_EQ(ReadBytes(JoinPath(To, u"a.txt")), "A");
    EXPECT_EQ(ReadBytes(JoinPath(JoinPath(To, u"sub"), u"b.txt")), "BB");
}

// A target folder that is itself a link (a backup folder pointing at some
// other folder of the user's) is replaced, and what it pointed to is left.
TEST_F(FolderCopy, ATargetFolderThatIsALinkIsReplacedNotFilled) {
    WideString outside = Scratch / u"outside";
    WriteBytes(JoinPath(outside, u"a.txt"), "mine");
    fs::create_directory_symlink(FsPath(outside), FsPath(To));
    EXPECT_TRUE(CopyFolderTree(From, To, true, true, true));
    EXPECT_EQ(ReadBytes(JoinPath(outside, u"a.txt")), "mine");
    EXPECT_FALSE(fs::exists(FsPath(JoinPath(outside, u"sub"))));
    EXPECT_FALSE(fs::is_symlink(FsPath(To)));
    EXPECT_EQ(ReadBytes(JoinPath(To, u"a.txt")), "A");
}

TEST_F(FolderCopy, ANamedPipeFailsItsEntryWithoutHanging) {
    ASSERT_EQ(::mkfifo(FsPath(JoinPath(From, u"pipe")).c_str(), 0644), 0);
    EXPECT_FALSE(CopyFolderTree(From, To, true, true, true));
    EXPECT_FALSE(fs::exists(FsPath(JoinPath(To, u"pipe"))));
    EXPECT_EQ(ReadBytes(JoinPath(To, u"a.txt")), "A");
}

// Names with wildcard characters, and one that is no UTF-8, each keep their
// own bytes, times and mode; times in the hour that repeats when summer time
// ends come out as they went in.
TEST_F(FolderCopy, EveryNameIsTakenExactlyWithItsBytesTimesAndMode) {
    const char* zone = std::getenv("TZ");
    std::string savedZone = zone ? zone : "";
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    const std::string names[] = {"what?.txt", "whatx.txt", "a*b", "ab", "caf\xe9"};
    time_t autumnHour = 1792888200;  // 2026-10-25 02:30 local, its first time round
    for (int i = 0; i < 5; ++i) {
        fs::path file = FsPath(From) / names[i];
        std::ofstream(file) << names[i];
        fs::permissions(file, i % 2 ? fs::perms(0444) : fs::perms(0640));
        timespec times[2] = {{autumnHour, 0}, {autumnHour - i * 7200, 0}};
        ::utimensat(AT_FDCWD, file.c_str(), times, 0);
    }
    EXPECT_TRUE(CopyFolderTree(From, To, true, true, true));
    for (int i = 0; i < 5; ++i) {
        struct stat from {
        }, to{};
        ASSERT_EQ(::stat((FsPath(From) / names[i]).c_str(), &from), 0);
        ASSERT_EQ(::stat((FsPath(To) / names[i]).c_str(), &to), 0) << names[i];
        EXPECT_EQ(to.st_mtime, from.st_mtime) << names[i];
        EXPECT_EQ(to.st_mode, from.st_mode) << names[i];
        std::ifstream in(FsPath(To) / names[i]);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), names[i]);
    }
    if (zone) setenv("TZ", savedZone.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}
#endif

}  // namespace
