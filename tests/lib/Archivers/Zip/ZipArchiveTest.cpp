#include <gtest/gtest.h>
#include "Archivers/Zip/EntryModes.h"
#include "Archivers/Zip/ZipPasswordStream.h"
#include "FileSystem/FileAPI.h"
#include "Foundation/Clock.h"
#include "Foundation/ErrorReport.h"
#include "Streams/FileStream.h"
#include "support/Environment.h"
#include "support/FaultyFileAPI.h"
#include "support/Files.h"
#include "support/ScratchFolder.h"
#include "support/TestStreams.h"
#include "support/ZipBuilder.h"
#include "support/ZipSession.h"

namespace {
using TBytes = std::vector<uint8_t>;

std::string Text(const TBytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
std::string Mixed(size_t count, uint32_t seed) { return Text(MixedBytes(count, seed)); }

const std::string One = Mixed(150000, 1);
const std::string Two = Mixed(70000, 2);
const std::string Three = Mixed(40000, 3);

// Three entries saved into an empty memory stream at level 3.
TBytes ThreeEntryArchive() {
    auto stream = MakeRef<TMemoryStream>();
    TZipSession zip(stream.Get());
    zip.Add(u"docs\\one.txt", One);
    zip.Add(u"two.bin", Two);
    zip.Add(u"three.dat", Three);
    zip.Archive->Save(3);
    return ContentsOf(stream.Get());
}

// Adding a file to the archive in original and saving is refused as
// damage, the stream left as it was.
void ExpectAddingRefusedAsDamaged(const TBytes& original) {
    auto stream = MakeRef<TMemoryStream>();
    FillStream(stream.Get(), original);
    TZipSession zip(stream.Get());
    zip.Archive->Open();
    zip.Add(u"added.txt", "new");
    EXPECT_THROW(zip.Archive->Save(3), EArchiveDamaged);
    EXPECT_EQ(ContentsOf(stream.Get()), original);
}

template <class E>
std::string MessageOf(const std::function<void()>& step) {
    try {
        step();
    } catch (const E& e) {
        return e.what();
    }
    return "(nothing raised)";
}
}  // namespace

TEST(ZipArchive, OpeningAnEmptyStreamReadsNothing) {
    auto stream = MakeRef<TShyStream>();
    TZipSession zip(stream.Get());
    zip.Archive->Open();
    EXPECT_EQ(zip.Archive->Count(), 0);
    EXPECT_EQ(stream->Reads, 0);
    EXPECT_EQ(stream->Seeks, 0);
}

TEST(ZipArchive, SavingTwoFilesIntoAnEmptyStream) {
    for (int level : {3, 0}) {
        auto stream = MakeRef<TMemoryStream>();
        TZipSession zip(stream.Get());
        TArchItem* one = zip.Add(u"a\\b\\one.txt", One);
        zip.Add(u"two.bin", Two);
        zip.Archive->Save(level);

        TParsedZip parsed = ParseZip(ContentsOf(stream.Get()));
        // No entries for the folders that adding made.
        ASSERT_EQ(parsed.Entries.size(), 2u);
        EXPECT_EQ(parsed.Entries[0].Name, "a/b/one.txt");
        EXPECT_EQ(parsed.Entries[1].Name, "two.bin");
        EXPECT_EQ(parsed.Entries[0].LocalOffset, 0u);
        for (size_t i = 0; i < 2; ++i) {
            const TParsedEntry& e = parsed.Entries[i];
            const std::string& data = i == 0 ? One : Two;
            EXPECT_EQ(e.Method, level ? 8 : 0);
            EXPECT_EQ(e.Crc, FixtureCrc(data));
            EXPECT_EQ(e.Size, data.size());
            if (level) EXPECT_LT(e.PackedSize, data.size());
            else EXPECT_EQ(e.PackedSize, data.size());
            EXPECT_EQ(e.Host, 0);
        }
        // Saved items are plain entries now.
        EXPECT_FALSE(one->State.Contains(TArchState::Add));
        EXPECT_FALSE(one->Attributes().Contains(TArchAttribute::Added));
        EXPECT_EQ(zip.Archive->Structure()->Count(), 2);

        // What the same archive object and a fresh one read back.
        EXPECT_EQ(zip.ExtractAll().at(u"a\\b\\one.txt"), One);
        TZipSession again(stream.Get());
        again.Archive->Open();
        auto data = again.ExtractAll();
        EXPECT_EQ(data.at(u"a\\b\\one.txt"), One);
        EXPECT_EQ(data.at(u"two.bin"), Two);
    }
}

TEST(ZipArchive, DeletingOneOfThreeMovesTheLaterBlocksDown) {
    TBytes original = ThreeEntryArchive();
    TParsedZip before = ParseZip(original);
    auto stream = MakeRef<TMemoryStream>();
    FillStream(stream.Get(), original);
    TZipSession zip(stream.Get());
    zip.Archive->Open();
    zip.Find(u"two.bin")->MarkDelete();
    zip.Archive->Save(3);

    TBytes after = ContentsOf(stream.Get());
    TParsedZip parsed = ParseZip(after);
    ASSERT_EQ(parsed.Entries.size(), 2u);
    EXPECT_EQ(parsed.Entries[0].Name, "docs/one.txt");
    EXPECT_EQ(parsed.Entries[1].Name, "three.dat");
    uint32_t deleted = before.BlockLengths[1];
    EXPECT_EQ(parsed.Entries[0].LocalOffset, before.Entries[0].LocalOffset);
    EXPECT_EQ(parsed.Entries[1].LocalOffset, before.Entries[2].LocalOffset - deleted);
    // The kept blocks are the old bytes, moved.
    for (size_t i : {0u, 2u}) {
        size_t j = i == 0 ? 0 : 1;
        auto from = original.begin() + before.Entries[i].LocalOffset;
        auto to = after.begin() + parsed.Entries[j].LocalOffset;
        EXPECT_TRUE(std::equal(from, from + before.BlockLengths[i], to)) << i;
    }
    EXPECT_EQ(zip.Find(u"two.bin"), nullptr);
    auto data = zip.ExtractAll();
    EXPECT_EQ(data.size(), 2u);
    EXPECT_EQ(data.at(u"three.dat"), Three);
}

TEST(ZipArchive, ReplacingAndAddingInAnOpenedArchive) {
    auto stream = MakeRef<TMemoryStream>();
    FillStream(stream.Get(), ThreeEntryArchive());
    TZipSession zip(stream.Get());
    zip.Archive->Open();
    // An existing entry marked for adding is packed anew.
    std::string newer = Mixed(5000, 9);
    zip.Sources[u"docs\\one.txt"] = newer;
    zip.Find(u"docs\\one.txt")->SetSourceSize(int64_t(newer.size()));
    zip.Add(u"docs\\four.txt", "four");
    zip.Archive->Save(0);

    TParsedZip parsed = ParseZip(ContentsOf(stream.Get()));
    ASSERT_EQ(parsed.Entries.size(), 4u);
    EXPECT_EQ(parsed.Entries[0].Name, "docs/one.txt");
    EXPECT_EQ(parsed.Entries[0].Method, 0);
    EXPECT_EQ(parsed.Entries[1].LocalOffset, 0u);
    TZipSession again(stream.Get());
    again.Archive->Open();
    auto data = again.ExtractAll();
    EXPECT_EQ(data.at(u"docs\\one.txt"), newer);
    EXPECT_EQ(data.at(u"two.bin"), Two);
    EXPECT_EQ(data.at(u"docs\\four.txt"), "four");
}

TEST(ZipArchive, AnEmptyArchiveLosesItsOldEndRecord) {
    // An archive without entries: its directory is at offset 0.
    TZipFixture empty;
    auto stream = MakeRef<TMemoryStream>();
    FillStream(stream.Get(), empty.Build());
    TZipSession zip(stream.Get());
    zip.Archive->Open();
    zip.Add(u"only.txt", "only");
    zip.Archive->Save(3);
    TParsedZip parsed = ParseZip(ContentsOf(stream.Get()));
    ASSERT_EQ(parsed.Entries.size(), 1u);
    EXPECT_EQ(parsed.Entries[0].LocalOffset, 0u);
}

TEST(ZipArchive, DeletingEntriesWithDataDescriptors) {
    // Descriptors with and without their optional signature.
    TZipFixture fixture;
    for (int i = 0; i < 3; ++i) {
        TZipFixtureEntry e;
        e.Name = "file" + std::to_string(i);
        e.Data = Mixed(1000 + 100 * size_t(i), uint32_t(20 + i));
        e.Descriptor = true;
        fixture.Entries.push_back(e);
    }
    TBytes bytes = fixture.Build();
    for (bool signature : {true, false}) {
        TBytes original = bytes;
        if (!signature) {
            // Take the descriptor signatures out and fix the offsets.
            TBytes stripped;
            uint32_t removed = 0;
            for (size_t i = 0; i < original.size(); ++i) {
                if (i + 4 <= fixture.DirectoryOffset && Get32At(original, i) == 0x08074B50u) {
                    removed += 4;
                    i += 3;
                    continue;
                }
                stripped.push_back(original[i]);
            }
            original = stripped;
            size_t end = original.size() - 22;
            Put32At(original, end + 16, fixture.DirectoryOffset - removed);
            for (size_t i = 0, at = fixture.DirectoryOffset - removed; i < 3; ++i) {
                Put32At(original, at + 42, fixture.LocalOffsets[i] - 4 * uint32_t(i));
                at += 46 + Get16At(original, at + 28);
            }
        }
        auto stream = MakeRef<TMemoryStream>();
        FillStream(stream.Get(), original);
        TZipSession zip(stream.Get());
        zip.Archive->Open();
        zip.Find(u"file1")->MarkDelete();
        zip.Archive->Save(0);
        TZipSession again(stream.Get());
        again.Archive->Open();
        auto data = again.ExtractAll();
        ASSERT_EQ(data.size(), 2u) << signature;
        EXPECT_EQ(data.at(u"file0"), fixture.Entries[0].Data);
        EXPECT_EQ(data.at(u"file2"), fixture.Entries[2].Data);
        EXPECT_EQ(stream->GetSize(), int64_t(original.size()) - (30 + 5 + 1100 + (signature ? 16 : 12)) - (46 + 5))
            << signature;
    }
}

// Entries found by a scan may nest (an archive stored, without its own
// directory, in one that lost its directory). Removing the outer entry
// would take the inner one's bytes with it: the save is refused before
// anything changes.
TEST(ZipArchive, ASaveThatWouldCutAKeptEntryIsRefused) {
    TZipFixture inner;
    inner.Entries = {FixtureFile("inner.txt", "inside")};
    inner.WithDirectory = false;
    TBytes innerBytes = inner.Build();
    TZipFixture outer;
    outer.Entries = {FixtureFile("outer.zip", std::string(innerBytes.begin(), innerBytes.end()))};
    outer.Entries[0].Descriptor = true;  // the scan has to look inside its data
    outer.WithDirectory = false;
    TBytes original = outer.Build();
    auto stream = MakeRef<TMemoryStream>();
    FillStream(stream.Get(), original);
    TZipSession zip(stream.Get());
    zip.Archive->Open();
    ASSERT_NE(zip.Find(u"outer.zip"), nullptr);
    ASSERT_NE(zip.Find(u"inner.txt"), nullptr);
    zip.Find(u"outer.zip")->MarkDelete();
    zip.Add(u"added.txt", "new");
    EXPECT_THROW(zip.Archive->Save(3), EArchiveDamaged);
    EXPECT_EQ(ContentsOf(stream.Get()), original);
}

// A failure at any write of a save leaves the stream as it was and reaches
// the caller; the archive can then be saved as if nothing had happened.
// Keeping no rollback (into a scratch copy), the save still raises that
// failure, and leaves the stream as it stopped.
TEST(ZipArchive, AFailedSaveRestoresTheStreamAndRaises) {
    TBytes original = ThreeEntryArchive();
    std::string added = Mixed(300000, 7);
    std::string newer = Mixed(20000, 6);
    auto changes = [&](TZipSession& zip) {
        zip.Archive->Open();
        zip.Find(u"two.bin")->MarkDelete();
        zip.Add(u"docs\\added.txt", added);
        zip.Sources[u"three.dat"] = newer;
        zip.Find(u"three.dat")->SetSourceSize(int64_t(newer.size()));
    };
    for (bool keepsRollback : {true, false}) {
        int failures = 0;
        for (int failAt = 1;; ++failAt) {
            auto stream = MakeRef<TFaultyStream>();
            FillStream(stream.Get(), original);
            TZipSession zip(stream.Get());
            changes(zip);
            zip.Archive->KeepsRollback = keepsRollback;
            stream->Writes = 0;
            stream->FailAt = failAt;
            try {
                zip.Archive->Save(3);
            } catch (const EStreamWriteError&) {
                ++failures;
                if (!keepsRollback) continue;
                ASSERT_EQ(ContentsOf(stream.Get()), original) << "write " << failAt;
                // The tree is what it was too: the entry being replaced
                // still reads as its old self.
                stream->FailAt = 0;
                zip.Find(u"three.dat")->MarkExtract();
                zip.Archive->Extract();
                EXPECT_EQ(zip.Extracted.at(u"three.dat"), Three) << "write " << failAt;
                zip.Archive->Save(3);
                auto data = zip.ExtractAll();
                EXPECT_EQ(data.size(), 3u) << "write " << failAt;
                EXPECT_EQ(data.at(u"docs\\added.txt"), added) << "write " << failAt;
                EXPECT_EQ(data.at(u"three.dat"), newer) << "write " << failAt;
                continue;
            }
            EXPECT_EQ(zip.ExtractAll().size(), 3u);
            break;
        }
        EXPECT_GT(failures, 5);
    }
}

TEST(ZipArchive, AFailedSaveOfFilesRestoresThemWhateverWriteFails) {
    TScratchFolder scratch;
    std::string original = Text(ThreeEntryArchive());
    WideString path = scratch / u"archive.zip";
    int failAt = 1;
    for (;; ++failAt) {
        scratch.Write(path, original);
        auto api = MakeRef<TFailingWrite>(failAt);
        bool failed = false;
        {
            auto stream = MakeRef<TFileStream>(path);
            TZipSession zip(stream.Get());
            zip.Archive->Open();
            zip.Find(u"docs\\one.txt")->MarkDelete();
            zip.Add(u"new.txt", Mixed(20000, 8));
            TFileAPIScope scope(api.Get());
            try {
                zip.Archive->Save(3);
            } catch (const EStreamWriteError&) {
                failed = true;
            }
        }
        if (!failed) break;
        EXPECT_TRUE(scratch.Read(path) == original) << "write " << failAt;
    }
    // Writes of the rollback store, of the cut and of the new data.
    EXPECT_GT(failAt, 5);
}

TEST(ZipArchive, AFailedNewArchiveLeavesTheStreamEmpty) {
    for (int failAt = 1; failAt < 4; ++failAt) {
        auto stream = MakeRef<TFaultyStream>();
        TZipSession zip(stream.Get());
        zip.Add(u"one.txt", One);
        stream->FailAt = failAt;
        EXPECT_THROW(zip.Archive->Save(3), EStreamWriteError);
        EXPECT_EQ(stream->GetSize(), 0);
    }
}

TEST(ZipArchive, AStopDuringASaveRestoresTheStream) {
    TBytes original = ThreeEntryArchive();
    // Stopped while packing (storing too), and while cutting.
    for (int level : {3, 0, -1}) {
        bool whilePacking = level >= 0;
        auto stream = MakeRef<TMemoryStream>();
        FillStream(stream.Get(), original);
        TZipSession zip(stream.Get());
        zip.Archive->Open();
        zip.Find(u"two.bin")->MarkDelete();
        zip.Add(u"big.bin", Mixed(3000000, 4));
        if (whilePacking) {
            auto pack = zip.CallBack->OnPackItem;
            zip.CallBack->OnPackItem = [&, pack](TArchiveCallBack* sender, TStream* target) {
                sender->Aborted = true;
                pack(sender, target);
            };
        } else {
            zip.CallBack->Aborted = true;
        }
        EXPECT_EQ(MessageOf<EArchiveAbort>([&] { zip.Archive->Save(level < 0 ? 3 : level); }), "User aborted") << level;
        EXPECT_EQ(ContentsOf(stream.Get()), original) << level;
    }
    // Asked for as the first of three small stored files ends: nothing
    // after it reports progress.
    auto stream = MakeRef<TMemoryStream>();
    FillStream(stream.Get(), original);
    TZipSession zip(stream.Get());
    zip.Archive->Open();
    for (const char16_t* name : {u"a", u"b", u"c"}) zip.Add(name, "small");
    auto pack = zip.CallBack->OnPackItem;
    zip.CallBack->OnPackItem = [&, pack](TArchiveCallBack* sender, TStream* target) {
        pack(sender, target);
        sender->Aborted = true;
    };
    EXPECT_THROW(zip.Archive->Save(0), EArchiveAbort);
    EXPECT_EQ(ContentsOf(stream.Get()), original);
}

namespace {
// A wrong password passes an entry's check byte one time in 256 and then
// fails as damage: the test takes one that the header of every entry refuses.
WideString RefusedPassword(const TBytes& archive, const TParsedZip& parsed) {
    for (WideString candidate = u"guess";; candidate += u'!') {
        bool refused = true;
        for (const TParsedEntry& entry : parsed.Entries) {
            TZipLocalHeader local;
            EXPECT_TRUE(DecodeRecord(archive.data() + entry.LocalOffset, local));
            const size_t data = entry.LocalOffset + ZipRecord::LocalHeaderSize + local.NameLength + local.ExtraLength;
            auto header = MakeRef<TMemoryStream>();
            header->WriteBuffer(archive.data() + data, TZipPasswordStream::HeaderSize);
            header->SetPosition(0);
            auto decrypt = MakeRef<TZipPasswordStream>(header.Get());
            decrypt->SetPassword(candidate);
            decrypt->Reset();
            decrypt->CheckValue = (local.Flags & ZipFlag::DataDescriptor) ? local.DosTime >> 8 & 0xFF : entry.Crc >> 24;
            uint8_t none[1];
            decrypt->Read(TByteSpan(none, 1), 0, 0);
            refused = refused && !decrypt->HeaderMatched();
        }
        if (refused) return candidate;
    }
}
}  // namespace

TEST(ZipArchive, EncryptedSaveReadsBackWithThePassword) {
    auto stream = MakeRef<TMemoryStream>();
    TZipSession zip(stream.Get());
    zip.Archive->Encrypt = true;
    zip.Archive->SetPassword(u"secret");
    zip.Add(u"one.txt", One);
    zip.Add(u"empty.txt", "");
    zip.Archive->Save(3);
    TParsedZip parsed = ParseZip(ContentsOf(stream.Get()));
    ASSERT_EQ(parsed.Entries.size(), 2u);
    EXPECT_EQ(parsed.Entries[0].Flags & 9, 9);
    EXPECT_EQ(parsed.Entries[1].PackedSize, 12u + 2u);  // header and an empty deflate block
    // The tree says what was written, for the same session to read it.
    EXPECT_EQ(zip.ExtractAll().at(u"one.txt"), One);
    zip.Archive->Encrypt = false;
    zip.Sources[u"one.txt"] = Two;
    zip.Find(u"one.txt")->SetSourceSize(int64_t(Two.size()));
    zip.Archive->Save(3);
    EXPECT_FALSE(zip.Find(u"one.txt")->Attributes().Contains(TArchAttribute::Encrypted));
    EXPECT_EQ(zip.ExtractAll().at(u"one.txt"), Two);
    zip.Archive->Encrypt = true;
    zip.Sources[u"one.txt"] = One;
    zip.Find(u"one.txt")->SetSourceSize(int64_t(One.size()));
    zip.Archive->Save(3);

    TZipSession again(stream.Get());
    again.Archive->SetPassword(u"secret");
    again.Archive->Open();
    EXPECT_TRUE(again.Find(u"one.txt")->Attributes().Contains(TArchAttribute::Encrypted));
    auto data = again.ExtractAll();
    EXPECT_EQ(data.at(u"one.txt"), One);
    EXPECT_EQ(data.at(u"empty.txt"), "");

    // A wrong password is told by the check byte of the encryption header,
    // and no password at all is said so; neither is taken for damage.
    const TBytes bytes = ContentsOf(stream.Get());
    for (const WideString& password : {RefusedPassword(bytes, ParseZip(bytes)), WideString()}) {
        TZipSession wrong(stream.Get());
        wrong.Archive->SetPassword(password);
        wrong.CollectErrors();
        wrong.Archive->Open();
        try {
            wrong.ExtractAll();
            ADD_FAILURE() << "no exception";
        } catch (const EArchivePassword& e) {
            EXPECT_NE(std::string(e.what()).find("\"one.txt\""), std::string::npos) << e.what();
        }
        EXPECT_TRUE(wrong.Errors.empty());
    }
}

// ---- Extraction of damaged archives ----

namespace {
TBytes DamagedArchive(size_t damaged, bool header);

// prefix + i, built by appending: mingw's g++ 12 sees a false overlap in
// "literal" + std::string once inlined, and warnings are errors.
std::string Numbered(const char* prefix, int i) {
    std::string text(prefix);
    return text += std::to_string(i);
}
}  // namespace

// What a save does not rewrite it keeps byte for byte (names, flags, the
// comment's encoding); what it writes it describes as written.
TEST(ZipArchive, ASaveKeepsWhatItDoesNotWriteAndDescribesWhatItDoes) {
    TZipFixture fixture;
    TZipFixtureEntry streamed = FixtureFile("streamed.txt", "old data");
    streamed.Descriptor = true;
    TZipFixtureEntry utf8 = FixtureFile("na\xC3\xAFve.txt", "UTF-8 name");
    utf8.Flags = ZipFlag::Utf8;
    // A UTF-8 comment without the flag, and extra fields, stay as stored.
    TZipFixtureEntry commented = FixtureFile("caf\x82.txt", "OEM name");
    commented.Comment = "caf\xC3\xA9";
    commented.Extra = std::string("UT\x05\x00\x03\x10\x20\x30\x40", 9);
    // The UTF-8 entry last: reading it leaves the structure set to UTF-8.
    fixture.Entries = {commented, streamed, utf8};
    fixture.Comment = "comment \x82";
    TBytes original = fixture.Build();
    auto stream = MakeRef<TMemoryStream>();
    FillStream(stream.Get(), original);
    TZipSession zip(stream.Get());
    zip.Archive->Open();
    EXPECT_EQ(MessageOf<EArchiveError>([&] { zip.Archive->Save(TZipArchive::MaxLevel + 1); }),
              "Level 6 is above the highest this archive offers (5)");
    EXPECT_EQ(ContentsOf(stream.Get()), original);

    zip.Sources[u"streamed.txt"] = "new data";
    zip.Find(u"streamed.txt")->SetSourceSize(8);
    // Added and deleted again before the save: nothing to write or cut.
    zip.Add(u"dropped.txt", "x")->MarkDelete();
    zip.Archive->Save(3);
    TBytes saved = ContentsOf(stream.Get());
    EXPECT_EQ(std::string(saved.end() - 9, saved.end()), "comment \x82");
    // The parser takes archives without a comment.
    TBytes uncommented(saved.begin(), saved.end() - 9);
    Put16At(uncommented, uncommented.size() - 2, 0);
    TParsedZip parsed = ParseZip(uncommented);
    ASSERT_EQ(parsed.Entries.size(), 3u);
    EXPECT_EQ(parsed.Entries[0].Name, "caf\x82.txt");
    EXPECT_EQ(parsed.Entries[0].Flags, 0);
    EXPECT_EQ(parsed.Entries[1].Name, "streamed.txt");
    EXPECT_EQ(parsed.Entries[1].Flags, 0);  // no descriptor written, none announced
    EXPECT_EQ(parsed.Entries[2].Name, "na\xC3\xAFve.txt");
    EXPECT_EQ(parsed.Entries[2].Flags, ZipFlag::Utf8);
    zip.Archive->Save(3);  // and saveable again
    TZipSession again(stream.Get());
    again.Archive->Open();
    EXPECT_EQ(again.Archive->Structure()->Entry(0)->CommentBytes, "caf\xC3\xA9");
    EXPECT_EQ(again.Archive->Structure()->Entry(0)->CentralExtra, commented.Extra);
    EXPECT_EQ(again.ExtractAll().at(u"streamed.txt"), "new data");
}

// Archives make their structures of the class set at start-up, so that a
// program's own reading of extra fields is used.
TEST(ZipArchive, TheStructureClassIsReplaceable) {
    static int extraFields = 0;
    struct TCountingStructure : TZipStructure {
        void ReadExtraField(TZipItem*, TConstByteSpan) override { ++extraFields; }
    };
    TZipStructureClass saved =
        std::exchange(ZipStructureClass, []() -> TZipStructure* { return New<TCountingStructure>(); });
    auto stream = MakeRef<TMemoryStream>();
    FillStream(stream.Get(), DamagedArchive(0, false));
    TZipSession zip(stream.Get());
    ZipStructureClass = saved;
    zip.Archive->Open();
    EXPECT_EQ(extraFields, 3);
}

namespace {
// Three stored entries; the one at damaged gets a wrong CRC or signature.
TBytes DamagedArchive(size_t damaged, bool header) {
    TZipFixture fixture;
    for (int i = 0; i < 3; ++i) {
        TZipFixtureEntry e;
        e.Name = Numbered("e", i);
        e.Data = Numbered("data of entry ", i);
        if (!header && size_t(i) == damaged) e.Crc = 12345;
        fixture.Entries.push_back(e);
    }
    TBytes bytes = fixture.Build();
    if (header) bytes[fixture.LocalOffsets[damaged]] = 'X';
    return bytes;
}
}  // namespace

TEST(ZipArchive, DamageInAnyEntryStopsTheExtraction) {
    for (bool header : {false, true}) {
        for (size_t damaged : {0u, 2u}) {
            auto stream = MakeRef<TMemoryStream>();
            FillStream(stream.Get(), DamagedArchive(damaged, header));
            TZipSession zip(stream.Get());
            zip.Archive->Open();
            EXPECT_EQ(MessageOf<EArchiveAbort>([&] { zip.ExtractAll(); }), "User aborted") << header << " " << damaged;
            // Nothing after the damaged entry is handed out.
            EXPECT_EQ(zip.Extracted.count(u"e1"), damaged == 0 ? 0u : 1u);
        }
    }
}

TEST(ZipArchive, DamageReportedToEventsLetsTheExtractionGoOn) {
    for (bool header : {false, true}) {
        auto stream = MakeRef<TMemoryStream>();
        FillStream(stream.Get(), DamagedArchive(1, header));
        TZipSession zip(stream.Get());
        zip.CollectErrors();
        zip.Archive->Open();
        auto data = zip.ExtractAll();
        ASSERT_EQ(zip.Errors.size(), 1u);
        EXPECT_EQ(zip.Errors[0], header ? "e1: Error in local file header" : "e1: CRC doesn' match");
        EXPECT_EQ(data.at(u"e2"), "data of entry 2");
        EXPECT_EQ(data.count(u"e1"), header ? 0u : 1u);
        // Extracted items lose their mark.
        EXPECT_FALSE(zip.Find(u"e2")->State.Contains(TArchState::Extract));
    }
}

TEST(ZipArchive, AnUnknownMethodStopsTheExtraction) {
    TZipFixture fixture;
    TZipFixtureEntry e;
    e.Name = "packed";
    e.Data = "whatever";
    e.Method = 12;
    fixture.Entries.push_back(e);
    auto stream = MakeRef<TMemoryStream>();
    FillStream(stream.Get(), fixture.Build());
    TZipSession zip(stream.Get());
    zip.Archive->Open();
    EXPECT_EQ(MessageOf<TCommonException>([&] { zip.ExtractAll(); }),
              "The entry \"packed\" uses compression method 12 (BZip2), which cannot be unpacked");
}

// Entries that disagree with the archive around them are damaged, named
// with the cause, before their data reaches the user; their neighbours are
// not.
TEST(ZipArchive, InconsistentEntriesAreDamagedAndNamed) {
    // Packed size and size of entry i, in its local header and its record alike.
    static auto Sizes = [](TBytes& b, const TZipFixture& z, int i, uint32_t packed, uint32_t size) {
        Put32At(b, z.LocalOffsets[size_t(i)] + 18, packed);
        Put32At(b, z.LocalOffsets[size_t(i)] + 22, size);
        Put32At(b, z.CentralOffsets[size_t(i)] + 20, packed);
        Put32At(b, z.CentralOffsets[size_t(i)] + 24, size);
    };
    using TChange = std::function<void(TBytes&, const TZipFixture&)>;
    struct TCase {
        TChange Change;
        const char* Entry;
        const char* Cause;
    };
    const TCase cases[] = {
        {[](TBytes& b, const TZipFixture& z) { b[z.LocalOffsets[1] + 30] = 'X'; }, "e1",
         "its local header holds another name"},
        {[](TBytes& b, const TZipFixture& z) { Put32At(b, z.CentralOffsets[2] + 42, z.LocalOffsets[1]); }, "e1",
         "another directory record points to the same local header"},
        {[](TBytes& b, const TZipFixture& z) { Sizes(b, z, 0, 40, 40); }, "e0",
         "its data overlaps the next entry or the central directory"},
        {[](TBytes& b, const TZipFixture& z) { Sizes(b, z, 2, 6, 100); }, "e2",
         "its data ends before its recorded size"},
        {[](TBytes& b, const TZipFixture& z) { Sizes(b, z, 2, 6, 3); }, "e2", "its data runs past its recorded size"},
        // The directory is right and the local header is not (or the other way round).
        {[](TBytes& b, const TZipFixture& z) { b[z.LocalOffsets[1] + 14] ^= 1; }, "e1",
         "its local header gives another CRC-32"},
        {[](TBytes& b, const TZipFixture& z) { Put32At(b, z.CentralOffsets[1] + 24, 7); }, "e1",
         "its local header gives another size"},
    };
    for (const TCase& c : cases) {
        TZipFixture fixture;
        for (int i = 0; i < 3; ++i) fixture.Entries.push_back(FixtureFile(Numbered("e", i), Numbered("data ", i)));
        TBytes bytes = fixture.Build();
        c.Change(bytes, fixture);
        auto stream = MakeRef<TMemoryStream>();
        FillStream(stream.Get(), bytes);
        TZipSession zip(stream.Get());
        zip.CollectErrors();
        zip.Archive->Open();
        EXPECT_EQ(MessageOf<EArchiveDamaged>([&] { zip.ExtractAll(); }),
                  "The entry \"" + std::string(c.Entry) + "\" is damaged: " + c.Cause);
        // Sizes show only as the data passes; everything else stops it before.
        bool sizes = std::string(c.Cause).find("recorded size") != std::string::npos;
        EXPECT_EQ(zip.Extracted.count(Utf8ToWide(c.Entry)), sizes ? 1u : 0u) << c.Cause;
    }
}

// Without a directory, an entry whose sizes follow its data is read from
// its descriptor, the last one of the file too; without the descriptor it
// is damaged, never an empty file.
TEST(ZipArchive, ScannedEntriesWithoutSizesAreDamaged) {
    TZipFixture fixture;
    fixture.WithDirectory = false;
    TZipFixtureEntry last = FixtureFile("last.txt", "the last entry's data");
    last.Descriptor = true;
    fixture.Entries = {FixtureFile("first.txt", "first"), last};
    TBytes bytes = fixture.Build();
    auto stream = MakeRef<TMemoryStream>();
    FillStream(stream.Get(), bytes);
    TZipSession zip(stream.Get());
    zip.Archive->Open();
    EXPECT_TRUE(zip.Archive->DirectoryRecovered());
    EXPECT_EQ(zip.ExtractAll().at(u"last.txt"), "the last entry's data");

    bytes.resize(bytes.size() - 16);
    auto cutStream = MakeRef<TMemoryStream>();
    FillStream(cutStream.Get(), bytes);
    TZipSession cut(cutStream.Get());
    cut.Archive->Open();
    EXPECT_EQ(MessageOf<EArchiveDamaged>([&] { cut.ExtractAll(); }),
              "The entry \"last.txt\" is damaged: the central directory is missing and no data descriptor gives "
              "its sizes");
    EXPECT_EQ(cut.Extracted.at(u"first.txt"), "first");

    // Nor is it written with sizes 0 by a save: the save is refused.
    ExpectAddingRefusedAsDamaged(bytes);
}

// The old directory is cut out with the save: an entry whose header it
// claims to hold would lose it.
TEST(ZipArchive, AKeptEntryInsideTheOldDirectoryIsRefused) {
    TZipFixture fixture;
    fixture.Entries = {FixtureFile("a.txt", "aaa"), FixtureFile("b.txt", "bbb")};
    TBytes original = fixture.Build();
    Put32At(original, fixture.CentralOffsets[1] + 42, fixture.DirectoryOffset);
    ExpectAddingRefusedAsDamaged(original);
}

// Purging a deleted folder frees what it holds: an item added into it, or
// kept in it, is refused before anything changes.
TEST(ZipArchive, WhatIsAddedOrKeptInAFolderBeingDeletedIsRefused) {
    TBytes original = ThreeEntryArchive();
    for (bool adding : {true, false}) {
        auto stream = MakeRef<TMemoryStream>();
        FillStream(stream.Get(), original);
        TZipSession zip(stream.Get());
        zip.Archive->Open();
        zip.Find(u"docs")->MarkDelete();
        if (adding) zip.Add(u"docs\\new.txt", "new");
        else zip.Find(u"docs\\one.txt")->ClearMark(TArchState::Delete);
        EXPECT_EQ(MessageOf<TCommonException>([&] { zip.Archive->Save(3); }),
                  "cannot add the item to \"docs\" folder  being deleted")
            << adding;
        EXPECT_EQ(ContentsOf(stream.Get()), original);
        // Once the folder is kept, the same save goes through.
        zip.Find(u"docs")->ClearMark(TArchState::Delete);
        zip.Archive->Save(3);
        EXPECT_EQ(zip.ExtractAll().at(u"docs\\one.txt"), One);
    }
}

TEST(ZipArchive, Refusals) {
    auto archive = MakeRef<TZipArchive>();
    auto stream = MakeRef<TMemoryStream>();
    archive->SetStream(stream.Get());
    for (auto step :
         {std::function<void()>([&] { archive->Open(); }), std::function<void()>([&] { archive->Extract(); }),
          std::function<void()>([&] { archive->Save(3); })})
        EXPECT_EQ(MessageOf<EArchiveError>(step), "CallBack must be assigned to perform the operation");
    EXPECT_NE(
        MessageOf<EAbort>([&] { archive->SetFileName(u"x.zip"); }).find("Zip Files are not supported, use Streams"),
        std::string::npos);
    EXPECT_EQ(archive->GetFileName(), u"x.zip");
    // Only what the registries hold is there.
    EXPECT_NE(archive->Packer(8), nullptr);
    EXPECT_NE(archive->Unpacker(0), nullptr);
    EXPECT_EQ(archive->Packer(9), nullptr);
    EXPECT_EQ(archive->Unpacker(12), nullptr);
}

// ---- Exchange with other tools ----

// Run by the end-to-end test, which makes archives with other tools in the
// folder named by NVX_ZIP_EXCHANGE and checks the ones written to its "out".
class ZipExchange : public testing::Test {
protected:
    void SetUp() override {
        auto folder = GetEnvironment(u"NVX_ZIP_EXCHANGE");
        if (!folder) GTEST_SKIP() << "run by the end-to-end test of the archive";
        Folder = *folder;
        std::filesystem::create_directories(FsPath(Out(u"")));
    }
    WideString In(const WideString& name) const { return JoinPath(Folder, name); }
    WideString Out(const WideString& name) const { return JoinPath(JoinPath(Folder, u"out"), name); }
    // An archive file opened for the whole test, made empty or copied from
    // one of the inputs.
    TFileStream* Output(const WideString& name, const WideString& copyOf = u"") {
        if (!copyOf.empty())
            std::filesystem::copy_file(FsPath(In(copyOf)), FsPath(Out(name)),
                                       std::filesystem::copy_options::overwrite_existing);
        FStreams.push_back(MakeRef<TFileStream>(
            Out(name), FileAccess::ReadWrite, uint8_t(FileShare::Read),
            uint8_t(copyOf.empty() ? FileDisposition::CreateAlways : FileDisposition::OpenExisting)));
        return FStreams.back().Get();
    }

    WideString Folder;

private:
    std::vector<TRef<TFileStream>> FStreams;
};

TEST_F(ZipExchange, ReadsEntriesEncryptedByOtherTools) {
    for (const WideString name : {u"encrypted-deflated.zip", u"encrypted-stored.zip"}) {
        auto stream = MakeRef<TFileStream>(In(name), FileAccess::Read, uint8_t(FileShare::Read),
                                           uint8_t(FileDisposition::OpenExisting));
        TZipSession zip(stream.Get());
        zip.Archive->SetPassword(u"secret");
        zip.Archive->Open();
        auto data = zip.ExtractAll();
        ASSERT_EQ(data.size(), 2u) << Narrow(name);
        for (const auto& [path, bytes] : data) {
            EXPECT_TRUE(zip.Find(path)->Attributes().Contains(TArchAttribute::Encrypted));
            WideString plain = IncludeTrailingBackslash(In(u"plain"));
            for (WideChar c : path) plain += c == u'\\' ? PathDelim : c;
            EXPECT_TRUE(bytes == ReadBytes(plain)) << Narrow(path);
        }
    }
}

TEST_F(ZipExchange, WritesArchivesThatOtherToolsAccept) {
    for (int level : {3, 0}) {
        TZipSession zip(Output(level ? u"two-level3.zip" : u"two-level0.zip"));
        zip.Add(u"a\\b\\one.txt", One);
        zip.Add(u"two.bin", Two);
        zip.Archive->Save(level);
    }
    {
        TFileStream* stream = Output(u"delete-one-of-three.zip");
        TBytes three = ThreeEntryArchive();
        stream->Write(three.data(), int32_t(three.size()));
        TZipSession zip(stream);
        zip.Archive->Open();
        zip.Find(u"two.bin")->MarkDelete();
        zip.Archive->Save(3);
    }
    {
        // Entries with data descriptors; the first goes, one comes.
        TZipSession zip(Output(u"changed-python.zip", u"python-descriptors.zip"));
        zip.Archive->Open();
        zip.Find(u"first.txt")->MarkDelete();
        zip.Add(u"added\\by-us.txt", Three);
        zip.Archive->Save(3);
    }
    {
        TZipSession zip(Output(u"changed-7z.zip", u"7z-made.zip"));
        zip.Archive->Open();
        zip.Add(u"added.bin", Two);
        zip.Archive->Save(3);
    }
    {
        TZipSession zip(Output(u"encrypted-written.zip"));
        zip.Archive->Encrypt = true;
        zip.Archive->SetPassword(u"secret");
        zip.Add(u"one.txt", One);
        zip.Add(u"folder\\two.bin", Two);
        zip.Archive->Save(3);
    }
}

TEST(ZipArchive, SavingAgainReplacesTheDirectoryAndKeepsTheComment) {
    TZipFixture fixture;
    TZipFixtureEntry e;
    e.Name = "kept.txt";
    e.Data = "kept";
    fixture.Entries.push_back(e);
    fixture.Comment = "archive comment";
    auto stream = MakeRef<TMemoryStream>();
    FillStream(stream.Get(), fixture.Build());
    TZipSession zip(stream.Get());
    zip.Archive->Open();
    for (const WideString name : {u"second.txt", u"third.txt"}) {
        zip.Add(name, Text(BytesOf("data of " + Narrow(name))));
        zip.Archive->Save(3);
    }
    TBytes bytes = ContentsOf(stream.Get());
    std::string comment = "archive comment";
    ASSERT_GT(bytes.size(), comment.size());
    // The end record, with its comment, ends the file.
    EXPECT_EQ(Text(TBytes(bytes.end() - long(comment.size()), bytes.end())), comment);
    TBytes withoutComment(bytes.begin(), bytes.end() - long(comment.size()));
    Put16At(withoutComment, withoutComment.size() - 2, 0);
    TParsedZip parsed = ParseZip(withoutComment);
    ASSERT_EQ(parsed.Entries.size(), 3u);
    EXPECT_EQ(parsed.Entries[2].Name, "third.txt");

    TZipSession again(stream.Get());
    again.Archive->Open();
    EXPECT_EQ(again.Archive->Structure()->Comment, u"archive comment");
    EXPECT_EQ(again.ExtractAll().at(u"second.txt"), "data of second.txt");
}

TEST(ZipArchive, KeptEntriesMoveByWhatWasCutBelowThemWhateverTheDirectoryOrder) {
    TZipFixture fixture;
    for (int i = 0; i < 3; ++i) {
        TZipFixtureEntry e;
        e.Name = "n" + std::to_string(i);
        e.Data = Mixed(500 + 100 * size_t(i), uint32_t(40 + i));
        fixture.Entries.push_back(e);
    }
    TBytes bytes = fixture.Build();
    // The directory lists the last entry first.
    std::vector<TBytes> records;
    for (size_t i = 0; i < 3; ++i) {
        size_t at = fixture.CentralOffsets[i];
        size_t end = i + 1 < 3 ? fixture.CentralOffsets[i + 1] : fixture.EndOffset;
        records.emplace_back(bytes.begin() + long(at), bytes.begin() + long(end));
    }
    TBytes reordered(bytes.begin(), bytes.begin() + fixture.DirectoryOffset);
    for (size_t i : {2u, 0u, 1u}) reordered.insert(reordered.end(), records[i].begin(), records[i].end());
    reordered.insert(reordered.end(), bytes.begin() + fixture.EndOffset, bytes.end());

    auto stream = MakeRef<TMemoryStream>();
    FillStream(stream.Get(), reordered);
    TZipSession zip(stream.Get());
    zip.Archive->Open();
    zip.Find(u"n0")->MarkDelete();
    zip.Archive->Save(0);
    TZipSession again(stream.Get());
    again.Archive->Open();
    auto data = again.ExtractAll();
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data.at(u"n1"), fixture.Entries[1].Data);
    EXPECT_EQ(data.at(u"n2"), fixture.Entries[2].Data);
}

// ---- Saving over the web page's working copy ----
// The page's copy cannot read back a chunk once a write has started past
// it. The in-place fix's saves have to do without such reads; only the
// rollback of a failed save makes them.

namespace {
// Small against the archives below: each spans tens of chunks.
constexpr int32_t SealChunk = 4096;
const std::string ViewerName = "show/viewer";
const std::string Payload = Mixed(40000, 60);

// Bytes that do not compress.
std::string Noise(size_t count) {
    std::string bytes(count, '\0');
    uint32_t state = 2463534242u;
    for (char& c : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = char(state >> 24);
    }
    return bytes;
}

// An archive laid out by letters: 'V' the viewer, 'T' a twin of its name,
// 'o' another file; every entry with a data descriptor or none.
struct TLaidOut {
    TBytes Bytes;
    std::map<std::string, std::string> Others;  // data by stored name
    std::string Viewer;
    std::vector<uint32_t> LocalOffsets;
    uint32_t DirectoryOffset = 0;
};

TLaidOut LayOut(const std::string& layout, bool descriptors) {
    TLaidOut laid;
    TZipFixture fixture;
    for (size_t i = 0; i < layout.size(); ++i) {
        // Packed, the payload takes less room than the old viewer, the large one more.
        size_t size = layout[i] == 'V' ? 30000 : 6000 + 7919 * i % 20000;
        std::string data = Mixed(size, uint32_t(70 + i));
        std::string name = layout[i] == 'o' ? Numbered("show/pic", int(i)) : ViewerName;
        if (layout[i] == 'o') laid.Others[name] = data;
        if (layout[i] == 'V') laid.Viewer = data;
        fixture.Entries.push_back(FixtureFile(name, data));
        fixture.Entries.back().Descriptor = descriptors;
    }
    laid.Bytes = fixture.Build();
    laid.LocalOffsets = fixture.LocalOffsets;
    laid.DirectoryOffset = fixture.DirectoryOffset;
    return laid;
}

// As the in-place fix sets up the entry at index: its twins go, it takes
// data through one write of the packing callback.
void ReplaceAsTheFixDoes(TZipSession& zip, int32_t index, const std::string& data) {
    TZipItem* entry = zip.Archive->Structure()->Entry(index);
    TArchItem* viewer = entry->Item;
    for (int32_t i = 0; i < zip.Archive->Structure()->Count(); ++i) {
        TArchItem* item = zip.Archive->Structure()->Entry(i)->Item;
        if (item != viewer && item->Path() == viewer->Path()) item->MarkDelete();
    }
    zip.Archive->ReplaceEntry(entry, int64_t(data.size()), LocalNow(), UnixMode::Program);
    zip.CallBack->OnPackItem = [&data](TArchiveCallBack*, TStream* stream) {
        stream->WriteBuffer(data.data(), int32_t(data.size()));
    };
}

// A save over the copy that met no sealed chunk, wrote nothing in front of
// front, and left an archive holding the viewer and the others, the
// viewer with the fields of a Unix program.
void ExpectSoundSave(TSealingStream* stream, const TBytes& original, int64_t front, const std::string& viewer,
                     std::map<std::string, std::string> expected) {
    EXPECT_EQ(stream->SealedAt, -1) << "a sealed chunk was met at this offset";
    EXPECT_EQ(stream->LowestWrite, front);
    TBytes bytes = stream->Bytes();
    ASSERT_GE(bytes.size(), size_t(front));
    EXPECT_TRUE(std::equal(original.begin(), original.begin() + front, bytes.begin()));
    expected[ViewerName] = viewer;
    TParsedZip parsed = ParseZip(bytes);
    EXPECT_EQ(parsed.Entries.size(), expected.size());
    for (const TParsedEntry& e : parsed.Entries) {
        if (e.Name != ViewerName) continue;
        EXPECT_EQ(e.Host, ZipHost::Unix);
        EXPECT_EQ(e.External, UnixMode::Program << 16);
    }
    auto copy = MakeRef<TMemoryStream>();
    FillStream(copy.Get(), bytes);
    TZipSession again(copy.Get());
    again.Archive->Open();
    std::map<std::string, std::string> data;
    for (auto& [path, text] : again.ExtractAll()) {
        std::string name = Narrow(path);
        std::replace(name.begin(), name.end(), '\\', '/');
        data[name] = text;
    }
    EXPECT_TRUE(data == expected);
}
}  // namespace

// Replaced early, in the middle and last; twins of its name next to it
// (their blocks cut as one with its own) and apart from it on either side.
// A payload packed into more than one write has its local header finished
// in a chunk sealed meanwhile.
TEST(ZipArchive, ReplacingAViewerOverTheSealingCopyReadsNothingItWrote) {
    const std::string large = Noise(TDeflateStream::OutBufferSize + 100000);
    const std::pair<const char*, const std::string*> cases[] = {
        {"Vooo", &Payload},    {"ooVoo", &Payload}, {"oooV", &Payload}, {"VToo", &Payload},
        {"oToVoTo", &Payload}, {"ooTV", &Payload},  {"oToVoTo", &large}};
    // Small chunks catch reads close behind a write, large ones reads of
    // bytes never written in a chunk written elsewhere; the last size is the
    // page's own.
    for (int32_t chunkSize : {SealChunk, 16 * SealChunk, TStreamUtil::PieceSize}) {
        for (bool descriptors : {false, true}) {
            for (auto [layout, payload] : cases) {
                SCOPED_TRACE(layout + std::string(payload == &large ? " large" : "") +
                             (descriptors ? " descriptors" : "") + " in chunks of " + std::to_string(chunkSize));
                std::string letters = layout;
                TLaidOut laid = LayOut(letters, descriptors);
                auto stream = MakeRef<TSealingStream>(laid.Bytes, chunkSize);
                TZipSession zip(stream.Get());
                zip.Archive->Open();
                ReplaceAsTheFixDoes(zip, int32_t(letters.find('V')), *payload);
                ASSERT_NO_THROW(zip.Archive->Save(3)) << "a sealed chunk was met at " << stream->SealedAt;
                ExpectSoundSave(stream.Get(), laid.Bytes, laid.LocalOffsets[letters.find_first_of("VT")], *payload,
                                laid.Others);
                if (payload == &large) {
                    EXPECT_GT(stream->PatchedWrites, 0);
                }
            }
        }
    }
}

// Nothing marked: the save cuts only the old directory and writes it anew.
TEST(ZipArchive, ChangingOnlyDirectoryFieldsOverTheSealingCopyReadsNothingItWrote) {
    for (bool descriptors : {false, true}) {
        SCOPED_TRACE(descriptors ? "with descriptors" : "without descriptors");
        TLaidOut laid = LayOut("ooVoo", descriptors);
        auto stream = MakeRef<TSealingStream>(laid.Bytes, SealChunk);
        TZipSession zip(stream.Get());
        zip.Archive->Open();
        zip.Archive->SetEntryMode(zip.Archive->Structure()->Entry(2), UnixMode::Program);
        ASSERT_NO_THROW(zip.Archive->Save(3)) << "a sealed chunk was met at " << stream->SealedAt;
        ExpectSoundSave(stream.Get(), laid.Bytes, laid.DirectoryOffset, laid.Viewer, laid.Others);
    }
}

// Packing that fails after the cut: the rollback reads back what the cut
// moved. Where the copy allows that, the archive comes back whole; the
// page's copy refuses it, and its failure is the one raised.
TEST(ZipArchive, AReplacementFailingAfterTheCutRollsBackByReadingWhatItWrote) {
    TLaidOut laid = LayOut("oToVoTo", true);
    for (bool failSealed : {false, true}) {
        SCOPED_TRACE(failSealed ? "sealed chunks fail" : "sealed chunks read");
        auto stream = MakeRef<TSealingStream>(laid.Bytes, SealChunk);
        stream->FailSealed = failSealed;
        TZipSession zip(stream.Get());
        zip.Archive->Open();
        ReplaceAsTheFixDoes(zip, 3, Payload);
        zip.CallBack->OnPackItem = [](TArchiveCallBack*, TStream* target) {
            target->WriteBuffer(Payload.data(), int32_t(Payload.size() / 2));
            throw EArchiveError("packing failed");
        };
        if (failSealed) {
            EXPECT_EQ(MessageOf<EStreamError>([&] { zip.Archive->Save(3); }), "Input/output error");
            EXPECT_GE(stream->SealedAt, 0);
            continue;
        }
        EXPECT_EQ(MessageOf<EArchiveError>([&] { zip.Archive->Save(3); }), "packing failed");
        EXPECT_GT(stream->SealedHits, 0);
        EXPECT_TRUE(stream->Bytes() == laid.Bytes);
    }
}

// The copy itself: a chunk written past fails reads and cuts inside it,
// still takes writes, and goes with a cut at its start.
TEST(ZipArchive, TheSealingCopyFailsWhatThePageFails) {
    auto stream = MakeRef<TSealingStream>(TBytes(10 * SealChunk, 1), SealChunk);
    TBytes piece(100, 2), back(100);
    auto writeAt = [&](int64_t at, int32_t count) {
        stream->SetPosition(at);
        stream->WriteBuffer(piece.data(), count);
    };
    auto readsAt = [&](int64_t at) {
        stream->SetPosition(at);
        try {
            stream->ReadBuffer(back.data(), 100);
        } catch (const EStreamReadError&) {
            return false;
        }
        return true;
    };
    writeAt(SealChunk - 50, 100);
    // Chunk 0 is done with; chunk 1 not, though written, as the write began in it.
    writeAt(2 * SealChunk - 1, 1);
    EXPECT_FALSE(readsAt(0));
    EXPECT_TRUE(readsAt(SealChunk + 10));
    EXPECT_TRUE(readsAt(5 * SealChunk));
    writeAt(3 * SealChunk, 1);
    EXPECT_FALSE(readsAt(SealChunk + 10));
    writeAt(0, 100);
    EXPECT_EQ(stream->Bytes()[50], 2);
    EXPECT_THROW(stream->SetSize(SealChunk + 1), EStreamError);
    stream->SetSize(SealChunk);
    stream->SetSize(3 * SealChunk);
    EXPECT_TRUE(readsAt(SealChunk));
    EXPECT_EQ(back, TBytes(100, 0));
    EXPECT_EQ(stream->SealedHits, 3);
}
