#include <windows.h>
#include <shellapi.h>
#include <cstdio>
#include "Foundation/CodePages.h"
#include "Foundation/Console.h"

std::vector<WideString> CommandLineArguments(int, char**) {
    std::vector<WideString> arguments;
    int count = 0;
    LPWSTR* list = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!list) return arguments;
    for (int i = 1; i < count; ++i) arguments.emplace_back((const WideChar*)list[i]);
    ::LocalFree(list);
    return arguments;
}

static HANDLE StreamHandle(TConsoleStream stream) {
    return ::GetStdHandle(stream == TConsoleStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool IsTerminal(TConsoleStream stream) {
    DWORD mode = 0;
    return ::GetConsoleMode(StreamHandle(stream), &mode) != 0;
}

void ConsoleWrite(TConsoleStream stream, const WideString& text) {
    std::fflush(stream == TConsoleStream::Output ? stdout : stderr);
    HANDLE handle = StreamHandle(stream);
    DWORD done = 0;
    if (IsTerminal(stream)) {
        ::WriteConsoleW(handle, text.data(), (DWORD)text.size(), &done, nullptr);
        return;
    }
    AnsiString bytes = WideToUtf8(text);
    ::WriteFile(handle, bytes.data(), (DWORD)bytes.size(), &done, nullptr);
}
