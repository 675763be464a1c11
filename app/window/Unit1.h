// The fixer's window: what it is for, the outcome of the last fix, and the
// two ways in, "Browse Folder" and "Browse ZIP"; shows can also be dropped
// onto it. After a folder's fix, "ZIP to send" packs it as a Mac needs.
#pragma once
#include <deque>
#include <optional>
#include <vector>
#include "FixProcedure.h"
#include "FixRunner.h"
#include "Forms.h"

class TForm1 : public TForm {
public:
    TForm1();

    TLabel* Label1 = nullptr;
    TLabel* Label2 = nullptr;
    TLabel* Label3 = nullptr;  // the outcome line, hidden until the first fix ends
    TLabel* Label4 = nullptr;
    TPanel* Panel1 = nullptr;
    TButton* Button1 = nullptr;
    TButton* Button2 = nullptr;
    TButton* Button3 = nullptr;  // shown while the outcome line tells a folder ready to send

    void FormCreate();
    void Button1Click();
    void Button2Click();
    void Button3Click();
    // Fixes dropped paths (or those on the command line) one after another.
    void FixPaths(const std::vector<WideString>& paths);
    bool Fixing() const { return FRunner.Running(); }

protected:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    struct TPendingFix {
        WideString Path;  // what it works on; empty for several
        size_t Paths;     // how many
        TFixRunner::TJob Job;
    };
    // What arrives while a fix runs or a dialog or message box is open is
    // queued and started once the window is free again.
    void Enqueue(const WideString& path, size_t paths, TFixRunner::TJob job);
    void StartNext();
    bool Busy() const { return Fixing() || FModal > 0; }
    // Runs a dialog or message box; the window counts as busy meanwhile.
    template <class F>
    auto Modal(F&& show);
    void StartFix(TPendingFix fix);
    void FixEnded();
    void ReportFailure(std::exception_ptr failure);
    static WideString FailedLine(std::exception_ptr failure);
    bool CloseQuery();
    // The stage of the running fix, or the last outcome, and what waits.
    void ShowState();
    void ShowOutcome(const WideString& outcome);
    void EnableButtons(bool enabled);

    std::deque<TPendingFix> FQueue;
    int FModal = 0;
    WideString FPath;      // what the running fix works on; empty for several
    WideString FProgress;  // its latest stage
    // The outcome line of the last fix that ended, which a failure leaves.
    WideString FOutcome;
    bool FOutcomeShown = false;
    HWND FFocusBefore = nullptr;
    WideString FFailures;
    bool FCloseWhenDone = false;
    // A folder's fix that ended ready to send (SendArchive.h), set by the
    // fix (read once the worker has ended), and the one the shown outcome
    // offers to send.
    std::optional<TFixResult> FFixedReady;
    std::optional<TFixResult> FReady;
    // Last, so that a fix still running ends before the fields it writes go.
    TFixRunner FRunner;
};
