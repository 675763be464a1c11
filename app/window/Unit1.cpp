#include "Unit1.h"
#include <utility>
#include "Dialogs/Dialogs.h"
#include "FailureAdvice.h"
#include "FileSystem/Paths.h"
#include "FixProcedure.h"
#include "Foundation/CodePages.h"
#include "Foundation/ErrorReport.h"
#include "Foundation/Exceptions.h"
#include "Foundation/ScopeExit.h"
#include "MacSteps.h"
#include "PathFixes.h"
#include "PayloadFacts.h"
#include "SendArchive.h"

namespace {

const WideString AppTitle = u"Fix non-working presentations for Mac";

// A build with the repository's placeholder viewer must not pass for one
// that can fix a show.
WideString FormCaption() { return PayloadIsPlaceholder() ? AppTitle + u" (test build)" : AppTitle; }

constexpr TFontDesign DefaultFont{L"Tahoma", 15, false, WindowTextColor};
constexpr TFontDesign IntroFont{L"Tahoma", 19, false, RGB(128, 64, 0)};
constexpr TFontDesign NoteFont{L"Tahoma", 17, false, WindowTextColor};
constexpr TFontDesign OutcomeFont{L"Tahoma", 15, true, WindowTextColor};

constexpr uint8_t LeftBottom = Anchor::Left | Anchor::Bottom;

// What the third button offers after an outcome: to make the archive to
// send a folder in, then the Mac user's steps for the archive to send.
bool Offered(const TFixResult& result) { return ReadyToSend(result) || !result.ToSend.empty(); }
const WideString MakeZipText = u"ZIP to send", CopyStepsText = u"Copy Mac steps";

// The bundle as the Mac user finds it once the archive is unpacked.
WideString BundleToOpen(const TFixResult& result) {
    if (!result.BundleFolder.empty()) return ExtractFileName(result.BundleFolder);
    if (!result.Bundle.empty()) return result.Bundle.substr(result.Bundle.rfind(u'/') + 1);
    return ChangeFileExt(ExtractFileName(result.ToSend), u".app");
}

// Posted by the fix's worker.
constexpr UINT FixProgressMessage = WM_APP + 1;
constexpr UINT FixDoneMessage = WM_APP + 2;
// Posted when a dialog or message box over the window has closed.
constexpr UINT WindowFreeMessage = WM_APP + 3;

}  // namespace

// Positions and sizes in design pixels; controls are made in tab order.
TForm1::TForm1()
    : TForm(L"TForm1", FormCaption(), 533, 350, DefaultFont, WhiteColor),
      FRunner(Handle(), FixProgressMessage, FixDoneMessage) {
    Label2 = Make<TLabel>(TBounds{35, 35, 422, 46},
                          u"Use this utility if your executable show for Mac does not work on macOS Sierra 10.12.2+",
                          true, true, Anchor::LeftTop, IntroFont);
    Label4 = Make<TLabel>(TBounds{35, 99, 462, 84},
                          u"This utility updates executables created in Norvex 8.0.x to latest version 8.0.22. "
                          u"We cannot guarantee correct work for presentations created in versions 6.0 - 7.5. Sorry.",
                          true, true, Anchor::LeftTop, NoteFont);
    Label3 = Make<TLabel>(TBounds{35, 195, 51, 18}, u"Label3", false, false, LeftBottom, OutcomeFont);
    Label1 = Make<TLabel>(TBounds{35, 219, 352, 18}, u"Browse APP folder with a presentation, or ZIP archive:", false,
                          true, LeftBottom, DefaultFont);
    Panel1 = Make<TPanel>(TBounds{0, 270, 533, 80}, DefaultFont, ButtonFaceColor);
    Button1 = Panel1->Make<TButton>(TBounds{35, 22, 173, 35}, u"Browse Folder", DefaultFont);
    Button2 = Panel1->Make<TButton>(TBounds{228, 23, 157, 34}, u"Browse ZIP", DefaultFont);
    Button3 = Panel1->Make<TButton>(TBounds{405, 23, 113, 34}, MakeZipText, DefaultFont);
    Button3->SetVisible(false);
    Button1->OnClick = [this] { Button1Click(); };
    Button2->OnClick = [this] { Button2Click(); };
    Button3->OnClick = [this] { Button3Click(); };
    OnCloseQuery = [this] { return CloseQuery(); };
    OnDropFiles = [this](const std::vector<WideString>& paths) { FixPaths(paths); };
    AcceptDroppedFiles();
    FormCreate();
}

void TForm1::FormCreate() { Application.SetTitle(AppTitle); }

template <class F>
auto TForm1::Modal(F&& show) {
    ++FModal;
    // What was queued meanwhile starts from the message loop, however the
    // dialog ended.
    TScopeExit free([this] {
        --FModal;
        ::PostMessageW(Handle(), WindowFreeMessage, 0, 0);
    });
    return show();
}

void TForm1::Button1Click() {
    TRef<TOpenDialog> dialog = MakeRef<TOpenDialog>((TNativeHandle)Handle());
    dialog->Options = 0;
    dialog->FolderMode = true;
    if (!Modal([&] { return dialog->Execute(); })) return;
    WideString folder = dialog->FileName;
    Enqueue(folder, 1, [this, folder](const TFixProgress& progress) {
        TFixResult result = FixBundleFolder(folder, progress);
        if (Offered(result)) FFixedReady = result;
        return DescribeFixAndNotes(result, TBackupMention::WhenUnusual, u"\r\n");
    });
}

void TForm1::Button2Click() {
    TRef<TOpenDialog> dialog = MakeRef<TOpenDialog>((TNativeHandle)Handle());
    dialog->Filter = u"Zip Files|*.zip";
    if (!Modal([&] { return dialog->Execute(); })) return;
    WideString archive = dialog->FileName;
    Enqueue(archive, 1, [this, archive](const TFixProgress& progress) {
        TFixResult result = FixBundleArchive(archive, progress);
        result.ToSend = ArchiveToSend(archive, result);
        if (Offered(result)) FFixedReady = result;
        return DescribeFixAndNotes(result, TBackupMention::WhenUnusual, u"\r\n");
    });
}

// The archive is made on the runner, as a fix is; its outcome line is the
// fix's, naming the archive, which the button then offers the steps for.
// The steps go to the clipboard, for the sender's message.
void TForm1::Button3Click() {
    if (!FReady) return;
    if (FReady->ToSend.empty()) {
        Enqueue(FReady->BundleFolder, 1, [this, result = *FReady](const TFixProgress& progress) mutable {
            result.ToSend = MakeArchiveToSend(result.BundleFolder, progress);
            FFixedReady = result;
            return DescribeFixAndNotes(result, TBackupMention::WhenUnusual, u"\r\n");
        });
        return;
    }
    const bool copied = CopyToClipboard(MacSteps(FReady->ToSend, BundleToOpen(*FReady), *FReady, u"\r\n"));
    ShowOutcome(FOutcome + (copied ? u"\r\nThe Mac user's steps are copied: paste them into your message."
                                   : u"\r\nThe steps could not be copied."));
}

void TForm1::FixPaths(const std::vector<WideString>& paths) {
    if (paths.empty()) return;
    Enqueue(paths.size() == 1 ? paths[0] : WideString(), paths.size(), [this, paths](const TFixProgress& progress) {
        TPathFixes fixes = FixGivenPaths(paths, progress);
        FFailures = fixes.Failures;  // read once the worker has ended
        if (Offered(fixes.Result)) FFixedReady = fixes.Result;
        return fixes.Outcome;
    });
}

void TForm1::Enqueue(const WideString& path, size_t paths, TFixRunner::TJob job) {
    // Closing drops what has not started.
    if (FCloseWhenDone) return;
    FQueue.push_back({path, paths, std::move(job)});
    StartNext();
}

void TForm1::StartNext() {
    if (!Busy() && !FQueue.empty() && !FCloseWhenDone) {
        TPendingFix next = std::move(FQueue.front());
        FQueue.pop_front();
        StartFix(std::move(next));
    }
    ShowState();
}

void TForm1::StartFix(TPendingFix fix) {
    FPath = fix.Path;
    FFocusBefore = ::GetFocus();
    FFailures.clear();
    FFixedReady.reset();
    EnableButtons(false);
    // Both modes look at the show first.
    FProgress = ProgressText(TFixStage::Checking, 0, 0);
    FRunner.Start(std::move(fix.Job));
}

void TForm1::FixEnded() {
    std::exception_ptr failure;
    try {
        FOutcome = FRunner.Finish();
        FOutcomeShown = true;
        // Offered with the outcome line that tells it; a failure leaves both.
        FReady = std::exchange(FFixedReady, std::nullopt);
    } catch (...) {
        failure = std::current_exception();
        // The line tells of this fix, not of the one before.
        FOutcome = FailedLine(failure);
        FOutcomeShown = true;
        // The archive to send stays offered where making it failed.
        if (FReady && FPath != FReady->BundleFolder) FReady.reset();
    }
    // Shown or hidden before the focus goes back, perhaps to it.
    if (FReady) Button3->SetCaption(FReady->ToSend.empty() ? MakeZipText : CopyStepsText);
    Button3->SetVisible(FReady.has_value());
    EnableButtons(true);
    ShowState();
    if (FCloseWhenDone) {
        Close();
        return;
    }
    if (failure) Modal([this, failure] { ReportFailure(failure); });
    else if (!FFailures.empty()) Modal([this] { Application.ShowError(FFailures); });
    StartNext();
}

// As the application reports failures, with the path whole.
void TForm1::ReportFailure(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const EAbort&) {
    } catch (const std::exception& e) {
        Application.ShowError(ShownMessage(e) + u"\r\n\r\n" + FailureAdvice(e));
    } catch (...) {
        Application.HandleException(std::current_exception());
    }
}

// The outcome line after a failure; a stop leaves none to say.
WideString TForm1::FailedLine(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const EAbort&) {
        return u"Stopped: nothing was changed";
    } catch (const std::exception& e) {
        const WideString message = ShownMessage(e);
        return u"Failed: " + message.substr(0, message.find(u'\n'));
    } catch (...) {
    }
    return u"Failed";
}

// Closing stops a running fix, which ends as a failure does, and the
// window closes once it has; what waits is not started.
bool TForm1::CloseQuery() {
    if (!Fixing()) return true;
    FCloseWhenDone = true;
    FQueue.clear();
    FRunner.RequestStop();
    ShowOutcome(u"Stopping...");
    return false;
}

LRESULT TForm1::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case FixProgressMessage:
        if (Fixing() && !FRunner.StopRequested()) {
            FProgress = FRunner.Progress();
            ShowState();
        }
        return 0;
    case FixDoneMessage: FixEnded(); return 0;
    case WindowFreeMessage: StartNext(); return 0;
    }
    return TForm::HandleMessage(message, wParam, lParam);
}

void TForm1::ShowState() {
    if (FCloseWhenDone) return;  // "Stopping..." stays
    size_t waiting = 0;
    for (const TPendingFix& fix : FQueue) waiting += fix.Paths;
    WideString state = Fixing() ? FProgress : FOutcomeShown ? FOutcome : WideString();
    if (waiting) {
        WideString queued = Utf8ToWide(std::to_string(waiting)) + u" queued";
        state = state.empty() ? queued : state + u" (" + queued + u")";
    }
    if (state.empty()) Label3->SetVisible(false);
    else ShowOutcome(state);
}

void TForm1::EnableButtons(bool enabled) {
    for (TButton* button : {Button1, Button2, Button3}) button->SetEnabled(enabled);
    if (!enabled) return;
    // Disabled buttons lost the focus; a fix started from the command line
    // began before any control had it.
    if (::GetActiveWindow() == Handle())
        ::SetFocus(FFocusBefore && ::IsWindow(FFocusBefore) && ::IsWindowVisible(FFocusBefore)
                       ? FFocusBefore
                       : ::GetNextDlgTabItem(Handle(), nullptr, FALSE));
}

void TForm1::ShowOutcome(const WideString& outcome) {
    Label3->SetCaption(outcome);
    Label3->SetVisible(true);
}
