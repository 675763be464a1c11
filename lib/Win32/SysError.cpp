#include <windows.h>
#include "Foundation/CodePages.h"
#include "Foundation/SysError.h"

uint32_t GetLastErrorCode() { return ::GetLastError(); }
void SetLastErrorCode(uint32_t code) { ::SetLastError(code); }

// Building an error's text must not change the code a caller reads next.
// The text is read wide, so that it is UTF-8 whatever the ANSI code page.
AnsiString RawSystemErrorText(uint32_t code) {
    DWORD last = ::GetLastError();
    WCHAR buffer[256];
    DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                               sizeof buffer / sizeof *buffer, nullptr);
    ::SetLastError(last);
    return WideToUtf8(WideString(reinterpret_cast<const WideChar*>(buffer), n));
}
