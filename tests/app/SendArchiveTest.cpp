#include <gtest/gtest.h>
#include <filesystem>
#include <map>
#include <set>
#include <vector>
#include "Archivers/Zip/EntryModes.h"
#include "Archivers/Zip/ZipStructure.h"
#include "FixProcedure.h"
#include "Foundation/Exceptions.h"
#include "SendArchive.h"
#include "support/FaultyFileAPI.h"
#include "support/Files.h"
#include "support/Shows.h"
#include "support/ZipSession.h"

namespace {

namespace fs = std::filesystem;

// The names in the folder, by the standard library.
std::set<std::string> Listing(const WideString& folder) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(FsPath(folder))) names.insert(e.path().filename().string());
    return names;
}

// The archive's entries, read without the library: name -> external
// attributes, each of a Unix host.
std::map<std::string, uint32_t> UnixEntries(const WideString& zipPath) {
    const std::string bytes = ReadBytes(zipPath);
    std::map<std::string, uint32_t> entries;
    for (const TParsedEntry& entry : ParseZip(std::vector<uint8_t>(bytes.begin(), bytes.end())).Entries) {
        EXPECT_EQ(entry.Host, ZipHost::Unix) << entry.Name;
        entries[entry.Name] = entry.External;
    }
    return entries;
}

// Another program takes a name just before the archive would get it.
class TNameTakenMeanwhile : public TFileAPI {
public:
    bool CreateHardLink(const WideString& existing, const WideString& newName) override {
        if (ExtractFileName(newName) == u"Show.zip") WriteBytes(newName, "theirs");
        return TFileAPI::CreateHardLink(existing, newName);
    }
};

class SendArchive : public FixProcedure {};

TEST_F(SendArchive, TakesAFreeNameBesideTheBundle) {
    MakeBundle(Bundle);
    const WideString made = MakeArchiveToSend(Bundle + PathDelim);
    EXPECT_EQ(made, Scratch / u"Show.zip");
    const std::map<std::string, uint32_t> entries = UnixEntries(made);
    for (const auto& [name, attributes] : entries) EXPECT_EQ(name.rfind("Show.app/", 0), 0u) << name;
    EXPECT_EQ(entries.at("Show.app/Contents/Resources/Viewer.app/Contents/MacOS/ZuvOrudad5") >> 16, 0100755u);
    EXPECT_EQ(entries.at("Show.app/") >> 16 & UnixMode::TypeBits, 0040000u);

    // An archive there, or one another program makes meanwhile, is never replaced.
    const WideString second = MakeArchiveToSend(Bundle);
    EXPECT_EQ(second, Scratch / u"Show (2).zip");
    fs::remove(FsPath(made));
    TRef<TNameTakenMeanwhile> racing = MakeRef<TNameTakenMeanwhile>();
    {
        TFileAPIScope scope(racing.Get());
        EXPECT_EQ(MakeArchiveToSend(Bundle), Scratch / u"Show (3).zip");
    }
    EXPECT_EQ(ReadBytes(made), "theirs");
    EXPECT_EQ(Listing(Scratch.Path()), (std::set<std::string>{"Show.app", "Show.zip", "Show (2).zip", "Show (3).zip"}));
}

// Picked the folder a show was exported to: the show in it is what is sent,
// once fixed and when found fixed.
TEST_F(SendArchive, AFolderHoldingAShowSendsTheShow) {
    MakeBundle(Scratch / u"Export/Show.app");
    for (TOutcome outcome : {TOutcome::Done, TOutcome::AlreadyFixed}) {
        const TFixResult fixed = FixBundleFolder(Scratch / u"Export");
        ASSERT_EQ(fixed, outcome);
        ASSERT_TRUE(ReadyToSend(fixed));
        EXPECT_EQ(ExtractFileName(MakeArchiveToSend(fixed.BundleFolder)),
                  outcome == TOutcome::Done ? u"Show.zip" : u"Show (2).zip");
    }
    EXPECT_EQ(Listing(Scratch / u"Export"),
              (std::set<std::string>{"Show.app", "Show.app.bak", "Show.zip", "Show (2).zip"}));
    EXPECT_FALSE(ReadyToSend(FixBundleArchive(Scratch / u"Export/Show.zip")));
}

TEST_F(SendArchive, AFailureLeavesNothing) {
    MakeBundle(Bundle);
    TRef<TFullDisk> full = MakeRef<TFullDisk>();
    try {
        TFileAPIScope scope(full.Get());
        MakeArchiveToSend(Bundle);
        ADD_FAILURE() << "no exception";
    } catch (const EFileError& e) {
        EXPECT_NE(std::string(e.what()).find(SystemErrorText(WinError::DiskFull)), std::string::npos) << e.what();
    }
    EXPECT_EQ(Listing(Scratch.Path()), std::set<std::string>{"Show.app"});
}

}  // namespace
