// The fixer's window: what it is for, the outcome of the last fix, and the
// two ways in, "Browse Folder" and "Browse ZIP"; shows can also be dropped
// onto it.
#pragma once
#include <vector>
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

    void FormCreate();
    void Button1Click();
    void Button2Click();
    // Fixes dropped paths (or those on the command line) one after another.
    void FixPaths(const std::vector<WideString>& paths);
    bool Fixing() const { return FRunner.Running(); }

protected:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    // Runs job on the worker; the buttons rest until it ends.
    void StartFix(const WideString& path, std::function<WideString(const TFixProgress&)> job);
    void FixEnded();
    void ReportFailure(std::exception_ptr failure);
    bool CloseQuery();
    void ShowOutcome(const WideString& outcome);

    WideString FPath;  // what the running fix works on; empty for several
    // Label3 as it was before the fix, for a fix that fails.
    WideString FOutcomeBefore;
    bool FOutcomeShownBefore = false;
    HWND FFocusBefore = nullptr;
    WideString FFailures;
    bool FCloseWhenDone = false;
    // Last, so that a fix still running ends before the fields it writes go.
    TFixRunner FRunner;
};
