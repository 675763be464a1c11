// Runs one fix at a time on a worker thread, so that the window keeps
// painting and answering while it works. Progress and the end reach the
// window as posted messages and are taken up on the window's own thread.
#pragma once
#include <windows.h>
#include <atomic>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include "FixProgress.h"
#include "Foundation/Types.h"

class TFixRunner {
public:
    // The job's outcome is the text the window shows when it ends.
    using TJob = std::function<WideString(const TFixProgress& progress)>;

    // window gets progressMessage when the progress text changed and
    // doneMessage when the job has ended.
    TFixRunner(HWND window, UINT progressMessage, UINT doneMessage);
    // A job still running is asked to stop and waited for.
    ~TFixRunner();

    bool Running() const { return FWorker.joinable(); }
    void Start(TJob job);
    // The job stops at its next progress event, as if that step failed.
    void RequestStop() { FStopRequested = true; }
    bool StopRequested() const { return FStopRequested; }

    // On the window's thread: the latest progress text.
    WideString Progress();
    // On the window's thread, after doneMessage: waits for the worker and
    // gives the outcome, or raises what the job raised.
    WideString Finish();

private:
    void Report(TFixStage stage, uint64_t done, uint64_t total);

    HWND FWindow;
    UINT FProgressMessage, FDoneMessage;
    std::thread FWorker;
    std::atomic<bool> FStopRequested{false};
    std::atomic<bool> FProgressPosted{false};
    std::mutex FLock;
    WideString FProgress;  // guarded by FLock
    WideString FOutcome;
    std::exception_ptr FFailure;
};
