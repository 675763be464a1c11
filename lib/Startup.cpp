#include "Startup.h"
#include "CaseFolding.h"
#include "ErrorReport.h"
#include "FileAPI.h"
#include "FileStream.h"
#include "Locks.h"
#include "Log.h"
#include "SystemInfo.h"
#include "TempFolders.h"

namespace {
bool Started = false;
}

void LibraryStartup() {
    if (Started) return;
    Started = true;
    // Locks first: the mutex pool and the display-scaling request.
    RequestDpiAwareness();
    // The object root needs no start-up.
    InitCaseFolding();
    InitFileAPI();
    InitFileStreams();
    InitTempFolders();
    InitExceptions();
    ReadSystemInfo();
    StartLog();
}

void LibraryShutdown() {
    if (!Started) return;
    Started = false;
    // Working folders go first, while the file API is still there.
    DoneTempFolders();
    StopLog();
    DoneExceptions();
    DoneFileStreams();
    DoneFileAPI();
    DoneCaseFolding();
    CloseMutexPool();
}
