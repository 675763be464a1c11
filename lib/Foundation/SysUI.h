// Debug output, message boxes and the console: where reports go. The
// 8-bit texts here are UTF-8, as every AnsiString's text is.
#pragma once
#include "Foundation/Types.h"

namespace MessageBoxFlags {
constexpr unsigned IconError = 0x10;
constexpr unsigned TaskModal = 0x2000;
}  // namespace MessageBoxFlags

void DebugOutput(const AnsiString& text);

// Shows text in a message box with no owner window; a null caption means the
// system's default. Goes through the installed handler when there is one.
void ShowMessageBox(const AnsiString& text, const char* caption, unsigned flags);
// The same with wide text, so that every character of a path shows, modal
// to the window owner (0: none); a handler sees the texts in UTF-8.
void ShowMessageBox(TNativeHandle owner, const WideString& text, const WideString& caption, unsigned flags);

// Lets tests and batch programs see message boxes instead of a window
// waiting for a user. Returns the previous handler; null restores the default.
using TMessageBoxHandler = void (*)(const AnsiString& text, const char* caption, unsigned flags);
TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler);

// True when the process has a console (standard error is where reports go).
bool IsConsoleProcess();
// Flushes standard output, then writes text and a line end to standard
// error: a console gets the characters themselves, a pipe or file UTF-8.
void WriteConsoleError(const AnsiString& text);

// File name (without folders) of the module that holds address, and the
// address relative to that module's base. False when no module holds it.
bool ModuleOfAddress(const void* address, AnsiString& moduleName, uintptr_t& relative);
// File name, without folders, of the running program.
AnsiString ProgramFileName();
