// Runs every suite with the library started, and message boxes recorded
// instead of shown, so that no test waits for a user.
#include <gtest/gtest.h>
#include <cstring>
#include "Startup.h"
#include "support/HelperProcess.h"
#include "support/MessageBoxes.h"

int main(int argc, char** argv) {
    // Run again by a test as its second process.
    if (argc >= 3 && std::strcmp(argv[1], "--nvx-helper") == 0) {
        TLibraryScope library;
        return RunHelperJob(argv[2], std::vector<std::string>(argv + 3, argv + argc));
    }
    testing::InitGoogleTest(&argc, argv);
    TLibraryScope library;
    RecordMessageBoxes();
    return RUN_ALL_TESTS();
}
