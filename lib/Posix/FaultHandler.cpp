#include "Foundation/FaultHandler.h"

// Signals stay signals: turning them into C++ exceptions is not safe here.
void InstallFaultHandler() {}
void RemoveFaultHandler() {}
