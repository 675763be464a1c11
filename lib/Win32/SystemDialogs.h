// The system's pick dialogs behind TSaveDialog and TOpenDialog, apart from
// the library's objects: the shell's headers and the object root both
// declare IID_IUnknown.
#pragma once
#include <vector>
#include "Dialogs/DialogSetup.h"

struct TPickRequest {
    TNativeHandle Owner = 0;
    bool Opening = true;      // an open dialog, else a save dialog
    bool PickFolder = false;  // a folder instead of a file
    TDialogOptions Options = 0;
    WideString Title;
    WideString FileName;
    WideString Filter;
    WideString StartFolder;   // where the item dialog starts; may be empty
    WideString SelectFolder;  // an existing folder the folder browser selects; may be empty
};

enum class TPickResult { Chosen, Cancelled, Unavailable };

// The common item dialog; Unavailable when the system cannot make one.
TPickResult ShowItemDialog(const TPickRequest& request, std::vector<WideString>& chosen);
// The classic folder browser, rooted at the desktop.
TPickResult ShowFolderBrowser(const TPickRequest& request, std::vector<WideString>& chosen);
// The classic open or save dialog.
TPickResult ShowClassicDialog(const TPickRequest& request, std::vector<WideString>& chosen);
