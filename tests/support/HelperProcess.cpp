#include "support/HelperProcess.h"
#include <cstdio>
#include "FileSystem/FileAPI.h"
#include "FileSystem/TempFolders.h"
#include "support/Files.h"
#include "support/ScratchFolder.h"
#ifdef _WIN32
#include <windows.h>
#undef GetModuleFileName
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {
// Waits until standard input ends.
void WaitForInputEnd() {
    while (std::fgetc(stdin) != EOF) {
    }
}

void Say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// Runs a job's one step that takes what it holds, says ready and waits;
// a failure is said instead.
template <class F>
int HoldWhile(const std::vector<std::string>& args, F take) {
    if (args.size() != 1) return Say("usage"), 2;
    try {
        [[maybe_unused]] auto held = take(args[0]);
        Say("ready");
        WaitForInputEnd();
    } catch (const std::exception& e) {
        Say(std::string("failed: ") + e.what());
        return 1;
    }
    return 0;
}

// hold-exclusive <path>: opens the file without sharing.
int HoldExclusive(const std::vector<std::string>& args) {
    return HoldWhile(args, [](const std::string& path) {
        return TFileHandle(FileOpen(Widen(path), FileAccess::Read, FileShare::None, FileDisposition::OpenExisting));
    });
}

// hold-temp-folder <file>: makes a temporary folder, writes its path into
// the file, and keeps it until the library shuts down.
int HoldTempFolder(const std::vector<std::string>& args) {
    return HoldWhile(args, [](const std::string& pathFile) {
        WriteBytes(Widen(pathFile), Narrow(CreateTempFolder(false)));
        return 0;
    });
}
}  // namespace

int RunHelperJob(const std::string& job, const std::vector<std::string>& args) {
    if (job == "hold-exclusive") return HoldExclusive(args);
    if (job == "hold-temp-folder") return HoldTempFolder(args);
    Say("unknown job " + job);
    return 2;
}

#ifdef _WIN32
namespace {
std::wstring Quote(const std::string& text) {
    WideString wide = Widen(text);
    return L"\"" + std::wstring(wide.begin(), wide.end()) + L"\"";
}
}  // namespace

THelperProcess::THelperProcess(const std::string& job, const std::vector<std::string>& args) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE inRead, inWrite, outRead, outWrite;
    ::CreatePipe(&inRead, &inWrite, &inherit, 0);
    ::CreatePipe(&outRead, &outWrite, &inherit, 0);
    ::SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    WideString program = FileAPI->GetModuleFileName(0);
    std::wstring line = L"\"" + std::wstring(program.begin(), program.end()) + L"\" --nvx-helper " + Quote(job);
    for (const auto& a : args) line += L" " + Quote(a);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    BOOL started = ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
    ::CloseHandle(inRead);
    ::CloseHandle(outWrite);
    FInput = (intptr_t)inWrite;
    FOutput = (intptr_t)outRead;
    if (!started) {
        FReply = "could not start";
        return;
    }
    ::CloseHandle(info.hThread);
    FProcess = (intptr_t)info.hProcess;
    char c;
    DWORD n;
    while (::ReadFile(outRead, &c, 1, &n, nullptr) && n == 1 && c != '\n')
        if (c != '\r') FReply += c;
}

int THelperProcess::Finish() {
    if (FInput != -1) ::CloseHandle((HANDLE)FInput);
    FInput = -1;
    if (FProcess != -1) {
        ::WaitForSingleObject((HANDLE)FProcess, 30000);
        DWORD code = 0;
        ::GetExitCodeProcess((HANDLE)FProcess, &code);
        FExitCode = (int)code;
        ::CloseHandle((HANDLE)FProcess);
        FProcess = -1;
    }
    if (FOutput != -1) ::CloseHandle((HANDLE)FOutput);
    FOutput = -1;
    return FExitCode;
}
#else
THelperProcess::THelperProcess(const std::string& job, const std::vector<std::string>& args) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) {
        FReply = "no pipes";
        return;
    }
    std::string program = Narrow(FileAPI->GetModuleFileName(0));
    std::vector<std::string> argv = {program, "--nvx-helper", job};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (auto& a : argv) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = -1;
    int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    FInput = in[1];
    FOutput = out[0];
    if (error != 0) {
        FReply = "could not start";
        return;
    }
    FProcess = pid;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') FReply += c;
}

int THelperProcess::Finish() {
    if (FInput != -1) ::close((int)FInput);
    FInput = -1;
    if (FProcess != -1) {
        int status = 0;
        ::waitpid((pid_t)FProcess, &status, 0);
        FExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        FProcess = -1;
    }
    if (FOutput != -1) ::close((int)FOutput);
    FOutput = -1;
    return FExitCode;
}
#endif

THelperProcess::~THelperProcess() { Finish(); }

bool RunningUnderWine() {
#ifdef _WIN32
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}
