// nvxzip: the library's own tool for people who work on ZIP archives.
#include <vector>
#include "Archivers/Zip/FileUnzipper.h"
#include "Archivers/Zip/FileZipper.h"
#include "FileSystem/FileAPI.h"
#include "Foundation/CodePages.h"
#include "Foundation/Console.h"
#include "Foundation/ErrorReport.h"
#include "Foundation/SysError.h"
#include "Startup.h"
#include "Streams/FileStream.h"
#include "ZipListing.h"
#include "ZipTesting.h"

namespace {

enum ExitCode { Success = 0, BadEntries = 1, Failure = 2, Untested = 3 };

const char16_t Usage[] =
    u"Usage: nvxzip COMMAND ARCHIVE [ARGUMENTS]\n"
    u"Commands:\n"
    u"  l ARCHIVE   list every entry: method, packed and unpacked size, CRC-32, DOS time,\n"
    u"              host system, external attributes (hexadecimal), flags, name\n"
    u"  t ARCHIVE   test every entry: unpack it and check its local header and CRC-32\n"
    u"  x ARCHIVE DEST\n"
    u"              extract every file into the folder DEST\n"
    u"  c ARCHIVE FOLDER [--with-folder-name]\n"
    u"              create ARCHIVE anew from the files below FOLDER; names start with\n"
    u"              FOLDER's own name with --with-folder-name\n"
    u"  --help      show this text\n"
    u"Every command judges the archive first: l names what is damaged, t calls it bad,\n"
    u"x refuses it before writing anything; an archive whose bytes can be read in two\n"
    u"ways is listed and extracted as read here, with a note, and t calls it bad.\n"
    u"Exit status: 0 on success, 1 when t finds bad entries, a damaged archive or two\n"
    u"readings, or when t or x find the central directory missing, 2 on failure (a file\n"
    u"that is no ZIP archive too), 3 when t finds no bad entry but left encrypted ones\n"
    u"untested.\n";

int Fail(const WideString& message) {
    ConsoleWriteLine(TConsoleStream::Error, u"nvxzip: " + message);
    return Failure;
}

TRef<TFileStream> OpenForReading(const WideString& archiveName) {
    return MakeRef<TFileStream>(archiveName, FileAccess::Read, uint8_t(FileShare::Read),
                                uint8_t(FileDisposition::OpenExisting));
}

void WriteOutputLine(const WideString& line) { ConsoleWriteLine(TConsoleStream::Output, line); }

void TellRecovered() {
    ConsoleWriteLine(TConsoleStream::Error,
                     u"nvxzip: the central directory is missing or damaged; entries were found by scanning");
}

// What is said beside the entries listed or extracted.
void Tell(const AnsiString& text) { ConsoleWriteLine(TConsoleStream::Error, u"nvxzip: " + Utf8ToWide(text)); }

int List(const WideString& archiveName) {
    TRef<TFileStream> stream = OpenForReading(archiveName);
    TZipListing listing = ListZipArchive(stream.Get(), WriteOutputLine);
    if (listing.Recovered) TellRecovered();
    for (const AnsiString& text : listing.Judged) Tell(text);
    return Success;
}

int Test(const WideString& archiveName) {
    TRef<TFileStream> stream = OpenForReading(archiveName);
    TZipTestReport report = TestZipArchive(stream.Get(), WriteOutputLine);
    if (!report.AllGood()) return BadEntries;
    return report.Encrypted > 0 ? Untested : Success;
}

int Extract(const WideString& archiveName, const WideString& destination) {
    TRef<TFileUnzipper> unzipper = MakeRef<TFileUnzipper>();
    unzipper->Unzip(archiveName, destination);
    if (!unzipper->OtherReading.empty()) Tell(unzipper->OtherReading);
    // What lay past the damage is missing, and no entry has its mode.
    if (!unzipper->DirectoryRecovered) return Success;
    TellRecovered();
    return BadEntries;
}

int Create(const WideString& archiveName, const WideString& folder, bool withFolderName) {
    if (!DirectoryExists(folder)) return Fail(u"no such folder " + folder);
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->Zip(archiveName, folder, withFolderName);
    return Success;
}

// The arguments each command takes after its name.
bool ArgumentsFit(const std::vector<WideString>& arguments) {
    const WideString& command = arguments[0];
    size_t n = arguments.size() - 1;
    if (command == u"l" || command == u"t") return n == 1;
    if (command == u"x") return n == 2;
    if (command == u"c") return n == 2 || (n == 3 && arguments[3] == u"--with-folder-name");
    return false;
}

int Run(int argc, char** argv) {
    TLibraryScope library;
    std::vector<WideString> arguments = CommandLineArguments(argc, argv);
    if (arguments.size() == 1 && arguments[0] == u"--help") {
        ConsoleWrite(TConsoleStream::Output, Usage);
        return Success;
    }
    if (arguments.empty()) {
        ConsoleWrite(TConsoleStream::Error, Usage);
        return Failure;
    }
    const WideString& command = arguments[0];
    if (!ArgumentsFit(arguments)) {
        bool known = command == u"l" || command == u"t" || command == u"x" || command == u"c";
        Fail((known ? u"wrong arguments for " : u"unknown command ") + command);
        ConsoleWrite(TConsoleStream::Error, Usage);
        return Failure;
    }
    try {
        if (command == u"x") return Extract(arguments[1], arguments[2]);
        if (command == u"c") return Create(arguments[1], arguments[2], arguments.size() == 4);
        return command == u"l" ? List(arguments[1]) : Test(arguments[1]);
    } catch (const ENotZipArchive&) {
        return Fail(u"\"" + arguments[1] + u"\" is not a ZIP archive");
    } catch (const EFileOpenError& e) {
        // Its message is only the file name.
        return Fail(Utf8ToWide(e.Message() + ": " + SystemErrorText(e.ErrorCode)));
    } catch (const std::exception& e) {
        return Fail(Utf8ToWide(ExceptionMessage(e)));
    }
}

}  // namespace

int main(int argc, char** argv) { return RunGuarded(Run, argc, argv); }
