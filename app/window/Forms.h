// The fixer's window framework: a form of labels, panels and push buttons
// designed at one density and scaled to the screen's, and an application
// whose message loop reports what a click raised and goes on.
#pragma once
#include <windows.h>
#include <shellapi.h>
#include <exception>
#include <functional>
#include <utility>
#include <vector>
#include "Foundation/RefObject.h"
#include "Foundation/Types.h"
#include "Layout.h"

// A colour: an RGB value, or one of the system's colours.
using TColor = uint32_t;
constexpr TColor SystemColor(int index) { return 0x80000000u | (TColor)index; }
constexpr TColor WindowTextColor = SystemColor(COLOR_WINDOWTEXT);
constexpr TColor ButtonFaceColor = SystemColor(COLOR_BTNFACE);
constexpr TColor WhiteColor = RGB(255, 255, 255);
COLORREF ColorToRGB(TColor color);

// A font as designed; the height is the character height in design pixels.
struct TFontDesign {
    const wchar_t* Name = L"Tahoma";
    int Height = 15;
    bool Bold = false;
    TColor Color = WindowTextColor;
};

class TContainer;
class TForm;

class TControl : public TRefObject {
public:
    HWND Handle() const { return FHandle; }
    TContainer* Parent() const { return FParent; }
    TForm* Form() const;

    WideString Caption() const;
    virtual void SetCaption(const WideString& text);
    bool Visible() const;
    virtual void SetVisible(bool visible);
    bool Enabled() const;
    void SetEnabled(bool enabled);
    // In the parent's client pixels.
    TBounds Bounds() const { return FBounds; }
    void SetBounds(const TBounds& bounds);
    // As designed, in design pixels.
    TBounds DesignBounds() const { return FDesign; }
    const TFontDesign& Font() const { return FFont; }

    // Follows the parent's new client size.
    virtual void ParentResized(int width, int height);
    // Keeps its place when a control above it grows (aligned to an edge).
    virtual bool KeepsPlace() const { return false; }
    // Back to the design bounds at the form's density (a container's
    // controls too), before the texts are fitted again.
    virtual void Place();
    // Takes a new density: fonts and bounds scaled from the design again.
    virtual void Rescale();
    // Grows to show its whole text; how many pixels it grew downwards.
    virtual int FitText() { return 0; }
    // A notification code the control sent to its parent.
    virtual void Notify(WORD) {}
    // Sets dc up to paint the control on its parent's colour and returns the
    // parent's brush for the background.
    virtual HBRUSH ColorControl(HDC dc);

protected:
    // design is in design pixels; the parent scales it.
    TControl(TContainer* parent, const TBounds& design, uint8_t anchors, const TFontDesign& font);
    void Dispose() override;
    // Destroys the window now, with the windows inside it.
    void DestroyHandle();
    // Makes the window, once, when the subclass knows its class and style.
    void CreateHandle(const wchar_t* className, const WideString& text, DWORD style, DWORD exStyle);
    HFONT FontHandle() const { return FFontHandle; }
    int ScreenDensity() const;
    // Where the bounds changed by a text that grew: the form lays itself
    // out again.
    void TextGrew();
    // The window is gone (destroyed with its parent or by the user).
    virtual void HandleDestroyed() { FHandle = nullptr; }

private:
    friend class TContainer;
    void MakeFont(int density);

    TContainer* FParent;
    TBounds FDesign;
    TBounds FBounds;
    uint8_t FAnchors;
    TMargins FMargins;
    TFontDesign FFont;
    HFONT FFontHandle = nullptr;
    HWND FHandle = nullptr;
};

class TLabel : public TControl {
public:
    // A label that does not wrap sizes itself to its text.
    TLabel(TContainer* parent, const TBounds& design, const WideString& text, bool wordWrap, bool visible,
           uint8_t anchors, const TFontDesign& font);
    void SetCaption(const WideString& text) override;
    void SetVisible(bool visible) override;
    HBRUSH ColorControl(HDC dc) override;
    void Place() override;
    // A word-wrapped label grows downwards until its text fits its width;
    // one that sizes itself grows by the lines beyond its first.
    int FitText() override;

private:
    // Sizes a label that does not wrap to its text, wrapping only at the
    // parent's edge; whether the lines beyond the first changed.
    bool FitToText();
    RECT MeasureText(UINT format, int width);
    bool FWordWrap;
    int FExtraLines = 0;  // pixels below the first line of a self-sized label
};

class TButton : public TControl {
public:
    TButton(TContainer* parent, const TBounds& design, const WideString& text, const TFontDesign& font);
    std::function<void()> OnClick;
    void Notify(WORD code) override;
};

// A window that holds controls, paints its own background and passes the
// controls' notifications back to them.
class TContainer : public TControl {
public:
    TColor Color() const { return FColor; }
    HBRUSH Brush() const { return FBrush; }
    // Client size in pixels.
    int ClientWidth() const;
    int ClientHeight() const;
    // Makes a control inside this one, which holds it from then on; the
    // pointer stays valid while this container lives.
    template <class T, class... Args>
    T* Make(Args&&... args) {
        T* control = New<T>(this, std::forward<Args>(args)...);
        FControls.push_back(TRef<TControl>::Adopt(control));
        return control;
    }
    // This container's own control of that window, at any depth.
    TControl* FindControl(HWND window) const;
    void Place() override;
    void Rescale() override;
    // Lets every control grow to its text, top to bottom; what lies below a
    // control that grew moves down with it.
    int FitText() override;

protected:
    TContainer(TContainer* parent, const TBounds& design, uint8_t anchors, const TFontDesign& font, TColor color);
    void Dispose() override;
    // The controls go first, while the window they live in still exists,
    // then the window.
    void DestroyControlsAndHandle();
    void HandleDestroyed() override;
    static void RegisterWindowClass(const wchar_t* className);
    virtual LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    const std::vector<TRef<TControl>>& Controls() const { return FControls; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    TColor FColor;
    HBRUSH FBrush;
    bool FOwnsBrush;
    std::vector<TRef<TControl>> FControls;
};

// A panel without bevel or caption, painted in its own colour and aligned
// to its parent's bottom edge: full width, the design's height.
class TPanel : public TContainer {
public:
    TPanel(TContainer* parent, const TBounds& design, const TFontDesign& font, TColor color);
    void ParentResized(int width, int height) override;
    void Place() override;
    bool KeepsPlace() const override { return true; }
};

// A top-level, fixed-size dialog window centred on the desktop.
class TForm : public TContainer {
public:
    // designClientWidth/Height and the controls' bounds are design pixels.
    TForm(const wchar_t* className, const WideString& caption, int designClientWidth, int designClientHeight,
          const TFontDesign& font, TColor color);
    int PixelsPerInch() const { return FPixelsPerInch; }
    // Fits the texts, centres the window and shows it.
    void Show();
    // Every control back to its design place at this density, then the
    // texts fitted; after a text grew or shrank by a line.
    void LayOut();
    // The window moved to a screen of another density: its size, fonts and
    // controls are scaled from the design again, centred where suggested.
    void ChangeDensity(int pixelsPerInch, const RECT* suggested);
    void Close();
    // Asked before the window closes; false keeps it open.
    std::function<bool()> OnCloseQuery;
    // Files and folders dropped onto the window, in the order given.
    std::function<void(const std::vector<WideString>&)> OnDropFiles;
    // Turns on dropping onto the window once OnDropFiles is set.
    void AcceptDroppedFiles();
    // Puts text on the clipboard, for the user to paste elsewhere.
    bool CopyToClipboard(const WideString& text);
    // The paths a drop carries (the handle of WM_DROPFILES).
    static std::vector<WideString> DroppedPaths(HDROP drop);

protected:
    void Dispose() override;
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    // The program's icon at the sizes the title bar and the task switcher
    // take at this density.
    void SetIcons();
    // The client height the design needs at this density, with what the
    // texts grew.
    int ContentHeight() const;
    // Gives the client area that size; the window is centred on around,
    // or keeps its top-left corner without it.
    void SizeClient(int width, int height, const RECT* around);

    int FPixelsPerInch;
    HICON FIcons[2] = {};     // big, small
    HWND FFocused = nullptr;  // restored when the form is active again
};

// The running program: its title, its main form and the message loop.
class TApplication {
public:
    void Initialize();
    // The name the system shows for the program, and the caption of the
    // message boxes it shows.
    const WideString& Title() const { return FTitle; }
    void SetTitle(const WideString& title) { FTitle = title; }
    TForm* MainForm() const { return FMainForm; }
    void SetMainForm(TForm* form) { FMainForm = form; }

    // Shows the form and dispatches messages until it is closed.
    void Run(TForm* mainForm);
    // Runs an event handler; what it raises is reported, and the window
    // goes on.
    void RunEvent(const std::function<void()>& handler);
    // A message box with the exception's message, modal to the main form;
    // nothing for the silent EAbort.
    void HandleException(std::exception_ptr error);
    // A message box modal to the main form, captioned with the title.
    void ShowError(const WideString& text);

private:
    // Enter presses the focused push button.
    bool PressFocusedButton(const MSG& message);

    WideString FTitle;
    TForm* FMainForm = nullptr;
};

extern TApplication Application;
