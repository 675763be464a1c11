#include "Dialogs/Dialogs.h"
#include "FileSystem/FileAPI.h"
#include "Foundation/SystemInfo.h"
#include "Win32/SystemDialogs.h"

bool TSaveDialog::ShowDialog() {
    TPickRequest request;
    request.Owner = OwnerWindow();
    request.Opening = Opening();
    request.PickFolder = PickingFolder();
    request.Options = Options;
    request.Title = Title;
    request.Filter = Filter;
    // The title doubles as the folder to start in when it names one.
    request.SelectFolder = !Title.empty() && DirectoryExists(Title) ? Title : WideString();

    std::vector<WideString> chosen;
    TPickResult result = TPickResult::Unavailable;
    if (OSVersion().Major >= 6) {
        request.StartFolder = StartingFolder(request.SelectFolder, FileName);
        request.FileName = ExtractFileName(FileName);
        result = ShowItemDialog(request, chosen);
    }
    if (result == TPickResult::Unavailable) {
        request.FileName = FileName;
        result = request.PickFolder ? ShowFolderBrowser(request, chosen) : ShowClassicDialog(request, chosen);
    }
    if (result != TPickResult::Chosen || chosen.empty()) return false;
    TakeChosen(chosen);
    return true;
}
