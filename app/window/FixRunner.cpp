#include "FixRunner.h"
#include <utility>
#include "Foundation/ErrorReport.h"
#include "Foundation/Exceptions.h"

TFixRunner::TFixRunner(HWND window, UINT progressMessage, UINT doneMessage)
    : FWindow(window), FProgressMessage(progressMessage), FDoneMessage(doneMessage) {}

TFixRunner::~TFixRunner() {
    if (!Running()) return;
    RequestStop();
    FWorker.join();
}

void TFixRunner::Start(TJob job) {
    NVX_ASSERT(!Running());
    FStopRequested = false;
    FOutcome.clear();
    FFailure = nullptr;
    FProgress.clear();
    FProgressPosted = false;
    FWorker = std::thread([this, job = std::move(job)] {
        try {
            FOutcome = job([this](TFixStage stage, uint64_t done, uint64_t total) { Report(stage, done, total); });
        } catch (...) {
            FFailure = std::current_exception();
        }
        ::PostMessageW(FWindow, FDoneMessage, 0, 0);
    });
}

// Called on the worker for every step of the fix; most change nothing the
// window shows, so only a changed text is posted, and only one at a time.
void TFixRunner::Report(TFixStage stage, uint64_t done, uint64_t total) {
    if (FStopRequested) throw EAbort("The fix was stopped");
    WideString text = ProgressText(stage, done, total);
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (text == FProgress) return;
        FProgress = text;
    }
    if (!FProgressPosted.exchange(true)) ::PostMessageW(FWindow, FProgressMessage, 0, 0);
}

WideString TFixRunner::Progress() {
    FProgressPosted = false;
    std::lock_guard<std::mutex> lock(FLock);
    return FProgress;
}

WideString TFixRunner::Finish() {
    if (Running()) FWorker.join();
    if (FFailure) std::rethrow_exception(std::exchange(FFailure, nullptr));
    return FOutcome;
}
