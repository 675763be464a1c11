#include <gtest/gtest.h>
#include <algorithm>
#include "Archivers/Zip/EntryModes.h"
#include "Archivers/Zip/ZipArchive.h"
#include "Archivers/Zip/ZipNameIndex.h"
#include "support/ZipBuilder.h"

namespace {

// An archive read from bytes, its names kept apart as stored.
struct TReadArchive {
    explicit TReadArchive(const std::vector<uint8_t>& bytes) {
        Stream->WriteBuffer(bytes.data(), int32_t(bytes.size()));
        Stream->SetPosition(0);
        Archive->IgnoreCase = false;
        Archive->CallBack = CallBack.Get();
        Archive->SetStream(Stream.Get());
        Archive->Open();
    }
    TRef<TMemoryStream> Stream = MakeRef<TMemoryStream>();
    TRef<TDefaultCallBack> CallBack = MakeRef<TDefaultCallBack>();
    TRef<TZipArchive> Archive = MakeRef<TZipArchive>();
};

TZipFixtureEntry Utf8File(const std::string& name, uint8_t host = 0, uint32_t external = 0) {
    TZipFixtureEntry entry = FixtureFile(name, "data", host, external);
    entry.Flags = ZipFlag::Utf8;
    return entry;
}

std::vector<WideString> Names(const std::vector<TZipItem*>& entries) {
    std::vector<WideString> names;
    for (const TZipItem* entry : entries) names.push_back(entry->Name());
    return names;
}

WideString Key(const WideString& path) { return TZipNameIndex::MacKey(path); }

}  // namespace

// Names apart only by case or Unicode form are one name: their entries are
// found together, in the directory's order, and so are the files of their
// folders, whichever spelling of the folder holds them; links and top-level
// names as first stored are known by key too.
TEST(ZipNameIndex, TwinsAreOneNameInTheDirectorysOrder) {
    TZipFixture zip;
    zip.Entries = {Utf8File("Show.app/Contents/Info.plist"),
                   Utf8File("ReadMe.txt"),
                   Utf8File("Show.app/Contents/Resources/Caf\xC3\xA9.txt"),
                   Utf8File("SHOW.app/contents/info.PLIST"),
                   Utf8File("show.APP/Contents/Resources/cafe\xCC\x81.TXT"),
                   Utf8File("Show.app/Contents/Resources/Link", ZipHost::Unix, UnixMode::SymbolicLink << 16),
                   Utf8File("Show.app/Contents/MacOS/Show")};
    TReadArchive read(zip.Build());
    const TZipNameIndex index(*read.Archive);

    EXPECT_EQ(Names(index.FilesAt(Key(u"show.app\\Contents\\INFO.plist"))),
              (std::vector<WideString>{u"Show.app/Contents/Info.plist", u"SHOW.app/contents/info.PLIST"}));
    EXPECT_EQ(Names(index.FilesAt(Key(u"Show.app\\Contents\\Resources\\CAF\u00C9.txt"))),
              (std::vector<WideString>{u"Show.app/Contents/Resources/Caf\u00E9.txt",
                                       u"show.APP/Contents/Resources/cafe\u0301.TXT"}));
    EXPECT_TRUE(index.FilesAt(Key(u"Show.app\\Contents")).empty());
    // The hash of an item's key, made without the key where it is ASCII.
    const TZipStructure* structure = read.Archive->Structure();
    for (int32_t i = 0; i < structure->Count(); ++i) {
        TArchItem* item = structure->Entry(i)->Item;
        EXPECT_EQ(TZipNameIndex::KeyHash(item), TZipNameIndex::KeyHash(Key(item->Path())));
    }

    EXPECT_EQ(Names(index.FilesIn(Key(u"Show.app\\Contents"))),
              (std::vector<WideString>{u"Show.app/Contents/Info.plist", u"SHOW.app/contents/info.PLIST"}));
    EXPECT_EQ(
        Names(index.FilesIn(Key(u"Show.app\\Contents\\Resources"))),
        (std::vector<WideString>{u"Show.app/Contents/Resources/Caf\u00E9.txt",
                                 u"show.APP/Contents/Resources/cafe\u0301.TXT", u"Show.app/Contents/Resources/Link"}));
    std::vector<WideString> folders = index.FoldersIn(Key(u"Show.app\\Contents"));
    std::sort(folders.begin(), folders.end());
    EXPECT_EQ(folders, (std::vector<WideString>{u"macos", u"resources"}));
    EXPECT_TRUE(index.FolderAt(u"show.app"));
    EXPECT_FALSE(index.FolderAt(u"readme.txt"));
    EXPECT_TRUE(index.FilesIn(u"").empty());

    EXPECT_TRUE(index.LinkAt(Key(u"Show.app\\Contents\\Resources\\link")));
    EXPECT_FALSE(index.LinkAt(Key(u"Show.app\\Contents\\MacOS\\Show")));
    EXPECT_EQ(index.FilesAt(Key(u"Show.app\\Contents\\Resources\\link")).size(), 1u);

    EXPECT_EQ(index.TopKeys(), (std::vector<WideString>{u"show.app", u"readme.txt"}));
    ASSERT_NE(index.TopName(u"show.app"), nullptr);
    EXPECT_EQ(*index.TopName(u"show.app"), u"Show.app");
    EXPECT_EQ(index.TopName(u"other.app"), nullptr);
}
