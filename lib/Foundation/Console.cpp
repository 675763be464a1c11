#include "Foundation/Console.h"

void ConsoleWriteLine(TConsoleStream stream, const WideString& text) { ConsoleWrite(stream, text + u"\n"); }
