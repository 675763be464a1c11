#include <windows.h>
#include <cstdio>
#include "Foundation/ErrorReport.h"
#include "Foundation/FaultHandler.h"

namespace {

LPTOP_LEVEL_EXCEPTION_FILTER PreviousFilter = nullptr;
bool Installed = false;

LONG WINAPI ReportFault(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    TFaultInfo fault;
    fault.Code = record->ExceptionCode;
    fault.Address = record->ExceptionAddress;
    fault.Record = record;
    if (record->NumberParameters >= 2) {
        fault.IsWrite = record->ExceptionInformation[0] == 1;
        fault.AccessAddress = (const void*)record->ExceptionInformation[1];
    }
    TExceptionObject object = FaultToException(fault);
    ShowException(object.get(), fault.Address);
    std::fflush(nullptr);
    ::ExitProcess(1);
}

}  // namespace

void InstallFaultHandler() {
    PreviousFilter = ::SetUnhandledExceptionFilter(ReportFault);
    Installed = true;
}

void RemoveFaultHandler() {
    if (Installed) ::SetUnhandledExceptionFilter(PreviousFilter);
    Installed = false;
}
