// Runs every suite with the library started, and message boxes recorded
// instead of shown, so that no test waits for a user.
#include <gtest/gtest.h>
#include "Startup.h"
#include "support/MessageBoxes.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    TLibraryScope library;
    RecordMessageBoxes();
    return RUN_ALL_TESTS();
}
