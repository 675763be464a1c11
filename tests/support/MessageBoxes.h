// Message boxes seen by the tests.
#pragma once
#include <string>
#include <vector>

struct TShownBox {
    std::string Text;
    std::string Caption;  // empty for the system's default caption
    unsigned Flags;
};

void RecordMessageBoxes();
std::vector<TShownBox>& ShownBoxes();
