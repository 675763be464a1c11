#include <gtest/gtest.h>
#include "Archivers/Zip/ZipArchive.h"
#include "Archivers/Zip/ZipEntryChecks.h"
#include "Foundation/CodePages.h"
#include "Foundation/ErrorReport.h"
#include "support/ZipBuilder.h"

namespace {

// An archive of many stored entries over bytes of its own; each worker
// reads a copy of them.
struct TCheckedArchive {
    explicit TCheckedArchive(const std::vector<uint8_t>& bytes) : Bytes(bytes) {
        Stream = OpenBytes();
        Archive->CallBack = CallBack.Get();
        Archive->SetStream(Stream.Get());
        Archive->Open();
    }
    TRef<TStream> OpenBytes() const {
        TRef<TMemoryStream> stream = MakeRef<TMemoryStream>();
        stream->WriteBuffer(Bytes.data(), int32_t(Bytes.size()));
        stream->SetPosition(0);
        return stream;
    }
    TArchiveReaderSource Readers() const {
        return [this] { return OpenBytes(); };
    }

    const std::vector<uint8_t> Bytes;
    TRef<TStream> Stream;
    TRef<TDefaultCallBack> CallBack = MakeRef<TDefaultCallBack>();
    TRef<TZipArchive> Archive = MakeRef<TZipArchive>();
};

TZipFixture ManyEntries(int count) {
    TZipFixture zip;
    for (int i = 0; i < count; ++i) {
        // Appended: a literal plus a string trips a false -Wrestrict of mingw.
        std::string name = "f";
        name += std::to_string(i);
        zip.Entries.push_back(FixtureFile(name, std::string(size_t(40 + i % 7 * 300), char('a' + i % 26))));
    }
    return zip;
}

std::string CheckFailure(TCheckedArchive& archive, int32_t workers) {
    try {
        TEntryCheck(archive.Archive.Get(), workers, archive.Readers()).Finish();
    } catch (const EArchiveError& e) {
        return e.Message();
    }
    return "";
}

}  // namespace

// The first damage in the directory's order is the one told, wherever it
// lies and however many workers share the runs.
TEST(EntryCheck, TellsTheFirstDamageWhateverTheWorkers) {
    for (int damaged : {2, 1500}) {
        TZipFixture zip = ManyEntries(1600);
        zip.Entries[size_t(damaged)].Crc = 0x1234;
        zip.Entries[1590].Crc = 0x5678;
        TCheckedArchive archive(zip.Build());
        for (int32_t workers = 1; workers <= 4; ++workers)
            EXPECT_EQ(CheckFailure(archive, workers),
                      "The entry \"f" + std::to_string(damaged) + "\" is damaged: its data does not match its checksum")
                << workers;
    }
    TCheckedArchive sound(ManyEntries(1600).Build());
    for (int32_t workers = 1; workers <= 4; ++workers) EXPECT_EQ(CheckFailure(sound, workers), "") << workers;
}

// A message naming an entry keeps every character of its name on its way
// to what the front ends show, also where the ANSI code page (1252, say)
// holds neither "日本" nor "ğ": the window and the web page show
// ShownMessage, nvxfix-cli MessageCallingPathIt on a line headed by the
// archive, nvxzip the message itself read as UTF-8.
TEST(EntryCheck, AnEntryOutsideTheAnsiCodePageIsNamedWholeInTheShownException) {
    const WideString name = u"Sch\u00F6ne Gr\u00FC\u00DFe/\u65E5\u672C \u011F.app/Contents/x";
    TZipFixture zip = ManyEntries(3);
    zip.Entries[1] = FixtureFile(WideToUtf8(name), "slides");
    zip.Entries[1].Flags = 0x0800;  // the name is UTF-8
    zip.Entries[1].Crc = 0x1234;
    TCheckedArchive archive(zip.Build());
    const WideString shown = u"The entry \"" + name + u"\" is damaged: its data does not match its checksum";
    try {
        TEntryCheck(archive.Archive.Get(), 2, archive.Readers()).Finish();
        ADD_FAILURE() << "the damage was not found";
    } catch (const EArchiveError& e) {
        EXPECT_EQ(ShownMessage(e), shown);
        EXPECT_EQ(e.MessageCallingPathIt(), shown);
        EXPECT_EQ(Utf8ToWide(ExceptionMessage(e)), shown);
        EXPECT_EQ(e.Message(), WideToUtf8(shown));
    }
}

// The workers read copies made when the check begins: the caller may
// change the entries, save over them or free the archive meanwhile, and the
// check still judges, and takes the first bytes of, what was there. A
// check given up halfway stops its workers.
TEST(EntryCheck, WorkersReadOnlyWhatIsTheirs) {
    TZipFixture zip = ManyEntries(1600);
    for (int32_t workers = 1; workers <= 4; ++workers) {
        TCheckedArchive archive(zip.Build());
        TZipStructure* structure = archive.Archive->Structure();
        TEntryHeads heads;
        heads[structure->Entry(7)];
        TEntryCheck check(archive.Archive.Get(), workers, archive.Readers(), &heads);
        for (int32_t i = 0; i < structure->Count(); ++i) {
            TZipItem* entry = structure->Entry(i);
            archive.Archive->ReplaceEntry(entry, 1, TSystemTime{}, 0100644);
            entry->LocalOffset = 0;
            entry->Crc32 = 0;
            entry->Item->Size = 0;
        }
        TZipItem* named = structure->Entry(7);
        archive.Archive.Reset();
        check.Finish();
        EXPECT_EQ(heads[named], zip.Entries[7].Data.substr(0, HeadSize)) << workers;
        TCheckedArchive other(zip.Build());
        const TEntryCheck stopped(other.Archive.Get(), workers, other.Readers());
    }
}
