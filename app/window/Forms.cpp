#include "Forms.h"
#include <commctrl.h>
#include <algorithm>
#include <cstring>
#include "AppIcon.h"
#include "FileSystem/Paths.h"
#include "Foundation/CodePages.h"
#include "Foundation/ErrorReport.h"
#include "Foundation/Exceptions.h"
#include "Foundation/ScopeExit.h"
#include "Foundation/SysUI.h"

TApplication Application;

namespace {

LPCWSTR W(const WideString& text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }

int ScreenPixelsPerInch() {
    HDC screen = ::GetDC(nullptr);
    int density = screen ? ::GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen) ::ReleaseDC(nullptr, screen);
    return density > 0 ? density : 96;
}

RECT ClientRect(HWND window) {
    RECT client{};
    ::GetClientRect(window, &client);
    return client;
}

// Design pixels a one-line label keeps free beyond its text.
constexpr int GlyphSlack = 3;

// The frame around a client area of that size, at that density where the
// system can say (Windows 10 and later).
RECT FrameFor(int width, int height, DWORD style, DWORD exStyle, int density) {
    RECT frame{0, 0, width, height};
    using TAdjustForDpi = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto adjustForDpi =
        (TAdjustForDpi)(void*)::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi");
    if (!adjustForDpi || !adjustForDpi(&frame, style, FALSE, exStyle, (UINT)density))
        ::AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    return frame;
}

// Child windows need an identifier for the dialog keys to click them.
int NextControlId() {
    static int id = 100;
    return ++id;
}

}  // namespace

COLORREF ColorToRGB(TColor color) {
    return (color & 0x80000000u) ? ::GetSysColor((int)(color & 0xFF)) : (COLORREF)color;
}

// ---- TControl ----

TControl::TControl(TContainer* parent, const TBounds& design, uint8_t anchors, const TFontDesign& font)
    : FParent(parent), FDesign(design), FAnchors(anchors), FFont(font) {}

void TControl::Dispose() {
    DestroyHandle();
    if (FFontHandle) ::DeleteObject(std::exchange(FFontHandle, nullptr));
    TRefObject::Dispose();
}

void TControl::DestroyHandle() {
    if (FHandle) ::DestroyWindow(std::exchange(FHandle, nullptr));
}

TForm* TControl::Form() const {
    const TControl* control = this;
    while (control->FParent) control = control->FParent;
    return dynamic_cast<TForm*>(const_cast<TControl*>(control));
}

int TControl::ScreenDensity() const {
    TForm* form = Form();
    return form ? form->PixelsPerInch() : ScreenPixelsPerInch();
}

void TControl::MakeFont(int density) {
    HFONT old = FFontHandle;
    FFontHandle = ::CreateFontW(-ScaleToScreen(FFont.Height, density), 0, 0, 0, FFont.Bold ? FW_BOLD : FW_NORMAL, FALSE,
                                FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                DEFAULT_PITCH | FF_DONTCARE, FFont.Name);
    if (FHandle) ::SendMessageW(FHandle, WM_SETFONT, (WPARAM)FFontHandle, TRUE);
    if (old) ::DeleteObject(old);
}

void TControl::CreateHandle(const wchar_t* className, const WideString& text, DWORD style, DWORD exStyle) {
    NVX_ASSERT(!FHandle);
    const int density = ScreenDensity();
    FBounds = ScaleToScreen(FDesign, density);
    MakeFont(density);

    HWND parent = nullptr;
    HMENU id = nullptr;
    TBounds place = FBounds;
    if (FParent) {
        style |= WS_CHILD;
        parent = FParent->Handle();
        id = (HMENU)(INT_PTR)NextControlId();
    } else {
        // A top-level window is sized so that its client area has the bounds.
        RECT frame = FrameFor(FBounds.Width, FBounds.Height, style, exStyle, density);
        place = {0, 0, frame.right - frame.left, frame.bottom - frame.top};
    }
    HWND window = ::CreateWindowExW(exStyle, className, W(text), style, place.Left, place.Top, place.Width,
                                    place.Height, parent, id, ::GetModuleHandleW(nullptr), this);
    if (!window) RaiseLastOSError();
    FHandle = window;
    ::SendMessageW(window, WM_SETFONT, (WPARAM)FFontHandle, FALSE);
    if (FParent) FMargins = MarginsIn(FBounds, FParent->ClientWidth(), FParent->ClientHeight());
}

WideString TControl::Caption() const {
    int length = ::GetWindowTextLengthW(FHandle);
    WideString text(length + 1, u'\0');
    length = ::GetWindowTextW(FHandle, reinterpret_cast<LPWSTR>(text.data()), length + 1);
    text.resize(length);
    return text;
}

void TControl::SetCaption(const WideString& text) {
    if (!::SetWindowTextW(FHandle, W(text))) RaiseLastOSError();
}

bool TControl::Visible() const { return ::GetWindowLongW(FHandle, GWL_STYLE) & WS_VISIBLE; }

void TControl::SetVisible(bool visible) { ::ShowWindow(FHandle, visible ? SW_SHOWNA : SW_HIDE); }

bool TControl::Enabled() const { return ::IsWindowEnabled(FHandle); }

void TControl::SetEnabled(bool enabled) { ::EnableWindow(FHandle, enabled); }

void TControl::SetBounds(const TBounds& bounds) {
    FBounds = bounds;
    ::SetWindowPos(FHandle, nullptr, bounds.Left, bounds.Top, bounds.Width, bounds.Height,
                   SWP_NOZORDER | SWP_NOACTIVATE);
    if (FParent) FMargins = MarginsIn(FBounds, FParent->ClientWidth(), FParent->ClientHeight());
}

void TControl::Place() {
    const TBounds design = ScaleToScreen(FDesign, ScreenDensity());
    // A top-level window sizes its frame itself.
    if (!FParent) FBounds = design;
    else if (!(design == FBounds)) SetBounds(design);
}

void TControl::Rescale() { MakeFont(ScreenDensity()); }

void TControl::TextGrew() {
    if (TForm* form = Form()) form->LayOut();
}

HBRUSH TControl::ColorControl(HDC dc) {
    ::SetBkColor(dc, ColorToRGB(Parent()->Color()));
    return Parent()->Brush();
}

void TControl::ParentResized(int width, int height) {
    // SetBounds measures the margins again; at the anchored edges they stay.
    TBounds bounds = AnchoredBounds(FBounds, FMargins, FAnchors, width, height);
    if (!(bounds == FBounds)) SetBounds(bounds);
}

// ---- TLabel ----

TLabel::TLabel(TContainer* parent, const TBounds& design, const WideString& text, bool wordWrap, bool visible,
               uint8_t anchors, const TFontDesign& font)
    : TControl(parent, design, anchors, font), FWordWrap(wordWrap) {
    CreateHandle(L"STATIC", text, (visible ? WS_VISIBLE : 0) | SS_NOPREFIX | (wordWrap ? SS_LEFT : SS_LEFTNOWORDWRAP),
                 0);
    if (!FWordWrap) FitToText();
}

void TLabel::SetCaption(const WideString& text) {
    TControl::SetCaption(text);
    if (!FWordWrap && FitToText() && Visible()) TextGrew();
}

void TLabel::SetVisible(bool visible) {
    const bool was = Visible();
    TControl::SetVisible(visible);
    if (was != visible && FExtraLines) TextGrew();
}

void TLabel::Place() {
    TControl::Place();
    if (!FWordWrap) FitToText();
}

RECT TLabel::MeasureText(UINT format, int width) {
    WideString text = Caption();
    HDC dc = ::GetDC(Handle());
    HGDIOBJ old = ::SelectObject(dc, FontHandle());
    RECT extent{0, 0, width, 0};
    ::DrawTextW(dc, W(text), (int)text.size(), &extent, DT_CALCRECT | DT_NOPREFIX | format);
    if (text.empty()) {
        TEXTMETRICW metrics;
        ::GetTextMetricsW(dc, &metrics);
        extent.bottom = metrics.tmHeight;
    }
    ::SelectObject(dc, old);
    ::ReleaseDC(Handle(), dc);
    return extent;
}

// A one-line label is as wide as its text, so no outcome is ever cut off;
// a text too wide for the window wraps, keeping the left margin on the
// right as well.
bool TLabel::FitToText() {
    RECT extent = MeasureText(DT_SINGLELINE, 0);
    TBounds bounds = Bounds();
    // Substituted fonts may ink a pixel past the advance of the last glyph.
    const int slack = ScaleToScreen(GlyphSlack, ScreenDensity());
    const int room = Parent()->ClientWidth() - 2 * bounds.Left;
    const int extraBefore = FExtraLines;
    const bool wrap = room > slack && extent.right + slack > room;
    FExtraLines = wrap ? std::max(0, (int)(MeasureText(DT_WORDBREAK, room - slack).bottom - extent.bottom)) : 0;
    bounds.Width = wrap ? room : (extent.right ? extent.right + slack : 0);
    bounds.Height = extent.bottom + FExtraLines;
    LONG style = ::GetWindowLongW(Handle(), GWL_STYLE);
    LONG kind = wrap ? SS_LEFT : SS_LEFTNOWORDWRAP;
    if ((style & SS_TYPEMASK) != kind) ::SetWindowLongW(Handle(), GWL_STYLE, (style & ~SS_TYPEMASK) | kind);
    SetBounds(bounds);
    ::InvalidateRect(Handle(), nullptr, TRUE);
    return FExtraLines != extraBefore;
}

// The design height holds the text in the design font; another font or
// density may need another line.
int TLabel::FitText() {
    if (!FWordWrap) {
        FitToText();
        return Visible() ? FExtraLines : 0;
    }
    TBounds bounds = Bounds();
    RECT extent = MeasureText(DT_WORDBREAK, bounds.Width);
    if (extent.bottom <= bounds.Height) return 0;
    const int grown = extent.bottom - bounds.Height;
    bounds.Height = extent.bottom;
    SetBounds(bounds);
    return grown;
}

HBRUSH TLabel::ColorControl(HDC dc) {
    ::SetTextColor(dc, ColorToRGB(Font().Color));
    return TControl::ColorControl(dc);
}

// ---- TButton ----

TButton::TButton(TContainer* parent, const TBounds& design, const WideString& text, const TFontDesign& font)
    : TControl(parent, design, Anchor::LeftTop, font) {
    CreateHandle(L"BUTTON", text, WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON | BS_NOTIFY, 0);
}

void TButton::Notify(WORD code) {
    switch (code) {
    case BN_CLICKED:
        if (OnClick) Application.RunEvent(OnClick);
        break;
    // The focused button is the one Enter presses, and looks it.
    case BN_SETFOCUS: ::SendMessageW(Handle(), BM_SETSTYLE, BS_DEFPUSHBUTTON | BS_NOTIFY, TRUE); break;
    case BN_KILLFOCUS: ::SendMessageW(Handle(), BM_SETSTYLE, BS_PUSHBUTTON | BS_NOTIFY, TRUE); break;
    }
}

// ---- TContainer ----

TContainer::TContainer(TContainer* parent, const TBounds& design, uint8_t anchors, const TFontDesign& font,
                       TColor color)
    : TControl(parent, design, anchors, font),
      FColor(color),
      FBrush((color & 0x80000000u) ? ::GetSysColorBrush((int)(color & 0xFF)) : ::CreateSolidBrush(color)),
      FOwnsBrush(!(color & 0x80000000u)) {}

void TContainer::Dispose() {
    DestroyControlsAndHandle();
    // The brush goes after the window that paints with it.
    if (FOwnsBrush && FBrush) ::DeleteObject(FBrush);
    FBrush = nullptr;
    TControl::Dispose();
}

void TContainer::DestroyControlsAndHandle() {
    FControls.clear();
    DestroyHandle();
}

void TContainer::HandleDestroyed() {
    TControl::HandleDestroyed();
    for (const TRef<TControl>& control : FControls) control->HandleDestroyed();
}

void TContainer::RegisterWindowClass(const wchar_t* className) {
    WNDCLASSEXW info{};
    info.cbSize = sizeof info;
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    if (::GetClassInfoExW(instance, className, &info)) return;
    info.cbSize = sizeof info;
    info.lpfnWndProc = WindowProc;
    info.hInstance = instance;
    info.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    // For the title bar, the taskbar and the task switcher; none in a
    // program without it.
    info.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(NVXFIX_ICON));
    info.hIconSm = (HICON)::LoadImageW(instance, MAKEINTRESOURCEW(NVXFIX_ICON), IMAGE_ICON,
                                       ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), LR_SHARED);
    info.lpszClassName = className;
    if (!::RegisterClassExW(&info)) RaiseLastOSError();
}

int TContainer::ClientWidth() const { return ClientRect(Handle()).right; }

int TContainer::ClientHeight() const { return ClientRect(Handle()).bottom; }

TControl* TContainer::FindControl(HWND window) const {
    if (!window) return nullptr;
    for (const TRef<TControl>& control : FControls) {
        if (control->Handle() == window) return control.Get();
        if (auto* inner = dynamic_cast<TContainer*>(control.Get()))
            if (TControl* found = inner->FindControl(window)) return found;
    }
    return nullptr;
}

int TContainer::FitText() {
    std::vector<TControl*> order;
    for (const TRef<TControl>& control : FControls) order.push_back(control.Get());
    std::stable_sort(order.begin(), order.end(),
                     [](TControl* a, TControl* b) { return a->Bounds().Top < b->Bounds().Top; });
    for (size_t i = 0; i < order.size(); ++i) {
        const int grown = order[i]->FitText();
        if (grown <= 0) continue;
        const int bottom = order[i]->Bounds().Bottom() - grown;
        for (size_t j = i + 1; j < order.size(); ++j) {
            TBounds below = order[j]->Bounds();
            if (order[j]->KeepsPlace() || below.Top < bottom) continue;
            below.Top += grown;
            order[j]->SetBounds(below);
        }
    }
    return 0;
}

void TContainer::Place() {
    TControl::Place();
    for (const TRef<TControl>& control : FControls) control->Place();
}

void TContainer::Rescale() {
    TControl::Rescale();
    for (const TRef<TControl>& control : FControls) control->Rescale();
}

LRESULT CALLBACK TContainer::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* control = static_cast<TControl*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, (LONG_PTR)control);
        control->FHandle = window;
    }
    auto* self = static_cast<TContainer*>(reinterpret_cast<TControl*>(::GetWindowLongPtrW(window, GWLP_USERDATA)));
    if (!self) return ::DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        LRESULT result = ::DefWindowProcW(window, message, wParam, lParam);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        self->HandleDestroyed();
        return result;
    }
    // Nothing may unwind through the system's code that called us.
    try {
        return self->HandleMessage(message, wParam, lParam);
    } catch (...) {
        Application.HandleException(std::current_exception());
        return 0;
    }
}

LRESULT TContainer::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        if (TControl* control = FindControl((HWND)lParam)) {
            control->Notify(HIWORD(wParam));
            return 0;
        }
        break;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
        if (TControl* control = FindControl((HWND)lParam))
            if (HBRUSH brush = control->ColorControl((HDC)wParam)) return (LRESULT)brush;
        break;
    case WM_ERASEBKGND: {
        const RECT client = ClientRect(Handle());
        ::FillRect((HDC)wParam, &client, FBrush);
        return 1;
    }
    case WM_SIZE:
        for (const TRef<TControl>& control : FControls) control->ParentResized(LOWORD(lParam), HIWORD(lParam));
        return 0;
    }
    return ::DefWindowProcW(Handle(), message, wParam, lParam);
}

// ---- TPanel ----

TPanel::TPanel(TContainer* parent, const TBounds& design, const TFontDesign& font, TColor color)
    : TContainer(parent, design, Anchor::LeftTop, font, color) {
    RegisterWindowClass(L"TPanel");
    CreateHandle(L"TPanel", WideString(), WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, WS_EX_CONTROLPARENT);
    ParentResized(parent->ClientWidth(), parent->ClientHeight());
}

void TPanel::Place() {
    TContainer::Place();
    ParentResized(Parent()->ClientWidth(), Parent()->ClientHeight());
}

void TPanel::ParentResized(int width, int height) {
    TBounds bounds = BottomAlignedBounds(Bounds().Height, width, height);
    if (!(bounds == Bounds())) SetBounds(bounds);
}

// ---- TForm ----

namespace {
// A fixed dialog frame with the system menu only: no minimise, maximise or sizing.
constexpr DWORD FormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD FormExStyle = WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE | WS_EX_CONTROLPARENT | WS_EX_APPWINDOW;
// Design pixels between the lowest text and the controls that keep their
// place, short of which the window grows.
constexpr int ClearOfKept = 12;
}  // namespace

TForm::TForm(const wchar_t* className, const WideString& caption, int designClientWidth, int designClientHeight,
             const TFontDesign& font, TColor color)
    : TContainer(nullptr, {0, 0, designClientWidth, designClientHeight}, Anchor::LeftTop, font, color),
      FPixelsPerInch(ScreenPixelsPerInch()) {
    RegisterWindowClass(className);
    CreateHandle(className, caption, FormStyle, FormExStyle);
    SetIcons();
}

void TForm::Dispose() {
    if (Application.MainForm() == this) Application.SetMainForm(nullptr);
    // The icons go after the window that shows them.
    DestroyControlsAndHandle();
    for (HICON& icon : FIcons)
        if (icon) ::DestroyIcon(std::exchange(icon, nullptr));
    TContainer::Dispose();
}

// Also set on the window, not only on its class: the task switcher and
// other programs ask the window.
void TForm::SetIcons() {
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    const int sizes[2] = {ScaleValue(32, FPixelsPerInch, 96), ScaleValue(16, FPixelsPerInch, 96)};
    const WPARAM kinds[2] = {ICON_BIG, ICON_SMALL};
    for (int i = 0; i < 2; ++i) {
        auto icon = (HICON)::LoadImageW(instance, MAKEINTRESOURCEW(NVXFIX_ICON), IMAGE_ICON, sizes[i], sizes[i], 0);
        if (!icon) continue;  // a program without the icon (the tests)
        ::SendMessageW(Handle(), WM_SETICON, kinds[i], (LPARAM)icon);
        if (FIcons[i]) ::DestroyIcon(FIcons[i]);
        FIcons[i] = icon;
    }
}

void TForm::LayOut() {
    Place();
    FitText();
    // Texts that grew past their design make the window taller, so that
    // nothing they push down comes near the controls that keep their place
    // (the buttons at the bottom); it shrinks back with them.
    const int height = ContentHeight();
    if (height == ClientHeight()) return;
    SizeClient(ClientWidth(), height, nullptr);
    Place();
    FitText();
}

int TForm::ContentHeight() const {
    const int density = ScreenDensity();
    int bottom = 0, kept = 0;
    for (const TRef<TControl>& control : Controls())
        if (control->KeepsPlace()) kept += control->Bounds().Height;
        else bottom = std::max(bottom, control->Bounds().Bottom());
    return std::max(ScaleToScreen(DesignBounds().Height, density), bottom + ScaleToScreen(ClearOfKept, density) + kept);
}

void TForm::SizeClient(int width, int height, const RECT* around) {
    RECT frame = FrameFor(width, height, FormStyle, FormExStyle, FPixelsPerInch);
    // The frame the system draws is the judge: a second try makes up for
    // what the first one missed.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int frameWidth = frame.right - frame.left, frameHeight = frame.bottom - frame.top;
        if (around) {
            TBounds place =
                CentredOn({around->left, around->top, around->right - around->left, around->bottom - around->top},
                          frameWidth, frameHeight);
            ::SetWindowPos(Handle(), nullptr, place.Left, place.Top, frameWidth, frameHeight,
                           SWP_NOZORDER | SWP_NOACTIVATE);
        } else {
            ::SetWindowPos(Handle(), nullptr, 0, 0, frameWidth, frameHeight,
                           SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
        if (ClientWidth() == width && ClientHeight() == height) break;
        frame.right += width - ClientWidth();
        frame.bottom += height - ClientHeight();
    }
}

void TForm::ChangeDensity(int pixelsPerInch, const RECT* suggested) {
    if (pixelsPerInch <= 0) return;
    FPixelsPerInch = pixelsPerInch;
    Rescale();
    SetIcons();
    const TBounds client = ScaleToScreen(DesignBounds(), pixelsPerInch);
    RECT now;
    ::GetWindowRect(Handle(), &now);
    SizeClient(client.Width, client.Height, suggested ? suggested : &now);
    LayOut();
    // The controls too: what they drew in the old fonts must go.
    ::RedrawWindow(Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void TForm::Show() {
    LayOut();
    RECT frame;
    ::GetWindowRect(Handle(), &frame);
    TBounds desktop{::GetSystemMetrics(SM_XVIRTUALSCREEN), ::GetSystemMetrics(SM_YVIRTUALSCREEN),
                    ::GetSystemMetrics(SM_CXVIRTUALSCREEN), ::GetSystemMetrics(SM_CYVIRTUALSCREEN)};
    TBounds place = CentredOn(desktop, frame.right - frame.left, frame.bottom - frame.top);
    ::SetWindowPos(Handle(), nullptr, place.Left, place.Top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    ::ShowWindow(Handle(), SW_SHOWNORMAL);
    ::UpdateWindow(Handle());
}

void TForm::Close() {
    if (Handle()) ::SendMessageW(Handle(), WM_CLOSE, 0, 0);
}

void TForm::AcceptDroppedFiles() { ::DragAcceptFiles(Handle(), TRUE); }

bool TForm::CopyToClipboard(const WideString& text) {
    if (!::OpenClipboard(Handle())) return false;
    const TScopeExit close([] { ::CloseClipboard(); });
    const size_t bytes = (text.size() + 1) * sizeof(char16_t);
    HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (!memory) return false;
    std::memcpy(::GlobalLock(memory), text.c_str(), bytes);
    ::GlobalUnlock(memory);
    // The clipboard owns the memory once it takes it.
    if (::EmptyClipboard() && ::SetClipboardData(CF_UNICODETEXT, memory)) return true;
    ::GlobalFree(memory);
    return false;
}

std::vector<WideString> TForm::DroppedPaths(HDROP drop) {
    std::vector<WideString> paths;
    const UINT count = ::DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        WideString path(::DragQueryFileW(drop, i, nullptr, 0) + 1, u'\0');
        path.resize(::DragQueryFileW(drop, i, reinterpret_cast<LPWSTR>(path.data()), (UINT)path.size()));
        paths.push_back(path);
    }
    return paths;
}

LRESULT TForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_ACTIVATE:
        // A plain window has no dialog manager to keep its focus; do it here.
        if (LOWORD(wParam) == WA_INACTIVE) {
            HWND focused = ::GetFocus();
            if (focused && ::IsChild(Handle(), focused)) FFocused = focused;
        } else if (!HIWORD(wParam)) {
            HWND focus = FFocused && ::IsWindow(FFocused) && ::IsChild(Handle(), FFocused)
                             ? FFocused
                             : ::GetNextDlgTabItem(Handle(), nullptr, FALSE);
            if (focus) ::SetFocus(focus);
        }
        return 0;
    case WM_CLOSE:
        if (!OnCloseQuery || OnCloseQuery()) ::DestroyWindow(Handle());
        return 0;
    case WM_DROPFILES: {
        HDROP drop = (HDROP)wParam;
        std::vector<WideString> paths = DroppedPaths(drop);
        ::DragFinish(drop);
        if (OnDropFiles) Application.RunEvent([&] { OnDropFiles(paths); });
        return 0;
    }
    case WM_DESTROY:
        if (Application.MainForm() == this) ::PostQuitMessage(0);
        return 0;
    case WM_DPICHANGED: ChangeDensity(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam)); return 0;
    }
    return TContainer::HandleMessage(message, wParam, lParam);
}

// ---- TApplication ----

void TApplication::Initialize() {
    // Loads the common controls the manifest asks for, for visual styles.
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
    FTitle = ChangeFileExt(Utf8ToWide(ProgramFileName()), WideString());
}

void TApplication::Run(TForm* mainForm) {
    FMainForm = mainForm;
    mainForm->Show();
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Tab, the arrow keys and Enter move between and press the controls.
        HWND form = FMainForm ? FMainForm->Handle() : nullptr;
        if (PressFocusedButton(message)) continue;
        if (form && ::IsDialogMessageW(form, &message)) continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    FMainForm = nullptr;
}

void TApplication::RunEvent(const std::function<void()>& handler) {
    try {
        handler();
    } catch (...) {
        HandleException(std::current_exception());
    }
}

void TApplication::HandleException(std::exception_ptr error) {
    if (!error) return;
    WideString text;
    try {
        std::rethrow_exception(error);
    } catch (const EAbort&) {
        return;  // already reported, or meant to be silent
    } catch (const std::exception& e) {
        text = ShownMessage(e);
    } catch (...) {
        text = u"Unknown exception";
    }
    ShowError(text);
}

void TApplication::ShowError(const WideString& text) {
    ShowMessageBox(FMainForm ? (TNativeHandle)FMainForm->Handle() : 0, text, FTitle, MessageBoxFlags::IconError);
}

// The system's dialog keys press only a default button that a dialog
// names, and a plain window names none.
bool TApplication::PressFocusedButton(const MSG& message) {
    if (message.message != WM_KEYDOWN || message.wParam != VK_RETURN || !FMainForm) return false;
    auto* button = dynamic_cast<TButton*>(FMainForm->FindControl(::GetFocus()));
    if (!button || !button->Enabled()) return false;
    ::SendMessageW(button->Handle(), BM_CLICK, 0, 0);
    return true;
}
