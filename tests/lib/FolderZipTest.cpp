#include <gtest/gtest.h>
#include "Archivers/Zip/FileUnzipper.h"
#include "Archivers/Zip/FileZipper.h"
#include "Archivers/Zip/ZipArchive.h"
#include "CodePages.h"
#include "FileStream.h"
#include "support/FaultyFileAPI.h"
#include "support/Files.h"
#include "support/ScratchFolder.h"

namespace {

namespace fs = std::filesystem;

// The entries of a ZIP file as the directory gives them.
struct TEntryView {
    WideString Name;
    uint8_t Host;
    uint32_t External;
};

std::vector<TEntryView> EntriesOf(const WideString& zipPath) {
    TRef<TZipArchive> archive = MakeRef<TZipArchive>();
    TRef<TDefaultCallBack> callback = MakeRef<TDefaultCallBack>();
    TRef<TFileStream> file = MakeRef<TFileStream>(zipPath, FileAccess::Read, (uint8_t)FileShare::Read,
                                                  (uint8_t)FileDisposition::OpenExisting);
    archive->CallBack = callback.Get();
    archive->SetStream(file.Get());
    archive->Open();
    std::vector<TEntryView> entries;
    for (int32_t i = 0; i < archive->Structure->Count(); ++i) {
        TZipItem* entry = archive->Structure->Entry(i);
        entries.push_back({entry->Name, entry->HostSystem, entry->ExternalAttributes});
    }
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
    ASSERT_EQ(with.size(), 3u);  // no folder entries
    for (const TEntryView& e : with) EXPECT_EQ(e.Name.rfind(u"X.app/Contents/", 0), 0u);
    zipper->Zip(ZipPath, Bundle, false);
    for (const TEntryView& e : EntriesOf(ZipPath)) EXPECT_EQ(e.Name.rfind(u"Contents/", 0), 0u);
}

TEST_F(FolderZip, UnixModesAreWrittenForNamedEntriesOnly) {
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->UnixModes[u"X.app\\Contents\\MacOS\\Show"] = UnixMode::Program << 16;
    zipper->Zip(ZipPath, Bundle, true);
    for (const TEntryView& e : EntriesOf(ZipPath)) {
        bool program = e.Name == u"X.app/Contents/MacOS/Show";
        EXPECT_EQ(e.Host, program ? 3 : 0);
        EXPECT_EQ(e.External, program ? 0100755u << 16 : 0u);
    }
}

TEST_F(FolderZip, FolderWithoutFilesLeavesAnExistingZipAlone) {
    fs::create_directories(FsPath(Scratch / u"hollow/a/b"));
    WriteBytes(ZipPath, "earlier");
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->Zip(ZipPath, Scratch / u"hollow", true);
    EXPECT_EQ(ReadBytes(ZipPath), "earlier");
}

TEST_F(FolderZip, UnreadableSourceFileFailsTheZip) {
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    TRef<TFullDisk> full = MakeRef<TFullDisk>();
    TFileAPIScope scope(full.Get());
    EXPECT_THROW(zipper->Zip(ZipPath, Bundle, true), Exception);
}

TEST_F(FolderZip, RoundTripRecreatesFilesWithTheirTimesAndModes) {
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->UnixModes[u"X.app\\Contents\\MacOS\\Show"] = UnixMode::Program << 16;
    TSystemTime when{2016, 12, 4, 15, 10, 20, 30, 0};
    SetFileTimes(JoinPath(Bundle, u"Contents/Info.plist"), when, when, when);
    zipper->Zip(ZipPath, Bundle, true);

    WideString target = Scratch / u"out";
    TRef<TFileUnzipper> unzipper = MakeRef<TFileUnzipper>();
    unzipper->Unzip(ZipPath, target);
    EXPECT_EQ(ReadBytes(JoinPath(target, u"X.app/Contents/MacOS/Show")), "program");
    EXPECT_EQ(fs::file_size(FsPath(JoinPath(target, u"X.app/Contents/Resources/empty.txt"))), 0u);
    EXPECT_FALSE(fs::exists(FsPath(JoinPath(target, u"X.app/Contents/Empty"))));
    TSystemTime read = GetFileInfo(JoinPath(target, u"X.app/Contents/Info.plist"))->LastWriteTime;
    EXPECT_EQ(read.Year, 2016);
    EXPECT_EQ(read.Hour, 10);
    EXPECT_EQ(read.Second, 30);
    ASSERT_EQ(unzipper->UnixModes.size(), 1u);
    EXPECT_EQ(unzipper->UnixModes.begin()->first, u"X.app\\Contents\\MacOS\\Show");
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

TEST(EntryNames, UnsafeNamesAreRefusedAndSafeOnesPass) {
    for (const char16_t* name : {u"a/b.txt", u"a.b/..c/d", u"Show.app/Contents/x..y", u"a/./b"})
        EXPECT_NO_THROW(CheckEntryName(name)) << WideToUtf8(WideString(name));
    for (const char16_t* name : {u"../x", u"a/../../x", u"/abs", u"\\abs", u"C:x", u"a\\..\\x", u"a/b:c",
                                   u"a/b\x01", u"", u"a/\x7F"})
        EXPECT_THROW(CheckEntryName(name), EArchiveBroken) << WideToUtf8(WideString(name));
}

}  // namespace
