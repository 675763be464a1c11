#include "Foundation/Log.h"
#include "Foundation/Clock.h"
#include "Foundation/TextUtils.h"
#include "Foundation/Threads.h"

TLogHook LogHook = nullptr;

namespace {
TLog* Instance = nullptr;
uint32_t StartTick = 0;
TSystemTime StartTime;
}  // namespace

TLog::TLog() : FTarget(this), FOutput(&OwnOutput) {}

void TLog::OwnOutput(void* target, const WideString& line) { static_cast<TLog*>(target)->Output(line); }

void TLog::SetOutput(void* target, TLogOutput output) {
    FTarget = output ? target : this;
    FOutput = output ? output : &OwnOutput;
}

void TLog::Output(const WideString&) {}

void TLog::Write(const WideString& text) {
    uint32_t threadId = FShowThread ? CurrentThreadId() : 0;
    uint32_t elapsed = FShowTime ? ElapsedMs() : 0;
    FOutput(FTarget, FPrefix + LogDecorations(FShowThread, threadId, FShowTime, elapsed) + text);
}

WideString LogDecorations(bool showThread, uint32_t threadId, bool showTime, uint32_t elapsedMs) {
    WideString decorations;
    if (showThread) decorations.append(u"#").append(IntToHex(threadId, 4)).append(u" ");
    if (showTime) decorations.append(u"[").append(IntToStr(elapsedMs)).append(u"] ");
    return decorations;
}

void Log(const WideString& text) {
    if (Instance) Instance->Write(text);
}

TLog* GlobalLog() { return Instance; }

uint32_t ElapsedMs() { return TickCount() - StartTick; }

TSystemTime LogStartTime() { return StartTime; }

void StartLog() {
    if (Instance) return;
    StartTime = LocalNow();
    StartTick = TickCount();
    Instance = New<TLog>();
    LogHook = &Log;
}

void StopLog() {
    LogHook = nullptr;
    Free(std::exchange(Instance, nullptr));
}
