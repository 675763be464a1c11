#include <windows.h>
#include <commdlg.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <algorithm>
#include "Foundation/Exceptions.h"
#include "Foundation/ScopeExit.h"
#include "Win32/SystemDialogs.h"

namespace {

LPCWSTR W(const WideString& text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }
WideString FromW(LPCWSTR text) { return WideString(reinterpret_cast<const WideChar*>(text)); }

// The shell's objects need an apartment on the calling thread. It is
// started once per thread and ended at library shutdown.
thread_local bool ComStarted = false;

void StartCom() {
    if (ComStarted) return;
    // A thread already in another apartment keeps it; that one is not ours to end.
    if (SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) ComStarted = true;
}

void Check(HRESULT hr, const char* what) {
    if (FAILED(hr)) throw EOSError::CreateFmt("%s failed (%08X)", what, (unsigned)hr);
}

// The file system path of a chosen item; an item without one (a virtual
// folder) gives its display name.
WideString ItemPath(IShellItem* item) {
    PWSTR text = nullptr;
    if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &text))) {
        text = nullptr;
        Check(item->GetDisplayName(SIGDN_NORMALDISPLAY, &text), "Reading the chosen item");
    }
    TScopeExit free([text] { ::CoTaskMemFree(text); });
    return text ? FromW(text) : WideString();
}

std::vector<WideString> ChosenPaths(IFileDialog* dialog, bool all) {
    std::vector<WideString> paths;
    if (all) {
        IShellItemArray* items = nullptr;
        Check(static_cast<IFileOpenDialog*>(dialog)->GetResults(&items), "Reading the chosen items");
        TScopeExit release([items] { items->Release(); });
        DWORD count = 0;
        Check(items->GetCount(&count), "Counting the chosen items");
        for (DWORD i = 0; i < count; ++i) {
            IShellItem* item = nullptr;
            Check(items->GetItemAt(i, &item), "Reading a chosen item");
            TScopeExit releaseItem([item] { item->Release(); });
            paths.push_back(ItemPath(item));
        }
    } else {
        IShellItem* item = nullptr;
        Check(dialog->GetResult(&item), "Reading the chosen item");
        TScopeExit release([item] { item->Release(); });
        paths.push_back(ItemPath(item));
    }
    return paths;
}

// Selects the starting folder once the folder browser is up.
int CALLBACK BrowseCallback(HWND window, UINT message, LPARAM, LPARAM data) {
    const WideString& folder = *reinterpret_cast<const WideString*>(data);
    if (message == BFFM_INITIALIZED && !folder.empty())
        ::SendMessageW(window, BFFM_SETSELECTIONW, TRUE, (LPARAM)W(folder));
    return 0;
}

// Long enough for a long path or a multiple selection in one folder.
constexpr DWORD ClassicBufferLength = 65536;

}  // namespace

void DoneDialogs() {
    if (!ComStarted) return;
    ComStarted = false;
    ::CoUninitialize();
}

TPickResult ShowItemDialog(const TPickRequest& request, std::vector<WideString>& chosen) {
    StartCom();
    IFileDialog* dialog = nullptr;
    HRESULT hr = ::CoCreateInstance(request.Opening ? CLSID_FileOpenDialog : CLSID_FileSaveDialog, nullptr,
                                    CLSCTX_INPROC_SERVER, request.Opening ? IID_IFileOpenDialog : IID_IFileSaveDialog,
                                    reinterpret_cast<void**>(&dialog));
    if (FAILED(hr)) return TPickResult::Unavailable;
    TScopeExit release([dialog] { dialog->Release(); });

    if (!request.Filter.empty()) {
        std::vector<TFilterPair> pairs = SplitFilter(request.Filter);
        std::vector<COMDLG_FILTERSPEC> specs;
        for (const TFilterPair& pair : pairs) specs.push_back({W(pair.Description), W(pair.Pattern)});
        Check(dialog->SetFileTypes((UINT)specs.size(), specs.data()), "Setting the file types");
        Check(dialog->SetFileTypeIndex(1), "Setting the file type");
    }
    Check(dialog->SetOptions(ItemDialogFlags(request.Options, request.PickFolder)), "Setting the dialog options");
    if (!request.StartFolder.empty()) {
        IShellItem* folder = nullptr;
        // A folder the shell cannot resolve leaves the dialog where it would start anyway.
        if (SUCCEEDED(::SHCreateItemFromParsingName(W(request.StartFolder), nullptr, IID_IShellItem,
                                                    reinterpret_cast<void**>(&folder)))) {
            dialog->SetFolder(folder);
            folder->Release();
        }
    }
    if (!request.FileName.empty()) Check(dialog->SetFileName(W(request.FileName)), "Setting the file name");
    if (!request.Title.empty()) Check(dialog->SetTitle(W(request.Title)), "Setting the dialog title");

    HWND owner = (HWND)request.Owner;
    hr = dialog->Show(owner);
    if (owner) ::SetActiveWindow(owner);
    if (hr == HRESULT_FROM_WIN32(ERROR_CANCELLED)) return TPickResult::Cancelled;
    Check(hr, "Showing the dialog");
    chosen = ChosenPaths(dialog, request.Opening && (request.Options & OptionBit(DialogOption::AllowMultiSelect)));
    return TPickResult::Chosen;
}

TPickResult ShowFolderBrowser(const TPickRequest& request, std::vector<WideString>& chosen) {
    // The new dialog style needs a single-threaded apartment.
    StartCom();
    WCHAR displayName[MAX_PATH] = {};
    BROWSEINFOW info{};
    info.hwndOwner = (HWND)request.Owner;
    info.pidlRoot = nullptr;  // the desktop
    info.pszDisplayName = displayName;
    info.lpszTitle = W(request.Title);
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    info.lpfn = BrowseCallback;
    info.lParam = (LPARAM)&request.SelectFolder;
    PIDLIST_ABSOLUTE item = ::SHBrowseForFolderW(&info);
    if (!item) return TPickResult::Cancelled;
    WCHAR path[MAX_PATH] = {};
    bool hasPath = ::SHGetPathFromIDListW(item, path);
    ::CoTaskMemFree(item);
    if (!hasPath) return TPickResult::Cancelled;
    chosen = {FromW(path)};
    return TPickResult::Chosen;
}

TPickResult ShowClassicDialog(const TPickRequest& request, std::vector<WideString>& chosen) {
    const WideString filter = ClassicFilter(request.Filter);
    std::vector<WCHAR> buffer(ClassicBufferLength, 0);
    size_t seed = std::min(request.FileName.size(), (size_t)ClassicBufferLength - 1);
    std::copy_n(request.FileName.begin(), seed, buffer.begin());

    OPENFILENAMEW info{};
    info.lStructSize = sizeof info;
    info.hwndOwner = (HWND)request.Owner;
    info.lpstrFilter = filter.empty() ? nullptr : W(filter);
    info.nFilterIndex = 1;
    info.lpstrFile = buffer.data();
    info.nMaxFile = ClassicBufferLength;
    info.lpstrTitle = request.Title.empty() ? nullptr : W(request.Title);
    info.Flags = ClassicDialogFlags(request.Options);
    bool confirmed = request.Opening ? ::GetOpenFileNameW(&info) : ::GetSaveFileNameW(&info);
    if (!confirmed) {
        DWORD error = ::CommDlgExtendedError();
        if (error == 0) return TPickResult::Cancelled;
        throw EOSError::CreateFmt("The file dialog failed (%X)", (unsigned)error);
    }
    // Several names follow the folder after its NUL; one path has a
    // separator before its name.
    const bool several = (info.Flags & OFN_ALLOWMULTISELECT) && info.nFileOffset > 0 &&
                         info.nFileOffset < buffer.size() && buffer[info.nFileOffset - 1] == 0;
    chosen = ClassicSelection(WideString(reinterpret_cast<const WideChar*>(buffer.data()), buffer.size()), several);
    return TPickResult::Chosen;
}
