#include "Foundation/SysError.h"

AnsiString SystemErrorText(uint32_t code) {
    AnsiString text = RawSystemErrorText(code);
    while (!text.empty() && ((unsigned char)text.back() < '!' || text.back() == '.')) text.pop_back();
    return text;
}
