// Reading the directory of ZIP archives composed byte by byte, sound and
// damaged.
#include <gtest/gtest.h>
#include "Foundation/CodePages.h"
#include "support/ScratchFolder.h"
#include "support/TestArchive.h"
#include "support/TestStreams.h"
#include "support/ZipBuilder.h"

namespace {

using Paths = std::vector<WideString>;
constexpr size_t MiB = 1048576;

struct TRead {
    TRef<TTestArchive> Archive = MakeRef<TTestArchive>();
    TRef<TShyStream> Stream = MakeRef<TShyStream>();
    TZipStructure* Structure() const { return Archive->Structure.Get(); }
    TZipItem* Entry(int32_t i) const { return Archive->Structure->Entry(i); }
    Paths Names() const {
        Paths names;
        for (int32_t i = 0; i < Structure()->Count(); ++i) names.push_back(Entry(i)->Name());
        return names;
    }
};

// Reads bytes as an archive; short reads of the stream must not matter.
TRead ReadZip(const std::vector<uint8_t>& bytes, TArchiveCallBack* callBack = nullptr) {
    TRead read;
    FillStream(read.Stream.Get(), bytes);
    read.Stream->Limit = 100000;
    read.Structure()->CallBack = callBack;
    read.Structure()->Read(read.Stream.Get());
    return read;
}

TZipFixture ThreeFiles() {
    TZipFixture zip;
    zip.Entries = {FixtureFile("one.txt", "first"), FixtureFile("dir/two.txt", "second entry"),
                   FixtureFile("three.txt", "3")};
    return zip;
}

TEST(ZipDirectoryRead, EntriesAndTreeComeFromTheCentralDirectory) {
    TZipFixture zip;
    TZipFixtureEntry readme = FixtureFile("readme.txt", "hello", 0, 0x21);
    readme.Time = 0x7A3B;  // 15:17:54
    readme.Date = 0x5A8F;  // 2025-04-15
    readme.Comment = "about it";
    TZipFixtureEntry guide = FixtureFile("docs/guide.txt", "packed bytes", 3, 0x81A40000);
    guide.Method = 8;
    guide.Size = 4000;
    guide.Flags = 2;
    zip.Entries = {readme, guide, FixtureFile("docs/", "", 0, 0x10)};
    zip.Comment = "the archive";
    zip.Prefix = "stub before the archive";
    std::vector<uint8_t> bytes = zip.Build();
    TRead read = ReadZip(bytes);

    TZipStructure* s = read.Structure();
    EXPECT_EQ(s->Offset, zip.DirectoryOffset);
    EXPECT_EQ(s->Length, int64_t(bytes.size()) - zip.DirectoryOffset);
    EXPECT_EQ(s->Comment, u"the archive");
    EXPECT_TRUE(s->Buffer.empty());
    ASSERT_EQ(read.Names(), (Paths{u"readme.txt", u"docs/guide.txt", u"docs/"}));
    EXPECT_EQ(read.Archive->Paths(), (Paths{u"readme.txt", u"docs\\", u"docs\\guide.txt"}));

    TZipItem* e0 = read.Entry(0);
    EXPECT_EQ(e0->LocalOffset, zip.LocalOffsets[0]);
    EXPECT_EQ(e0->Crc32, FixtureCrc("hello"));
    EXPECT_EQ(e0->Method, 0);
    EXPECT_EQ(e0->HostSystem, 0);
    EXPECT_EQ(e0->ExternalAttributes, 0x21u);
    TArchItem* item = e0->Item;
    EXPECT_EQ(item->Attributes(), (TArchAttributes{TArchAttribute::ReadOnly, TArchAttribute::Archive}));
    EXPECT_EQ(item->Size, 5u);
    EXPECT_EQ(item->PackedSize, 5u);
    EXPECT_EQ(item->Comment, u"about it");
    TSystemTime expected{2025, 4, 0, 15, 15, 17, 54, 0};
    EXPECT_EQ(item->ModifiedTime, expected);
    EXPECT_EQ(item->AccessedTime, expected);
    EXPECT_EQ(item->CreatedTime, expected);

    TZipItem* e1 = read.Entry(1);
    EXPECT_EQ(e1->LocalOffset, zip.LocalOffsets[1]);
    EXPECT_EQ(e1->Method, 8);
    EXPECT_EQ(e1->HostSystem, 3);
    EXPECT_EQ(e1->Flags, 2);
    EXPECT_EQ(e1->ExternalAttributes, 0x81A40000u);
    EXPECT_TRUE(e1->Item->Attributes().Empty());
    EXPECT_EQ(e1->Item->Size, 4000u);
    EXPECT_EQ(e1->Item->PackedSize, 12u);
    // The folder entry is the folder that the file's path created.
    EXPECT_EQ(read.Entry(2)->Item, e1->Item->GetParent());
}

TEST(ZipDirectoryRead, TrailingSeparatorsMarkFoldersWhateverTheHost) {
    TZipFixture zip;
    zip.Entries = {FixtureFile("dos/", "", 0, 0x10),     FixtureFile("unix/", "", 3, 0x41ED0010),
                   FixtureFile("ntfs\\", "", 10, 0),     FixtureFile("dosdir", "", 0, 0x10),
                   FixtureFile("unixfile", "", 3, 0x10), FixtureFile("vfat", "", 14, 0x12)};
    TRead read = ReadZip(zip.Build());
    EXPECT_EQ(read.Archive->Paths(), (Paths{u"dos\\", u"unix\\", u"ntfs\\", u"dosdir\\", u"unixfile", u"vfat\\"}));
    EXPECT_EQ(read.Entry(5)->Item->Attributes(), (TArchAttributes{TArchAttribute::Folder, TArchAttribute::Hidden}));
    // The stored name keeps its separators.
    EXPECT_EQ(read.Entry(2)->Name(), u"ntfs\\");
}

TEST(ZipDirectoryRead, NamesAndCommentsFollowTheirEntrysUtf8Flag) {
    TZipFixture zip;
    TZipFixtureEntry utf8 = FixtureFile("caf\xC3\xA9.txt", "x");
    utf8.Flags = 0x800;
    utf8.Comment = "\xE2\x82\xAC";
    TZipFixtureEntry oem = FixtureFile(
        "\x81"
        "ber.txt",
        "y");
    oem.Comment = "\x9C";
    zip.Entries = {utf8, oem};
    TRead read = ReadZip(zip.Build());
    EXPECT_EQ(read.Entry(0)->Name(), u"caf\u00E9.txt");
    EXPECT_EQ(read.Entry(0)->Item->Comment, u"\u20AC");
    EXPECT_EQ(read.Entry(1)->Name(), OemToWide("\x81"
                                               "ber.txt"));
    EXPECT_EQ(read.Entry(1)->Item->Comment, OemToWide("\x9C"));
    EXPECT_NE(read.Entry(1)->Name(),
              u"\x81"
              "ber.txt");
}

TEST(ZipDirectoryRead, ArchiveCommentsUpToTheLargestAndCutAtTheEndOfTheFile) {
    TZipFixture zip = ThreeFiles();
    zip.Comment = std::string(65535, 'c');
    zip.Comment.replace(1000, 4, "PK\x01\x02");
    std::vector<uint8_t> bytes = zip.Build();
    TRead read = ReadZip(bytes);
    EXPECT_EQ(read.Structure()->Comment.size(), 65535u);
    EXPECT_EQ(read.Structure()->Count(), 3);
    EXPECT_EQ(read.Structure()->Offset, zip.DirectoryOffset);

    // A comment length that runs past the end of the file.
    zip.Comment = "short";
    bytes = zip.Build();
    Put16At(bytes, zip.EndOffset + 20, 5000);
    read = ReadZip(bytes);
    EXPECT_EQ(read.Structure()->Comment, u"short");
    EXPECT_EQ(read.Structure()->Count(), 3);
}

// Directories of more than one read: the boundary falls exactly between two
// records, inside a record's fixed part, or inside its comment.
TEST(ZipDirectoryRead, RecordsSplitByTheReadBoundaryAreDecodedWhole) {
    for (int shift : {0, -20, -1000, 7}) {
        TZipFixture zip;
        // Sixteen records of 53 + 65000 bytes, then one that ends at the
        // boundary plus shift.
        for (int i = 0; i < 16; ++i) {
            TZipFixtureEntry e = FixtureFile("f" + std::to_string(100 + i) + ".txt", "");
            e.Comment = std::string(65000, char('a' + i));
            zip.Entries.push_back(e);
        }
        TZipFixtureEntry last = FixtureFile("f116.txt", "");
        last.Comment = std::string(MiB - 16 * 65054 - 54 + shift, 'q');
        zip.Entries.push_back(last);
        for (int i = 0; i < 3; ++i) {
            TZipFixtureEntry e = FixtureFile("g" + std::to_string(i) + ".txt", "tail");
            e.Comment = "after the boundary";
            zip.Entries.push_back(e);
        }
        std::vector<uint8_t> bytes = zip.Build();
        ASSERT_EQ(zip.CentralOffsets[17] - zip.DirectoryOffset, MiB + shift) << shift;

        TRead read = ReadZip(bytes);
        ASSERT_EQ(read.Structure()->Count(), 20) << shift;
        for (int i = 0; i < 16; ++i) EXPECT_EQ(read.Entry(i)->Item->Comment, WideString(65000, char16_t('a' + i)));
        EXPECT_EQ(read.Entry(16)->Item->Comment.size(), last.Comment.size());
        EXPECT_EQ(read.Entry(19)->Name(), u"g2.txt");
        EXPECT_EQ(read.Entry(19)->Item->Comment, u"after the boundary");
        EXPECT_EQ(read.Entry(19)->LocalOffset, zip.LocalOffsets[19]);
        EXPECT_EQ(read.Structure()->Offset, zip.DirectoryOffset) << "not scanned";
    }
}

TEST(ZipDirectoryRead, ProgressCoversTheDirectoryAndAStopEndsTheRead) {
    TZipFixture zip;
    for (int i = 0; i < 40; ++i) {
        TZipFixtureEntry e = FixtureFile("e" + std::to_string(i), "");
        e.Comment = std::string(60000, 'z');
        zip.Entries.push_back(e);
    }
    std::vector<uint8_t> bytes = zip.Build();
    auto callBack = MakeRef<TDefaultCallBack>();
    std::vector<uint64_t> positions;
    callBack->TotalProgress->OnChange = [&](TArchiveProgress* p) { positions.push_back(p->Position); };
    TRead read = ReadZip(bytes, callBack.Get());
    EXPECT_EQ(read.Structure()->Count(), 40);
    EXPECT_EQ(callBack->TotalProgress->Stage, ArchiveStage::ReadingDirectory);
    EXPECT_EQ(callBack->TotalProgress->Total, zip.DirectorySize);
    ASSERT_GE(positions.size(), 4u);
    EXPECT_EQ(positions.front(), 0u);
    EXPECT_EQ(positions.back(), zip.DirectorySize);
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));

    // The user stops after the first piece: nothing of the directory stays.
    callBack->TotalProgress->OnChange = [&](TArchiveProgress* p) {
        if (p->Position > 0) callBack->SetAborted(true);
    };
    TRead stopped;
    FillStream(stopped.Stream.Get(), bytes);
    stopped.Structure()->CallBack = callBack.Get();
    try {
        stopped.Structure()->Read(stopped.Stream.Get());
        FAIL() << "no exception";
    } catch (const EArchiveAbort& e) {
        EXPECT_STREQ(e.what(), "User aborts");
    }
    EXPECT_EQ(stopped.Structure()->Count(), 0);
    EXPECT_EQ(stopped.Archive->Count(), 0);
    EXPECT_TRUE(stopped.Structure()->Buffer.empty());
}

TEST(ZipDirectoryRead, ADirectoryThatProvesDamagedGivesEachEntryOnce) {
    TZipFixture zip = ThreeFiles();
    std::vector<uint8_t> bytes = zip.Build();
    Put32At(bytes, zip.CentralOffsets[2], 0x02014B51);
    TRead read = ReadZip(bytes);
    EXPECT_EQ(read.Names(), (Paths{u"one.txt", u"dir/two.txt", u"three.txt"}));
    EXPECT_EQ(read.Archive->Paths(), (Paths{u"one.txt", u"dir\\", u"dir\\two.txt", u"three.txt"}));
    EXPECT_EQ(read.Structure()->Offset, -1);
    EXPECT_EQ(read.Structure()->Length, 0);
    EXPECT_EQ(read.Entry(1)->LocalOffset, zip.LocalOffsets[1]);
    EXPECT_EQ(read.Entry(1)->Item->Size, 12u);
}

TEST(ZipDirectoryRead, ABadCentralSignatureNamesWhatWasFoundAndWhere) {
    TZipFixture zip = ThreeFiles();
    std::vector<uint8_t> bytes = zip.Build();
    std::vector<uint8_t> directory(bytes.begin() + zip.DirectoryOffset, bytes.begin() + zip.EndOffset);
    Put32At(directory, zip.CentralOffsets[1] - zip.DirectoryOffset, 0xDEADBEEF);
    auto archive = MakeRef<TTestArchive>();
    try {
        archive->Structure->ParseCentralRecords(directory, int32_t(directory.size()), 0);
        FAIL() << "no exception";
    } catch (const EArchiveBroken& e) {
        EXPECT_EQ(std::string(e.what()), "DEADBEEF " + std::to_string(zip.CentralOffsets[1] - zip.DirectoryOffset));
    }
}

// Each damage of the end record or directory leads to the scan, which finds
// the local headers.
TEST(ZipDirectoryRead, DamagedEndRecordsAndDirectoriesFallBackToTheScan) {
    struct TDamage {
        const char* What;
        void (*Apply)(std::vector<uint8_t>& bytes, const TZipFixture& zip);
    };
    const TDamage damages[] = {
        {"no end record", [](std::vector<uint8_t>& b, const TZipFixture& z) { b.resize(z.EndOffset); }},
        {"directory beyond the file",
         [](std::vector<uint8_t>& b, const TZipFixture& z) { Put32At(b, z.EndOffset + 16, uint32_t(b.size() + 1)); }},
        {"empty directory not at 0",
         [](std::vector<uint8_t>& b, const TZipFixture& z) { Put32At(b, z.EndOffset + 12, 0); }},
        {"directory past the end of the file",
         [](std::vector<uint8_t>& b, const TZipFixture& z) { Put32At(b, z.EndOffset + 12, z.DirectorySize + 500); }},
        {"directory size one byte short",
         [](std::vector<uint8_t>& b, const TZipFixture& z) { Put32At(b, z.EndOffset + 12, z.DirectorySize - 1); }},
        {"directory size into the end record",
         [](std::vector<uint8_t>& b, const TZipFixture& z) { Put32At(b, z.EndOffset + 12, z.DirectorySize + 10); }},
        {"name running past the directory",
         [](std::vector<uint8_t>& b, const TZipFixture& z) { Put16At(b, z.CentralOffsets[2] + 28, 60000); }},
        {"comment running past the directory",
         [](std::vector<uint8_t>& b, const TZipFixture& z) { Put16At(b, z.CentralOffsets[0] + 32, 65535); }},
        {"directory offset inside the data",
         [](std::vector<uint8_t>& b, const TZipFixture& z) { Put32At(b, z.EndOffset + 16, z.LocalOffsets[1]); }},
    };
    for (const TDamage& damage : damages) {
        TZipFixture zip = ThreeFiles();
        std::vector<uint8_t> bytes = zip.Build();
        damage.Apply(bytes, zip);
        TRead read = ReadZip(bytes);
        EXPECT_EQ(read.Names(), (Paths{u"one.txt", u"dir/two.txt", u"three.txt"})) << damage.What;
        EXPECT_EQ(read.Structure()->Offset, -1) << damage.What;
    }
}

TEST(ZipDirectoryRead, TinyAndEmptyArchives) {
    // Only an end record, at the very end: an empty archive, not scanned.
    TZipFixture empty;
    TRead read = ReadZip(empty.Build());
    EXPECT_EQ(read.Structure()->Count(), 0);
    EXPECT_EQ(read.Structure()->Offset, 0);

    for (std::string bytes :
         {std::string(), std::string("PK\x05\x06"), std::string("PK\x05\x06") + std::string(17, '\0'),
          std::string("PK\x03\x04\x14\0\0\0\0\0", 10)}) {
        read = ReadZip(BytesOf(bytes));
        EXPECT_EQ(read.Structure()->Count(), 0) << bytes.size();
        EXPECT_EQ(read.Structure()->Offset, -1);
    }
}

TEST(ZipDirectoryScan, DescriptorsFillInTheEntryBeforeThem) {
    TZipFixture zip;
    zip.WithDirectory = false;
    TZipFixtureEntry a = FixtureFile("a.txt", "described data");
    a.Descriptor = true;
    a.Size = 99;
    zip.Entries = {a, FixtureFile("b.txt", "plain")};
    TRead read = ReadZip(zip.Build());
    ASSERT_EQ(read.Names(), (Paths{u"a.txt", u"b.txt"}));
    EXPECT_EQ(read.Entry(0)->Crc32, FixtureCrc("described data"));
    EXPECT_EQ(read.Entry(0)->Item->PackedSize, 14u);
    EXPECT_EQ(read.Entry(0)->Item->Size, 99u);
    EXPECT_EQ(read.Entry(0)->Flags, 8);
    EXPECT_EQ(read.Entry(1)->Crc32, FixtureCrc("plain"));
    EXPECT_EQ(read.Entry(1)->LocalOffset, zip.LocalOffsets[1]);
}

TEST(ZipDirectoryScan, LocalHeadersGiveNamesFoldersTimesAndEncryption) {
    TZipFixture zip;
    zip.WithDirectory = false;
    TZipFixtureEntry utf8 = FixtureFile("\xC3\xA9t\xC3\xA9/", "");
    utf8.Flags = 0x800;
    TZipFixtureEntry oem = FixtureFile("\x81.txt", "u");
    TZipFixtureEntry secret = FixtureFile("secret.bin", "0123456789abcdef");
    secret.Flags = 1;
    secret.Method = 8;
    secret.Time = 0x0021;
    secret.Date = 0x0021;
    zip.Entries = {utf8, oem, secret};
    TRead read = ReadZip(zip.Build());
    EXPECT_EQ(read.Archive->Paths(), (Paths{u"\u00E9t\u00E9\\", OemToWide("\x81.txt"), u"secret.bin"}));
    TArchItem* item = read.Entry(2)->Item;
    EXPECT_EQ(item->Attributes(), TArchAttributes{TArchAttribute::Encrypted});
    EXPECT_EQ(item->ModifiedTime, (TSystemTime{1980, 1, 0, 1, 0, 1, 2, 0}));
    EXPECT_EQ(read.Entry(2)->Method, 8);
    EXPECT_EQ(read.Entry(2)->HostSystem, 0);
}

TEST(ZipDirectoryScan, TruncatedAndOverlongEntriesEndTheScan) {
    TZipFixture zip;
    zip.WithDirectory = false;
    zip.Entries = {FixtureFile("first.txt", "data one"), FixtureFile("second.txt", "data two")};
    std::vector<uint8_t> bytes = zip.Build();

    std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + zip.LocalOffsets[1] + 35);
    EXPECT_EQ(ReadZip(cut).Names(), (Paths{u"first.txt"}));

    std::vector<uint8_t> huge = bytes;
    Put32At(huge, zip.LocalOffsets[1] + 18, 0xFFFFFFF0);
    EXPECT_EQ(ReadZip(huge).Names(), (Paths{u"first.txt", u"second.txt"}));

    // Data that claims to run past the second header hides it.
    std::vector<uint8_t> over = bytes;
    Put32At(over, zip.LocalOffsets[0] + 18, 0x7FFFFFFF);
    EXPECT_EQ(ReadZip(over).Names(), (Paths{u"first.txt"}));
}

TEST(ZipDirectoryScan, HeadersAcrossTheReadBoundaryAreFound) {
    for (size_t firstSize : {MiB - 60, MiB - 45, MiB - 10, MiB + 100, 2 * MiB - 50}) {
        TZipFixture zip;
        zip.WithDirectory = false;
        zip.Entries = {FixtureFile("big.bin", std::string(firstSize, 'x')), FixtureFile("next.txt", "n"),
                       FixtureFile("last.txt", "l")};
        TRead read = ReadZip(zip.Build());
        EXPECT_EQ(read.Names(), (Paths{u"big.bin", u"next.txt", u"last.txt"})) << firstSize;
        if (read.Structure()->Count() == 3) {
            EXPECT_EQ(read.Entry(1)->LocalOffset, zip.LocalOffsets[1]);
        }
    }
}

TEST(ZipDirectoryScan, AStopEndsTheScanWithItsOwnText) {
    TZipFixture zip;
    zip.WithDirectory = false;
    zip.Entries = {FixtureFile("big.bin", std::string(3 * MiB, 'x')), FixtureFile("next.txt", "n")};
    auto callBack = MakeRef<TDefaultCallBack>();
    callBack->TotalProgress->OnChange = [&](TArchiveProgress* p) {
        if (p->Position > 0) callBack->SetAborted(true);
    };
    try {
        ReadZip(zip.Build(), callBack.Get());
        FAIL() << "no exception";
    } catch (const EArchiveAbort& e) {
        EXPECT_STREQ(e.what(), "User aborted");
    }
}

TEST(ZipDirectoryRead, NamesTheTreeCannotHoldAreKeptAsStored) {
    TZipFixture zip;
    zip.Entries = {FixtureFile("", "empty"), FixtureFile("/etc/passwd", "abs"), FixtureFile("a//b.txt", "double"),
                   FixtureFile("ok.txt", "fine"), FixtureFile("/", "")};
    std::vector<uint8_t> bytes = zip.Build();
    const Paths all{u"", u"/etc/passwd", u"a//b.txt", u"ok.txt", u"/"};
    TRead read = ReadZip(bytes);
    EXPECT_EQ(read.Names(), all);
    // The tree holds them without the empty components.
    EXPECT_EQ(read.Entry(1)->Item->Path(), u"etc\\passwd");
    EXPECT_EQ(read.Entry(2)->Item->Path(), u"a\\b.txt");
    // The same through the scan.
    bytes.resize(zip.DirectoryOffset);
    EXPECT_EQ(ReadZip(bytes).Names(), all);

    // A last record of only its 46 fixed bytes is still read, not taken
    // for a directory that never ends.
    zip.Entries = {FixtureFile("ok.txt", "fine"), FixtureFile("", "")};
    read = ReadZip(zip.Build());
    EXPECT_EQ(read.Names(), (Paths{u"ok.txt", u""}));
    EXPECT_EQ(read.Structure()->Offset, zip.DirectoryOffset);
}

}  // namespace
