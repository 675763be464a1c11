#include <gtest/gtest.h>
#include "Layout.h"
#ifdef _WIN32
#include "Exceptions.h"
#include "Forms.h"
#include "support/MessageBoxes.h"
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

TEST_F(WindowApplication, NoticesCarryTheTitleAndAnInformationIcon) {
    Application.ShowMessage(u"ZIP archives are not supported yet");
    ASSERT_EQ(ShownBoxes().size(), 1u);
    EXPECT_EQ(ShownBoxes()[0].Text, "ZIP archives are not supported yet");
    EXPECT_EQ(ShownBoxes()[0].Caption, "Fix non-working presentations for Mac");
    EXPECT_EQ(ShownBoxes()[0].Flags & 0xF0u, 0x40u);
}

#endif

}  // namespace
