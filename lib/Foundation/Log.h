// The diagnostic log. Its own output discards every line and nothing in
// the program attaches another, so logging costs the formatting only.
#pragma once
#include "Foundation/RefObject.h"
#include "Foundation/Types.h"

using TLogOutput = void (*)(void* target, const WideString& line);

class TLog : public TRefObject {
public:
    TLog();

    // Sends lines to output(target, line); a null output restores the log's own.
    void SetOutput(void* target, TLogOutput output);
    void* OutputTarget() const { return FTarget; }

    void SetPrefix(const WideString& prefix) { FPrefix = prefix; }
    void SetShowThread(bool show) { FShowThread = show; }
    void SetShowTime(bool show) { FShowTime = show; }

    // Where the log's own output sends a line: nowhere.
    virtual void Output(const WideString& line);
    // Builds prefix + decorations + text and hands it to the output.
    virtual void Write(const WideString& text);

private:
    static void OwnOutput(void* target, const WideString& line);

    void* FTarget;
    TLogOutput FOutput;
    WideString FPrefix;
    bool FShowThread = false;
    bool FShowTime = false;
};

// "#" thread as at least four upper-case hex digits " ", then "[" elapsed
// milliseconds "] ", each only when asked for.
WideString LogDecorations(bool showThread, uint32_t threadId, bool showTime, uint32_t elapsedMs);

// Writes text to the process-wide log, when there is one.
void Log(const WideString& text);
TLog* GlobalLog();
// Milliseconds since the log started (wraps with the tick count).
uint32_t ElapsedMs();
// Local date and time when the log started.
TSystemTime LogStartTime();

// The library's global log hook: Log while the log runs, else null.
using TLogHook = void (*)(const WideString& text);
extern TLogHook LogHook;

void StartLog();
void StopLog();
