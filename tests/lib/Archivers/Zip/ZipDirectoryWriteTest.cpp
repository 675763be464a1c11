// Composing local headers, the central directory and the end record, and
// reading back what was written.
#include <gtest/gtest.h>
#include "Foundation/CodePages.h"
#include "support/TestArchive.h"
#include "support/TestStreams.h"
#include "support/ZipBuilder.h"

namespace {

using Paths = std::vector<WideString>;
const TSystemTime Noon{2023, 7, 0, 14, 12, 30, 44, 0};

struct TFile {
    WideString Path;
    std::string Data;
    WideString Comment;
};

// Writes stored entries the way a save does: local header and data for
// each, then the directory.
void WriteStored(TTestArchive* archive, TStream* stream, const std::vector<TFile>& files) {
    TZipStructure* s = archive->Structure.Get();
    for (const TFile& file : files) {
        TArchItem* item = archive->AddFile(file.Path, int64_t(file.Data.size()));
        TZipItem* entry = s->AddNewEntry(item);
        item->ModifiedTime = Noon;
        item->Size = item->PackedSize = file.Data.size();
        item->Comment = file.Comment;
        entry->Crc32 = FixtureCrc(file.Data);
        entry->LocalOffset = stream->GetPosition();
        std::vector<uint8_t> header(400);
        int32_t n = s->WriteLocalHeader(entry, header, int32_t(header.size()), 0);
        ASSERT_GT(n, 0);
        stream->Write(header.data(), n);
        stream->Write(file.Data.data(), int32_t(file.Data.size()));
    }
    s->WriteDirectory(stream);
}

WideString NumberedName(char16_t letter, int number) {
    WideString name(1, letter);
    for (char digit : std::to_string(number)) name += char16_t(digit);
    return name;
}

TRef<TTestArchive> ReadBack(TStream* stream) {
    auto archive = MakeRef<TTestArchive>();
    archive->Structure->Read(stream);
    return archive;
}

TEST(ZipDirectoryWrite, TwoEntriesGiveTheClassicLayout) {
    auto archive = MakeRef<TTestArchive>();
    auto stream = MakeRef<TMemoryStream>();
    WriteStored(archive.Get(), stream.Get(), {{u"a.txt", "alpha", u""}, {u"dir\\b.txt", "beta!", u"note"}});
    std::vector<uint8_t> bytes = ContentsOf(stream.Get());

    // a.txt: header of 30 + 5 bytes, then its data; b.txt: 30 + 9, then data.
    const size_t second = 40, directory = second + 39 + 5;
    EXPECT_EQ(Get32At(bytes, 0), 0x04034B50u);
    EXPECT_EQ(Get16At(bytes, 4), 20);
    EXPECT_EQ(Get16At(bytes, 6), 0);
    EXPECT_EQ(Get16At(bytes, 8), 0);
    EXPECT_EQ(Get32At(bytes, 10), SystemTimeToDos(Noon));
    EXPECT_EQ(Get32At(bytes, 14), FixtureCrc("alpha"));
    EXPECT_EQ(Get32At(bytes, 18), 5u);
    EXPECT_EQ(Get32At(bytes, 22), 5u);
    EXPECT_EQ(Get16At(bytes, 26), 5);
    EXPECT_EQ(Get16At(bytes, 28), 0);
    EXPECT_EQ(std::string(bytes.begin() + 30, bytes.begin() + 40), "a.txtalpha");
    EXPECT_EQ(Get32At(bytes, second), 0x04034B50u);
    EXPECT_EQ(std::string(bytes.begin() + second + 30, bytes.begin() + second + 39), "dir/b.txt");

    size_t central = directory;
    for (const char* name : {"a.txt", "dir/b.txt"}) {
        EXPECT_EQ(Get32At(bytes, central), 0x02014B50u);
        EXPECT_EQ(bytes[central + 4], 20);  // version made by
        EXPECT_EQ(bytes[central + 5], 0);   // MS-DOS
        EXPECT_EQ(Get16At(bytes, central + 6), 20);
        EXPECT_EQ(Get16At(bytes, central + 30), 0);   // extra field
        EXPECT_EQ(Get32At(bytes, central + 34), 0u);  // disk, internal attributes
        EXPECT_EQ(Get32At(bytes, central + 38), 0u);
        size_t nameLength = Get16At(bytes, central + 28);
        EXPECT_EQ(std::string(bytes.begin() + central + 46, bytes.begin() + central + 46 + nameLength), name);
        central += 46 + nameLength + Get16At(bytes, central + 32);
    }
    EXPECT_EQ(Get32At(bytes, directory + 46 + 5 + 42), second);
    size_t end = central;
    ASSERT_EQ(bytes.size(), end + 22);
    EXPECT_EQ(Get32At(bytes, end), 0x06054B50u);
    EXPECT_EQ(Get16At(bytes, end + 8), 2);
    EXPECT_EQ(Get16At(bytes, end + 10), 2);
    EXPECT_EQ(Get32At(bytes, end + 12), end - directory);
    EXPECT_EQ(Get32At(bytes, end + 16), directory);
    EXPECT_EQ(archive->Structure->Offset, int64_t(directory));
    EXPECT_EQ(archive->Structure->Length, int64_t(end - directory));

    auto back = ReadBack(stream.Get());
    ASSERT_EQ(back->Structure->Count(), 2);
    TZipItem* b = back->Structure->Entry(1);
    EXPECT_EQ(b->Name(), u"dir/b.txt");
    EXPECT_EQ(b->LocalOffset, int64_t(second));
    EXPECT_EQ(b->Crc32, FixtureCrc("beta!"));
    EXPECT_EQ(b->Item->Comment, u"note");
    EXPECT_EQ(b->Item->ModifiedTime, (TSystemTime{2023, 7, 0, 14, 12, 30, 44, 0}));
    EXPECT_EQ(back->Paths(), (Paths{u"a.txt", u"dir\\", u"dir\\b.txt"}));
}

TEST(ZipDirectoryWrite, NamesTheOemCodePageCannotHoldGoOutInUtf8EntryByEntry) {
    auto archive = MakeRef<TTestArchive>();
    auto stream = MakeRef<TMemoryStream>();
    WriteStored(archive.Get(), stream.Get(),
                {{u"plain.txt", "1", u""},
                 {u"\u00FCber.txt", "2", u""},  // in every OEM code page of the West
                 {u"\u65E5\u672C\\\u8A9E.txt", "3", u""},
                 {u"remark.txt", "4", u"\u30B3\u30E1\u30F3\u30C8"}});
    TZipStructure* s = archive->Structure.Get();
    EXPECT_EQ(s->Entry(0)->Flags, 0);
    EXPECT_EQ(s->Entry(1)->Flags, 0);
    EXPECT_EQ(s->Entry(2)->Flags, ZipFlag::Utf8);
    EXPECT_EQ(s->Entry(3)->Flags, ZipFlag::Utf8);
    std::vector<uint8_t> bytes = ContentsOf(stream.Get());
    // The local header carries the same flag as the central one.
    EXPECT_EQ(Get16At(bytes, s->Entry(2)->LocalOffset + 6), ZipFlag::Utf8);
    EXPECT_EQ(Get16At(bytes, s->Entry(1)->LocalOffset + 6), 0);
    EXPECT_EQ(bytes[s->Entry(1)->LocalOffset + 30], uint8_t(WideToOem(u"\u00FC")[0]));

    auto back = ReadBack(stream.Get());
    ASSERT_EQ(back->Structure->Count(), 4);
    EXPECT_EQ(back->Structure->Entry(1)->Name(), u"\u00FCber.txt");
    EXPECT_EQ(back->Structure->Entry(2)->Name(), u"\u65E5\u672C/\u8A9E.txt");
    EXPECT_EQ(back->Structure->Entry(3)->Item->Comment, u"\u30B3\u30E1\u30F3\u30C8");

    // With UseUtf8 every entry is flagged.
    auto utf8 = MakeRef<TTestArchive>();
    utf8->Structure->UseUtf8 = true;
    stream->Clear();
    WriteStored(utf8.Get(), stream.Get(), {{u"plain.txt", "1", u""}, {u"\u00FCber.txt", "2", u""}});
    EXPECT_EQ(utf8->Structure->Entry(0)->Flags, ZipFlag::Utf8);
    EXPECT_EQ(ReadBack(stream.Get())->Structure->Entry(1)->Name(), u"\u00FCber.txt");
}

// Values the classic fields cannot hold go to ZIP64 fields, which read
// back; only what has no value at all is refused.
TEST(ZipDirectoryWrite, SizesAndOffsetsBeyondTheClassicFieldsGoToZip64) {
    constexpr uint64_t FiveGiB = 5ull << 30;
    struct TCase {
        const char* What;
        void (*Apply)(TZipItem* entry);
    };
    const TCase cases[] = {
        {"size", [](TZipItem* e) { e->Item->Size = FiveGiB; }},
        {"packed size", [](TZipItem* e) { e->Item->PackedSize = FiveGiB; }},
        {"0xFFFFFFFF, the ZIP64 marker", [](TZipItem* e) { e->Item->Size = 0xFFFFFFFF; }},
        {"local header offset", [](TZipItem* e) { e->LocalOffset = int64_t(FiveGiB); }},
    };
    for (const TCase& c : cases) {
        auto archive = MakeRef<TTestArchive>();
        auto stream = MakeRef<TMemoryStream>();
        WriteStored(archive.Get(), stream.Get(), {{u"small.txt", "s", u""}, {u"big\\huge.bin", "h", u""}});
        TZipItem* entry = archive->Structure->Entry(1);
        stream->SetSize(archive->Structure->Offset);
        stream->SetPosition(archive->Structure->Offset);
        c.Apply(entry);
        archive->Structure->WriteDirectory(stream.Get());
        auto back = ReadBack(stream.Get());
        ASSERT_EQ(back->Structure->Count(), 2) << c.What;
        TZipItem* read = back->Structure->Entry(1);
        EXPECT_EQ(read->Item->Size, entry->Item->Size) << c.What;
        EXPECT_EQ(read->Item->PackedSize, entry->Item->PackedSize) << c.What;
        EXPECT_EQ(read->LocalOffset, entry->LocalOffset) << c.What;
        EXPECT_TRUE(read->CentralExtra.empty()) << c.What;
        EXPECT_EQ(back->Structure->Entry(0)->Item->Size, 1u) << c.What;
    }
    auto archive = MakeRef<TTestArchive>();
    auto stream = MakeRef<TMemoryStream>();
    WriteStored(archive.Get(), stream.Get(), {{u"small.txt", "s", u""}});
    archive->Structure->Entry(0)->LocalOffset = -1;
    EXPECT_THROW(archive->Structure->WriteDirectory(stream.Get()), EArchiveError);

    // A local header holds ZIP64 sizes only with room made for them before
    // the data; an unknown size (a source size of -1) is a placeholder
    // until the header is written again.
    TZipItem* entry = archive->Structure->AddNewEntry(archive->AddFile(u"later.bin", -1));
    std::vector<uint8_t> header(100);
    entry->Item->Size = uint64_t(entry->Item->SourceSize);
    ASSERT_EQ(archive->Structure->WriteLocalHeader(entry, header, 100, 0), 39);
    EXPECT_EQ(Get32At(header, 22), 0xFFFFFFFFu);
    entry->Item->Size = FiveGiB;
    EXPECT_THROW(archive->Structure->WriteLocalHeader(entry, header, 100, 0), EArchiveError);
    entry->Zip64Local = true;
    ASSERT_EQ(archive->Structure->WriteLocalHeader(entry, header, 100, 0), 39 + 20);
    EXPECT_EQ(Get32At(header, 22), 0xFFFFFFFFu);
    EXPECT_EQ(Get16At(header, 39), 1);
    EXPECT_EQ(Get32At(header, 43) | uint64_t(Get32At(header, 47)) << 32, FiveGiB);

    // The directory's own size and offset go to a ZIP64 end record and
    // locator in front of the classic record.
    EXPECT_EQ(archive->Structure->WriteEndRecord(header, 100, 0, 100, int64_t(FiveGiB)), 56 + 20 + 22);
    EXPECT_EQ(Get32At(header, 0), ZipSignature::Zip64EndRecord);
    EXPECT_EQ(Get32At(header, 56), ZipSignature::Zip64Locator);
    EXPECT_EQ(Get32At(header, 76 + 16), 0xFFFFFFFFu);
    EXPECT_EQ(Get32At(header, 76 + 12), 100u);
}

// A ZIP64 end record and locator in front of an end record that holds only
// markers, as tools write that use ZIP64 whether needed or not, give the
// directory; with bytes put in front of the archive, too.
TEST(ZipDirectoryWrite, Zip64EndRecordsOfOtherToolsGiveTheDirectory) {
    for (size_t prefix : {0, 100}) {
        auto archive = MakeRef<TTestArchive>();
        auto stream = MakeRef<TMemoryStream>();
        WriteStored(archive.Get(), stream.Get(), {{u"one.txt", "1", u""}, {u"dir\\two.txt", "22", u""}});
        std::vector<uint8_t> bytes = ContentsOf(stream.Get());
        size_t end = size_t(archive->Structure->Offset + archive->Structure->Length);
        std::vector<uint8_t> records(56 + 20);
        auto put64 = [&](size_t at, uint64_t value) {
            Put32At(records, at, uint32_t(value));
            Put32At(records, at + 4, uint32_t(value >> 32));
        };
        Put32At(records, 0, ZipSignature::Zip64EndRecord);
        put64(4, 44);
        put64(24, 2);
        put64(32, 2);
        put64(40, uint64_t(archive->Structure->Length));
        put64(48, uint64_t(archive->Structure->Offset));
        Put32At(records, 56, ZipSignature::Zip64Locator);
        put64(64, end);
        Put32At(records, 72, 1);
        bytes.insert(bytes.begin() + std::ptrdiff_t(end), records.begin(), records.end());
        end += records.size();
        Put16At(bytes, end + 8, 0xFFFF);
        Put16At(bytes, end + 10, 0xFFFF);
        Put32At(bytes, end + 12, 0xFFFFFFFF);
        Put32At(bytes, end + 16, 0xFFFFFFFF);
        bytes.insert(bytes.begin(), prefix, uint8_t('x'));
        stream->Clear();
        stream->Write(bytes.data(), int32_t(bytes.size()));
        auto back = ReadBack(stream.Get());
        EXPECT_FALSE(back->Structure->Recovered()) << prefix;
        ASSERT_EQ(back->Structure->Count(), 2) << prefix;
        EXPECT_EQ(back->Structure->Entry(1)->Name(), u"dir/two.txt");
        EXPECT_EQ(back->Structure->Entry(1)->LocalOffset, archive->Structure->Entry(1)->LocalOffset + int64_t(prefix));
    }
}

TEST(ZipDirectoryWrite, LengthsBeyondSixteenBitsAreRefused) {
    auto archive = MakeRef<TTestArchive>();
    auto stream = MakeRef<TMemoryStream>();
    WideString longName(40000, u'\u00E9');  // 80000 bytes in UTF-8
    archive->Structure->UseUtf8 = true;
    TZipItem* entry = archive->Structure->AddNewEntry(archive->AddFile(longName, 0));
    entry->LocalOffset = 0;
    std::vector<uint8_t> buffer(300000);
    EXPECT_THROW(archive->Structure->WriteLocalHeader(entry, buffer, int32_t(buffer.size()), 0), EArchiveError);
    EXPECT_THROW(archive->Structure->WriteDirectory(stream.Get()), EArchiveError);

    entry->NameBytes = "short";
    entry->Item->Comment = WideString(70000, u'c');
    EXPECT_THROW(archive->Structure->WriteDirectory(stream.Get()), EArchiveError);
    entry->Item->Comment.clear();
    archive->Structure->Comment = WideString(65536, u'c');
    EXPECT_THROW(archive->Structure->WriteDirectory(stream.Get()), EArchiveError);
    archive->Structure->Comment.resize(65535);
    stream->Clear();
    EXPECT_NO_THROW(archive->Structure->WriteDirectory(stream.Get()));
    EXPECT_EQ(ReadBack(stream.Get())->Structure->Comment.size(), 65535u);
}

TEST(ZipDirectoryWrite, RecordsThatDoNotFitTheSpaceGiven) {
    auto archive = MakeRef<TTestArchive>();
    TZipItem* entry = archive->Structure->AddNewEntry(archive->AddFile(u"name.txt", 0));
    std::vector<uint8_t> buffer(100);
    EXPECT_EQ(archive->Structure->WriteLocalHeader(entry, buffer, 100, 63), -1);
    EXPECT_EQ(archive->Structure->WriteLocalHeader(entry, buffer, 100, 62), 38);
    // A capacity larger than the buffer counts as the buffer.
    EXPECT_EQ(archive->Structure->WriteLocalHeader(entry, buffer, 1000, 70), -1);

    archive->Structure->Comment = u"comment";
    try {
        archive->Structure->WriteEndRecord(buffer, 100, 80, 0, 0);
        FAIL() << "no exception";
    } catch (const TCommonException& e) {
        EXPECT_STREQ(e.what(), "Buffer is too small");
    }
    EXPECT_EQ(archive->Structure->WriteEndRecord(buffer, 100, 71, 0, 0), 29);
}

TEST(ZipDirectoryWrite, DirectoriesLargerThanTheBufferAndManyEntries) {
    auto archive = MakeRef<TTestArchive>();
    auto stream = MakeRef<TMemoryStream>();
    std::vector<TFile> files;
    for (int i = 0; i < 40; ++i) files.push_back({NumberedName(u'f', i), "d", WideString(50000, u'x')});
    auto callBack = MakeRef<TDefaultCallBack>();
    archive->Structure->CallBack = callBack.Get();
    WriteStored(archive.Get(), stream.Get(), files);
    // Every byte of the directory and end record went through the progress.
    EXPECT_EQ(int64_t(callBack->TotalProgress->Position), archive->Structure->Length + 22);
    auto back = ReadBack(stream.Get());
    ASSERT_EQ(back->Structure->Count(), 40);
    EXPECT_EQ(back->Structure->Entry(39)->Item->Comment.size(), 50000u);
    EXPECT_EQ(back->Structure->Entry(39)->LocalOffset, archive->Structure->Entry(39)->LocalOffset);

    // More than 65534 entries need the ZIP64 end record's count.
    auto many = MakeRef<TTestArchive>();
    stream->Clear();
    for (int i = 0; i < 70000; ++i) {
        TZipItem* entry = many->Structure->AddNewEntry(many->AddFile(NumberedName(u'n', i), 0));
        entry->LocalOffset = 0;
    }
    EXPECT_EQ(many->Structure->EstimateDirectorySize(), 70000 * 46 + 22);
    many->Structure->WriteDirectory(stream.Get());
    std::vector<uint8_t> bytes = ContentsOf(stream.Get());
    EXPECT_EQ(Get16At(bytes, bytes.size() - 22 + 8), 65535);
    EXPECT_EQ(Get16At(bytes, bytes.size() - 22 + 10), 65535);
    EXPECT_EQ(Get32At(bytes, bytes.size() - 98), ZipSignature::Zip64EndRecord);
    EXPECT_EQ(Get32At(bytes, bytes.size() - 98 + 32), 70000u);
    EXPECT_EQ(ReadBack(stream.Get())->Structure->Count(), 70000);
}

TEST(ZipDirectoryWrite, AWriteThatTakesNothingFails) {
    auto archive = MakeRef<TTestArchive>();
    TZipItem* entry = archive->Structure->AddNewEntry(archive->AddFile(u"a", 0));
    entry->LocalOffset = 0;
    auto disk = MakeRef<TShortWriter>();
    disk->Limit = 0;
    EXPECT_THROW(archive->Structure->WriteDirectory(disk.Get()), EStreamWriteError);
}

TEST(ZipDirectoryWrite, AttributesMapToDosBitsBothWays) {
    auto archive = MakeRef<TTestArchive>();
    auto stream = MakeRef<TMemoryStream>();
    TArchItem* file = archive->AddFile(u"f", 0);
    file->SetAttributes({TArchAttribute::ReadOnly, TArchAttribute::Hidden, TArchAttribute::System,
                         TArchAttribute::Archive, TArchAttribute::Encrypted, TArchAttribute::Added});
    TArchItem* folder = archive->FindOrCreate(u"d", FindMode::Folder);
    for (TArchItem* item : {file, folder}) archive->Structure->AddNewEntry(item)->LocalOffset = 0;
    archive->Structure->WriteDirectory(stream.Get());
    std::vector<uint8_t> bytes = ContentsOf(stream.Get());
    EXPECT_EQ(Get32At(bytes, 38), 0x27u);
    EXPECT_EQ(Get32At(bytes, 46 + 1 + 38), 0x10u);

    TZipStructure* s = archive->Structure.Get();
    const TArchAttributes all{TArchAttribute::ReadOnly, TArchAttribute::Hidden, TArchAttribute::System,
                              TArchAttribute::Folder, TArchAttribute::Archive};
    for (uint8_t host : {0, 10, 11, 14}) EXPECT_EQ(s->HostAttributes(host, 0xFFFFFF37), all) << int(host);
    for (uint8_t host : {1, 3, 7, 19, 255}) EXPECT_TRUE(s->HostAttributes(host, 0xFF).Empty()) << int(host);
    EXPECT_TRUE(s->HostAttributes(0, 0xFF00).Empty());
}

TEST(ZipDirectoryWrite, NewAndCopiedEntries) {
    auto archive = MakeRef<TTestArchive>();
    TArchItem* item = archive->AddFile(u"a\\b\\c.txt", 3);
    TZipItem* entry = archive->Structure->AddNewEntry(item);
    EXPECT_EQ(entry->Name(), u"a/b/c.txt");
    EXPECT_EQ(entry->LocalOffset, -1);
    EXPECT_EQ(entry->Flags, 0);
    EXPECT_EQ(entry->Item, item);

    entry->LocalOffset = 77;
    entry->Method = 8;
    entry->Crc32 = 0x12345678;
    entry->Flags = 2;
    entry->HostSystem = 3;
    auto other = MakeRef<TZipStructure>();
    other->UseUtf8 = true;
    TZipItem* copy = other->CopyEntry(entry);
    EXPECT_EQ(other->Count(), 1);
    EXPECT_EQ(copy->Item, item);
    EXPECT_EQ(copy->LocalOffset, 77);
    EXPECT_EQ(copy->Method, 8);
    EXPECT_EQ(copy->Crc32, 0x12345678u);
    // A kept entry keeps its own flags, whatever the structure's default.
    EXPECT_EQ(copy->Flags, 2);
    EXPECT_EQ(copy->Name(), u"a/b/c.txt");
    archive->Structure->UseUtf8 = true;
    EXPECT_EQ(archive->Structure->AddNewEntry(item)->Flags, ZipFlag::Utf8);
    archive->Structure->Clear();
    EXPECT_EQ(archive->Structure->Count(), 0);
}

TEST(ZipDosTime, FieldsRoundTripAndOutOfRangeYearsAreClamped) {
    uint32_t dos = SystemTimeToDos(TSystemTime{2024, 2, 3, 29, 23, 59, 59, 999});
    EXPECT_EQ(dos >> 16, (44u << 9) | (2u << 5) | 29u);
    EXPECT_EQ(dos & 0xFFFF, (23u << 11) | (59u << 5) | 29u);
    EXPECT_EQ(DosToSystemTime(dos), (TSystemTime{2024, 2, 0, 29, 23, 59, 58, 0}));
    EXPECT_EQ(DosToSystemTime(SystemTimeToDos({})), (TSystemTime{1980, 1, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(DosToSystemTime(SystemTimeToDos({1970, 1, 4, 1, 0, 0, 0, 0})), (TSystemTime{1980, 1, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(DosToSystemTime(SystemTimeToDos({2150, 6, 0, 1, 1, 1, 1, 0})),
              (TSystemTime{2107, 12, 0, 31, 23, 59, 58, 0}));
    // Whatever the fields hold is read as it stands.
    EXPECT_EQ(DosToSystemTime(0xFFFFFFFF), (TSystemTime{2107, 15, 0, 31, 31, 63, 62, 0}));
}

}  // namespace
