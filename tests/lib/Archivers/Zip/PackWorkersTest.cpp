#include <gtest/gtest.h>
#include <filesystem>
#include "Archivers/Zip/FileZipper.h"
#include "Foundation/Threads.h"
#include "support/FaultyFileAPI.h"
#include "support/Files.h"
#include "support/ScratchFolder.h"
#include "support/WorkerWatch.h"

namespace {

namespace fs = std::filesystem;

// Large incompressible and compressible files among many small ones, so
// that workers finish out of order.
class ParallelZip : public testing::Test {
protected:
    ParallelZip() {
        uint32_t seed = 7;
        auto noise = [&seed](size_t size) {
            std::string bytes(size, '\0');
            for (char& c : bytes) c = char((seed = seed * 1103515245u + 12345u) >> 23);
            return bytes;
        };
        WriteBytes(JoinPath(Folder, u"a/movie.mp4"), noise(3 << 20));
        std::string text;
        while (text.size() < (2u << 20)) text += "caption " + std::to_string(text.size() % 977) + "\n";
        WriteBytes(JoinPath(Folder, u"b/captions.txt"), text);
        for (int i = 0; i < 60; ++i)
            WriteBytes(JoinPath(Folder, u"c/" + Utf8ToWide(std::to_string(i)) + u".dat"),
                       i % 3 ? noise(size_t(i) * 97) : text.substr(size_t(i), size_t(i) * 211));
        WriteBytes(JoinPath(Folder, u"d/photo.jpg"), noise(2 << 20));
    }

    // The zip of Folder made with that many workers and that much memory
    // for packed data waiting to be written.
    std::string ZipWith(int32_t workers, size_t waitingMemory = 4 << 20) {
        TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
        zipper->Workers = workers;
        zipper->WaitingMemory = waitingMemory;
        zipper->Zip(ZipPath, Folder, true);
        return ReadBytes(ZipPath);
    }

    // Every spill file made is gone, with its folder.
    static void ExpectSpillsGone(TWorkerWatch* watch) {
        for (const WideString& spill : watch->Spills())
            EXPECT_FALSE(fs::exists(FsPath(ExtractFilePath(spill, false)))) << WideToUtf8(spill);
    }

    TScratchFolder Scratch;
    WideString Folder = Scratch / u"Show.app";
    WideString ZipPath = Scratch / u"Show.zip";
};

TEST_F(ParallelZip, SeveralWorkersWriteTheBytesOfOne) {
    std::string single = ZipWith(1);
    EXPECT_EQ(ZipWith(2), single);
    // Without memory to wait in, packed data goes through spill files.
    TRef<TWorkerWatch> watch = MakeRef<TWorkerWatch>();
    TFileAPIScope scope(watch.Get());
    EXPECT_EQ(ZipWith(3, 0), single);
    EXPECT_FALSE(watch->Spills().empty());
    ExpectSpillsGone(watch.Get());
}

TEST_F(ParallelZip, StopHalfWayEndsEveryWorkerAndLeavesNothing) {
    TRef<TWorkerWatch> watch = MakeRef<TWorkerWatch>();
    TFileAPIScope scope(watch.Get());
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->Workers = 3;
    zipper->WaitingMemory = 0;
    std::vector<int32_t> told;
    uint32_t caller = CurrentThreadId();
    zipper->OnProgress = [&](TFileZipper*, const AnsiString&, bool& stop, int32_t count, int32_t index) {
        EXPECT_EQ(CurrentThreadId(), caller);
        told.push_back(index);
        stop = index == count / 2;
    };
    EXPECT_THROW(zipper->Zip(ZipPath, Folder, true), EArchiveAbort);
    ASSERT_EQ(told.size(), size_t(zipper->Files->GetCount() / 2 + 1));
    for (size_t i = 0; i < told.size(); ++i) EXPECT_EQ(told[i], int32_t(i));
    EXPECT_FALSE(fs::exists(FsPath(ZipPath)));
    ExpectSpillsGone(watch.Get());
}

}  // namespace
