// The library's pick dialogs: one existing file (with a filter) or, in
// folder mode, one folder, through whichever system dialog the running
// Windows offers; a system without pick dialogs fails Execute with
// WinError::NotSupported. The process's current folder is the same after
// Execute as before it, whatever the user did in the dialog.
#pragma once
#include <vector>
#include "Dialogs/DialogSetup.h"
#include "Foundation/Lists.h"
#include "Foundation/RefObject.h"

class TCommonDialog : public TRefObject {
public:
    // The dialog is modal to ownerWindow (none: 0).
    explicit TCommonDialog(TNativeHandle ownerWindow) : FOwnerWindow(ownerWindow) {}
    TNativeHandle OwnerWindow() const { return FOwnerWindow; }

    // Shows the dialog; true when the user confirmed a choice.
    bool Execute();

protected:
    // The dialog itself, between saving and restoring the current folder.
    virtual bool ShowDialog() = 0;

private:
    TNativeHandle FOwnerWindow;
};

class TSaveDialog : public TCommonDialog {
public:
    explicit TSaveDialog(TNativeHandle ownerWindow);

    TDialogOptions Options = DefaultDialogOptions;
    // Shown as the dialog's title; naming an existing folder, it is also the
    // folder the dialog starts in.
    WideString Title;
    // The chosen path after a confirmed Execute; its folder and name seed
    // the dialog.
    WideString FileName;
    // Description and pattern pairs: "Zip Files|*.zip".
    WideString Filter;
    // Every chosen path; more than one only with multiple selection.
    TStringList* Files() const { return FFiles.Get(); }

protected:
    void Dispose() override;
    // The system's dialog (lib/Win32, lib/Posix).
    bool ShowDialog() override;
    virtual bool Opening() const { return false; }
    virtual bool PickingFolder() const { return false; }
    // Puts the chosen paths into Files and the first into FileName.
    void TakeChosen(const std::vector<WideString>& paths);

private:
    TRef<TStringList> FFiles;
};

class TOpenDialog : public TSaveDialog {
public:
    using TSaveDialog::TSaveDialog;

    // Pick a folder instead of a file.
    bool FolderMode = false;

protected:
    bool Opening() const override { return true; }
    bool PickingFolder() const override { return FolderMode; }
};
