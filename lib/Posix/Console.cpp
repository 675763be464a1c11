#include "Foundation/Console.h"
#include <unistd.h>
#include <cstdio>
#include "Posix/FileNames.h"

std::vector<WideString> CommandLineArguments(int argc, char** argv) {
    std::vector<WideString> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(SystemNameToWide(argv[i]));
    return arguments;
}

static FILE* StreamFile(TConsoleStream stream) { return stream == TConsoleStream::Output ? stdout : stderr; }

void ConsoleWrite(TConsoleStream stream, const WideString& text) {
    AnsiString bytes = WideToSystemName(text);
    FILE* file = StreamFile(stream);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fflush(file);
}

bool IsTerminal(TConsoleStream stream) { return isatty(fileno(StreamFile(stream))) == 1; }
