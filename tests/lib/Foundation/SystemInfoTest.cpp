#include <gtest/gtest.h>
#include "Foundation/SystemInfo.h"

namespace {

TEST(SystemInfo, StartUpReadTheVersion) {
    EXPECT_EQ(OSVersion().PlatformId, 2u);
    EXPECT_GE(OSVersion().Major, 5u);
    EXPECT_FALSE(IsWow64());  // the tests are 64-bit programs
}

}  // namespace
