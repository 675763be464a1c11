#include <gtest/gtest.h>
#include <algorithm>
#include "Archivers/Zip/EntryModes.h"
#include "Archivers/Zip/FileUnzipper.h"
#include "Archivers/Zip/FileZipper.h"
#include "Archivers/Zip/NameRules.h"
#include "Archivers/Zip/ZipArchive.h"
#include "Foundation/CodePages.h"
#include "Foundation/Threads.h"
#include "Streams/FileStream.h"
#include "support/FaultyFileAPI.h"
#include "support/Files.h"
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
    for (int32_t i = 0; i < archive->Structure->Count(); ++i) visit(archive.Get(), archive->Structure->Entry(i));
    return archive->Structure->CommentBytes;
}

std::vector<TEntryView> EntriesOf(const WideString& zipPath) {
    std::vector<TEntryView> entries;
    VisitEntries(zipPath, [&](TZipArchive*, TZipItem* entry) {
        entries.push_back({entry->Name(), entry->HostSystem, entry->ExternalAttributes});
    });
    return entries;
}

class FolderZip : public testing::Test {
protected:
    FolderZip() {
        WriteBytes(JoinPath(Bundle, u"Contents/Info.plist"), "<plist/>");
        WriteBytes(JoinPath(Bundle, u"Contents/MacOS/Show"), "program");
        WriteBytes(JoinPath(Bundle, u"Contents/Resources/empty.txt"), "");
        fs::create_directories(FsPath(JoinPath(Bundle, u"Contents/Empty")));
    }
    TScratchFolder Scratch;
    WideString Bundle = Scratch / u"X.app";
    WideString ZipPath = Scratch / u"X.zip";
};

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

// A link to a folder inside the tree is stored as the link it is: followed,
// its files would be stored twice, and a loop would never end.
TEST_F(FolderZip, AFolderLinkInsideIsStoredAsALink) {
    if (PathDelim == u'\\') GTEST_SKIP() << "links are made here with POSIX calls";
    fs::create_directory_symlink("../Contents", FsPath(JoinPath(Bundle, u"Contents/Again")));
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->Zip(ZipPath, Bundle, true);
    std::vector<TEntryView> entries = EntriesOf(ZipPath);
    // Three files and the link; the rest are folder entries.
    ASSERT_EQ(std::count_if(entries.begin(), entries.end(), [](const TEntryView& e) { return e.Name.back() != u'/'; }),
              4);
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

// Large incompressible and compressible files among many small ones, so
// that workers finish out of order.
class ParallelZip : public testing::Test {
protected:
    ParallelZip() {
        uint32_t seed = 7;
        auto noise = [&seed](size_t size) {
            std::string bytes(size, '\0');
            for (char& c : bytes) c = char((seed = seed * 1103515245u + 12345u) >> 23);
            return bytes;
        };
        WriteBytes(JoinPath(Folder, u"a/movie.mp4"), noise(3 << 20));
        std::string text;
        while (text.size() < (2u << 20)) text += "caption " + std::to_string(text.size() % 977) + "\n";
        WriteBytes(JoinPath(Folder, u"b/captions.txt"), text);
        for (int i = 0; i < 60; ++i)
            WriteBytes(JoinPath(Folder, u"c/" + AnsiToWide(std::to_string(i)) + u".dat"),
                       i % 3 ? noise(size_t(i) * 97) : text.substr(size_t(i), size_t(i) * 211));
        WriteBytes(JoinPath(Folder, u"d/photo.jpg"), noise(2 << 20));
    }

    // The zip of Folder made with that many workers and that much memory
    // for packed data waiting to be written.
    std::string ZipWith(int32_t workers, size_t waitingMemory = 4 << 20) {
        TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
        zipper->Workers = workers;
        zipper->WaitingMemory = waitingMemory;
        zipper->Zip(ZipPath, Folder, true);
        return ReadBytes(ZipPath);
    }

    // Every spill file made is gone, with its folder.
    static void ExpectSpillsGone(TWorkerWatch* watch) {
        for (const WideString& spill : watch->Spills())
            EXPECT_FALSE(fs::exists(FsPath(ExtractFilePath(spill, false)))) << WideToUtf8(spill);
    }

    TScratchFolder Scratch;
    WideString Folder = Scratch / u"Show.app";
    WideString ZipPath = Scratch / u"Show.zip";
};

TEST_F(ParallelZip, SeveralWorkersWriteTheBytesOfOne) {
    std::string single = ZipWith(1);
    EXPECT_EQ(ZipWith(2), single);
    // Without memory to wait in, packed data goes through spill files.
    TRef<TWorkerWatch> watch = MakeRef<TWorkerWatch>();
    TFileAPIScope scope(watch.Get());
    EXPECT_EQ(ZipWith(3, 0), single);
    EXPECT_FALSE(watch->Spills().empty());
    ExpectSpillsGone(watch.Get());
}

TEST_F(ParallelZip, StopHalfWayEndsEveryWorkerAndLeavesNothing) {
    TRef<TWorkerWatch> watch = MakeRef<TWorkerWatch>();
    TFileAPIScope scope(watch.Get());
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->Workers = 3;
    zipper->WaitingMemory = 0;
    std::vector<int32_t> told;
    uint32_t caller = CurrentThreadId();
    zipper->OnProgress = [&](TFileZipper*, const AnsiString&, bool& stop, int32_t count, int32_t index) {
        EXPECT_EQ(CurrentThreadId(), caller);
        told.push_back(index);
        stop = index == count / 2;
    };
    EXPECT_THROW(zipper->Zip(ZipPath, Folder, true), EArchiveAbort);
    ASSERT_EQ(told.size(), size_t(zipper->Files->GetCount() / 2 + 1));
    for (size_t i = 0; i < told.size(); ++i) EXPECT_EQ(told[i], int32_t(i));
    EXPECT_FALSE(fs::exists(FsPath(ZipPath)));
    ExpectSpillsGone(watch.Get());
}

// Cut off at the end the directory is gone: the entries are found by a
// scan, the caller learns so, and the last entry's cut data is named.
TEST_F(FolderZip, CutArchiveIsRecoveredByAScanThatTellsTheCaller) {
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->Zip(ZipPath, Bundle, true);
    std::string whole = ReadBytes(ZipPath);
    // One byte of the last entry's data is left: too little for any file.
    size_t last = whole.rfind("PK\x03\x04");
    size_t nameLength = uint8_t(whole[last + 26]) | uint8_t(whole[last + 27]) << 8;
    WriteBytes(ZipPath, whole.substr(0, last + 30 + nameLength + 1));

    const WideString start = GetCurrentFolder(true);
    ASSERT_TRUE(SetCurrentFolder(Scratch.Path()));
    TRef<TFileUnzipper> unzipper = MakeRef<TFileUnzipper>();
    try {
        unzipper->Unzip(ZipPath, u"out");  // relative, and not there yet
        ADD_FAILURE() << "no error";
    } catch (const EArchiveError& e) {
        EXPECT_NE(e.Message().find("it is truncated"), std::string::npos) << e.Message();
    }
    EXPECT_TRUE(unzipper->DirectoryRecovered);
    EXPECT_TRUE(fs::is_directory(FsPath(Scratch / u"out/X.app/Contents")));
    SetCurrentFolder(start);
}

// A volume with less room than the entries unpack to: refused before any
// folder or file is made.
TEST_F(FolderZip, ExtractionThatWouldNotFitIsRefusedBeforeAnythingIsWritten) {
    class TSmallVolume : public TFileAPI {
    public:
        bool GetAvailableSpace(const WideString&, uint64_t& bytes) override {
            bytes = 10;
            return true;
        }
    };
    MakeRef<TFileZipper>()->Zip(ZipPath, Bundle, true);
    TRef<TSmallVolume> small = MakeRef<TSmallVolume>();
    TFileAPIScope scope(small.Get());
    try {
        MakeRef<TFileUnzipper>()->Unzip(ZipPath, Scratch / u"out");
        ADD_FAILURE() << "no error";
    } catch (const EFileWriteError& e) {
        EXPECT_NE(e.Message().find("Not enough space in"), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(fs::exists(FsPath(Scratch / u"out")));
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

TEST(EntryNames, NamesWindowsCannotHoldAreListed) {
    std::vector<WideString> names = {u"a/Readme.txt", u"a/notes.txt", u"a/notes.txt.", u"b/nul.png",
                                     u"b/Com1",       u"b/trail /x",  u"Docs/one",     u"a/README.TXT",
                                     u"docs/two",     u"b/console",   u"b/q?.txt",     u"a/fine.txt"};
    EXPECT_EQ(NamesWindowsCannotHold(names),
              (std::vector<WideString>{u"a/Readme.txt", u"a/notes.txt", u"a/notes.txt.", u"b/nul.png", u"b/Com1",
                                       u"b/trail /x", u"Docs/one", u"a/README.TXT", u"docs/two", u"b/q?.txt"}));
    EXPECT_TRUE(NamesWindowsCannotHold({u"a/x", u"a/", u"b/X"}).empty());
}

TEST(EntryNames, UnsafeNamesAreRefusedAndSafeOnesPass) {
    for (const char16_t* name : {u"a/b.txt", u"a.b/..c/d", u"Show.app/Contents/x..y", u"a/./b"})
        EXPECT_NO_THROW(CheckEntryName(name)) << WideToUtf8(WideString(name));
    for (const char16_t* name : {u"../x", u"a/../../x", u"/abs", u"\\abs", u"C:x", u"a\\..\\x", u""}) {
        EXPECT_THROW(CheckEntryName(name), EArchiveBroken) << WideToUtf8(WideString(name));
        EXPECT_THROW(CheckEntryPath(name), EArchiveBroken) << WideToUtf8(WideString(name));
    }
    // No file can be named so, but the name leads nowhere outside.
    for (const char16_t* name : {u"a/b:c", u"a/b\x01", u"a/\x7F", u"Show.app/Icon\r"}) {
        EXPECT_THROW(CheckEntryName(name), EArchiveBroken) << WideToUtf8(WideString(name));
        EXPECT_NO_THROW(CheckEntryPath(name)) << WideToUtf8(WideString(name));
    }
}

}  // namespace
