// A second process for tests that need one (a file held open by another
// process): the test program runs itself again with "--nvx-helper <job>".
#pragma once
#include <string>
#include <vector>

// The jobs a helper process can do. Each prints "ready" on standard output
// once it holds what it should, then keeps it until its standard input ends.
// Returns the exit code.
int RunHelperJob(const std::string& job, const std::vector<std::string>& args);

class THelperProcess {
public:
    // Starts the job and waits until it says it is ready.
    THelperProcess(const std::string& job, const std::vector<std::string>& args);
    // Ends the job (closes its input) and waits for it.
    ~THelperProcess();
    THelperProcess(const THelperProcess&) = delete;
    THelperProcess& operator=(const THelperProcess&) = delete;

    // The first line the helper printed: "ready", or why it failed.
    const std::string& Reply() const { return FReply; }
    bool Ready() const { return FReply == "ready"; }
    // Ends the job now; returns its exit code.
    int Finish();

private:
    std::string FReply;
    intptr_t FProcess = -1;
    intptr_t FInput = -1;
    intptr_t FOutput = -1;
    int FExitCode = -1;
};

// True when the tests run as a Windows program under wine, whose file
// system differs from Windows in known ways (Unix links, root's rights).
bool RunningUnderWine();
