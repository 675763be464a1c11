#include "Foundation/SysUI.h"
#include "Foundation/CodePages.h"

void ShowNativeMessageBox(TNativeHandle owner, const AnsiString& text, const char* caption, unsigned flags);
void ShowNativeMessageBox(TNativeHandle owner, const WideString& text, const WideString& caption, unsigned flags);

namespace {
TMessageBoxHandler Handler = nullptr;
}

void ShowMessageBox(const AnsiString& text, const char* caption, unsigned flags) {
    if (Handler) Handler(text, caption, flags);
    else ShowNativeMessageBox(0, text, caption, flags);
}

void ShowMessageBox(TNativeHandle owner, const WideString& text, const WideString& caption, unsigned flags) {
    if (Handler) Handler(WideToUtf8(text), WideToUtf8(caption).c_str(), flags);
    else ShowNativeMessageBox(owner, text, caption, flags);
}

TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler) {
    TMessageBoxHandler previous = Handler;
    Handler = handler;
    return previous;
}
