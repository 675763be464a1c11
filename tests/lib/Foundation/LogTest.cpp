#include <gtest/gtest.h>
#include <chrono>
#include <thread>
#include <vector>
#include "Foundation/Log.h"
#include "Foundation/TextUtils.h"
#include "Foundation/Threads.h"

namespace {

class TCapturingLog : public TLog {
public:
    std::vector<WideString> Lines;
    void Output(const WideString& line) override { Lines.push_back(line); }
};

void Collect(void* target, const WideString& line) { static_cast<std::vector<WideString>*>(target)->push_back(line); }

TEST(Log, PlainLinesPassUnchanged) {
    TRef<TCapturingLog> log = MakeRef<TCapturingLog>();
    log->Write(u"abc");
    log->Write(u"");
    log->SetPrefix(u"zip: ");
    log->Write(u"abc");
    EXPECT_EQ(log->Lines, (std::vector<WideString>{u"abc", u"", u"zip: abc"}));
}

TEST(Log, DecorationsFormat) {
    EXPECT_EQ(LogDecorations(true, 0x1A4, true, 1234), u"#01A4 [1234] ");
    EXPECT_EQ(LogDecorations(true, 0x12345, false, 99), u"#12345 ");
    EXPECT_EQ(LogDecorations(true, 0, false, 0), u"#0000 ");
    EXPECT_EQ(LogDecorations(false, 0x1A4, true, 0), u"[0] ");
    EXPECT_EQ(LogDecorations(false, 0x1A4, true, 4294967295u), u"[4294967295] ");
    EXPECT_EQ(LogDecorations(false, 7, false, 7), u"");
}

TEST(Log, WriteDecoratesWithThreadAndTime) {
    TRef<TCapturingLog> log = MakeRef<TCapturingLog>();
    log->SetPrefix(u"P ");
    log->SetShowThread(true);
    log->Write(u"abc");
    ASSERT_EQ(log->Lines.size(), 1u);
    EXPECT_EQ(log->Lines[0], u"P #" + IntToHex(CurrentThreadId(), 4) + u" abc");
    log->SetShowThread(false);
    log->SetShowTime(true);
    uint32_t before = ElapsedMs();
    log->Write(u"abc");
    uint32_t after = ElapsedMs();
    const WideString& line = log->Lines[1];
    ASSERT_EQ(line.rfind(u"P [", 0), 0u);
    size_t close = line.find(u"] abc");
    ASSERT_NE(close, WideString::npos);
    uint32_t shown = (uint32_t)std::stoul(std::string(line.begin() + 3, line.begin() + (long)close));
    EXPECT_GE(shown, before);
    EXPECT_LE(shown, after);
}

TEST(Log, OutputGoesToTheAttachedTarget) {
    TRef<TCapturingLog> log = MakeRef<TCapturingLog>();
    std::vector<WideString> collected;
    log->SetOutput(&collected, &Collect);
    EXPECT_EQ(log->OutputTarget(), &collected);
    log->Write(u"one");
    log->SetOutput(nullptr, nullptr);
    EXPECT_EQ(log->OutputTarget(), log.Get());
    log->Write(u"two");
    EXPECT_EQ(collected, (std::vector<WideString>{u"one"}));
    EXPECT_EQ(log->Lines, (std::vector<WideString>{u"two"}));
}

TEST(Log, GlobalLogRunsBetweenStartAndStop) {
    ASSERT_NE(GlobalLog(), nullptr);
    EXPECT_EQ(LogHook, &Log);
    std::vector<WideString> collected;
    GlobalLog()->SetOutput(&collected, &Collect);
    Log(u"through the function");
    LogHook(u"through the hook");
    EXPECT_EQ(collected, (std::vector<WideString>{u"through the function", u"through the hook"}));
    GlobalLog()->SetOutput(nullptr, nullptr);
    StopLog();
    EXPECT_EQ(GlobalLog(), nullptr);
    EXPECT_EQ(LogHook, nullptr);
    Log(u"nobody hears this");
    StartLog();
    EXPECT_NE(GlobalLog(), nullptr);
    EXPECT_EQ(collected.size(), 2u);
}

// Measured against a clock of the test's own around the start, so that no
// figure depends on how busy the machine is.
TEST(Log, ElapsedTimeCountsFromTheStart) {
    StopLog();
    const auto before = std::chrono::steady_clock::now();
    StartLog();
    TSystemTime started = LogStartTime();
    EXPECT_GE(started.Year, 2020);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    const uint32_t elapsed = ElapsedMs();
    const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - before);
    // Slack for a system clock that ticks every 16 ms.
    EXPECT_GE(elapsed, 40u);
    EXPECT_LE(elapsed, uint32_t(since.count()) + 20);
}

}  // namespace
