#include <windows.h>
#include "Foundation/SysError.h"

uint32_t GetLastErrorCode() { return ::GetLastError(); }
void SetLastErrorCode(uint32_t code) { ::SetLastError(code); }

// Building an error's text must not change the code a caller reads next.
AnsiString RawSystemErrorText(uint32_t code) {
    DWORD last = ::GetLastError();
    char buffer[256];
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                               sizeof buffer, nullptr);
    ::SetLastError(last);
    return AnsiString(buffer, n);
}
