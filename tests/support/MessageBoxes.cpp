#include "support/MessageBoxes.h"
#include "Foundation/SysUI.h"

std::vector<TShownBox>& ShownBoxes() {
    static std::vector<TShownBox> boxes;
    return boxes;
}

void RecordMessageBoxes() {
    SetMessageBoxHandler([](const AnsiString& text, const char* caption, unsigned flags) {
        ShownBoxes().push_back({text, caption ? caption : "", flags});
    });
}
