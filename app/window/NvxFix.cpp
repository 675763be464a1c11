// NvxFix.exe: the fixer's window program.
#include "ErrorReport.h"
#include "Startup.h"
#include "Unit1.h"

namespace {

int Run(int, char**) {
    TLibraryScope library;
    Application.Initialize();
    TRef<TForm1> form = MakeRef<TForm1>();
    Application.Run(form.Get());
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return RunGuarded(Run, argc, argv); }
