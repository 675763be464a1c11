// NvxFix.exe: the fixer's window program.
#include "FileSystem/FileModes.h"
#include "Foundation/Console.h"
#include "Foundation/ErrorReport.h"
#include "Startup.h"
#include "Unit1.h"

namespace {

int Run(int argc, char** argv) {
    TLibraryScope library;
    Application.Initialize();
    TRef<TForm1> form = MakeRef<TForm1>();
    // Paths on the command line are fixed at once, as if dropped. The
    // system hands over full paths from a drop onto the program's icon; a
    // path typed at a prompt may be relative.
    std::vector<WideString> paths;
    for (const WideString& argument : CommandLineArguments(argc, argv)) paths.push_back(FullPathName(argument));
    form->FixPaths(paths);
    Application.Run(form.Get());
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return RunGuarded(Run, argc, argv); }
