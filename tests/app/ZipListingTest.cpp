// The listing of "nvxzip l", and the seed corpus of the ZIP directory
// fuzzer (written to $NVX_FUZZ_SEED_DIR when that is set).
#include <gtest/gtest.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include "ZipListing.h"
#include "support/TestArchive.h"
#include "support/TestStreams.h"
#include "support/ZipBuilder.h"

namespace {

TZipListing List(const std::vector<uint8_t>& bytes) {
    auto stream = MakeRef<TMemoryStream>();
    FillStream(stream.Get(), bytes);
    return ListZipArchive(stream.Get());
}

std::vector<std::string> Lines(const WideString& text) {
    std::vector<std::string> lines(1);
    for (char16_t c : text) {
        if (c == u'\n') lines.emplace_back();
        else lines.back() += c < 0x80 ? char(c) : '#';
    }
    if (lines.back().empty()) lines.pop_back();
    return lines;
}

TEST(ZipListing, OneLinePerEntryWithEveryField) {
    TZipFixture zip;
    TZipFixtureEntry readme = FixtureFile("readme.txt", "hello", 0, 0x20);
    readme.Comment = "first file";
    TZipFixtureEntry packed = FixtureFile("docs/guide.txt", "xx", 3, 0x81A40000);
    packed.Method = 8;
    packed.Size = 1234567;
    packed.Flags = 0x0802;
    packed.Time = 0x7A3B;
    packed.Date = 0x5A8F;
    TZipFixtureEntry odd = FixtureFile("odd", "", 200, 0);
    odd.Method = 99;
    zip.Entries = {readme, packed, odd};
    zip.Comment = "whole archive";
    TZipListing listing = List(zip.Build());
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08X", FixtureCrc("xx"));
    EXPECT_EQ(listing.Entries, 3);
    EXPECT_FALSE(listing.Recovered);
    EXPECT_EQ(Lines(listing.Text),
              (std::vector<std::string>{
                  "Method       Packed       Size CRC-32   Modified            Host   Attrs    Flag Name",
                  "Stored            5          5 3610A686 2024-01-01 12:00:00 FAT    00000020 0000 readme.txt",
                  "  comment: first file",
                  "Deflated          2    1234567 " + std::string(crc) +
                      " 2025-04-15 15:17:54 Unix   81A40000 0802 docs/guide.txt",
                  "#99               0          0 00000000 2024-01-01 12:00:00 #200   00000000 0000 odd",
                  "Archive comment: whole archive",
              }));
}

TEST(ZipListing, ControlCharactersInNamesDoNotReachTheTerminal) {
    TZipFixture zip;
    TZipFixtureEntry e = FixtureFile("evil\x1B[2J\nname", "");
    e.Comment = "line\rbreak";
    zip.Entries = {e};
    std::vector<std::string> lines = Lines(List(zip.Build()).Text);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].substr(lines[1].size() - 19), "evil\\x1B[2J\\x0Aname");
    EXPECT_EQ(lines[2], "  comment: line\\x0Dbreak");
}

// An empty file, or one with neither a directory nor a local header, is
// no archive at all.
TEST(ZipListing, ScannedArchivesAreFlaggedAndFilesWithoutOneAreRefused) {
    TZipFixture zip;
    zip.Entries = {FixtureFile("a", "1"), FixtureFile("b", "2")};
    zip.WithDirectory = false;
    TZipListing listing = List(zip.Build());
    EXPECT_TRUE(listing.Recovered);
    EXPECT_EQ(listing.Entries, 2);

    EXPECT_THROW(List({}), ENotZipArchive);
    std::string text = "plain text, no archive";
    EXPECT_THROW(List(std::vector<uint8_t>(text.begin(), text.end())), ENotZipArchive);
}

// ---- fuzzing seeds

std::vector<std::pair<std::string, std::vector<uint8_t>>> FuzzSeeds() {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> seeds;
    auto three = [] {
        TZipFixture zip;
        zip.Entries = {FixtureFile("one.txt", "first"), FixtureFile("dir/two.txt", "second", 3, 0x81A40000),
                       FixtureFile("dir/", "", 0, 0x10)};
        return zip;
    };
    TZipFixture zip = three();
    seeds.emplace_back("three-files.zip", zip.Build());

    zip = three();
    zip.Comment = "archive comment";
    zip.Entries[0].Comment = "entry comment";
    zip.Entries[1].Extra = std::string("UT\x05\0\x01\0\0\0\0", 9);
    seeds.emplace_back("comments-and-extra.zip", zip.Build());

    zip = TZipFixture();
    TZipFixtureEntry utf8 = FixtureFile("caf\xC3\xA9/\xE2\x82\xAC.txt", "u");
    utf8.Flags = 0x800;
    zip.Entries = {utf8,
                   FixtureFile("\x81"
                               "ber.txt",
                               "o"),
                   FixtureFile("unix-folder/", "", 3, 0x41ED0010)};
    seeds.emplace_back("utf8-oem-names-folders.zip", zip.Build());

    zip = TZipFixture();
    zip.WithDirectory = false;
    TZipFixtureEntry described = FixtureFile("described.bin", "descriptor follows");
    described.Descriptor = true;
    TZipFixtureEntry secret = FixtureFile("secret.bin", "123456789012abc");
    secret.Flags = 1;
    zip.Entries = {described, secret};
    seeds.emplace_back("no-directory-descriptor-encrypted.zip", zip.Build());

    zip = three();
    std::vector<uint8_t> bytes = zip.Build();
    Put32At(bytes, zip.CentralOffsets[1], 0x02014B51);
    seeds.emplace_back("central-signature-damaged.zip", bytes);

    bytes = zip.Build();
    Put32At(bytes, zip.EndOffset + 16, uint32_t(bytes.size() + 10));
    seeds.emplace_back("directory-beyond-file.zip", bytes);

    bytes = zip.Build();
    Put16At(bytes, zip.CentralOffsets[2] + 28, 300);
    seeds.emplace_back("name-past-directory.zip", bytes);

    bytes = zip.Build();
    bytes.resize(zip.LocalOffsets[2] + 33);
    seeds.emplace_back("truncated-local-header.zip", bytes);

    seeds.emplace_back("end-record-only.zip", TZipFixture().Build());

    // What the structure itself writes.
    auto archive = MakeRef<TTestArchive>();
    auto stream = MakeRef<TMemoryStream>();
    for (const WideString& path : {WideString(u"a.txt"), WideString(u"sub\\\u65E5.txt")}) {
        TZipItem* entry = archive->Structure->AddNewEntry(archive->AddFile(path, 0));
        entry->LocalOffset = stream->GetPosition();
        std::vector<uint8_t> header(100);
        stream->Write(header.data(), archive->Structure->WriteLocalHeader(entry, header, 100, 0));
    }
    archive->Structure->Comment = u"written here";
    archive->Structure->WriteDirectory(stream.Get());
    seeds.emplace_back("written-by-structure.zip", ContentsOf(stream.Get()));
    return seeds;
}

TEST(ZipListing, FuzzSeedsAreListed) {
    const char* seedDir = std::getenv("NVX_FUZZ_SEED_DIR");
    for (const auto& [name, bytes] : FuzzSeeds()) {
        TZipListing listing = List(bytes);
        EXPECT_GE(listing.Entries, name == "end-record-only.zip" ? 0 : 1) << name;
        if (seedDir) {
            std::ofstream out(std::filesystem::path(seedDir) / name, std::ios::binary);
            out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        }
    }
}

}  // namespace
