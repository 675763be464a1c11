// Layout arithmetic of the window: design pixels scaled to the screen's
// density, edges that follow their parent when it changes size, and the
// centre of the desktop. No window system here, so it can be checked alone.
#pragma once
#include <cstdint>

// The window is designed at this density.
constexpr int DesignPixelsPerInch = 134;

// value * to / from, rounded half away from zero, as the system rounds.
constexpr int ScaleValue(int value, int to, int from) {
    int64_t product = (int64_t)value * to;
    int64_t half = from / 2;
    return (int)(product >= 0 ? (product + half) / from : (product - half) / from);
}

// A design length in pixels of a screen with that density.
constexpr int ScaleToScreen(int designValue, int screenPixelsPerInch) {
    return ScaleValue(designValue, screenPixelsPerInch, DesignPixelsPerInch);
}

struct TBounds {
    int Left = 0, Top = 0, Width = 0, Height = 0;
    constexpr int Right() const { return Left + Width; }
    constexpr int Bottom() const { return Top + Height; }
    bool operator==(const TBounds&) const = default;
};

constexpr TBounds ScaleToScreen(const TBounds& design, int screenPixelsPerInch) {
    return {ScaleToScreen(design.Left, screenPixelsPerInch), ScaleToScreen(design.Top, screenPixelsPerInch),
            ScaleToScreen(design.Width, screenPixelsPerInch), ScaleToScreen(design.Height, screenPixelsPerInch)};
}

// The parent edges a control keeps its distance to.
namespace Anchor {
constexpr uint8_t Left = 1, Top = 2, Right = 4, Bottom = 8;
constexpr uint8_t LeftTop = Left | Top;
}  // namespace Anchor

// A control's distances to its parent's right and bottom edges.
struct TMargins {
    int Right = 0, Bottom = 0;
};

constexpr TMargins MarginsIn(const TBounds& bounds, int parentWidth, int parentHeight) {
    return {parentWidth - bounds.Right(), parentHeight - bounds.Bottom()};
}

// Where an anchored control goes when its parent gets the new size: bound
// to both edges of an axis it stretches, to the far edge only it moves,
// otherwise it stays.
constexpr TBounds AnchoredBounds(TBounds bounds, TMargins margins, uint8_t anchors, int parentWidth, int parentHeight) {
    if (anchors & Anchor::Right) {
        if (anchors & Anchor::Left) bounds.Width = parentWidth - margins.Right - bounds.Left;
        else bounds.Left = parentWidth - margins.Right - bounds.Width;
    }
    if (anchors & Anchor::Bottom) {
        if (anchors & Anchor::Top) bounds.Height = parentHeight - margins.Bottom - bounds.Top;
        else bounds.Top = parentHeight - margins.Bottom - bounds.Height;
    }
    return bounds;
}

// A control aligned to its parent's bottom edge: full width, own height.
constexpr TBounds BottomAlignedBounds(int height, int parentWidth, int parentHeight) {
    return {0, parentHeight - height, parentWidth, height};
}

// The top-left corner that centres a window on the desktop.
constexpr TBounds CentredOn(const TBounds& desktop, int width, int height) {
    return {desktop.Left + (desktop.Width - width) / 2, desktop.Top + (desktop.Height - height) / 2, width, height};
}
