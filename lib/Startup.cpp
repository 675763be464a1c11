#include "Startup.h"
#include "CaseFolding.h"
#include "CompressionMethods.h"
#include "DialogSetup.h"
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
    // Compression methods register last.
    InitCompressionMethods();
}

void LibraryShutdown() {
    if (!Started) return;
    Started = false;
    // Working folders go first, while the file API is still there.
    DoneTempFolders();
    // The dialogs start the shell's apartment on first use.
    DoneDialogs();
    DoneCompressionMethods();
    StopLog();
    DoneExceptions();
    DoneFileStreams();
    DoneFileAPI();
    DoneCaseFolding();
    CloseMutexPool();
}
