// Reporting of processor faults that nothing handled. On Windows a filter
// reports them through ShowException and ends the process with exit code 1;
// POSIX leaves signals alone.
#pragma once

void InstallFaultHandler();
void RemoveFaultHandler();
