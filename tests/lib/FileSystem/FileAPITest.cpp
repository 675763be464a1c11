// File helpers and handle wrappers on a real file system.
#include <gtest/gtest.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include "FileSystem/FileAPI.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"
#include "support/HelperProcess.h"
#include "support/MessageBoxes.h"
#include "support/ScratchFolder.h"

namespace {
template <class E>
uint32_t CodeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const E& e) {
        return e.ErrorCode;
    }
    ADD_FAILURE() << "nothing raised";
    return 0;
}

bool IsReadOnly(const WideString& path) { return FileAPI->GetFileAttributes(path) & FileAttr::ReadOnly; }

void MakeReadOnly(const WideString& path) {
    ASSERT_TRUE(FileAPI->SetFileAttributes(path, FileAttr::ReadOnly));
    ASSERT_TRUE(IsReadOnly(path));
}

// Wine keeps no read-only attribute on folders; elsewhere this is MakeReadOnly.
bool MakeFolderReadOnly(const WideString& path) {
    FileAPI->SetFileAttributes(path, FileAttr::ReadOnly | FileAttr::Directory);
    return IsReadOnly(path) || RunningUnderWine();
}
}  // namespace

TEST(FileHelpers, ExistenceChecksTellFilesFromFolders) {
    TScratchFolder scratch;
    scratch.Write(scratch / u"file.txt", "x");
    scratch.MakeFolder(scratch / u"folder.d");
    size_t boxes = ShownBoxes().size();
    EXPECT_TRUE(FileExists(scratch / u"file.txt"));
    EXPECT_FALSE(DirectoryExists(scratch / u"file.txt"));
    EXPECT_TRUE(DirectoryExists(scratch / u"folder.d"));
    EXPECT_TRUE(DirectoryExists(scratch / u"folder.d/"));
    EXPECT_FALSE(FileExists(scratch / u"folder.d"));
    EXPECT_FALSE(FileExists(scratch / u"missing"));
    EXPECT_FALSE(DirectoryExists(scratch / u"missing"));
    EXPECT_FALSE(FileExists(scratch / u"missing/deeper/file"));
    EXPECT_FALSE(FileExists(u""));
    EXPECT_EQ(ShownBoxes().size(), boxes);
}

TEST(FileHelpers, DeleteFileRemovesReadOnlyFilesAndIgnoresMissingOnes) {
    TScratchFolder scratch;
    WideString file = scratch / u"locked.txt";
    scratch.Write(file, "x");
    MakeReadOnly(file);
    DeleteFile(file);
    EXPECT_FALSE(scratch.Exists(file));
    EXPECT_NO_THROW(DeleteFile(file));
    EXPECT_NO_THROW(DeleteFile(scratch / u"no/such/folder/file"));
}

TEST(FileHelpers, DeleteFileOfAFileHeldByAnotherProcessRaisesAndKeepsAttributes) {
    TScratchFolder scratch;
    WideString file = scratch / u"held.txt";
    scratch.Write(file, "contents");
    MakeReadOnly(file);
    THelperProcess helper("hold-exclusive", {Narrow(file)});
    ASSERT_TRUE(helper.Ready()) << helper.Reply();
    EXPECT_EQ(CodeOf<EFileAccessError>([&] { DeleteFile(file); }), WinError::SharingViolation);
    EXPECT_TRUE(IsReadOnly(file));
    EXPECT_EQ(helper.Finish(), 0);
    EXPECT_EQ(scratch.Read(file), "contents");
    DeleteFile(file);
    EXPECT_FALSE(FileExists(file));
}

TEST(FileHelpers, OpeningAFileHeldByAnotherProcessFailsAndKeepsItsContents) {
    TScratchFolder scratch;
    WideString file = scratch / u"held.dat";
    scratch.Write(file, "keep me");
    THelperProcess helper("hold-exclusive", {Narrow(file)});
    ASSERT_TRUE(helper.Ready()) << helper.Reply();
    for (uint32_t disposition :
         {FileDisposition::OpenExisting, FileDisposition::CreateAlways, FileDisposition::TruncateExisting}) {
        EXPECT_EQ(CodeOf<EFileOpenError>([&] { FileOpen(file, FileAccess::ReadWrite, FileShare::All, disposition); }),
                  WinError::SharingViolation);
    }
    EXPECT_FALSE(FileAPI->MoveFile(file, scratch / u"moved.dat", 0));
    EXPECT_EQ(GetLastErrorCode(), WinError::SharingViolation);
    helper.Finish();
    EXPECT_EQ(scratch.Read(file), "keep me");
}

TEST(FileHelpers, ForceDirectoriesMakesEveryMissingLevel) {
    TScratchFolder scratch;
    EXPECT_TRUE(ForceDirectories(scratch / u"a.b/c.app/Contents/"));
    EXPECT_TRUE(DirectoryExists(scratch / u"a.b/c.app/Contents"));
    EXPECT_TRUE(ForceDirectories(scratch / u"a.b/c.app"));
    EXPECT_FALSE(ForceDirectories(u""));
    // A relative name counts from the current folder.
    const WideString start = GetCurrentFolder(true);
    ASSERT_TRUE(SetCurrentFolder(scratch.Path()));
    EXPECT_TRUE(ForceDirectories(u"no-separator-here"));
    SetCurrentFolder(start);
    EXPECT_TRUE(DirectoryExists(scratch / u"no-separator-here"));
    // A file in the way.
    scratch.Write(scratch / u"file", "x");
    EXPECT_FALSE(ForceDirectories(scratch / u"file/sub"));
    EXPECT_FALSE(ForceDirectories(scratch / u"file"));
}

TEST(FileHelpers, DeleteFolderTreeRemovesReadOnlyEntriesAtEveryLevel) {
    TScratchFolder scratch;
    WideString root = scratch / u"tree.app";
    scratch.MakeFolder(root + NativePath(u"/Contents/Resources/Viewer.app"));
    scratch.Write(root + NativePath(u"/Contents/Resources/slideshow.dat"), "data");
    scratch.Write(root + NativePath(u"/Contents/Resources/Viewer.app/readonly"), "x");
    scratch.Write(root + NativePath(u"/.hidden"), "x");
    MakeReadOnly(root + NativePath(u"/Contents/Resources/Viewer.app/readonly"));
    EXPECT_TRUE(MakeFolderReadOnly(root + NativePath(u"/Contents/Resources/Viewer.app")));
    EXPECT_TRUE(MakeFolderReadOnly(root));
    EXPECT_TRUE(DeleteFolderTree(IncludeTrailingBackslash(root)));
    EXPECT_FALSE(scratch.Exists(root));
    EXPECT_FALSE(DeleteFolderTree(root));
    EXPECT_FALSE(DeleteFolderTree(u""));
}

#ifndef _WIN32
std::filesystem::path FsPath(const WideString& path);  // support/Files.h

TEST(FileHelpers, DeleteFolderTreeRemovesALinkAsALinkHoweverItIsSpelt) {
    TScratchFolder scratch;
    scratch.MakeFolder(scratch / u"target");
    scratch.Write(scratch / u"target/keep", "x");
    for (const char16_t* spelling : {u"link//", u"link/.", u"link/./", u"./link"}) {
        std::filesystem::create_directory_symlink(FsPath(scratch / u"target"), FsPath(scratch / u"link"));
        EXPECT_TRUE(DeleteFolderTree(scratch / spelling)) << Narrow(scratch / spelling);
        EXPECT_FALSE(std::filesystem::is_symlink(FsPath(scratch / u"link")));
        EXPECT_EQ(scratch.Read(scratch / u"target/keep"), "x");
    }
}
#endif

TEST(FileHelpers, DeleteFolderTreeStopsAtAHeldFileAndRestoresTheFolder) {
    TScratchFolder scratch;
    WideString root = scratch / u"tree";
    scratch.MakeFolder(root);
    scratch.Write(JoinPath(root, u"held"), "x");
    bool readOnly = MakeFolderReadOnly(root) && IsReadOnly(root);
    {
        THelperProcess helper("hold-exclusive", {Narrow(JoinPath(root, u"held"))});
        ASSERT_TRUE(helper.Ready()) << helper.Reply();
        EXPECT_FALSE(DeleteFolderTree(root));
        EXPECT_EQ(GetLastErrorCode(), WinError::SharingViolation);
        EXPECT_TRUE(scratch.Exists(JoinPath(root, u"held")));
        EXPECT_EQ(IsReadOnly(root), readOnly);
    }
    EXPECT_TRUE(DeleteFolderTree(root));
}

TEST(FileHelpers, DeleteFolderTreeRefusesAFile) {
    TScratchFolder scratch;
    scratch.Write(scratch / u"file", "x");
    EXPECT_FALSE(DeleteFolderTree(scratch / u"file"));
    EXPECT_TRUE(scratch.Exists(scratch / u"file"));
}

TEST(FileHelpers, MoveFileReplacesOnlyWhenAsked) {
    TScratchFolder scratch;
    scratch.Write(scratch / u"a", "A");
    scratch.Write(scratch / u"b", "B");
    EXPECT_FALSE(FileAPI->MoveFile(scratch / u"a", scratch / u"b", 0));
    EXPECT_EQ(GetLastErrorCode(), WinError::AlreadyExists);
    EXPECT_TRUE(FileAPI->MoveFile(scratch / u"a", scratch / u"b", MoveFlag::ReplaceExisting));
    EXPECT_EQ(scratch.Read(scratch / u"b"), "A");
    EXPECT_FALSE(scratch.Exists(scratch / u"a"));
}

TEST(FileHelpers, CurrentFolderRoundTrips) {
    TScratchFolder scratch;
    WideString before = GetCurrentFolder(false);
    ASSERT_TRUE(SetCurrentFolder(scratch.Path()));
    EXPECT_TRUE(DirectoryExists(GetCurrentFolder(true)));
    EXPECT_EQ(GetCurrentFolder(true).back(), PathDelim);
    EXPECT_EQ(ExtractFileName(GetCurrentFolder(false)), ExtractFileName(scratch.Path()));
    EXPECT_TRUE(SetCurrentFolder(before));
    EXPECT_FALSE(SetCurrentFolder(scratch / u"missing"));
}

TEST(FileHelpers, ModuleFileNameIsTheRunningProgram) {
    WideString program = FileAPI->GetModuleFileName(0);
    EXPECT_TRUE(FileExists(program));
    EXPECT_NE(ExtractFileName(program).find(u"nvx_tests"), WideString::npos);
    EXPECT_NE(FileAPI->GetCommandLine().find(u"nvx_tests"), WideString::npos);
}

TEST(FileHelpers, ShortPathNameOfAnExistingPathIsUsable) {
    TScratchFolder scratch;
    scratch.Write(scratch / u"a long file name.txt", "x");
    AnsiString shortPath;
    EXPECT_TRUE(FileAPI->GetShortPathName(scratch / u"a long file name.txt", shortPath));
    EXPECT_TRUE(FileExists(Widen(shortPath)));
    EXPECT_FALSE(FileAPI->GetShortPathName(scratch / u"missing.txt", shortPath));
    EXPECT_EQ(Widen(shortPath), scratch / u"missing.txt");
}

// ---- Handle wrappers ----

TEST(FileHandles, WriteSeekReadAndSizeAtBufferOffsets) {
    TScratchFolder scratch;
    WideString path = scratch / u"data.bin";
    TFileHandle file(FileOpen(path, FileAccess::ReadWrite, FileShare::Read, FileDisposition::CreateNew));
    const char text[] = "..hello world";
    EXPECT_EQ(FileWrite(file.Get(), text, 2, 11), 11u);
    EXPECT_EQ(FileGetSize(file.Get()), 11);
    EXPECT_EQ(FileSeek(file.Get(), 6, SeekOrigin::Begin), 6);
    char buffer[16] = {};
    EXPECT_EQ(FileRead(file.Get(), buffer, 3, 16), 5u);
    EXPECT_EQ(std::string(buffer + 3, 5), "world");
    EXPECT_EQ(FileRead(file.Get(), buffer, 0, 16), 0u);
    EXPECT_EQ(FileSeek(file.Get(), -5, SeekOrigin::End), 6);
    EXPECT_EQ(FileSeek(file.Get(), 1, SeekOrigin::Current), 7);
    file.Close();
    EXPECT_FALSE(file.Valid());
    EXPECT_EQ(scratch.Read(path), "hello world");
}

TEST(FileHandles, SetSizeReturnsToTheRememberedOrTheGivenPosition) {
    TScratchFolder scratch;
    TFileHandle file(FileOpen(scratch / u"f", FileAccess::ReadWrite, FileShare::None, FileDisposition::CreateAlways));
    FileWrite(file.Get(), "0123456789", 0, 10);
    FileSeek(file.Get(), 3, SeekOrigin::Begin);
    FileSetSize(file.Get(), 5);
    EXPECT_EQ(FileGetSize(file.Get()), 5);
    EXPECT_EQ(FileSeek(file.Get(), 0, SeekOrigin::Current), 3);
    FileSetSize(file.Get(), 100, 1);
    EXPECT_EQ(FileGetSize(file.Get()), 100);
    EXPECT_EQ(FileSeek(file.Get(), 0, SeekOrigin::Current), 1);
}

TEST(FileHandles, FailuresRaiseTheirClassWithTheSystemCode) {
    TScratchFolder scratch;
    WideString missing = scratch / u"missing.txt";
    try {
        FileOpen(missing, FileAccess::Read, FileShare::Read, FileDisposition::OpenExisting);
        ADD_FAILURE() << "opened a missing file";
    } catch (const EFileOpenError& e) {
        EXPECT_EQ(e.ErrorCode, WinError::FileNotFound);
        EXPECT_EQ(e.Message(), Narrow(missing));
    }
    EXPECT_EQ(CodeOf<EFileOpenError>([&] {
                  FileOpen(scratch / u"no/such/file", FileAccess::Read, FileShare::Read, FileDisposition::OpenExisting);
              }),
              WinError::PathNotFound);
    scratch.Write(scratch / u"exists", "x");
    EXPECT_EQ(CodeOf<EFileOpenError>([&] {
                  FileOpen(scratch / u"exists", FileAccess::Write, FileShare::Read, FileDisposition::CreateNew);
              }),
              WinError::FileExists);
    MakeReadOnly(scratch / u"exists");
    // Wine lets root write read-only files.
    if (!RunningUnderWine()) {
        EXPECT_EQ(CodeOf<EFileOpenError>([&] {
                      FileOpen(scratch / u"exists", FileAccess::Write, FileShare::Read, FileDisposition::OpenExisting);
                  }),
                  WinError::AccessDenied);
    }
    // A folder is no file.
    EXPECT_EQ(CodeOf<EFileOpenError>(
                  [&] { FileOpen(scratch.Path(), FileAccess::Read, FileShare::Read, FileDisposition::OpenExisting); }),
              WinError::AccessDenied);

    TFileHandle reader(FileOpen(scratch / u"exists", FileAccess::Read, FileShare::All, FileDisposition::OpenExisting));
    EXPECT_THROW(FileSeek(reader.Get(), -1, SeekOrigin::Begin), EFileSeekError);
    EXPECT_THROW(FileWrite(reader.Get(), "x", 0, 1), EFileWriteError);
    EXPECT_THROW(FileSetSize(reader.Get(), 0), EFileAccessError);
    TFileHandle writer(FileOpen(scratch / u"w", FileAccess::Write, FileShare::All, FileDisposition::CreateNew));
    char buffer[4];
    EXPECT_THROW(FileRead(writer.Get(), buffer, 0, 4), EFileReadError);
    TNativeHandle raw = reader.Detach();
    FileClose(raw);
    EXPECT_THROW(FileClose(raw), EFileAccessError);
    EXPECT_THROW(FileGetSize(raw), EFileError);
}

TEST(FileHandles, OpenWithoutSharingLocksOutOtherOpensAndDeletion) {
#ifdef NVX_NO_LINUX_CALLS
    GTEST_SKIP() << "without per-open-file locks only other processes are kept out";
#endif
    TScratchFolder scratch;
    WideString path = scratch / u"lock";
    TFileHandle owner(FileOpen(path, FileAccess::ReadWrite, FileShare::None, FileDisposition::CreateNew));
    EXPECT_EQ(CodeOf<EFileOpenError>(
                  [&] { FileOpen(path, FileAccess::Read, FileShare::All, FileDisposition::OpenExisting); }),
              WinError::SharingViolation);
    EXPECT_FALSE(FileAPI->DeleteFile(path));
    EXPECT_EQ(GetLastErrorCode(), WinError::SharingViolation);
    owner.Close();
    TFileHandle shared(FileOpen(path, FileAccess::Read, FileShare::Read, FileDisposition::OpenExisting));
    TFileHandle second(FileOpen(path, FileAccess::Read, FileShare::Read, FileDisposition::OpenExisting));
    EXPECT_EQ(CodeOf<EFileOpenError>(
                  [&] { FileOpen(path, FileAccess::Read, FileShare::None, FileDisposition::OpenExisting); }),
              WinError::SharingViolation);
    // Readers that share only reading keep writers out, and the reverse.
    EXPECT_EQ(CodeOf<EFileOpenError>(
                  [&] { FileOpen(path, FileAccess::Write, FileShare::All, FileDisposition::OpenExisting); }),
              WinError::SharingViolation);
    shared.Close();
    second.Close();
    TFileHandle writer(FileOpen(path, FileAccess::Write, FileShare::Read, FileDisposition::OpenExisting));
    EXPECT_EQ(CodeOf<EFileOpenError>(
                  [&] { FileOpen(path, FileAccess::Read, FileShare::Read, FileDisposition::OpenExisting); }),
              WinError::SharingViolation);
    TFileHandle reader(
        FileOpen(path, FileAccess::Read, FileShare::Read | FileShare::Write, FileDisposition::OpenExisting));
}

namespace {
// Raises from CreateFile, as a redirecting descendant might.
class TRaisingOpen : public TFileAPI {
public:
    TNativeHandle CreateFile(const WideString&, uint32_t, uint32_t, void*, uint32_t, uint32_t, TNativeHandle) override {
        SetLastErrorCode(WinError::NotSupported);
        throw EAbort("redirect failed");
    }
};
}  // namespace

// The error code is not checked: unwinding may change the thread's last
// error on Windows.
TEST(FileHandles, OpenReportsARaisingFileAPIAsOpenError) {
    TRef<TRaisingOpen> api = MakeRef<TRaisingOpen>();
    TFileAPIScope scope(api.Get());
    try {
        FileOpen(u"anything", FileAccess::Read, FileShare::Read, FileDisposition::OpenExisting);
        ADD_FAILURE() << "no error";
    } catch (const EFileOpenError& e) {
        EXPECT_EQ(e.Message(), "anything");
    }
}

TEST(FileHandles, ScopeRestoresThePreviousFileAPI) {
    TFileAPI* before = FileAPI;
    {
        TRef<TRaisingOpen> api = MakeRef<TRaisingOpen>();
        TFileAPIScope scope(api.Get());
        EXPECT_EQ(FileAPI, api.Get());
    }
    EXPECT_EQ(FileAPI, before);
}

// ---- Long paths ----

TEST(LongPaths, A300CharacterPathWorksWithEveryOperation) {
    TScratchFolder scratch;
    // Components stay below the file systems' 255-character limit.
    WideString folder = scratch.Path();
    for (int i = 0; folder.size() < 300; ++i) folder = JoinPath(folder, WideString(60, (char16_t)(u'a' + i)) + u".d");
    WideString file = JoinPath(folder, u"file.txt");
    ASSERT_GE(file.size(), 300u);
    ASSERT_TRUE(ForceDirectories(folder));
    EXPECT_TRUE(DirectoryExists(folder));
    {
        TFileHandle out(FileOpen(file, FileAccess::Write, FileShare::None, FileDisposition::CreateNew));
        FileWrite(out.Get(), "long", 0, 4);
    }
    EXPECT_TRUE(FileExists(file));
    TRef<TFileInfo> info = GetFileInfo(file);
    EXPECT_EQ(info->Name, u"file.txt");
    EXPECT_EQ(info->Size, 4);
    int32_t found = FindFiles(folder, u"*", [](int32_t, TFileInfo*, bool&) { return true; });
    EXPECT_EQ(found, 1);
    TSystemTime when{2001, 2, 0, 3, 4, 5, 6, 0};
    SetFileTimes(file, TSystemTime(), when, when);
    EXPECT_EQ(GetFileInfo(file)->LastWriteTime.Year, 2001);
    MakeReadOnly(file);
    WideString moved = JoinPath(folder, u"moved.txt");
    EXPECT_TRUE(FileAPI->MoveFile(file, moved, 0));
    DeleteFile(moved);
    EXPECT_FALSE(FileExists(moved));
    FileClose(FileOpen(file, FileAccess::Write, FileShare::None, FileDisposition::CreateNew));
    MakeReadOnly(file);
    EXPECT_TRUE(DeleteFolderTree(JoinPath(scratch.Path(), WideString(60, u'a') + u".d")));
    EXPECT_FALSE(DirectoryExists(folder));
}

// A long path in any spelling the caller may hand over: with '/', with
// "..", relative to the current folder.
TEST(LongPaths, EverySpellingOfALongPathWorks) {
    TScratchFolder scratch;
    WideString folder = scratch.Path();
    for (int i = 0; folder.size() < 300; ++i) folder = JoinPath(folder, WideString(60, (char16_t)(u'a' + i)) + u".d");
    ASSERT_TRUE(ForceDirectories(folder));
    scratch.Write(JoinPath(folder, u"file.txt"), "x");
    WideString slashed = folder + u"/file.txt";
    WideString dotted = JoinPath(JoinPath(folder, u".."), ExtractFileName(folder)) + PathDelim + u"file.txt";
    WideString saved = GetCurrentFolder(false);
    ASSERT_TRUE(SetCurrentFolder(scratch.Path()));
    WideString relative = folder.substr(IncludeTrailingBackslash(scratch.Path()).size()) + PathDelim + u"file.txt";
    for (const WideString& spelling : {slashed, dotted, relative}) {
        EXPECT_TRUE(FileExists(spelling)) << Narrow(spelling);
        TFindData data;
        EXPECT_TRUE(FileAPI->GetFileData(spelling, data)) << GetLastErrorCode();
        TFileHandle file(FileAPI->CreateFile(spelling, FileAccess::Read, FileShare::Read, nullptr,
                                             FileDisposition::OpenExisting, 0));
        EXPECT_TRUE(file.Valid()) << GetLastErrorCode();
    }
    SetCurrentFolder(saved);
}

// The exact-name look-up takes no character as a wildcard, also none of
// those the system treats as one in a search.
TEST(FileHelpers, GetFileDataTakesNoWildcards) {
    TScratchFolder scratch;
    scratch.Write(scratch / u"abc.txt", "x");
    TFindData data;
    EXPECT_TRUE(FileAPI->GetFileData(scratch / u"abc.txt", data));
    for (const char16_t* name : {u"abc?txt", u"abc*", u"abc>txt", u"abc<txt", u"abc\"txt"})
        EXPECT_FALSE(FileAPI->GetFileData(scratch / name, data)) << Narrow(name);
}

TEST(FileHelpers, FileVersionComesFromTheVersionResource) {
    TScratchFolder scratch;
    scratch.Write(scratch / u"plain.dll", "no resources here");
    EXPECT_EQ(FileAPI->GetFileVersion(scratch / u"plain.dll"), 0xFFFFFFFFu);
    EXPECT_EQ(FileAPI->GetFileVersion(scratch / u"missing.dll"), 0xFFFFFFFFu);
    const char* windows = std::getenv("WINDIR");
    if (PathDelim != u'\\' || !windows) return;
    uint32_t version = FileAPI->GetFileVersion(JoinPath(Widen(windows), NativePath(u"system32/kernel32.dll")));
    ASSERT_NE(version, 0xFFFFFFFFu);
    EXPECT_GE(version >> 16, 5u);
}
