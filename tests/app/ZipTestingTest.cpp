// What "nvxzip t" finds in archives with one bad entry among good ones.
#include <gtest/gtest.h>
#include "ZipTesting.h"
#include "support/ScratchFolder.h"
#include "support/TestStreams.h"
#include "support/ZipBuilder.h"

namespace {
TZipTestReport Tested(TZipFixture& fixture, const std::function<void(std::vector<uint8_t>&)>& damage = {}) {
    std::vector<uint8_t> bytes = fixture.Build();
    if (damage) damage(bytes);
    auto stream = MakeRef<TMemoryStream>();
    FillStream(stream.Get(), bytes);
    return TestZipArchive(stream.Get());
}

TZipFixture ThreeEntries() {
    TZipFixture fixture;
    for (const char* name : {"first.txt", "dir/", "second.txt", "third.txt"}) {
        TZipFixtureEntry e;
        e.Name = name;
        e.External = e.Name.back() == '/' ? 0x10 : 0;
        e.Data = e.External ? "" : std::string("contents of ") + name;
        fixture.Entries.push_back(e);
    }
    return fixture;
}
}  // namespace

TEST(ZipTesting, GoodArchivesPassAndFoldersAreNotTested) {
    TZipFixture fixture = ThreeEntries();
    TZipTestReport report = Tested(fixture);
    EXPECT_TRUE(report.AllGood());
    EXPECT_EQ(report.Tested, 3);
    EXPECT_EQ(Narrow(report.Text), "OK   first.txt\nOK   second.txt\nOK   third.txt\nNo errors in 3 entries\n");
}

TEST(ZipTesting, EachBadEntryIsNamedAndTheOthersStillTested) {
    // An unknown method stops an extraction; here it stops only its entry.
    TZipFixture unknown = ThreeEntries();
    unknown.Entries[2].Method = 12;
    TZipTestReport report = Tested(unknown);
    EXPECT_EQ(report.Bad, 1);
    EXPECT_EQ(Narrow(report.Text),
              "OK   first.txt\nBAD  second.txt: The entry \"second.txt\" uses compression method 12 (BZip2), which "
              "cannot be unpacked\nOK   third.txt\n1 of 3 entries are bad\n");

    TZipFixture crc = ThreeEntries();
    crc.Entries[3].Crc = 7;
    report = Tested(crc, [&](std::vector<uint8_t>& bytes) { bytes[crc.LocalOffsets[0]] = 'Q'; });
    EXPECT_EQ(report.Bad, 2);
    EXPECT_NE(
        Narrow(report.Text).find("BAD  first.txt: The entry \"first.txt\" is damaged: its local header is missing\n"),
        std::string::npos);
    EXPECT_NE(Narrow(report.Text).find("BAD  third.txt: CRC doesn' match\n"), std::string::npos);
}

TEST(ZipTesting, AnArchiveFoundByScanningIsNotGood) {
    TZipFixture fixture = ThreeEntries();
    fixture.WithDirectory = false;
    TZipTestReport report = Tested(fixture);
    EXPECT_EQ(report.Bad, 0);
    EXPECT_FALSE(report.AllGood());
    EXPECT_NE(Narrow(report.Text).find("found by scanning"), std::string::npos);
}
