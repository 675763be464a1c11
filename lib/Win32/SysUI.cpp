#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <cstdio>
#include "Foundation/CodePages.h"
#include "Foundation/Console.h"
#include "Foundation/SysUI.h"

// The library's 8-bit text is UTF-8: it goes to the system wide.
static LPCWSTR W(const WideString& text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }

void DebugOutput(const AnsiString& text) { ::OutputDebugStringW(W(Utf8ToWide(text))); }

void ShowNativeMessageBox(TNativeHandle owner, const AnsiString& text, const char* caption, unsigned flags) {
    const WideString wideCaption = caption ? Utf8ToWide(caption) : WideString();
    ::MessageBoxW((HWND)owner, W(Utf8ToWide(text)), caption ? W(wideCaption) : nullptr, flags);
}

void ShowNativeMessageBox(TNativeHandle owner, const WideString& text, const WideString& caption, unsigned flags) {
    ::MessageBoxW((HWND)owner, reinterpret_cast<LPCWSTR>(text.c_str()), reinterpret_cast<LPCWSTR>(caption.c_str()),
                  flags);
}

// A console process is one whose executable asks for the console subsystem.
bool IsConsoleProcess() {
    auto* base = (const BYTE*)::GetModuleHandleW(nullptr);
    auto* dos = (const IMAGE_DOS_HEADER*)base;
    auto* nt = (const IMAGE_NT_HEADERS*)(base + dos->e_lfanew);
    return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

// A console gets the characters themselves, a pipe or file UTF-8, as the
// programs' own output does.
void WriteConsoleError(const AnsiString& text) {
    std::fflush(stdout);
    if (IsTerminal(TConsoleStream::Error)) {
        ConsoleWrite(TConsoleStream::Error, Utf8ToWide(text) + u"\r\n");
        return;
    }
    // The text carries its own CR LF; a text-mode stream would add a CR to each.
    const AnsiString line = text + "\r\n";
    std::fflush(stderr);
    int mode = ::_setmode(::_fileno(stderr), _O_BINARY);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    if (mode != -1) ::_setmode(::_fileno(stderr), mode);
}

// The file name after the last backslash of a module's path, in UTF-8.
static AnsiString BaseName(const WCHAR* path, DWORD length) {
    WideString name(reinterpret_cast<const WideChar*>(path), length);
    return WideToUtf8(name.substr(name.rfind(u'\\') + 1));
}

bool ModuleOfAddress(const void* address, AnsiString& moduleName, uintptr_t& relative) {
    MEMORY_BASIC_INFORMATION info;
    if (!address || ::VirtualQuery(address, &info, sizeof info) == 0 || info.State != MEM_COMMIT) return false;
    WCHAR name[MAX_PATH];
    DWORD n = ::GetModuleFileNameW((HMODULE)info.AllocationBase, name, MAX_PATH);
    if (n == 0) return false;
    moduleName = BaseName(name, n);
    relative = (uintptr_t)address - (uintptr_t)info.AllocationBase;
    return true;
}

AnsiString ProgramFileName() {
    WCHAR name[MAX_PATH];
    DWORD n = ::GetModuleFileNameW(nullptr, name, MAX_PATH);
    return BaseName(name, n);
}
