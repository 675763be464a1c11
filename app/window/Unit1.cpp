#include "Unit1.h"
#include "CodePages.h"
#include "FixProcedure.h"
#include "Win32/Dialogs.h"

namespace {

const WideString AppTitle = u"Fix non-working presentations for Mac";

constexpr TFontDesign DefaultFont{L"Tahoma", 15, false, WindowTextColor};
constexpr TFontDesign IntroFont{L"Tahoma", 19, false, RGB(128, 64, 0)};
constexpr TFontDesign NoteFont{L"Tahoma", 17, false, WindowTextColor};
constexpr TFontDesign OutcomeFont{L"Tahoma", 15, true, WindowTextColor};

constexpr uint8_t LeftBottom = Anchor::Left | Anchor::Bottom;

}  // namespace

// Positions and sizes in design pixels; controls are made in tab order.
TForm1::TForm1() : TForm(L"TForm1", AppTitle, 533, 350, DefaultFont, WhiteColor) {
    Label2 = Make<TLabel>(TBounds{35, 35, 422, 46},
                          u"Use this utility if your executable show for Mac does not work on macOS Sierra 10.12.2+",
                          true, true, Anchor::LeftTop, IntroFont);
    Label4 = Make<TLabel>(TBounds{35, 99, 462, 84},
                          u"This utility updates executables created in Norvex 8.0.x to latest version 8.0.22. "
                          u"We cannot guarantee correct work for presentations created in versions 6.0 - 7.5. Sorry.",
                          true, true, Anchor::LeftTop, NoteFont);
    Label3 = Make<TLabel>(TBounds{35, 195, 51, 18}, u"Label3", false, false, LeftBottom, OutcomeFont);
    Label1 = Make<TLabel>(TBounds{35, 219, 352, 18}, u"Browse APP folder with a presentation, or ZIP archive:",
                          false, true, LeftBottom, DefaultFont);
    Panel1 = Make<TPanel>(TBounds{0, 270, 533, 80}, TAlign::Bottom, DefaultFont, ButtonFaceColor);
    Button1 = Panel1->Make<TButton>(TBounds{35, 22, 173, 35}, u"Browse Folder", DefaultFont);
    Button2 = Panel1->Make<TButton>(TBounds{228, 23, 157, 34}, u"Browse ZIP", DefaultFont);
    Button1->OnClick = [this] { Button1Click(); };
    Button2->OnClick = [this] { Button2Click(); };
    FormCreate();
}

void TForm1::FormCreate() { Application.SetTitle(AppTitle); }

void TForm1::Button1Click() {
    TRef<TOpenDialog> dialog = MakeRef<TOpenDialog>((TNativeHandle)Handle());
    dialog->Options = 0;
    dialog->FolderMode = true;
    if (!dialog->Execute()) return;
    ShowOutcome(FixBundleFolder(dialog->FileName));
}

void TForm1::Button2Click() { Application.ShowMessage(u"ZIP archives are not supported yet"); }

void TForm1::ShowOutcome(const AnsiString& outcome) {
    Label3->SetCaption(AnsiToWide(outcome));
    Label3->SetVisible(true);
}
