// NvxFix.exe: the fixer's window program.
#include <windows.h>
#include "Foundation/Console.h"
#include "Foundation/ErrorReport.h"
#include "Startup.h"
#include "Unit1.h"

namespace {

// The system hands over full paths when something is dropped onto the
// program's icon; a path typed at a prompt may be relative.
WideString FullPath(const WideString& path) {
    const auto* given = reinterpret_cast<LPCWSTR>(path.c_str());
    WideString full(::GetFullPathNameW(given, 0, nullptr, nullptr) + 1, u'\0');
    full.resize(::GetFullPathNameW(given, (DWORD)full.size(), reinterpret_cast<LPWSTR>(full.data()), nullptr));
    return full.empty() ? path : full;
}

int Run(int argc, char** argv) {
    TLibraryScope library;
    Application.Initialize();
    TRef<TForm1> form = MakeRef<TForm1>();
    // Paths on the command line are fixed at once, as if dropped.
    std::vector<WideString> paths;
    for (const WideString& argument : CommandLineArguments(argc, argv)) paths.push_back(FullPath(argument));
    form->FixPaths(paths);
    Application.Run(form.Get());
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return RunGuarded(Run, argc, argv); }
