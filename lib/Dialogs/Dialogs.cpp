#include "Dialogs/Dialogs.h"
#include "FileSystem/FileAPI.h"
#include "Foundation/ScopeExit.h"

bool TCommonDialog::Execute() {
    // The system dialogs may move the current folder while the user browses.
    TScopeExit restore([folder = GetCurrentFolder(true)] { SetCurrentFolder(folder); });
    return ShowDialog();
}

TSaveDialog::TSaveDialog(TNativeHandle ownerWindow) : TCommonDialog(ownerWindow), FFiles(MakeRef<TStringList>()) {}

void TSaveDialog::Dispose() {
    FFiles.Reset();
    TCommonDialog::Dispose();
}

void TSaveDialog::TakeChosen(const std::vector<WideString>& paths) {
    FFiles->Clear();
    for (const WideString& path : paths) FFiles->Add(path);
    if (!paths.empty()) FileName = paths.front();
}
