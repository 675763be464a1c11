// File helpers and handle wrappers on a real file system.
#include <gtest/gtest.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <vector>
#include "FileSystem/FileAPI.h"
#include "Foundation/Exceptions.h"
#include "Foundation/Lists.h"
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
    TByteString shortPath;
    EXPECT_TRUE(FileAPI->GetShortPathName(scratch / u"a long file name.txt", shortPath));
    EXPECT_TRUE(FileExists(AnsiCodePageToWide(shortPath)));
    EXPECT_FALSE(FileAPI->GetShortPathName(scratch / u"missing.txt", shortPath));
    EXPECT_EQ(AnsiCodePageToWide(shortPath), scratch / u"missing.txt");
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

// Folder listings: patterns, the entry records, errors by class (injected
// through a descendant of TFileAPI), links, file information and times.

namespace {
// The names a listing accepts, sorted.
std::vector<WideString> Names(const WideString& folder, const WideString& pattern) {
    std::vector<WideString> names;
    FindFiles(folder, pattern, [&](int32_t, TFileInfo* info, bool&) {
        names.push_back(info->Name);
        return true;
    });
    std::sort(names.begin(), names.end());
    return names;
}

int32_t CountAll(const WideString& folder) {
    return FindFiles(folder, u"*.*", [](int32_t, TFileInfo*, bool&) { return true; });
}

// A folder with a few files whose names test the patterns.
void MakeSample(const TScratchFolder& scratch) {
    for (const char16_t* name : {u"a", u"a.txt", u"B.TXT", u"c.dat", u"readme"}) scratch.Write(scratch / name, "12345");
    scratch.MakeFolder(scratch / u"sub.d");
}
}  // namespace

TEST(FindFiles, EmptyFolderHasNoEntriesAndMissingFolderRaises) {
    TScratchFolder scratch;
    EXPECT_EQ(CountAll(scratch.Path()), 0);
    EXPECT_EQ(CountAll(IncludeTrailingBackslash(scratch.Path())), 0);
    EXPECT_THROW(CountAll(scratch / u"missing"), EFolderNotFound);
    EXPECT_THROW(CountAll(scratch / u"missing/deeper"), EFolderNotFound);
    scratch.Write(scratch / u"file", "x");
    EXPECT_THROW(CountAll(scratch / u"file"), EFolderError);
}

TEST(FindFiles, PatternsHaveTheirWindowsMeaning) {
    TScratchFolder scratch;
    MakeSample(scratch);
    using V = std::vector<WideString>;
    EXPECT_EQ(Names(scratch.Path(), u"*.*"), (V{u"B.TXT", u"a", u"a.txt", u"c.dat", u"readme", u"sub.d"}));
    EXPECT_EQ(Names(scratch.Path(), u"*"), Names(scratch.Path(), u"*.*"));
    EXPECT_EQ(Names(scratch.Path(), u"*.txt"), (V{u"B.TXT", u"a.txt"}));
    EXPECT_EQ(Names(scratch.Path(), u"a.*"), (V{u"a", u"a.txt"}));
    EXPECT_EQ(Names(scratch.Path(), u"?.dat"), (V{u"c.dat"}));
    EXPECT_EQ(Names(scratch.Path(), u"readme"), (V{u"readme"}));
    EXPECT_EQ(Names(scratch.Path(), u"*.zip"), V{});
    EXPECT_EQ(Names(scratch.Path(), u"missing"), V{});
}

TEST(FindFiles, EntriesDescribeFilesAndFolders) {
    TScratchFolder scratch;
    scratch.Write(scratch / u"Show.tar.gz", "12345");
    scratch.Write(scratch / u"noext", "");
    scratch.MakeFolder(scratch / u"Show.app");
    std::map<WideString, TRef<TFileInfo>> seen;
    std::vector<int32_t> indexes;
    int32_t count = FindFiles(scratch.Path(), u"*.*", [&](int32_t index, TFileInfo* info, bool&) {
        EXPECT_EQ(info->Index, index);
        indexes.push_back(index);
        seen[info->Name] = TRef<TFileInfo>::Retain(info);
        return true;
    });
    EXPECT_EQ(count, 3);
    EXPECT_EQ(indexes, (std::vector<int32_t>{0, 1, 2}));
    ASSERT_EQ(seen.size(), 3u);

    TFileInfo* file = seen[u"Show.tar.gz"].Get();
    EXPECT_EQ(file->ExtPos, 9);
    EXPECT_TRUE(file->IsFile);
    EXPECT_FALSE(file->IsFolder);
    EXPECT_EQ(file->Size, 5);
    EXPECT_EQ(file->SizeOnDisk, 5);
    EXPECT_FALSE(file->ShortName.empty());
    EXPECT_EQ(file->Attributes & FileAttr::Directory, 0);
    EXPECT_GE(file->LastWriteTime.Year, 2020);

    EXPECT_EQ(seen[u"noext"]->ExtPos, 6);
    EXPECT_EQ(seen[u"noext"]->Size, 0);

    TFileInfo* folder = seen[u"Show.app"].Get();
    EXPECT_TRUE(folder->IsFolder);
    EXPECT_FALSE(folder->IsFile);
    EXPECT_EQ(folder->Size, 0);
    EXPECT_EQ(folder->SizeOnDisk, 0);
    EXPECT_NE(folder->Attributes & FileAttr::Directory, 0);
}

TEST(FindFiles, CallbackDecidesWhatCountsAndWhenToStop) {
    TScratchFolder scratch;
    MakeSample(scratch);
    int calls = 0;
    EXPECT_EQ(FindFiles(scratch.Path(), u"*",
                        [&](int32_t, TFileInfo* info, bool&) {
                            ++calls;
                            return info->IsFile;
                        }),
              5);
    EXPECT_EQ(calls, 6);
    calls = 0;
    EXPECT_EQ(FindFiles(scratch.Path(), u"*",
                        [&](int32_t, TFileInfo*, bool& stop) {
                            stop = ++calls == 2;
                            return true;
                        }),
              2);
    EXPECT_EQ(calls, 2);
}

TEST(FindFiles, StandardCallbackCollectsEveryEntry) {
    TScratchFolder scratch;
    MakeSample(scratch);
    TRef<TList> list = MakeRef<TList>();
    EXPECT_EQ(FindFiles(scratch.Path(), u"*.txt", FileInfoCollector(list.Get())), 2);
    ASSERT_EQ(list->Count(), 2);
    for (int32_t i = 0; i < list->Count(); ++i) {
        EXPECT_EQ(list->Item<TFileInfo>(i)->RefCount(), 1);
        EXPECT_EQ(ExtractFileExt(list->Item<TFileInfo>(i)->Name).size(), 4u);
    }
    list->FreeAll();
}

// ---- Errors by class, injected ----

namespace {
// Lists a scripted folder: FindFirst fails with FirstError, or yields
// Entries and then ends with EndError. Counts the searches left open.
class TScriptedListing : public TFileAPI {
public:
    uint32_t FirstError = 0;
    int Entries = 2;
    uint32_t EndError = WinError::NoMoreFiles;
    int Open = 0;

    TNativeHandle FindFirst(const WideString&, TFindData& data) override {
        if (FirstError) {
            SetLastErrorCode(FirstError);
            return InvalidNativeHandle;
        }
        ++Open;
        FNext = 0;
        return Next(data) ? 7 : InvalidNativeHandle;
    }
    bool FindNext(TNativeHandle, TFindData& data) override { return Next(data); }
    bool FindClose(TNativeHandle handle) override {
        EXPECT_EQ(handle, 7);
        --Open;
        return true;
    }

private:
    bool Next(TFindData& data) {
        // "." and ".." come first, as the system gives them.
        static const char16_t* Dots[] = {u".", u".."};
        data = TFindData();
        if (FNext < 2) {
            data.FileName = Dots[FNext++];
            data.Attributes = FileAttr::Directory;
            return true;
        }
        if (FNext - 2 < Entries) {
            data.FileName = u"entry" + WideString(1, (char16_t)(u'0' + FNext++ - 2));
            data.Attributes = FileAttr::Normal;
            return true;
        }
        SetLastErrorCode(EndError);
        return false;
    }
    int FNext = 0;
};

template <class E>
void ExpectListingRaises(TScriptedListing& api, uint32_t code) {
    try {
        CountAll(u"folder");
        ADD_FAILURE() << "no exception for code " << code;
    } catch (const E& e) {
        EXPECT_EQ(e.ErrorCode, code);
    }
    EXPECT_EQ(api.Open, 0);
}
}  // namespace

TEST(FindFilesErrors, FailedStartIsRaisedByClass) {
    TRef<TScriptedListing> api = MakeRef<TScriptedListing>();
    TFileAPIScope scope(api.Get());
    api->FirstError = WinError::FileNotFound;
    EXPECT_EQ(CountAll(u"folder"), 0);
    api->FirstError = WinError::PathNotFound;
    ExpectListingRaises<EFolderNotFound>(*api, WinError::PathNotFound);
    // Access denied on a plain folder (GetFileAttributes fails for "folder").
    api->FirstError = WinError::AccessDenied;
    ExpectListingRaises<EFolderAccessDenied>(*api, WinError::AccessDenied);
    api->FirstError = WinError::IoDevice;
    ExpectListingRaises<EFolderError>(*api, WinError::IoDevice);
}

TEST(FindFilesErrors, EndOfListingIsCheckedAndTheSearchAlwaysClosed) {
    TRef<TScriptedListing> api = MakeRef<TScriptedListing>();
    TFileAPIScope scope(api.Get());
    for (uint32_t fine : {WinError::NoMoreFiles, WinError::Success}) {
        api->EndError = fine;
        EXPECT_EQ(CountAll(u"folder"), 2);
        EXPECT_EQ(api->Open, 0);
    }
    api->EndError = WinError::PathNotFound;
    ExpectListingRaises<EFolderNotFound>(*api, WinError::PathNotFound);
    api->EndError = WinError::AccessDenied;
    ExpectListingRaises<EFolderAccessDenied>(*api, WinError::AccessDenied);
    api->EndError = WinError::IoDevice;
    ExpectListingRaises<EFolderError>(*api, WinError::IoDevice);
    // Stopped early or left by an exception: closed as well.
    api->EndError = WinError::NoMoreFiles;
    FindFiles(u"folder", u"*", [](int32_t, TFileInfo*, bool& stop) { return stop = true; });
    EXPECT_EQ(api->Open, 0);
    EXPECT_THROW(FindFiles(u"folder", u"*", [](int32_t, TFileInfo*, bool&) -> bool { throw EAbort("stop"); }), EAbort);
    EXPECT_EQ(api->Open, 0);
}

namespace {
// Denies listing one link, as Windows denies listing some junctions, and
// reports where it leads.
class TDeniedLink : public TFileAPI {
public:
    WideString Link;
    WideString Target;
    int Hops = 0;

    TNativeHandle FindFirst(const WideString& pattern, TFindData& data) override {
        if (pattern.compare(0, Link.size(), Link) == 0) {
            SetLastErrorCode(WinError::AccessDenied);
            return InvalidNativeHandle;
        }
        return TFileAPI::FindFirst(pattern, data);
    }
    uint32_t GetFileAttributes(const WideString& path) override {
        if (path == Link) return FileAttr::Directory | FileAttr::ReparsePoint;
        return TFileAPI::GetFileAttributes(path);
    }
    bool GetReparseTarget(const WideString& path, WideString& target, bool* isJunction) override {
        if (path != Link) return TFileAPI::GetReparseTarget(path, target, isJunction);
        ++Hops;
        target = Target;
        if (isJunction) *isJunction = true;
        return true;
    }
};
}  // namespace

TEST(FindFilesErrors, DeniedLinkIsListedThroughItsTarget) {
    TScratchFolder scratch;
    scratch.MakeFolder(scratch / u"real");
    scratch.Write(scratch / u"real/inside.txt", "x");
    TRef<TDeniedLink> api = MakeRef<TDeniedLink>();
    api->Link = scratch / u"link";
    api->Target = scratch / u"real";
    TFileAPIScope scope(api.Get());
    EXPECT_EQ(Names(api->Link, u"*.txt"), std::vector<WideString>{u"inside.txt"});
    // A relative target is relative to the link's folder.
    api->Target = u"real";
    EXPECT_EQ(Names(api->Link + PathDelim, u"*"), std::vector<WideString>{u"inside.txt"});
}

TEST(FindFilesErrors, LinkToItselfEndsAsAccessDenied) {
    TScratchFolder scratch;
    TRef<TDeniedLink> api = MakeRef<TDeniedLink>();
    api->Link = scratch / u"loop";
    api->Target = api->Link;
    TFileAPIScope scope(api.Get());
    EXPECT_THROW(CountAll(api->Link), EFolderAccessDenied);
    EXPECT_LE(api->Hops, 10);
}

// ---- One path's information and times ----

TEST(FileInfo, OnePathIsReadWithoutItsTrailingSeparator) {
    TScratchFolder scratch;
    scratch.Write(scratch / u"file.txt", "abc");
    scratch.MakeFolder(scratch / u"folder.d");
    TRef<TFileInfo> file = GetFileInfo(scratch / u"file.txt");
    EXPECT_EQ(file->Name, u"file.txt");
    EXPECT_EQ(file->Size, 3);
    TRef<TFileInfo> folder = GetFileInfo(scratch / u"folder.d/");
    EXPECT_EQ(folder->Name, u"folder.d");
    EXPECT_TRUE(folder->IsFolder);
    EXPECT_THROW(GetFileInfo(scratch / u"missing"), EFileError);
}

TEST(FileInfo, TimesSetInLocalTimeReadBackTheSame) {
    TScratchFolder scratch;
    WideString path = scratch / u"timed";
    scratch.Write(path, "x");
    TSystemTime summer{2016, 7, 0, 14, 13, 45, 30, 500};
    TSystemTime winter{2009, 1, 0, 2, 3, 4, 5, 0};
    SetFileTimes(path, winter, summer, winter);
    TRef<TFileInfo> info = GetFileInfo(path);
    TSystemTime write = info->LastWriteTime;
    write.DayOfWeek = 0;
    EXPECT_EQ(write, winter);
    // Windows keeps creation times; POSIX file systems cannot set them.
    if (PathDelim == u'\\') {
        TSystemTime creation = info->CreationTime;
        creation.DayOfWeek = 0;
        EXPECT_EQ(creation, winter);
    }
    // A time with year 0 stays as it was.
    SetFileTimes(path, TSystemTime(), TSystemTime(), summer);
    info = GetFileInfo(path);
    EXPECT_EQ(info->LastWriteTime.Year, 2016);
    EXPECT_EQ(info->LastWriteTime.Hour, 13);
    EXPECT_EQ(info->LastWriteTime.Milliseconds, 500);
    // Folders take times too.
    scratch.MakeFolder(scratch / u"folder");
    SetFileTimes(scratch / u"folder", winter, winter, winter);
    EXPECT_EQ(GetFileInfo(scratch / u"folder")->LastWriteTime.Year, 2009);
    EXPECT_THROW(SetFileTimes(scratch / u"missing", winter, winter, winter), EFileOpenError);
}

// ---- Links ----

namespace {
namespace fs = std::filesystem;

// Links can only be made on POSIX here: under wine a Windows program's
// links are not made at all.
bool CanMakeLinks() { return PathDelim == u'/'; }

WideString TargetOf(const WideString& link) {
    WideString target;
    bool junction = true;
    if (!FileAPI->GetReparseTarget(link, target, &junction)) return u"<none>";
    EXPECT_FALSE(junction);
    return target;
}
}  // namespace

TEST(Links, ListingShowsLinksAsReparsePoints) {
    if (!CanMakeLinks()) GTEST_SKIP() << "links are made on POSIX only";
    TScratchFolder scratch;
    scratch.MakeFolder(scratch / u"target");
    scratch.Write(scratch / u"file", "x");
    fs::create_directory_symlink(fs::path(scratch / u"target"), fs::path(scratch / u"dir-link"));
    fs::create_symlink(fs::path(scratch / u"file"), fs::path(scratch / u"file-link"));
    fs::create_symlink(fs::path(scratch / u"nowhere"), fs::path(scratch / u"dangling"));
    std::map<WideString, std::pair<uint32_t, uint32_t>> seen;
    FindFiles(scratch.Path(), u"*", [&](int32_t, TFileInfo* info, bool&) {
        seen[info->Name] = {info->Attributes, info->ReparseTag};
        return true;
    });
    const uint32_t link = FileAttr::ReparsePoint;
    EXPECT_EQ(seen[u"dir-link"], std::make_pair(link | FileAttr::Directory, IoReparseTag::SymLink));
    EXPECT_EQ(seen[u"file-link"], std::make_pair(link, IoReparseTag::SymLink));
    EXPECT_EQ(seen[u"dangling"], std::make_pair(link, IoReparseTag::SymLink));
    EXPECT_EQ(FileAPI->GetFileAttributes(scratch / u"dir-link"), link | FileAttr::Directory);
    EXPECT_TRUE(DirectoryExists(scratch / u"dir-link"));
    EXPECT_TRUE(FileExists(scratch / u"file-link"));
    EXPECT_EQ(TargetOf(scratch / u"dir-link"), scratch / u"target");
    EXPECT_EQ(TargetOf(scratch / u"file"), u"<none>");
    EXPECT_EQ(GetLastErrorCode(), WinError::NotAReparsePoint);
}

TEST(Links, DeletingATreeRemovesLinksAndNeverWhatTheyLeadTo) {
    if (!CanMakeLinks()) GTEST_SKIP() << "links are made on POSIX only";
    TScratchFolder scratch;
    scratch.MakeFolder(scratch / u"outside/deep");
    scratch.Write(scratch / u"outside/deep/keep.txt", "keep");
    scratch.Write(scratch / u"outside/keep.dat", "keep");
    scratch.MakeFolder(scratch / u"tree/sub");
    fs::create_directory_symlink(fs::path(scratch / u"outside"), fs::path(scratch / u"tree/sub/dir-link"));
    fs::create_symlink(fs::path(scratch / u"outside/keep.dat"), fs::path(scratch / u"tree/file-link"));
    // A read-only link target must not make the link undeletable.
    FileAPI->SetFileAttributes(scratch / u"outside/keep.dat", FileAttr::ReadOnly);
    EXPECT_TRUE(DeleteFolderTree(scratch / u"tree"));
    EXPECT_FALSE(scratch.Exists(scratch / u"tree"));
    EXPECT_EQ(scratch.Read(scratch / u"outside/deep/keep.txt"), "keep");
    EXPECT_EQ(scratch.Read(scratch / u"outside/keep.dat"), "keep");
    EXPECT_NE(FileAPI->GetFileAttributes(scratch / u"outside/keep.dat") & FileAttr::ReadOnly, 0u);

    // The tree's own path being a link: only the link goes.
    fs::create_directory_symlink(fs::path(scratch / u"outside"), fs::path(scratch / u"link-root"));
    EXPECT_TRUE(DeleteFolderTree(scratch / u"link-root/"));
    EXPECT_FALSE(scratch.Exists(scratch / u"link-root"));
    EXPECT_EQ(scratch.Read(scratch / u"outside/deep/keep.txt"), "keep");

    // Deleting a link to a file deletes the link.
    fs::create_symlink(fs::path(scratch / u"outside/keep.dat"), fs::path(scratch / u"file-link"));
    DeleteFile(scratch / u"file-link");
    EXPECT_FALSE(scratch.Exists(scratch / u"file-link"));
    EXPECT_EQ(scratch.Read(scratch / u"outside/keep.dat"), "keep");
}

TEST(Links, HostLinksSeenThroughWineAreLeftAlone) {
    if (CanMakeLinks()) GTEST_SKIP() << "for the Windows build under wine";
    // Made on the host side when the build was configured.
    WideString fixture = JoinPath(ExtractFilePath(FileAPI->GetModuleFileName(0), false), u"link-fixture");
    if (!DirectoryExists(fixture)) GTEST_SKIP() << "no link fixture beside the program";
    WideString tree = JoinPath(fixture, u"tree");
    WideString link = JoinPath(tree, u"dir-link");
    // Wine shows a host link to a folder as a reparse point, but has no
    // reparse data for it.
    EXPECT_EQ(FileAPI->GetFileAttributes(link), FileAttr::Directory | FileAttr::ReparsePoint);
    EXPECT_EQ(TargetOf(link), u"<none>");
    TRef<TFileInfo> info = GetFileInfo(link);
    EXPECT_EQ(info->ReparseTag, 0u);
    // Removing it would remove its target; the tree is refused instead.
    EXPECT_FALSE(DeleteFolderTree(tree));
    EXPECT_EQ(GetLastErrorCode(), WinError::CantAccessFile);
    EXPECT_TRUE(DirectoryExists(link));
    EXPECT_TRUE(FileExists(JoinPath(fixture, NativePath(u"target/keep.txt"))));
}

// ---- Reparse data as the kernel returns it ----

namespace {
// Reparse data for a link: header, flags word for symbolic links, then the
// substitute and print names back to back.
std::vector<uint8_t> ReparseData(uint32_t tag, const WideString& substitute, const WideString& print) {
    auto put16 = [](std::vector<uint8_t>& out, uint16_t v) {
        out.push_back((uint8_t)v);
        out.push_back((uint8_t)(v >> 8));
    };
    auto put32 = [&](std::vector<uint8_t>& out, uint32_t v) {
        put16(out, (uint16_t)v);
        put16(out, (uint16_t)(v >> 16));
    };
    std::vector<uint8_t> data;
    put32(data, tag);
    put16(data, 0);
    put16(data, 0);
    put16(data, 0);
    put16(data, (uint16_t)(substitute.size() * 2));
    put16(data, (uint16_t)(substitute.size() * 2));
    put16(data, (uint16_t)(print.size() * 2));
    if (tag == IoReparseTag::SymLink) put32(data, 0);
    for (WideChar c : substitute + print) put16(data, c);
    return data;
}
}  // namespace

TEST(ReparseData, LinksAndJunctionsGiveTheirPrintName) {
    WideString target;
    bool junction = false;
    auto link = ReparseData(IoReparseTag::SymLink, u"\\??\\C:\\target", u"C:\\target");
    EXPECT_TRUE(ParseReparseData(link.data(), link.size(), target, &junction));
    EXPECT_EQ(target, u"C:\\target");
    EXPECT_FALSE(junction);
    auto mount = ReparseData(IoReparseTag::MountPoint, u"\\??\\D:\\data", u"D:\\data");
    EXPECT_TRUE(ParseReparseData(mount.data(), mount.size(), target, &junction));
    EXPECT_EQ(target, u"D:\\data");
    EXPECT_TRUE(junction);
    // Without a print name the substitute name, in user form, says it.
    auto bare = ReparseData(IoReparseTag::MountPoint, u"\\??\\UNC\\server\\share", u"");
    EXPECT_TRUE(ParseReparseData(bare.data(), bare.size(), target, nullptr));
    EXPECT_EQ(target, u"\\\\server\\share");
    auto relative = ReparseData(IoReparseTag::SymLink, u"..\\up", u"");
    EXPECT_TRUE(ParseReparseData(relative.data(), relative.size(), target, nullptr));
    EXPECT_EQ(target, u"..\\up");
}

TEST(ReparseData, OtherKindsAndShortRepliesGiveNoTarget) {
    WideString target = u"unchanged";
    bool junction = true;
    auto other = ReparseData(0x9000001A, u"x", u"x");
    EXPECT_FALSE(ParseReparseData(other.data(), other.size(), target, &junction));
    EXPECT_FALSE(junction);
    EXPECT_EQ(GetLastErrorCode(), WinError::NotAReparsePoint);
    auto link = ReparseData(IoReparseTag::SymLink, u"\\??\\C:\\target", u"C:\\target");
    for (size_t cut : {link.size() - 1, (size_t)20, (size_t)3, (size_t)0})
        EXPECT_FALSE(ParseReparseData(link.data(), cut, target, nullptr)) << cut;
    EXPECT_EQ(target, u"unchanged");
}
