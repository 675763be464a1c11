#include <gtest/gtest.h>
#include <algorithm>
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

TEST_F(FolderZip, UnixModesAreWrittenForNamedEntriesOnly) {
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->EntryForms.SetUnixMode(u"X.app\\Contents\\MacOS\\Show", UnixMode::Program << 16);
    zipper->Zip(ZipPath, Bundle, true);
    for (const TEntryView& e : EntriesOf(ZipPath)) {
        bool program = e.Name == u"X.app/Contents/MacOS/Show";
        bool folder = e.Name.back() == u'/';
        EXPECT_EQ(e.Host, program ? 3 : 0);
        EXPECT_EQ(e.External, program ? 0100755u << 16 : folder ? 0x10u : 0u);
    }
}

// Forms keep only the bytes a new entry would not get anyway, the last
// record of a path counts, and a recorded name is written back as it was.
TEST_F(FolderZip, EntryFormsWriteBackTheNamesTheyKept) {
    TEntryForms forms;
    forms.Add(u"X.app\\Contents\\Info.plist", {false, true, 0, "X.app/Contents/Info.plist"});
    forms.Add(u"X.app\\Contents\\MacOS\\Show", {false, false, 0, "X.app/Contents/MacOS/old"});
    forms.Add(u"X.app\\Contents\\MacOS\\Show", {false, false, 0, "X.app/Contents/MacOS/Sh\xC3\xB6w"});
    forms.SetUnixMode(u"X.app\\Contents\\MacOS\\Show", UnixMode::Program << 16);
    EXPECT_TRUE(forms.Find(u"X.app\\Contents\\Info.plist")->NameBytes.empty());
    EXPECT_EQ(forms.Size(), 2u);
    EXPECT_EQ(forms.Find(u"X.app\\Contents\\Resources\\empty.txt"), nullptr);

    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->EntryForms = std::move(forms);
    zipper->Zip(ZipPath, Bundle, true);
    std::vector<TEntryView> entries = EntriesOf(ZipPath);
    auto named = [&](const WideString& name) {
        return std::find_if(entries.begin(), entries.end(), [&](const TEntryView& e) { return e.Name == name; });
    };
    ASSERT_NE(named(u"X.app/Contents/MacOS/Sh\u00F6w"), entries.end());
    EXPECT_EQ(named(u"X.app/Contents/MacOS/Sh\u00F6w")->External, UnixMode::Program << 16);
    EXPECT_NE(named(u"X.app/Contents/Info.plist"), entries.end());
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
    zipper->EntryForms.SetUnixMode(u"X.app\\Contents\\MacOS\\Show", UnixMode::Program << 16);
    TSystemTime when{2016, 12, 4, 15, 10, 20, 30, 0};
    SetFileTimes(JoinPath(Bundle, u"Contents/Info.plist"), when, when, when);
    zipper->Zip(ZipPath, Bundle, true);

    WideString target = Scratch / u"out";
    TRef<TFileUnzipper> unzipper = MakeRef<TFileUnzipper>();
    unzipper->KeepEntryForms = true;
    unzipper->Unzip(ZipPath, target);
    EXPECT_EQ(ReadBytes(JoinPath(target, u"X.app/Contents/MacOS/Show")), "program");
    EXPECT_EQ(fs::file_size(FsPath(JoinPath(target, u"X.app/Contents/Resources/empty.txt"))), 0u);
    EXPECT_TRUE(fs::is_directory(FsPath(JoinPath(target, u"X.app/Contents/Empty"))));
    TSystemTime read = GetFileInfo(JoinPath(target, u"X.app/Contents/Info.plist"))->LastWriteTime;
    EXPECT_EQ(read.Year, 2016);
    EXPECT_EQ(read.Hour, 10);
    EXPECT_EQ(read.Second, 30);
    ASSERT_TRUE(unzipper->EntryForms.Find(u"X.app\\Contents\\MacOS\\Show"));
    EXPECT_TRUE(unzipper->EntryForms.Find(u"X.app\\Contents\\MacOS\\Show")->HasUnixMode);
    ASSERT_TRUE(unzipper->EntryForms.Find(u"X.app\\Contents\\Info.plist"));
    EXPECT_FALSE(unzipper->EntryForms.Find(u"X.app\\Contents\\Info.plist")->HasUnixMode);
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

    unzipper->RequireSoundDirectory = true;
    EXPECT_THROW(unzipper->Unzip(ZipPath, Scratch / u"refused"), EArchiveBroken);
    EXPECT_FALSE(fs::exists(FsPath(Scratch / u"refused")));
    SetCurrentFolder(start);
}

// Everything an entry held but its data, as this library reads it.
struct TStoredEntry {
    std::string Name, LocalExtra, CentralExtra, Comment;
    uint16_t Flags;
    uint8_t Host;
    uint32_t External, DosTime;
    bool operator==(const TStoredEntry&) const = default;
};

std::pair<std::vector<TStoredEntry>, std::string> StoredEntriesOf(const WideString& zipPath) {
    std::vector<TStoredEntry> entries;
    std::string comment = VisitEntries(zipPath, [&](TZipArchive* archive, TZipItem* e) {
        entries.push_back({e->NameBytes, archive->LocalExtraField(e), e->CentralExtra, e->CommentBytes, e->Flags,
                           e->HostSystem, e->ExternalAttributes, SystemTimeToDos(e->Item->ModifiedTime)});
    });
    return {entries, comment};
}

// Unpacked with its forms and packed again, an archive made elsewhere
// gives back every entry as it was, in its order, folders (an empty one
// too) and comments included; only the replaced file differs.
TEST(FolderRepack, EveryKeptEntryComesBackAsItWas) {
    TScratchFolder scratch;
    const std::string ut = std::string("UT\x05\x00\x03", 5) + std::string("\x10\x20\x30\x40", 4);
    TZipFixtureEntry root = FixtureFile("X.app/", "", ZipHost::Unix, 040755u << 16);
    TZipFixtureEntry empty = FixtureFile("X.app/Empty/", "", ZipHost::Unix, 040700u << 16);
    empty.Date = 0x4A21;
    TZipFixtureEntry b = FixtureFile("X.app/b.txt", "bee", 0, 0x20);
    b.Extra = ut + std::string("ux\x00\x00", 4);
    b.Comment = "caf\x82";
    b.Descriptor = true;
    TZipFixtureEntry a = FixtureFile("X.app/a \xC3\xA9.txt", "ay", ZipHost::Unix, 0100644u << 16);
    a.Time = 0x6123;
    TZipFixtureEntry viewer = FixtureFile("X.app/viewer", "old", ZipHost::Unix, 0100755u << 16);
    viewer.Extra = ut;
    TZipFixture fixture;
    fixture.Entries = {root, b, empty, viewer, a};
    fixture.Comment = "archive \x82";
    std::vector<uint8_t> built = fixture.Build();
    WideString original = scratch / u"original.zip", repacked = scratch / u"repacked.zip";
    WriteBytes(original, std::string(built.begin(), built.end()));

    TRef<TFileUnzipper> unzipper = MakeRef<TFileUnzipper>();
    unzipper->KeepEntryForms = true;
    unzipper->Unzip(original, scratch / u"out");
    EXPECT_TRUE(fs::is_directory(FsPath(scratch / u"out/X.app/Empty")));
    WriteBytes(scratch / u"out/X.app/viewer", "new");
    WriteBytes(scratch / u"out/X.app/added.txt", "new file");
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->EntryForms = std::move(unzipper->EntryForms);
    zipper->EntryForms.Renew(u"X.app\\viewer", UnixMode::Program << 16);
    zipper->FolderEntriesAsKept = true;
    zipper->Zip(repacked, scratch / u"out/X.app", TFileZipper::WithFolderName);

    auto [before, beforeComment] = StoredEntriesOf(original);
    auto [after, afterComment] = StoredEntriesOf(repacked);
    EXPECT_EQ(afterComment, "archive \x82");
    ASSERT_EQ(after.size(), before.size() + 1);
    for (size_t i : {0, 1, 2, 4}) EXPECT_EQ(after[i], before[i]) << before[i].Name;
    EXPECT_EQ(after[3].Name, "X.app/viewer");
    EXPECT_EQ(after[3].External, UnixMode::Program << 16);
    EXPECT_EQ(after[3].CentralExtra, "");  // its times were the old file's
    EXPECT_EQ(after[5].Name, "X.app/added.txt");
    TRef<TFileUnzipper> again = MakeRef<TFileUnzipper>();
    again->Unzip(repacked, scratch / u"again");
    EXPECT_EQ(ReadBytes(scratch / u"again/X.app/b.txt"), "bee");
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
    for (const char16_t* name :
         {u"../x", u"a/../../x", u"/abs", u"\\abs", u"C:x", u"a\\..\\x", u"a/b:c", u"a/b\x01", u"", u"a/\x7F"})
        EXPECT_THROW(CheckEntryName(name), EArchiveBroken) << WideToUtf8(WideString(name));
}

}  // namespace
