#include <gtest/gtest.h>
#include <fstream>
#include <vector>
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

// The first bytes a caller asks for come from the copy's own reads, and
// the copy stays whole behind them, for files shorter than they are too.
TEST_F(FileCopier, GivesEachFilesFirstBytesAndCopiesItWhole) {
    std::string data(200000, 'x');
    for (size_t i = 0; i < data.size(); ++i) data[i] = (char)(i * 7 + i / 251);
    std::vector<std::string> heads;
    Copier->HeadSize = 8;
    Copier->OnCopiedHead = [&](TFileCopier*, const WideString& source, const std::string& head) {
        EXPECT_EQ(source, Source);
        heads.push_back(head);
    };
    for (const std::string& bytes : {data, std::string("abc"), std::string()}) {
        WriteBytes(Source, bytes);
        fs::remove(FsPath(Target));
        EXPECT_EQ(Copier->CopyFile(Source, Target), CopyResult::Copied);
        EXPECT_EQ(ReadBytes(Target), bytes);
    }
    EXPECT_EQ(heads, (std::vector<std::string>{data.substr(0, 8), "abc", ""}));
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

TEST_F(FileCopier, AbortLeavesNoCopyAndPutsBackTheFileItWouldHaveReplaced) {
    WriteBytes(Source, std::string(100000, 'a'));
    WriteBytes(Target, "earlier");
    Copier->Overwrite = true;
    Copier->OnProgress = [](TFileCopier*, const WideString&, bool& abort, int64_t, int64_t done, const WideString&) {
        if (done > 0) abort = true;
    };
    EXPECT_EQ(Copier->CopyFile(Source, Target), CopyResult::Stopped);
    EXPECT_EQ(ReadBytes(Target), "earlier");
    EXPECT_EQ(Copier->FailureCode, WinError::Cancelled);
    EXPECT_EQ(std::distance(fs::directory_iterator(FsPath(Scratch.Path())), fs::directory_iterator()), 2);
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

TEST_F(FileCopier, ReadOrWriteFailureGivesItsCodeAndKeepsTheEarlierFile) {
    WriteBytes(Source, std::string(100000, 'a'));
    WriteBytes(Target, "earlier");
    Copier->Overwrite = true;
    {
        TRef<TShrinkingFile> shrinking = MakeRef<TShrinkingFile>();
        TFileAPIScope scope(shrinking.Get());
        EXPECT_EQ(Copier->CopyFile(Source, Target), CopyResult::ReadFailed);
    }
    EXPECT_EQ(Copier->FailureCode, WinError::HandleEof);
    EXPECT_EQ(ReadBytes(Target), "earlier");
    {
        TRef<TFullDisk> full = MakeRef<TFullDisk>();
        TFileAPIScope scope(full.Get());
        EXPECT_EQ(Copier->CopyFile(Source, Target), CopyResult::WriteFailed);
    }
    EXPECT_EQ(GetLastErrorCode(), WinError::DiskFull);
    EXPECT_EQ(Copier->FailurePath, Target);
    EXPECT_EQ(ReadBytes(Target), "earlier");
}

// Write-side failures of every kind are write failures with their own code:
// a write that stores less without an error, and the system's own copy
// failing on the target's side.
class TWriteSide : public TFileAPI {
public:
    bool ShortWrite = false;
    uint32_t SystemCopyError = 0;
    bool WriteFile(TNativeHandle file, const void* buffer, uint32_t count, uint32_t& done) override {
        if (ShortWrite) return TFileAPI::WriteFile(file, buffer, count / 2, done);
        if (SystemCopyError == WinError::IoDevice) return FailWith(done);
        return TFileAPI::WriteFile(file, buffer, count, done);
    }
    bool CopyFileData(TNativeHandle, TNativeHandle, uint32_t, uint32_t& done) override {
        if (!SystemCopyError) SystemCopyError = WinError::NotSupported;
        return FailWith(done);
    }

private:
    bool FailWith(uint32_t& done) {
        done = 0;
        SetLastErrorCode(SystemCopyError);
        return false;
    }
};

TEST_F(FileCopier, WriteSideFailuresAreWriteFailuresWithTheirCause) {
    WriteBytes(Source, std::string(100000, 'a'));
    struct {
        bool ShortWrite;
        uint32_t SystemCopyError;
        uint32_t Code;
    } cases[] = {{true, 0, WinError::DiskFull},
                 {false, WinError::IoDevice, WinError::IoDevice},
                 {false, WinError::FileTooLarge, WinError::FileTooLarge}};
    for (const auto& c : cases) {
        TRef<TWriteSide> api = MakeRef<TWriteSide>();
        api->ShortWrite = c.ShortWrite;
        api->SystemCopyError = c.SystemCopyError;
        TFileAPIScope scope(api.Get());
        EXPECT_EQ(Copier->CopyFile(Source, Target), CopyResult::WriteFailed) << c.Code;
        EXPECT_EQ(GetLastErrorCode(), c.Code);
        EXPECT_FALSE(fs::exists(FsPath(Target)));
    }
}

// Progress, and with it a stop request, comes once per block of the size
// asked for, also where the system copies the data itself.
TEST_F(FileCopier, ProgressComesOncePerBlockOfTheBufferSize) {
    WriteBytes(Source, std::string(100000, 'a'));
    Copier->BufferSize = TFileCopier::MinBufferSize;
    int calls = 0;
    Copier->OnProgress = [&](TFileCopier*, const WideString&, bool& abort, int64_t, int64_t done, const WideString&) {
        ++calls;
        abort = done >= 2 * TFileCopier::MinBufferSize;
    };
    EXPECT_EQ(Copier->CopyFile(Source, Target), CopyResult::Stopped);
    EXPECT_EQ(calls, 4);  // at 0, one block, two blocks (stop), and the last call
    EXPECT_EQ(Copier->TotalBytes, 2 * TFileCopier::MinBufferSize);
}

// A file system that keeps no modes or times (vfat, exFAT, network shares)
// refuses to set them; the data is what counts.
class TNoModesOrTimes : public TFileAPI {
public:
    bool SetFileAttributes(const WideString&, uint32_t) override {
        SetLastErrorCode(WinError::AccessDenied);
        return false;
    }
    bool SetFileAttributesByHandle(TNativeHandle, const TFindData&) override {
        SetLastErrorCode(WinError::AccessDenied);
        return false;
    }
    bool SetFileTime(TNativeHandle, const TFileTime*, const TFileTime*, const TFileTime*) override {
        SetLastErrorCode(WinError::AccessDenied);
        return false;
    }
};

TEST_F(FileCopier, ACopyWhoseModeOrTimesCannotBeSetIsKept) {
    WriteBytes(Source, "data");
    SetReadOnly(Source, true);
    TRef<TNoModesOrTimes> api = MakeRef<TNoModesOrTimes>();
    {
        TFileAPIScope scope(api.Get());
        EXPECT_EQ(Copier->CopyFile(Source, Target), CopyResult::Copied);
    }
    EXPECT_EQ(ReadBytes(Target), "data");
    SetReadOnly(Source, false);
}

// Out of memory, or a handler's own exception, is no copy result.
class TNoMemory : public TBufferedFileAPI {
public:
    bool ReadFile(TNativeHandle, void*, uint32_t, uint32_t&) override { throw std::bad_alloc(); }
};

TEST_F(FileCopier, OnlyFileErrorsBecomeResults) {
    WriteBytes(Source, "data");
    TRef<TNoMemory> api = MakeRef<TNoMemory>();
    {
        TFileAPIScope scope(api.Get());
        EXPECT_THROW(Copier->CopyFile(Source, Target), std::bad_alloc);
    }
    TScratchFolder tree;
    WriteBytes(JoinPath(tree / u"sub", u"x"), "x");
    Copier->OnFilter = [](TFileCopier*, const WideString&, TFileInfo*) -> bool {
        throw EFolderError(WinError::AccessDenied);
    };
    EXPECT_THROW(Copier->CopyFolder(tree.Path(), Scratch / u"copy"), EFolderError);
    EXPECT_FALSE(fs::exists(FsPath(Scratch / u"copy")));
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

// The walk goes on after a failure, and the first failure is the one
// reported; then the copy takes back what it made, and only that.
TEST_F(FolderCopy, FailureKeepsItsCauseAndRemovesOnlyWhatTheCopyMade) {
    fs::create_directories(FsPath(JoinPath(To, u"a.txt")));  // a folder where a file must go
    WriteBytes(JoinPath(JoinPath(To, u"empty"), u"mine"), "mine");
    fs::permissions(FsPath(JoinPath(From, u"sub")), fs::perms(0555));
    TRef<TFileCopier> copier = MakeRef<TFileCopier>();
    copier->Overwrite = true;
    EXPECT_FALSE(copier->CopyFolder(From, To));
    EXPECT_EQ(GetLastErrorCode(), WinError::AccessDenied);
    EXPECT_EQ(copier->FailureCode, WinError::AccessDenied);
    EXPECT_EQ(copier->FailurePath, JoinPath(To, u"a.txt"));
    EXPECT_EQ(copier->FileCount, 2);
    EXPECT_FALSE(fs::exists(FsPath(JoinPath(To, u"sub"))));
    EXPECT_TRUE(fs::is_directory(FsPath(JoinPath(To, u"a.txt"))));
    EXPECT_EQ(ReadBytes(JoinPath(JoinPath(To, u"empty"), u"mine")), "mine");
    fs::permissions(FsPath(JoinPath(From, u"sub")), fs::perms(0755));
}

// A target on a read-only medium says so, whatever looks follow.
class TWriteProtected : public TFileAPI {
public:
    bool CreateDirectory(const WideString&, void*) override {
        SetLastErrorCode(WinError::WriteProtect);
        return false;
    }
    TNativeHandle CreateFile(const WideString& path, uint32_t access, uint32_t share, void* security,
                             uint32_t disposition, uint32_t flags, TNativeHandle model) override {
        if (disposition == FileDisposition::OpenExisting)
            return TFileAPI::CreateFile(path, access, share, security, disposition, flags, model);
        SetLastErrorCode(WinError::WriteProtect);
        return InvalidNativeHandle;
    }
};

TEST_F(FolderCopy, ATargetThatCannotBeMadeGivesTheSystemsCause) {
    TRef<TWriteProtected> api = MakeRef<TWriteProtected>();
    TFileAPIScope scope(api.Get());
    EXPECT_FALSE(CopyFolderTree(From, To, true, true, true));
    EXPECT_EQ(GetLastErrorCode(), WinError::WriteProtect);
    // Nothing in the new file's place: the look for one does not hide why.
    EXPECT_EQ(CopyOneFile(JoinPath(From, u"a.txt"), Scratch / u"a.txt", true, true, true), CopyResult::TargetFailed);
    EXPECT_EQ(GetLastErrorCode(), WinError::WriteProtect);
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

// Wine shows a host link to a file as a plain file, and one to a folder as a
// reparse point of no known kind; renaming or deleting either there reaches
// what it leads to. A copy onto either fails and leaves both as they are.
TEST_F(FolderCopy, LinksInTheTargetAreNeverWrittenOrDeletedThrough) {
    WideString fixture = JoinPath(ExtractFilePath(FileAPI->GetModuleFileName(0), false), u"link-fixture");
    WideString keep = JoinPath(JoinPath(fixture, u"target"), u"keep.txt");
    if (!FileExists(keep)) GTEST_SKIP() << "no link fixture beside the test program";
    WriteBytes(JoinPath(JoinPath(From, u"dir-link"), u"x.txt"), "X");
    EXPECT_FALSE(CopyFolderTree(JoinPath(From, u"dir-link"), JoinPath(JoinPath(fixture, u"tree"), u"dir-link"), true,
                                true, true));
    EXPECT_EQ(ReadBytes(keep), "keep");
    EXPECT_FALSE(FileExists(JoinPath(JoinPath(fixture, u"target"), u"x.txt")));
    WideString fileLink = JoinPath(JoinPath(fixture, u"file-link-home"), u"file-link");
    EXPECT_EQ(CopyOneFile(JoinPath(From, u"a.txt"), fileLink, true, true, true), CopyResult::TargetFailed);
    EXPECT_EQ(GetLastErrorCode(), WinError::CantAccessFile);
    EXPECT_EQ(ReadBytes(keep), "keep");
    EXPECT_EQ(ReadBytes(fileLink), "keep");
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
    bool ReserveFileSize(TNativeHandle file, int64_t size) override {
        if (FailSize) return false;
        return TFileAPI::ReserveFileSize(file, size);
    }
};

TEST_F(FileCopier, AFailedCopyPutsBackTheReadOnlyFileItWouldHaveReplaced) {
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
    EXPECT_TRUE(IsReadOnly(Target));
    EXPECT_EQ(ReadBytes(Target), "old");
    SetReadOnly(Target, false);
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
    EXPECT_EQ(GetLastErrorCode(), WinError::CantAccessFile);
    // The failed copy took back everything it made.
    EXPECT_FALSE(fs::exists(FsPath(To)));
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
// What an ordinary user meets: no new entry in a folder without write
// permission (root, who runs these tests, is not stopped by modes).
class TOrdinaryUser : public TFileAPI {
public:
    TNativeHandle CreateFile(const WideString& path, uint32_t access, uint32_t share, void* security,
                             uint32_t disposition, uint32_t flags, TNativeHandle model) override {
        if (disposition != FileDisposition::OpenExisting && !Writable(path)) return InvalidNativeHandle;
        return TFileAPI::CreateFile(path, access, share, security, disposition, flags, model);
    }
    bool MoveFile(const WideString& from, const WideString& to, uint32_t flags) override {
        return Writable(from) && Writable(to) && TFileAPI::MoveFile(from, to, flags);
    }

private:
    static bool Writable(const WideString& path) {
        struct stat st {};
        if (::stat(FsPath(ExtractFilePath(path, false)).c_str(), &st) == 0 && !(st.st_mode & S_IWUSR)) {
            SetLastErrorCode(WinError::AccessDenied);
            return false;
        }
        return true;
    }
};

TEST_F(FolderCopy, AReadOnlyFolderIsRefreshedAndGetsItsModeOnceFilled) {
    fs::permissions(FsPath(JoinPath(From, u"sub")), fs::perms(0555));
    TRef<TOrdinaryUser> user = MakeRef<TOrdinaryUser>();
    TFileAPIScope scope(user.Get());
    EXPECT_TRUE(CopyFolderTree(From, To, true, true, true));
    fs::permissions(FsPath(JoinPath(From, u"sub")), fs::perms(0755));
    WriteBytes(JoinPath(JoinPath(From, u"sub"), u"new.txt"), "new");
    WriteBytes(JoinPath(JoinPath(From, u"sub"), u"b.txt"), "changed");
    fs::permissions(FsPath(JoinPath(From, u"sub")), fs::perms(0555));
    EXPECT_TRUE(CopyFolderTree(From, To, true, true, true));
    EXPECT_EQ(ReadBytes(JoinPath(JoinPath(To, u"sub"), u"new.txt")), "new");
    EXPECT_EQ(ReadBytes(JoinPath(JoinPath(To, u"sub"), u"b.txt")), "changed");
    EXPECT_EQ(fs::status(FsPath(JoinPath(To, u"sub"))).permissions() & fs::perms::mask, fs::perms(0555));
    fs::permissions(FsPath(JoinPath(From, u"sub")), fs::perms(0755));
}

// An entry that cannot be looked at fails the copy, named, with its cause,
// instead of being left out: here a path beyond the system's limit,
// made one short name at a time.
TEST_F(FolderCopy, AnEntryThatCannotBeLookedAtFailsTheCopyWithItsCause) {
    const std::string name(200, 'd');
    std::string deepest = FsPath(From).string();
    int depth = 0;
    for (; deepest.size() < PATH_MAX - name.size() - 1; ++depth) {
        deepest += "/" + name;
        ASSERT_EQ(::mkdir(deepest.c_str(), 0755), 0);
    }
    int parent = ::open(deepest.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(parent, 0);
    ASSERT_EQ(::mkdirat(parent, name.c_str(), 0755), 0);  // its path is too long to name
    TRef<TFileCopier> copier = MakeRef<TFileCopier>();
    EXPECT_FALSE(copier->CopyFolder(From, Scratch / u"t"));
    EXPECT_EQ(copier->FailureCode, WinError::FilenameExcedRange);
    EXPECT_EQ(copier->FailurePath, Widen(deepest + "/" + name));
    EXPECT_FALSE(fs::exists(FsPath(Scratch / u"t")));
    ::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
    ::close(parent);
}
#endif

}  // namespace
