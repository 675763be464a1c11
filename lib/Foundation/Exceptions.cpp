#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"

EFileError::EFileError(uint32_t errorCode) : Exception(SystemErrorText(errorCode)), ErrorCode(errorCode) {}

uint32_t EFileError::GetLastErrorCodeForException() { return GetLastErrorCode(); }

void TCommonException::SetDefaultMessage(const char* className) {
    SetMessage(AnsiString("Tarvix Exception: \"") + className + "\"");
}

void RaiseLastOSError() {
    uint32_t code = GetLastErrorCode();
    if (code != 0) throw EOSError(Format("System Error.  Code: %d.\r\n%s", (int)code, SystemErrorText(code)), code);
    throw EOSError("A call to an OS function failed", 0);
}

void AbstractError() { throw EAbstractError("Abstract Error"); }
