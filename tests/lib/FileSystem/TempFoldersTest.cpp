#include <gtest/gtest.h>
#include <algorithm>
#include "FileSystem/FileAPI.h"
#include "FileSystem/TempFolders.h"
#include "Foundation/ErrorReport.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"
#include "Foundation/TextUtils.h"
#include "support/Environment.h"
#include "support/Files.h"
#include "support/HelperProcess.h"
#include "support/ScratchFolder.h"

namespace {
// The variable of the platform's first candidate ("%TMPDIR%" -> TMPDIR).
WideString FirstTempVariable() {
    WideString text = TempFolderCandidates().front();
    return text.substr(1, text.size() - 2);
}

// Points the system temporary folder at a scratch folder, with the service
// starting afresh before and after.
class TempFolders : public testing::Test {
protected:
    TempFolders() : FTemp(FirstTempVariable(), FScratch.Path()) { DoneTempFolders(); }
    ~TempFolders() override { DoneTempFolders(); }

    WideString Root() const { return IncludeTrailingBackslash(FScratch.Path()) + u"TARVIX_TEMP_ROOT" + PathDelim; }
    // A left-over as a process that died would leave it.
    WideString MakeLeftover(bool withLock) {
        WideString guid = GuidToString(CreateGuid());
        WideString folder = Root() + u"[" + guid.substr(1, 36) + u"]";
        FScratch.MakeFolder(folder);
        FScratch.Write(folder + PathDelim + u"data.bin", "left behind");
        if (withLock) FScratch.Write(folder + u".lock", "");
        return folder;
    }
    static bool LockHeld(const WideString& lockPath) {
        try {
            TFileHandle probe(FileOpen(lockPath, FileAccess::Read, FileShare::None, FileDisposition::OpenExisting));
            return false;
        } catch (const EFileError& e) {
            return e.ErrorCode == WinError::SharingViolation;
        }
    }

    TScratchFolder FScratch;
    TEnvironmentScope FTemp;
};

// Refuses to make folders inside the root, or to remove any.
class TStubbornRoot : public TFileAPI {
public:
    WideString Root;
    bool RefuseRemove = false;
    int Creates = 0;
    bool CreateDirectory(const WideString& path, void* security) override {
        if (path.rfind(Root, 0) == 0 && path.size() > Root.size()) {
            ++Creates;
            SetLastErrorCode(WinError::AccessDenied);
            return false;
        }
        return TFileAPI::CreateDirectory(path, security);
    }
    bool RemoveDirectory(const WideString& path) override {
        if (RefuseRemove) return SetLastErrorCode(WinError::AccessDenied), false;
        return TFileAPI::RemoveDirectory(path);
    }
};
}  // namespace

TEST_F(TempFolders, NewFoldersAreEmptyDistinctAndLocked) {
#ifdef NVX_NO_LINUX_CALLS
    GTEST_SKIP() << "without per-open-file locks only other processes see the lock (the sweep test checks that)";
#endif
    EXPECT_EQ(GetTempRoot(), Root());
    WideString a = CreateTempFolder(false);
    WideString b = CreateTempFolder(true);
    ASSERT_EQ(b.back(), PathDelim);
    b.pop_back();
    EXPECT_NE(a, b);
    for (const WideString& folder : {a, b}) {
        ASSERT_EQ(folder.rfind(Root(), 0), 0u);
        WideString name = folder.substr(Root().size());
        TGuid guid;
        EXPECT_EQ(name.size(), 38u);
        EXPECT_TRUE(name.front() == u'[' && name.back() == u']' && StringToGuid(u"{" + name.substr(1, 36) + u"}", guid))
            << Narrow(name);
        EXPECT_TRUE(DirectoryExists(folder));
        EXPECT_TRUE(std::filesystem::is_empty(FsPath(folder)));
        EXPECT_TRUE(LockHeld(folder + u".lock"));
    }
    EXPECT_TRUE(DeleteTempFolder(a));
    EXPECT_FALSE(FScratch.Exists(a));
    EXPECT_FALSE(FScratch.Exists(a + u".lock"));
    EXPECT_TRUE(LockHeld(b + u".lock"));
}

TEST_F(TempFolders, DeleteFindsCaseAndSeparatorVariantsOnce) {
    EXPECT_FALSE(DeleteTempFolder(Root() + u"[nothing made yet]"));
    WideString lower = CreateTempFolder(false);
    WideString upper = CreateTempFolder(false);
    WideString other = Root() + u"not-ours";
    FScratch.MakeFolder(other);

    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](WideChar c) { return c >= u'A' && c <= u'Z' ? WideChar(c + 32) : c; });
    EXPECT_TRUE(DeleteTempFolder(lower + PathDelim));
    EXPECT_FALSE(DeleteTempFolder(lower));
    WideString shouted = upper;
    std::transform(shouted.begin(), shouted.end(), shouted.begin(),
                   [](WideChar c) { return c >= u'a' && c <= u'z' ? WideChar(c - 32) : c; });
    EXPECT_TRUE(DeleteTempFolder(shouted));
    EXPECT_FALSE(FScratch.Exists(upper));
    EXPECT_FALSE(DeleteTempFolder(upper + PathDelim));

    EXPECT_FALSE(DeleteTempFolder(other));
    EXPECT_TRUE(FScratch.Exists(other));
}

TEST_F(TempFolders, ShutdownReleasesEverythingAndForgetsTheRoot) {
    WideString a = CreateTempFolder(false);
    WideString b = CreateTempFolder(false);
    FScratch.Write(a + PathDelim + u"inside.txt", "x");
    DoneTempFolders();
    for (const WideString& folder : {a, b}) {
        EXPECT_FALSE(FScratch.Exists(folder));
        EXPECT_FALSE(FScratch.Exists(folder + u".lock"));
    }
    EXPECT_FALSE(DeleteTempFolder(a));
}

TEST_F(TempFolders, SweepKeepsFoldersHeldByAnotherProcess) {
    WideString early = MakeLeftover(true);
    WideString pathFile = FScratch / u"held-path.txt";
    THelperProcess helper("hold-temp-folder", {Narrow(pathFile)});
    ASSERT_TRUE(helper.Ready()) << helper.Reply();
    WideString held = Widen(ReadBytes(pathFile));
    // The helper's own first use swept the left-over before us.
    EXPECT_FALSE(FScratch.Exists(early));

    WideString leftover = MakeLeftover(true);
    WideString lockless = MakeLeftover(false);
    GetTempRoot();
    EXPECT_FALSE(FScratch.Exists(leftover));
    EXPECT_FALSE(FScratch.Exists(leftover + u".lock"));
    EXPECT_TRUE(FScratch.Exists(held));
    EXPECT_TRUE(FScratch.Exists(held + u".lock"));
    // Without a lock file nothing says it is a left-over.
    EXPECT_TRUE(FScratch.Exists(lockless));
    // Not ours to delete either.
    EXPECT_FALSE(DeleteTempFolder(held));
    EXPECT_TRUE(FScratch.Exists(held));

    // The helper's shutdown removes its folder.
    EXPECT_EQ(helper.Finish(), 0);
    EXPECT_FALSE(FScratch.Exists(held));
    EXPECT_FALSE(FScratch.Exists(held + u".lock"));
}

TEST_F(TempFolders, AFolderThatStaysIsLeftForTheNextSweep) {
    WideString folder = CreateTempFolder(false);
    auto api = MakeRef<TStubbornRoot>();
    api->RefuseRemove = true;
    {
        TFileAPIScope scope(api.Get());
        EXPECT_FALSE(DeleteTempFolder(folder));
        // Shutdown cannot remove it either.
        DoneTempFolders();
    }
    EXPECT_TRUE(FScratch.Exists(folder));
    ASSERT_TRUE(FScratch.Exists(folder + u".lock"));
    EXPECT_FALSE(LockHeld(folder + u".lock"));
    // The next process's sweep finds it.
    GetTempRoot();
    EXPECT_FALSE(FScratch.Exists(folder));
    EXPECT_FALSE(FScratch.Exists(folder + u".lock"));
}

TEST_F(TempFolders, ARootThatTakesNoFoldersEndsTheAttempts) {
    WideString root = GetTempRoot();
    auto api = MakeRef<TStubbornRoot>();
    api->Root = root;
    TFileAPIScope scope(api.Get());
    try {
        CreateTempFolder(false);
        FAIL();
    } catch (const EFolderError& e) {
        EXPECT_NE(std::string(e.what()).find(Narrow(root)), std::string::npos) << e.what();
        EXPECT_EQ(e.ErrorCode, WinError::AccessDenied);
    }
    EXPECT_EQ(api->Creates, TempFolderAttempts);
}

TEST_F(TempFolders, ARootThatCannotBeMadeIsTriedAgainLater) {
    // A file where the root should be.
    WideString blocker = ExcludeTrailingBackslash(Root());
    FScratch.Write(blocker, "in the way");
    try {
        GetTempRoot();
        FAIL();
    } catch (const EAbort& e) {
        EXPECT_NE(std::string(e.what()).find("ZizureDado Create Error: " + Narrow(Root())), std::string::npos)
            << e.what();
    }
    std::filesystem::remove(FsPath(blocker));
    EXPECT_EQ(GetTempRoot(), Root());
    EXPECT_TRUE(DeleteTempFolder(CreateTempFolder(false)));
}

TEST_F(TempFolders, WithoutASubFolderNameTheSystemFolderServesUnlocked) {
    WideString saved = TempSubFolderName;
    TempSubFolderName.clear();
    WideString root = GetTempRoot();
    EXPECT_EQ(root, IncludeTrailingBackslash(FScratch.Path()));
    WideString folder = CreateTempFolder(false);
    EXPECT_FALSE(FScratch.Exists(folder + u".lock"));
    EXPECT_TRUE(DeleteTempFolder(folder));
    EXPECT_FALSE(FScratch.Exists(folder));
    TempSubFolderName = saved;
}

#ifndef _WIN32
// Working folders are the user's alone; a root that is a link is never used.
TEST_F(TempFolders, FoldersArePrivateAndARootThatIsALinkIsRefused) {
    WideString folder = CreateTempFolder(false);
    EXPECT_EQ(std::filesystem::status(FsPath(folder)).permissions() & std::filesystem::perms::mask,
              std::filesystem::perms::owner_all);
    EXPECT_TRUE(DeleteTempFolder(folder));
    DoneTempFolders();
    WideString elsewhere = FScratch / u"elsewhere";
    FScratch.MakeFolder(elsewhere);
    std::filesystem::remove_all(FsPath(Root()));
    std::filesystem::create_directory_symlink(FsPath(elsewhere), FsPath(ExcludeTrailingBackslash(Root())));
    EXPECT_THROW(GetTempRoot(), EAbort);
}
#endif

TEST(SystemTempFolder, FirstExistingCandidateWins) {
    TScratchFolder scratch;
    std::vector<WideString> candidates = TempFolderCandidates();
    ASSERT_GE(candidates.size(), 2u);
    auto variable = [&](size_t i) { return candidates[i].substr(1, candidates[i].size() - 2); };
    TEnvironmentScope first(variable(0), scratch / u"missing");
    TEnvironmentScope second(variable(1), scratch.Path());
    EXPECT_EQ(SystemTempFolder(), IncludeTrailingBackslash(scratch.Path()));
    // A folder whose name holds a '%' is a folder like any other.
    WideString percent = scratch / u"50%off";
    ASSERT_TRUE(ForceDirectories(percent));
    TEnvironmentScope third(variable(0), percent);
    EXPECT_EQ(SystemTempFolder(), IncludeTrailingBackslash(percent));
    // With every variable unset, the last candidate, a plain folder, serves.
    std::vector<std::optional<TEnvironmentScope>> unset(candidates.size());
    for (size_t i = 0; i + 1 < candidates.size(); ++i) unset[i].emplace(variable(i), std::nullopt);
    EXPECT_EQ(SystemTempFolder(), IncludeTrailingBackslash(ExpandEnvironment(candidates.back())));
}
