#include <gtest/gtest.h>
#include "Foundation/Exceptions.h"
#include "Payload.h"
#include "ShowArchive.h"
#include "Streams/FileStream.h"
#include "support/ScratchFolder.h"
#include "support/ZipBuilder.h"

// The steps in their order only: judged once, and nothing after the save,
// each mistake raised at the call.
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
    EXPECT_THROW(show.Rewrite(copy.Get(), true, {}), EAbort);
    EXPECT_THROW(show.Notes(true), EAbort);
    ASSERT_EQ(show.Judge(*payload), TBundleState::NeedsFix);
    EXPECT_THROW(show.Judge(*payload), EAbort);
    EXPECT_GE(show.Rewrite(copy.Get(), true, {}), 0);
    EXPECT_THROW(show.Rewrite(copy.Get(), true, {}), EAbort);
    EXPECT_THROW(show.ProgramsToMode(true), EAbort);
}
