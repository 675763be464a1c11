#include <gtest/gtest.h>
#include <algorithm>
#include <map>
#include "Archivers/Zip/EntryModes.h"
#include "Archivers/Zip/FileUnzipper.h"
#include "Archivers/Zip/FileZipper.h"
#include "Archivers/Zip/NameRules.h"
#include "Archivers/Zip/ZipArchive.h"
#include "FileSystem/FileModes.h"
#include "Foundation/CodePages.h"
#include "Foundation/Threads.h"
#include "Streams/FileStream.h"
#include "support/FaultyFileAPI.h"
#include "support/Files.h"
#include "support/FolderZip.h"
#include "support/ScratchFolder.h"
#include "support/WorkerWatch.h"
#include "support/ZipBuilder.h"

namespace {

namespace fs = std::filesystem;

// The entries of a ZIP file as the directory gives them.
struct TEntryView {
    WideString Name;
    uint8_t Host;
    uint32_t External;
};

// Opens the ZIP file and gives visit each entry in directory order; the
// archive comment as stored.
template <class TVisit>
std::string VisitEntries(const WideString& zipPath, TVisit visit) {
    TRef<TZipArchive> archive = MakeRef<TZipArchive>();
    TRef<TDefaultCallBack> callback = MakeRef<TDefaultCallBack>();
    TRef<TFileStream> file =
        MakeRef<TFileStream>(zipPath, FileAccess::Read, FileShare::Read, FileDisposition::OpenExisting);
    archive->CallBack = callback.Get();
    archive->SetStream(file.Get());
    archive->Open();
    for (int32_t i = 0; i < archive->Structure()->Count(); ++i) visit(archive.Get(), archive->Structure()->Entry(i));
    return archive->Structure()->CommentBytes;
}

std::vector<TEntryView> EntriesOf(const WideString& zipPath) {
    std::vector<TEntryView> entries;
    VisitEntries(zipPath, [&](TZipArchive*, TZipItem* entry) {
        entries.push_back({entry->Name(), entry->HostSystem, entry->ExternalAttributes});
    });
    return entries;
}

TEST_F(FolderZip, NamesStartWithTheFolderOnlyWhenAsked) {
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->Zip(ZipPath, Bundle, true);
    std::vector<TEntryView> with = EntriesOf(ZipPath);
    // Each folder before what it holds, in the order of the names.
    std::vector<WideString> names;
    for (const TEntryView& e : with) names.push_back(e.Name);
    EXPECT_EQ(names, (std::vector<WideString>{u"X.app/", u"X.app/Contents/", u"X.app/Contents/Empty/",
                                              u"X.app/Contents/Info.plist", u"X.app/Contents/MacOS/",
                                              u"X.app/Contents/MacOS/Show", u"X.app/Contents/Resources/",
                                              u"X.app/Contents/Resources/empty.txt"}));
    zipper->Zip(ZipPath, Bundle, false);
    for (const TEntryView& e : EntriesOf(ZipPath)) EXPECT_EQ(e.Name.rfind(u"Contents/", 0), 0u);
}

TEST_F(FolderZip, FolderWithoutFilesLeavesAnExistingZipAlone) {
    fs::create_directories(FsPath(Scratch / u"hollow/a/b"));
    WriteBytes(ZipPath, "earlier");
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->Zip(ZipPath, Scratch / u"hollow", true);
    EXPECT_EQ(ReadBytes(ZipPath), "earlier");
}

// A stop asked for with the last file counts with one worker as with
// several, and the ZIP file stays as it was.
TEST_F(FolderZip, AStopLeavesAnExistingZipAsItWasWhateverTheWorkers) {
    for (int32_t workers : {1, 4}) {
        WriteBytes(ZipPath, "earlier");
        TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
        zipper->Workers = workers;
        zipper->OnProgress = [](TFileZipper*, const AnsiString&, bool& stop, int32_t count, int32_t index) {
            stop = index == count - 1;
        };
        EXPECT_THROW(zipper->Zip(ZipPath, Bundle, true), EArchiveAbort) << workers;
        EXPECT_EQ(ReadBytes(ZipPath), "earlier") << workers;
    }
    // Nothing staged is left beside it.
    size_t files = 0;
    for (auto& e : fs::directory_iterator(FsPath(Scratch.Path()))) files += e.is_regular_file();
    EXPECT_EQ(files, 1u);
}

// On POSIX a file name may hold '\\', which ZIP takes as a separator: such a
// file would come back as another, or (ending in one) have no place at all.
TEST_F(FolderZip, NamesAZipCannotHoldAreRefusedBeforeTheTargetIsTouched) {
    if (PathDelim == u'\\') GTEST_SKIP() << "Windows names cannot hold a backslash";
    for (const char16_t* name : {u"a\\b.txt", u"trailing\\"}) {
        WideString odd = JoinPath(Bundle, WideString(u"Contents/") + name);
        WriteBytes(odd, "odd");
        WriteBytes(ZipPath, "earlier");
        TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
        try {
            zipper->Zip(ZipPath, Bundle, true);
            ADD_FAILURE() << "no exception";
        } catch (const EArchiveError& e) {
            EXPECT_NE(std::string(e.what()).find("folder separator"), std::string::npos) << e.what();
        }
        EXPECT_EQ(ReadBytes(ZipPath), "earlier");
        fs::remove(FsPath(odd));
    }
}

// A link inside the tree is stored as the link it is: followed, a folder's
// files would be stored twice, a loop would never end, and a link to a file,
// or to nothing, would come back as a copy or fail the zip.
TEST_F(FolderZip, ALinkInsideIsStoredAsALink) {
    if (PathDelim == u'\\') GTEST_SKIP() << "links are made here with POSIX calls";
    fs::create_directory_symlink("../Contents", FsPath(JoinPath(Bundle, u"Contents/Again")));
    fs::create_symlink("nowhere", FsPath(JoinPath(Bundle, u"Contents/Dangling")));
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->Zip(ZipPath, Bundle, true);
    std::vector<TEntryView> entries = EntriesOf(ZipPath);
    // Three files and the links; the rest are folder entries.
    ASSERT_EQ(std::count_if(entries.begin(), entries.end(), [](const TEntryView& e) { return e.Name.back() != u'/'; }),
              5);
    auto dangling = std::find_if(entries.begin(), entries.end(),
                                 [](const TEntryView& e) { return e.Name == u"X.app/Contents/Dangling"; });
    ASSERT_NE(dangling, entries.end());
    EXPECT_EQ(dangling->External, UnixMode::SymbolicLink << 16);
    auto link = std::find_if(entries.begin(), entries.end(),
                             [](const TEntryView& e) { return e.Name == u"X.app/Contents/Again"; });
    ASSERT_NE(link, entries.end());
    EXPECT_EQ(link->Host, ZipHost::Unix);
    EXPECT_EQ(link->External, UnixMode::SymbolicLink << 16);
    // Its data is the path it points at, whatever the number of workers.
    for (int32_t workers : {1, 3}) {
        zipper->Workers = workers;
        zipper->Zip(ZipPath, Bundle, true);
        TScratchFolder out;
        MakeRef<TFileUnzipper>()->Unzip(ZipPath, out.Path());
        EXPECT_EQ(ReadBytes(out / u"X.app/Contents/Again"), "../Contents") << workers;
    }
}

// Entries carry Unix modes, so that a Mac starts the programs it unpacks:
// the file's own mode, and for a program (by its place, case aside, or its
// first bytes) an execute bit for each class that may read it; where the
// file system keeps no modes, 0755 for programs and folders, else 0644.
TEST_F(FolderZip, ModesAreStoredAsAMacNeedsThem) {
    const bool posix = UnixModeOf(Bundle) != 0;
    WriteBytes(JoinPath(Bundle, u"Contents/Resources/run.sh"), "#!/bin/sh\n");
    WriteBytes(JoinPath(Bundle, u"Contents/Resources/Viewer.app/contents/MACOS/Viewer"), "viewer");
    if (posix) {
        fs::permissions(FsPath(JoinPath(Bundle, u"Contents/MacOS/Show")), fs::perms(0600));
        fs::permissions(FsPath(JoinPath(Bundle, u"Contents/Resources/run.sh")), fs::perms(0640));
        fs::permissions(FsPath(JoinPath(Bundle, u"Contents/Info.plist")), fs::perms(0640));
        fs::permissions(FsPath(JoinPath(Bundle, u"Contents/Empty")), fs::perms(0750));
    }
    MakeRef<TFileZipper>()->Zip(ZipPath, Bundle, true);
    std::map<WideString, uint32_t> modes;
    for (const TEntryView& e : EntriesOf(ZipPath)) {
        EXPECT_EQ(e.Host, ZipHost::Unix) << WideToUtf8(e.Name);
        modes[e.Name] = e.External;
    }
    EXPECT_EQ(modes[u"X.app/Contents/MacOS/Show"] >> 16, posix ? 0100700u : 0100755u);
    EXPECT_EQ(modes[u"X.app/Contents/Resources/run.sh"] >> 16, posix ? 0100750u : 0100755u);
    EXPECT_EQ(modes[u"X.app/Contents/Resources/Viewer.app/contents/MACOS/Viewer"] >> 16, 0100755u);
    EXPECT_EQ(modes[u"X.app/Contents/Info.plist"] >> 16, posix ? 0100640u : 0100644u);
    // Folders keep the DOS folder bit in the low byte, as other zippers write it.
    EXPECT_EQ(modes[u"X.app/Contents/Empty/"], (posix ? 040750u : 040755u) << 16 | 0x10);
}

TEST_F(FolderZip, UnreadableSourceFileFailsTheZip) {
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    TRef<TFullDisk> full = MakeRef<TFullDisk>();
    TFileAPIScope scope(full.Get());
    EXPECT_THROW(zipper->Zip(ZipPath, Bundle, true), Exception);
}

TEST_F(FolderZip, RoundTripRecreatesFilesWithTheirTimesAndModes) {
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    TSystemTime when{2016, 12, 4, 15, 10, 20, 30, 0};
    SetFileTimes(JoinPath(Bundle, u"Contents/Info.plist"), when, when, when);
    zipper->Zip(ZipPath, Bundle, true);

    WideString target = Scratch / u"out";
    TRef<TFileUnzipper> unzipper = MakeRef<TFileUnzipper>();
    unzipper->Unzip(ZipPath, target);
    EXPECT_EQ(ReadBytes(JoinPath(target, u"X.app/Contents/MacOS/Show")), "program");
    EXPECT_EQ(fs::file_size(FsPath(JoinPath(target, u"X.app/Contents/Resources/empty.txt"))), 0u);
    EXPECT_TRUE(fs::is_directory(FsPath(JoinPath(target, u"X.app/Contents/Empty"))));
    TSystemTime read = GetFileInfo(JoinPath(target, u"X.app/Contents/Info.plist"))->LastWriteTime;
    EXPECT_EQ(read.Year, 2016);
    EXPECT_EQ(read.Hour, 10);
    EXPECT_EQ(read.Second, 30);
}

// A name whose code page bytes would read as UTF-8 is written as UTF-8.
TEST(FolderRepack, NamesReadBackAsTheyWereWritten) {
    TScratchFolder scratch;
    WideString name = u"\u251C\u2310.txt";  // in code page 437 the bytes of U+00E9 in UTF-8
    WriteBytes(scratch / (u"in/" + name), "x");
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->Zip(scratch / u"n.zip", scratch / u"in", TFileZipper::ContentsOnly);
    EXPECT_EQ(EntriesOf(scratch / u"n.zip").at(0).Name, name);
}

}  // namespace
