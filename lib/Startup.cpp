#include "Startup.h"
#include "Compression/CompressionMethods.h"
#include "Dialogs/DialogSetup.h"
#include "FileSystem/FileAPI.h"
#include "FileSystem/TempFolders.h"
#include "Foundation/CaseFolding.h"
#include "Foundation/ErrorReport.h"
#include "Foundation/Locks.h"
#include "Foundation/Log.h"
#include "Foundation/SystemInfo.h"
#include "Streams/FileStream.h"

namespace {
bool Started = false;
}

void LibraryStartup() {
    if (Started) return;
    Started = true;
    // Display scaling is declared by the window program's manifest, before
    // any code runs.
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
