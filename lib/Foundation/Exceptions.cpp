#include "Foundation/Exceptions.h"
#include <cstring>
#include "Foundation/CodePages.h"
#include "Foundation/SysError.h"

Exception::Exception(const TPathText& text) : Path(text.Path) {
    const AnsiString path = WideToUtf8(text.Path);
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
    if (!FNamesPath) return Utf8ToWide(FMessage);
    return Utf8ToWide(FMessage.substr(0, FPathAt)) + shown + Utf8ToWide(FMessage.substr(FPathAt + FPathLength));
}

WideString Exception::MessageCallingPathIt() const {
    if (!FNamesPath) return Utf8ToWide(FMessage);
    AnsiString before = FMessage.substr(0, FPathAt), after = FMessage.substr(FPathAt + FPathLength);
    if (!before.empty() && before.back() == '"' && !after.empty() && after[0] == '"') {
        before.pop_back();
        after.erase(0, 1);
    }
    for (const char* noun : {"The archive ", "the archive "})
        if (before.size() >= strlen(noun) && before.compare(before.size() - strlen(noun), AnsiString::npos, noun) == 0)
            before.resize(before.size() - strlen(noun));
    return Utf8ToWide(before + (before.empty() ? "It" : "it") + after);
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
