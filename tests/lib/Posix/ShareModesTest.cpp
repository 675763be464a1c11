// Windows sharing over advisory locks, where two opens of one file race.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include "Foundation/SysError.h"
#include "Posix/FileNames.h"
#include "Posix/ShareModes.h"
#include "support/ScratchFolder.h"

// A process that has just made a file may be overtaken by another that
// opens it before the maker's claim is held (a sweep of temporary folders
// finding a lock file being made, say): whichever order the two claims are
// taken in, they never both stand.
TEST(ShareModes, OfTwoOpensRacingForAFileAtMostOneGoesOn) {
#ifdef NVX_NO_LINUX_CALLS
    GTEST_SKIP() << "without per-open-file locks the opens of one process never conflict";
#endif
    TScratchFolder scratch;
    const std::string path = WideToSystemName(scratch / u"claimed.lock");
    const TShareClaim maker{true, true, true, true, true}, sweeper{true, false, true, true, false};
    for (bool makerFirst : {false, true}) {
        ::unlink(path.c_str());
        int made = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        int other = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(made, 0);
        ASSERT_GE(other, 0);
        if (makerFirst) {
            EXPECT_TRUE(TakeShareLock(made, maker));
            EXPECT_FALSE(TakeShareLock(other, sweeper));
        } else {
            EXPECT_TRUE(TakeShareLock(other, sweeper));
            EXPECT_FALSE(TakeShareLock(made, maker));
        }
        EXPECT_EQ(GetLastErrorCode(), WinError::SharingViolation);
        ::close(made);
        ::close(other);
    }
}
