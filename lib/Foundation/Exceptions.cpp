#include "Foundation/Exceptions.h"
#include "Foundation/CodePages.h"
#include "Foundation/SysError.h"

Exception::Exception(const TPathText& text) : Path(text.Path) {
    const AnsiString path = WideToAnsi(text.Path);
    FMessage = text.Before + path + text.After;
    FPathAt = text.Before.size();
    FPathLength = path.size();
    FNamesPath = true;
}

void Exception::SetMessage(AnsiString message) {
    FMessage = std::move(message);
    FNamesPath = false;
}

WideString Exception::MessageNaming(const WideString& shown) const {
    if (!FNamesPath) return AnsiToWide(FMessage);
    return AnsiToWide(FMessage.substr(0, FPathAt)) + shown + AnsiToWide(FMessage.substr(FPathAt + FPathLength));
}

EFileError::EFileError(uint32_t errorCode) : Exception(SystemErrorText(errorCode)), ErrorCode(errorCode) {}

void TCommonException::SetDefaultMessage(const char* className) {
    SetMessage(AnsiString("Tarvix Exception: \"") + className + "\"");
}

void RaiseLastOSError() {
    uint32_t code = GetLastErrorCode();
    if (code != 0) throw EOSError(Format("System Error.  Code: %d.\r\n%s", (int)code, SystemErrorText(code)), code);
    throw EOSError("A call to an OS function failed", 0);
}

void AbstractError() { throw EAbstractError("Abstract Error"); }
