// The zone's rule for the date itself applies, not today's bias. Needs a
// zone set per process, which only POSIX gives the test.
#include <gtest/gtest.h>
#include <cstdlib>
#include <ctime>
#include "Foundation/Clock.h"

#if !defined(_WIN32)
namespace {

class ClockInBerlin : public testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TZ");
        FSaved = old ? old : "";
        FHadZone = old != nullptr;
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
    }
    void TearDown() override {
        if (FHadZone) setenv("TZ", FSaved.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    std::string FSaved;
    bool FHadZone = false;
};

// 2024-07-15 10:00 UTC and 2024-01-15 11:00 UTC as file times.
constexpr TFileTime Summer = 133655112000000000ULL;
constexpr TFileTime Winter = 133497900000000000ULL;

TEST_F(ClockInBerlin, SummerAndWinterDatesUseTheirOwnOffsets) {
    EXPECT_EQ(FileTimeToLocal(Summer).Hour, 12);
    EXPECT_EQ(FileTimeToLocal(Winter).Hour, 12);
    EXPECT_EQ(LocalToFileTime(FileTimeToLocal(Summer)), Summer);
    EXPECT_EQ(LocalToFileTime(FileTimeToLocal(Winter)), Winter);
}

}  // namespace
#endif
