// The console of a command-line program: its arguments as UTF-16 and its
// two output streams.
#pragma once
#include <vector>
#include "Foundation/Types.h"

// The arguments after the program name. POSIX decodes argv as UTF-8;
// Windows reads the wide command line and ignores argv.
std::vector<WideString> CommandLineArguments(int argc, char** argv);

enum class TConsoleStream { Output, Error };
// Writes text as it is (no line end added). A console gets the characters
// themselves; a pipe or file gets UTF-8.
void ConsoleWrite(TConsoleStream stream, const WideString& text);
void ConsoleWriteLine(TConsoleStream stream, const WideString& text);
bool IsTerminal(TConsoleStream stream);
