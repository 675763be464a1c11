// The fixer's window: what it is for, the outcome of the last fix, and the
// two ways in, "Browse Folder" and "Browse ZIP".
#pragma once
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

private:
    void ShowOutcome(const AnsiString& outcome);
};
