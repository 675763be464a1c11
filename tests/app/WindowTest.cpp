#include <gtest/gtest.h>
#include "Layout.h"
#ifdef _WIN32
#include <atomic>
#include <cstring>
#include "FileSystem/FileAPI.h"
#include "FixProcedure.h"
#include "FixRunner.h"
#include "Forms.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"
#include "PathFixes.h"
#include "support/Files.h"
#include "support/MessageBoxes.h"
#include "support/ScratchFolder.h"
#endif

namespace {

TEST(WindowLayout, DesignDensityKeepsTheDesignAndOthersScaleInProportion) {
    const TBounds button{35, 22, 173, 35};
    EXPECT_EQ(ScaleToScreen(button, 134), button);
    EXPECT_EQ(ScaleToScreen(533, 96), 382);
    EXPECT_EQ(ScaleToScreen(350, 96), 251);
    EXPECT_EQ(ScaleToScreen(15, 96), 11);  // the default font's height
    EXPECT_EQ(ScaleToScreen(533, 268), 1066);
    EXPECT_EQ(ScaleToScreen(TBounds{228, 23, 157, 34}, 192), (TBounds{327, 33, 225, 49}));
}

TEST(WindowLayout, ScalingRoundsHalvesAwayFromZero) {
    EXPECT_EQ(ScaleValue(1, 1, 2), 1);
    EXPECT_EQ(ScaleValue(-1, 1, 2), -1);
    EXPECT_EQ(ScaleValue(67, 1, 134), 1);
    EXPECT_EQ(ScaleValue(66, 1, 134), 0);
    // No overflow on the way for large values.
    EXPECT_EQ(ScaleValue(2000000000, 3, 4), 1500000000);
}

TEST(WindowLayout, AnchorsDecideWhetherAControlStaysMovesOrStretches) {
    const TBounds label{35, 195, 51, 18};
    const TMargins margins = MarginsIn(label, 533, 350);
    EXPECT_EQ(margins.Right, 533 - 86);
    EXPECT_EQ(margins.Bottom, 350 - 213);
    // Left and top: stays where it is.
    EXPECT_EQ(AnchoredBounds(label, margins, Anchor::LeftTop, 600, 400), label);
    // Left and bottom: follows the bottom edge.
    EXPECT_EQ(AnchoredBounds(label, margins, Anchor::Left | Anchor::Bottom, 600, 400), (TBounds{35, 245, 51, 18}));
    // Both horizontal edges: stretches; right only: moves.
    EXPECT_EQ(AnchoredBounds(label, margins, Anchor::LeftTop | Anchor::Right, 600, 400), (TBounds{35, 195, 118, 18}));
    EXPECT_EQ(AnchoredBounds(label, margins, Anchor::Top | Anchor::Right, 600, 400), (TBounds{102, 195, 51, 18}));
    // Unchanged parent, unchanged control.
    for (uint8_t anchors = 0; anchors < 16; ++anchors)
        EXPECT_EQ(AnchoredBounds(label, margins, anchors, 533, 350), label) << int(anchors);
}

TEST(WindowLayout, BottomPanelAndCentredWindow) {
    EXPECT_EQ(BottomAlignedBounds(80, 533, 350), (TBounds{0, 270, 533, 80}));
    EXPECT_EQ(CentredOn(TBounds{0, 0, 1280, 1024}, 539, 382), (TBounds{370, 321, 539, 382}));
    // A desktop that does not start at 0 (a monitor left of the main one).
    EXPECT_EQ(CentredOn(TBounds{-1920, 0, 3840, 1080}, 540, 380), (TBounds{-270, 350, 540, 380}));
}

#ifdef _WIN32

class WindowApplication : public testing::Test {
protected:
    void SetUp() override {
        ShownBoxes().clear();
        Title = Application.Title();
        Application.SetTitle(u"Fix non-working presentations for Mac");
    }
    void TearDown() override { Application.SetTitle(Title); }
    WideString Title;
};

TEST_F(WindowApplication, WhatAnEventRaisesIsShownWithItsMessageUnderTheTitle) {
    Application.RunEvent([] { throw EFileWriteError("Cannot create backup \"x.app.bak\"", 5); });
    ASSERT_EQ(ShownBoxes().size(), 1u);
    EXPECT_EQ(ShownBoxes()[0].Text, "Cannot create backup \"x.app.bak\"");
    EXPECT_EQ(ShownBoxes()[0].Caption, "Fix non-working presentations for Mac");
    EXPECT_EQ(ShownBoxes()[0].Flags & 0xF0u, 0x10u);  // the error icon

    Application.RunEvent([] { throw 42; });
    ASSERT_EQ(ShownBoxes().size(), 2u);
    EXPECT_EQ(ShownBoxes()[1].Text, "Unknown exception");
}

TEST_F(WindowApplication, SilentAbortAndNormalEndShowNothing) {
    bool ran = false;
    Application.RunEvent([&] { ran = true; });
    Application.RunEvent([] { throw EAbort("reported already"); });
    EXPECT_TRUE(ran);
    EXPECT_TRUE(ShownBoxes().empty());
}

TEST_F(WindowApplication, ErrorsShowEveryCharacterOfAPath) {
    Application.ShowError(u"C:\\\u0428\u043e\u0443\\\u65e5\u672c.app: failed");
    ASSERT_EQ(ShownBoxes().size(), 1u);
    EXPECT_EQ(ShownBoxes()[0].Text, "C:\\\u0428\u043e\u0443\\\u65e5\u672c.app: failed");
    EXPECT_EQ(ShownBoxes()[0].Caption, "Fix non-working presentations for Mac");
    EXPECT_EQ(ShownBoxes()[0].Flags & 0xF0u, 0x10u);
}

// A drop as the shell hands it over: the DROPFILES header and the paths
// after it, each ended by a null, the list by another.
struct DROPFILES {
    DWORD pFiles;
    POINT pt;
    BOOL fNC;
    BOOL fWide;
};

TEST(WindowDrop, EveryDroppedPathIsReadWhole) {
    const std::vector<WideString> paths = {u"C:\\shows\\\u0428\u043e\u0443.app", u"D:\\x\\Show.zip"};
    size_t chars = 1;
    for (const WideString& path : paths) chars += path.size() + 1;
    HGLOBAL memory = ::GlobalAlloc(GHND, sizeof(DROPFILES) + chars * sizeof(WCHAR));
    auto* drop = (DROPFILES*)::GlobalLock(memory);
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = TRUE;
    auto* text = (char16_t*)(drop + 1);
    for (const WideString& path : paths) {
        std::memcpy(text, path.c_str(), (path.size() + 1) * sizeof(char16_t));
        text += path.size() + 1;
    }
    ::GlobalUnlock(memory);
    EXPECT_EQ(TForm::DroppedPaths((HDROP)memory), paths);
    ::GlobalFree(memory);
}

TEST(WindowFix, AStopEndsTheJobAtItsNextStepAsAFailureDoes) {
    TFixRunner runner(nullptr, WM_APP + 1, WM_APP + 2);
    std::atomic<int> steps{0};
    runner.Start([&](const TFixProgress& progress) {
        for (;;) {
            progress(TFixStage::Writing, ++steps, 0);
            ::Sleep(1);
        }
        return WideString();
    });
    while (steps < 3) ::Sleep(1);
    runner.RequestStop();
    EXPECT_THROW(runner.Finish(), EAbort);
    EXPECT_FALSE(runner.Running());
    // The next job runs as usual.
    runner.Start([](const TFixProgress&) { return WideString(u"Done!"); });
    EXPECT_EQ(runner.Finish(), u"Done!");
}

// Dropped paths (or those on the command line): each in its mode, one
// failure does not stop the rest, and a summary ends them that tells a
// missing path from a refused one; each failed path is listed once.
TEST(WindowFix, SeveralPathsAreFixedInTurnAndSummed) {
    TScratchFolder scratch;
    WideString show = scratch / u"Show.app";
    WriteBytes(MarkerPath(show), "slides");
    WriteBytes(ViewerPath(show), "OLD VIEWER");
    WriteBytes(JoinPath(show, u"Contents/MacOS/Show"), "launcher");
    WideString notes = scratch / u"notes.txt";
    WriteBytes(notes, "not a show");
    // A file held open without sharing: it cannot be read, the backup fails.
    WideString broken = scratch / u"Blocked.app";
    WriteBytes(MarkerPath(broken), "slides");
    WriteBytes(ViewerPath(broken), "OLD VIEWER");
    WriteBytes(JoinPath(broken, u"held.bin"), "busy");
    TFileHandle held(
        FileOpen(JoinPath(broken, u"held.bin"), FileAccess::ReadWrite, FileShare::None, FileDisposition::OpenExisting));
    WideString damaged = scratch / u"Damaged.zip";
    WriteBytes(damaged, "PK not an archive");
    WideString missing = scratch / u"Plain";
    std::vector<TFixStage> stages;
    TPathFixes fixes = FixGivenPaths({show, notes, broken, missing, damaged},
                                     [&](TFixStage stage, uint64_t, uint64_t) { stages.push_back(stage); });
    // The sum, then what was refused by name, then its note.
    EXPECT_EQ(fixes.Outcome.substr(0, fixes.Outcome.find(u"\r\nnotes.txt: Note: ")),
              u"Fixed 1 of 5, 1 damaged or made not in NVX 8.0, 1 not found, 2 failed\r\nRefused: notes.txt");
    const std::string failures = WideToUtf8(fixes.Failures);
    // Each failure says what to do.
    EXPECT_NE(failures.find("is damaged"), std::string::npos) << failures;
    EXPECT_NE(failures.find("copy or download it again"), std::string::npos) << failures;
    EXPECT_EQ(fixes.Failures.rfind(broken + u": ", 0), 0u) << failures;
    EXPECT_NE(fixes.Failures.find(missing + u": not found\r\n"), WideString::npos) << failures;
    // A path is named where its name ends (a backup's longer name aside).
    for (const WideString& path : {broken, missing, damaged}) {
        int named = 0;
        for (size_t at = fixes.Failures.find(path); at != WideString::npos; at = fixes.Failures.find(path, at + 1))
            named += fixes.Failures[at + path.size()] == u':' || fixes.Failures[at + path.size()] == u'"';
        EXPECT_EQ(named, 1) << failures;
    }
    EXPECT_NE(ReadBytes(ViewerPath(show)), "OLD VIEWER");
    EXPECT_FALSE(stages.empty());
    // One path is told as the button tells it, its failure raised.
    EXPECT_EQ(FixGivenPaths({notes}, {}).Outcome.rfind(u"Slideshow damaged or made not in NVX 8.0\r\nNote: ", 0), 0u);
    EXPECT_THROW(FixGivenPaths({broken}, {}), std::exception);
    try {
        FixGivenPaths({missing}, {});
        ADD_FAILURE() << "a missing path was not reported";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("was not found"), std::string::npos) << e.what();
    }
}

#endif

}  // namespace
