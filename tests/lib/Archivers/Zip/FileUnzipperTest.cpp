#include <gtest/gtest.h>
#include <filesystem>
#include "Archivers/Zip/FileUnzipper.h"
#include "Archivers/Zip/FileZipper.h"
#include "Archivers/Zip/ZipArchive.h"
#include "support/FaultyFileAPI.h"
#include "support/Files.h"
#include "support/FolderZip.h"

namespace {

namespace fs = std::filesystem;

// Cut off at the end the directory is gone: the entries are found by a
// scan, the caller learns so, and the last entry's cut data is named.
TEST_F(FolderZip, CutArchiveIsRecoveredByAScanThatTellsTheCaller) {
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->Zip(ZipPath, Bundle, true);
    std::string whole = ReadBytes(ZipPath);
    // One byte of the last entry's data is left: too little for any file.
    size_t last = whole.rfind("PK\x03\x04");
    size_t nameLength = uint8_t(whole[last + 26]) | uint8_t(whole[last + 27]) << 8;
    WriteBytes(ZipPath, whole.substr(0, last + 30 + nameLength + 1));

    const WideString start = GetCurrentFolder(true);
    ASSERT_TRUE(SetCurrentFolder(Scratch.Path()));
    TRef<TFileUnzipper> unzipper = MakeRef<TFileUnzipper>();
    try {
        unzipper->Unzip(ZipPath, u"out");  // relative, and not there yet
        ADD_FAILURE() << "no error";
    } catch (const EArchiveError& e) {
        EXPECT_NE(e.Message().find("it is truncated"), std::string::npos) << e.Message();
    }
    EXPECT_TRUE(unzipper->DirectoryRecovered);
    // Refused before anything is written, as t calls it bad before reading data.
    EXPECT_FALSE(fs::exists(FsPath(Scratch / u"out")));
    SetCurrentFolder(start);
}

// A volume with less room than the entries unpack to: refused before any
// folder or file is made.
TEST_F(FolderZip, ExtractionThatWouldNotFitIsRefusedBeforeAnythingIsWritten) {
    class TSmallVolume : public TFileAPI {
    public:
        bool GetAvailableSpace(const WideString&, uint64_t& bytes) override {
            bytes = 10;
            return true;
        }
    };
    MakeRef<TFileZipper>()->Zip(ZipPath, Bundle, true);
    TRef<TSmallVolume> small = MakeRef<TSmallVolume>();
    TFileAPIScope scope(small.Get());
    try {
        MakeRef<TFileUnzipper>()->Unzip(ZipPath, Scratch / u"out");
        ADD_FAILURE() << "no error";
    } catch (const EFileWriteError& e) {
        EXPECT_NE(e.Message().find("Not enough space in"), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(fs::exists(FsPath(Scratch / u"out")));
}

}  // namespace
