// POSIX has no message boxes or debugger channel: both go to standard error.
#include "Foundation/SysUI.h"
#include <dlfcn.h>
#include <cstdio>
#include <cstdlib>
#include "Foundation/CodePages.h"
#include "Posix/FileNames.h"

static void WriteLine(const AnsiString& text) {
    std::fflush(stdout);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void DebugOutput(const AnsiString& text) { WriteLine(text); }

void ShowNativeMessageBox(TNativeHandle, const AnsiString& text, const char* caption, unsigned) {
    WriteLine(caption ? AnsiString(caption) + ": " + text : text);
}

void ShowNativeMessageBox(TNativeHandle owner, const WideString& text, const WideString& caption, unsigned flags) {
    ShowNativeMessageBox(owner, WideToUtf8(text), WideToUtf8(caption).c_str(), flags);
}

bool IsConsoleProcess() { return true; }

// The text is UTF-8, as the terminal takes it.
void WriteConsoleError(const AnsiString& text) { WriteLine(text); }

bool ModuleOfAddress(const void* address, AnsiString& moduleName, uintptr_t& relative) {
    Dl_info info;
    if (!address || !dladdr(address, &info) || !info.dli_fname || !*info.dli_fname) return false;
    moduleName = LastComponent(info.dli_fname);
    relative = (uintptr_t)address - (uintptr_t)info.dli_fbase;
    return true;
}

AnsiString ProgramFileName() {
#if defined(__APPLE__)
    return getprogname();
#else
    return program_invocation_short_name;
#endif
}
