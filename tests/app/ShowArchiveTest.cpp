#include <gtest/gtest.h>
#include <type_traits>
#include "Foundation/Exceptions.h"
#include "Payload.h"
#include "ShowArchive.h"
#include "ShowEdits.h"
#include "Streams/FileStream.h"
#include "support/ScratchFolder.h"
#include "support/ZipBuilder.h"

// Only a judged show is planned and saved, and its edits take it over: an
// archive not judged cannot be saved, and a save spends its edits.
static_assert(!std::is_constructible_v<TJudgedShow, TShowArchive&>);
static_assert(!std::is_copy_constructible_v<TJudgedShow>);
static_assert(!std::is_constructible_v<TShowEdits, TShowArchive&>);
static_assert(!std::is_constructible_v<TShowEdits, TJudgedShow&>);
static_assert(std::is_constructible_v<TShowEdits, TJudgedShow&&>);
static_assert(!std::is_move_constructible_v<TShowEdits>);
static_assert(!std::is_invocable_v<decltype(&TShowEdits::Save), TShowEdits&, TStream*, const TFixProgress&>);
static_assert(std::is_invocable_v<decltype(&TShowEdits::Save), TShowEdits&&, TStream*, const TFixProgress&>);

// What the types cannot hold is raised at the call: judged once, the modes
// known after the check, nothing through a show handed on or after the save.
TEST(ShowArchive, StepsOutOfOrderRaiseAtOnce) {
    TScratchFolder scratch;
    const WideString path = scratch / u"Show.zip";
    TZipFixture zip;
    zip.Entries = {FixtureFile("Show.app/Contents/Resources/slideshow.dat", "slides"),
                   FixtureFile("Show.app/Contents/Resources/Viewer.app/Contents/MacOS/ZuvOrudad5", "OLD")};
    const std::vector<uint8_t> bytes = zip.Build();
    scratch.Write(path, std::string(bytes.begin(), bytes.end()));
    // Saved into a copy, so that the file the check reads stays as it was.
    TRef<TMemoryStream> copy = MakeRef<TMemoryStream>();
    copy->Write(bytes.data(), int32_t(bytes.size()));
    TRef<TResourceStream> payload = OpenPayload();
    TRef<TFileStream> file = OpenArchiveForReading(path);
    TShowArchive show(file.Get(), path);
    TJudgedShow judged = show.Judge(*payload);
    ASSERT_EQ(judged.State(), TBundleState::NeedsFix);
    EXPECT_THROW(show.Judge(*payload), EAbort);
    EXPECT_THROW(judged.ProgramsToMode(true), EAbort);
    TShowEdits edits(std::move(judged));
    EXPECT_THROW(judged.Notes(true), EAbort);
    EXPECT_THROW(TShowEdits{std::move(judged)}, EAbort);
    EXPECT_GE(std::move(edits).Save(copy.Get(), {}), 0);
    EXPECT_THROW(std::move(edits).Save(copy.Get(), {}), EAbort);
    EXPECT_THROW(edits.Modes(), EAbort);
    EXPECT_THROW(show.Judge(*payload), EAbort);
}
