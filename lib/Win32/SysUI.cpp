#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <cstdio>
#include <cstring>
#include "Foundation/SysUI.h"

void DebugOutput(const AnsiString& text) { ::OutputDebugStringA(text.c_str()); }

void ShowNativeMessageBox(TNativeHandle owner, const AnsiString& text, const char* caption, unsigned flags) {
    ::MessageBoxA((HWND)owner, text.c_str(), caption, flags);
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

void WriteConsoleError(const AnsiString& text) {
    std::fflush(stdout);
    AnsiString oem = text;
    if (!oem.empty()) ::CharToOemBuffA(text.c_str(), oem.data(), (DWORD)oem.size());
    oem += "\r\n";
    // The text carries its own CR LF; a text-mode stream would add a CR to each.
    std::fflush(stderr);
    int mode = ::_setmode(::_fileno(stderr), _O_BINARY);
    std::fwrite(oem.data(), 1, oem.size(), stderr);
    std::fflush(stderr);
    if (mode != -1) ::_setmode(::_fileno(stderr), mode);
}

static AnsiString BaseName(const char* path) {
    const char* slash = std::strrchr(path, '\\');
    return slash ? slash + 1 : path;
}

bool ModuleOfAddress(const void* address, AnsiString& moduleName, uintptr_t& relative) {
    MEMORY_BASIC_INFORMATION info;
    if (!address || ::VirtualQuery(address, &info, sizeof info) == 0 || info.State != MEM_COMMIT) return false;
    char name[MAX_PATH];
    if (::GetModuleFileNameA((HMODULE)info.AllocationBase, name, sizeof name) == 0) return false;
    moduleName = BaseName(name);
    relative = (uintptr_t)address - (uintptr_t)info.AllocationBase;
    return true;
}

AnsiString ProgramFileName() {
    char name[MAX_PATH];
    DWORD n = ::GetModuleFileNameA(nullptr, name, sizeof name);
    return BaseName(AnsiString(name, n).c_str());
}
