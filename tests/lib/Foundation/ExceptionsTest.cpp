#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include "Foundation/CodePages.h"
#include "Foundation/ErrorReport.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"
#include "Foundation/SysUI.h"
#include "support/MessageBoxes.h"
#include "support/ScratchFolder.h"

namespace {

TEST(Exceptions, CommonExceptionsNameTheirClassWhenCreatedWithoutMessage) {
    EXPECT_STREQ(EArchiveBroken().what(), "Tarvix Exception: \"EArchiveBroken\"");
    EXPECT_STREQ(EStreamReadError().what(), "Tarvix Exception: \"EStreamReadError\"");
    EXPECT_STREQ(TCommonException().what(), "Tarvix Exception: \"TCommonException\"");
    EXPECT_STREQ(EArchiveBroken("End header cannot be found").what(), "End header cannot be found");
    EStreamSeekError seek("x");
    seek.SetDefaultMessage();
    EXPECT_STREQ(seek.what(), "Tarvix Exception: \"EStreamSeekError\"");
}

TEST(Exceptions, TreeKeepsItsDerivation) {
    try {
        EArchiveAbort().Raise();
    } catch (const EArchiveError& e) {
        EXPECT_STREQ(e.ClassName(), "EArchiveAbort");
        EXPECT_NE(dynamic_cast<const TCommonException*>(&e), nullptr);
    }
    std::unique_ptr<Exception> folder(new EFolderAccessDenied(5u));
    EXPECT_NE(dynamic_cast<EFolderError*>(folder.get()), nullptr);
    std::unique_ptr<Exception> zlib(new EZDecompressionError("data error"));
    EXPECT_NE(dynamic_cast<EZLibError*>(zlib.get()), nullptr);
    EXPECT_EQ(dynamic_cast<TCommonException*>(zlib.get()), nullptr);
}

TEST(Exceptions, CreateFmtExpandsArguments) {
    EXPECT_STREQ(EArchiveError::CreateFmt("%s: %d of %u (%x/%X) %c%%", "a.zip", -3, 7u, 255, 255, 'z').what(),
                 "a.zip: -3 of 7 (ff/FF) z%");
    EXPECT_STREQ(Exception::CreateFmt("[%5d|%-5d|%05d|%.3s|%8s]", 42, 42, 42, std::string("abcdef"), "ab").what(),
                 "[   42|42   |00042|abc|      ab]");
    std::string big(5000, 'x');
    // The whole limit on every platform, never beyond it.
    EXPECT_EQ(Exception::CreateFmt("%s", big).Message().size(), MaxFormattedLength);
}

// Create and CreateFmt of each class build that class, never a parent.
template <class T>
void ExpectCreateBuildsItsOwnClass(const char* name) {
    SCOPED_TRACE(name);
    try {
        throw T::CreateFmt("%s %d", "code", 7);
    } catch (const T& e) {
        EXPECT_STREQ(e.ClassName(), name);
        EXPECT_STREQ(e.what(), "code 7");
    } catch (const std::exception& e) {
        ADD_FAILURE() << "caught " << ExceptionReportText(&e, nullptr, nullptr);
    }
    T created = T::Create("plain");
    EXPECT_STREQ(typeid(created).name(), typeid(T).name());
    EXPECT_STREQ(created.what(), "plain");
}

#define NVX_EXPECT_OWN_CLASS(Name) ExpectCreateBuildsItsOwnClass<Name>(#Name)

TEST(Exceptions, EveryClassCreatesItsOwnType) {
    NVX_EXPECT_OWN_CLASS(Exception);
    NVX_EXPECT_OWN_CLASS(EAbort);
    NVX_EXPECT_OWN_CLASS(EHeapException);
    NVX_EXPECT_OWN_CLASS(EOutOfMemory);
    NVX_EXPECT_OWN_CLASS(EInvalidPointer);
    NVX_EXPECT_OWN_CLASS(EInOutError);
    NVX_EXPECT_OWN_CLASS(EExternal);
    NVX_EXPECT_OWN_CLASS(EExternalException);
    NVX_EXPECT_OWN_CLASS(EIntError);
    NVX_EXPECT_OWN_CLASS(EDivByZero);
    NVX_EXPECT_OWN_CLASS(ERangeError);
    NVX_EXPECT_OWN_CLASS(EIntOverflow);
    NVX_EXPECT_OWN_CLASS(EMathError);
    NVX_EXPECT_OWN_CLASS(EInvalidOp);
    NVX_EXPECT_OWN_CLASS(EZeroDivide);
    NVX_EXPECT_OWN_CLASS(EOverflow);
    NVX_EXPECT_OWN_CLASS(EUnderflow);
    NVX_EXPECT_OWN_CLASS(EAccessViolation);
    NVX_EXPECT_OWN_CLASS(EPrivilege);
    NVX_EXPECT_OWN_CLASS(EStackOverflow);
    NVX_EXPECT_OWN_CLASS(EControlC);
    NVX_EXPECT_OWN_CLASS(EInvalidCast);
    NVX_EXPECT_OWN_CLASS(EVariantError);
    NVX_EXPECT_OWN_CLASS(EAssertionFailed);
    NVX_EXPECT_OWN_CLASS(EAbstractError);
    NVX_EXPECT_OWN_CLASS(EIntfCastError);
    NVX_EXPECT_OWN_CLASS(ESafecallException);
    NVX_EXPECT_OWN_CLASS(EOSError);
    NVX_EXPECT_OWN_CLASS(EFileError);
    NVX_EXPECT_OWN_CLASS(EFileOpenError);
    NVX_EXPECT_OWN_CLASS(EFileSeekError);
    NVX_EXPECT_OWN_CLASS(EFileReadError);
    NVX_EXPECT_OWN_CLASS(EFileWriteError);
    NVX_EXPECT_OWN_CLASS(EFileAccessError);
    NVX_EXPECT_OWN_CLASS(EFolderError);
    NVX_EXPECT_OWN_CLASS(EFolderAccessDenied);
    NVX_EXPECT_OWN_CLASS(EFolderNotFound);
    NVX_EXPECT_OWN_CLASS(TCommonException);
    NVX_EXPECT_OWN_CLASS(EStreamError);
    NVX_EXPECT_OWN_CLASS(EStreamReadError);
    NVX_EXPECT_OWN_CLASS(EStreamWriteError);
    NVX_EXPECT_OWN_CLASS(EStreamSeekError);
    NVX_EXPECT_OWN_CLASS(EPackError);
    NVX_EXPECT_OWN_CLASS(EUnpackError);
    NVX_EXPECT_OWN_CLASS(EArchiveError);
    NVX_EXPECT_OWN_CLASS(EArchiveAbort);
    NVX_EXPECT_OWN_CLASS(EArchiveBroken);
    NVX_EXPECT_OWN_CLASS(EStreamUtilAbort);
    NVX_EXPECT_OWN_CLASS(ETimerError);
    NVX_EXPECT_OWN_CLASS(EZLibError);
    NVX_EXPECT_OWN_CLASS(EZCompressionError);
    NVX_EXPECT_OWN_CLASS(EZDecompressionError);
    // Codes take their default.
    EXPECT_EQ(EFolderNotFound::CreateFmt("%s", "x").ErrorCode, 0u);
    EXPECT_EQ(EInOutError::Create("x").ErrorCode, 0);
}

// The system's own wording (wine words some texts differently from Windows).
std::string NotFoundText() {
#ifdef _WIN32
    return SystemErrorText(2);
#else
    return "The system cannot find the file specified";
#endif
}

TEST(Exceptions, SystemTextLosesTrailingStopAndLineBreak) {
    std::string text = SystemErrorText(2);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '.');
    EXPECT_GE((unsigned char)text.back(), (unsigned char)'!');
    EXPECT_EQ(RawSystemErrorText(2).rfind(text, 0), 0u);
    EXPECT_EQ(SystemErrorText(0xDEADBEEF), "");
}

TEST(Exceptions, FileErrorsCarryCodeAndTrimmedSystemText) {
    EFileError notFound(2u);
    EXPECT_EQ(notFound.ErrorCode, 2u);
    EXPECT_EQ(notFound.Message(), NotFoundText());
    SetLastErrorCode(5);
    EFileAccessError fromLastError;
    EXPECT_EQ(fromLastError.ErrorCode, 5u);
    EXPECT_EQ(fromLastError.Message(), SystemErrorText(5));
    EFileError unknown(0xDEADBEEF);
    EXPECT_EQ(unknown.Message(), "");
    EXPECT_EQ(unknown.ErrorCode, 0xDEADBEEF);
    EFileOpenError withPath("C:\\x.zip", 32);
    EXPECT_EQ(withPath.Message(), "C:\\x.zip");
    EXPECT_EQ(withPath.ErrorCode, 32u);
}

// A message names its path as data: whole (8-bit text may have lost some of
// its characters), under the name a front end gives it, or no more once
// the message is set anew; the system code is asked for one way.
TEST(Exceptions, AMessageNamesItsPathAsData) {
    const WideString path = u"C:\\\u0428\u043e\u0443\\Show.app.bak";
    EFileWriteError error(TPathText{"Cannot create backup \"", path, "\": denied"}, WinError::AccessDenied);
    EXPECT_EQ(error.Message(), "Cannot create backup \"" + WideToAnsi(path) + "\": denied");
    EXPECT_EQ(ShownMessage(error), u"Cannot create backup \"" + path + u"\": denied");
    EXPECT_EQ(error.MessageNaming(u"Show.app.bak"), u"Cannot create backup \"Show.app.bak\": denied");
    const Exception& any = error;
    EXPECT_EQ(any.SystemCode(), WinError::AccessDenied);
    EXPECT_EQ(EOSError("x", 7).SystemCode(), 7u);
    EXPECT_EQ(EArchiveBroken("x").SystemCode(), 0u);
    error.SetMessage("denied");
    EXPECT_EQ(error.MessageNaming(u"Show.app.bak"), u"denied");
}

TEST(Exceptions, RaiseLastOSErrorReportsCodeOrTheGenericText) {
    SetLastErrorCode(0);
    try {
        RaiseLastOSError();
    } catch (const EOSError& e) {
        EXPECT_STREQ(e.what(), "A call to an OS function failed");
        EXPECT_EQ(e.ErrorCode, 0u);
    }
    SetLastErrorCode(2);
    try {
        RaiseLastOSError();
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Message(), "System Error.  Code: 2.\r\n" + NotFoundText());
        EXPECT_EQ(e.ErrorCode, 2u);
    }
    EXPECT_THROW(AbstractError(), EAbstractError);
}

TEST(Exceptions, RunErrorNumbersGiveTheirObjects) {
    EXPECT_STREQ(RunErrorToException(1)->what(), "Out of memory");
    EXPECT_STREQ(RunErrorToException(2)->ClassName(), "EInvalidPointer");
    EXPECT_STREQ(RunErrorToException(3)->what(), "Division by zero");
    EXPECT_STREQ(RunErrorToException(14)->ClassName(), "EStackOverflow");
    EXPECT_STREQ(RunErrorToException(20)->what(), "Variant or safe array index out of bounds");
    EXPECT_STREQ(RunErrorToException(22)->what(), "External exception %x");
    EXPECT_STREQ(RunErrorToException(24)->ClassName(), "ESafecallException");
    auto io = RunErrorToException(0, 4);
    EXPECT_STREQ(io->what(), "Too many open files");
    EXPECT_EQ(dynamic_cast<EInOutError&>(*io).ErrorCode, 4);
    EXPECT_STREQ(RunErrorToException(25, 7)->what(), "I/O error 7");
    EXPECT_STREQ(InOutErrorFor(106)->what(), "Invalid numeric input");
    EXPECT_FALSE(OutOfMemoryObject().AllowFree);
}

// Handing them back must not free them: a second handling still finds them.
TEST(Exceptions, MemoryErrorsAreTheProcessWideObjects) {
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(RunErrorToException(1).get(), &OutOfMemoryObject());
        EXPECT_EQ(RunErrorToException(2).get(), &InvalidPointerObject());
    }
    std::bad_alloc exhausted;
    EXPECT_EQ(LibraryException(&exhausted), &OutOfMemoryObject());
    EXPECT_EQ(ExceptionMessage(exhausted), "Out of memory");
    std::string report = ExceptionReportText(&exhausted, nullptr, nullptr);
    EXPECT_EQ(report.rfind("Exception EOutOfMemory  in module ", 0), 0u) << report;
    EXPECT_NE(report.find(".\r\nOut of memory.\r\n"), std::string::npos) << report;
}

TEST(Exceptions, ProcessorFaultsMapToClasses) {
    EXPECT_EQ(ExceptionCodeToRunError(0xC0000093), 9);
    EXPECT_EQ(ExceptionCodeToRunError(0xC000008D), 9);
    EXPECT_EQ(ExceptionCodeToRunError(0xC000008F), 6);
    EXPECT_EQ(ExceptionCodeToRunError(0xC00000FD), 14);
    EXPECT_EQ(ExceptionCodeToRunError(0xE06D7363), 22);

    int record = 0;
    auto underflow = FaultToException({0xC000008D, nullptr, false, nullptr, &record});
    EXPECT_STREQ(underflow->ClassName(), "EUnderflow");
    EXPECT_STREQ(underflow->what(), "Floating point underflow");
    EXPECT_EQ(dynamic_cast<EExternal&>(*underflow).ExceptionRecord, &record);

    auto unknown = FaultToException({0xE0001234, nullptr, false, nullptr, nullptr});
    EXPECT_STREQ(unknown->ClassName(), "EExternalException");
    EXPECT_STREQ(unknown->what(), "External exception e0001234");
}

TEST(Exceptions, AccessViolationNamesOperationAndModule) {
    // An address in no module gives the short form.
    auto outside = FaultToException({0xC0000005, (const void*)0x10, true, (const void*)0x20, nullptr});
    EXPECT_STREQ(outside->ClassName(), "EAccessViolation");
    EXPECT_EQ(outside->Message(),
              Format("Access violation at address %p. Write of address %p", (void*)0x10, (void*)0x20));
    // An address inside this program names it.
    const void* here = (const void*)&FaultToException;
    auto inside = FaultToException({0xC0000005, here, false, nullptr, nullptr});
    EXPECT_NE(inside->Message().find("in module '"), std::string::npos) << inside->Message();
    EXPECT_NE(inside->Message().find("'. Read of address "), std::string::npos) << inside->Message();
}

TEST(ExceptionReport, TextHasTwoBlanksBeforeModuleAndEightHexDigits) {
    EArchiveBroken broken("End header cannot be found");
    std::string text = ExceptionReportText(&broken, nullptr, nullptr);
    std::string expected =
        "Exception EArchiveBroken  in module " + ProgramFileName() + " at 00000000.\r\nEnd header cannot be found.\r\n";
    EXPECT_EQ(text, expected);

    std::runtime_error foreign("x");
    std::string shortForm = ExceptionReportText(&foreign, nullptr, nullptr);
    EXPECT_EQ(shortForm, "Exception std::runtime_error  in module " + ProgramFileName() + " at 00000000");

    // An address inside the program is given relative to its module.
    std::string relative = ExceptionReportText(&broken, nullptr, (const void*)&ExceptionReportText);
    EXPECT_EQ(relative.find(" at 00000000."), std::string::npos);

    EArchiveBroken huge(std::string(3000, 'm'));
    EXPECT_EQ(ExceptionReportText(&huge, nullptr, nullptr).size(), 1024u);
}

TEST(ExceptionReport, ConsoleGetsTextAndBoxGetsApplicationError) {
    EStreamWriteError failure("disk full");
    testing::internal::CaptureStderr();
    ReportException(&failure, nullptr, nullptr, true);
    std::string console = testing::internal::GetCapturedStderr();
    EXPECT_NE(console.find("Exception EStreamWriteError  in module "), std::string::npos) << console;
    EXPECT_NE(console.find("disk full."), std::string::npos) << console;

    ShownBoxes().clear();
    testing::internal::CaptureStderr();  // debug output goes to standard error on POSIX
    ReportException(&failure, nullptr, nullptr, false);
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(ShownBoxes().size(), 1u);
    EXPECT_EQ(ShownBoxes()[0].Caption, "Application Error");
    EXPECT_EQ(ShownBoxes()[0].Flags, 0x2010u);
}

// What step writes to standard error, byte for byte: the test framework's
// capture reads it back in text mode, which hides doubled CRs. The file is
// opened in the run-time's default mode, as standard error is.
std::string StandardErrorBytes(const std::function<void()>& step) {
    TScratchFolder scratch;
    std::string path = Narrow(scratch / u"stderr");
    std::fflush(stderr);
    int saved = dup(2);
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(file, 2);
    close(file);
    step();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    return scratch.Read(scratch / u"stderr");
}

TEST(ExceptionReport, ConsoleLinesEndInOneCrLf) {
    EStreamWriteError failure("disk full");
    std::string bytes = StandardErrorBytes([&] { ReportException(&failure, nullptr, nullptr, true); });
    EXPECT_NE(bytes.find(".\r\ndisk full.\r\n"), std::string::npos) << bytes;
    EXPECT_EQ(bytes.find("\r\r"), std::string::npos) << bytes;
}

TEST(ExceptionReport, AbortIsNeverShown) {
    EAbort quiet("stop");
    ShownBoxes().clear();
    testing::internal::CaptureStderr();
    ReportException(&quiet, nullptr, nullptr, true);
    ReportException(&quiet, nullptr, nullptr, false);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(ShownBoxes().empty());
}

TEST(ExceptionReport, AssertionShowsOneBoxAndLeavesAnAbort) {
    ShownBoxes().clear();
    testing::internal::CaptureStderr();
    std::string raised;
    try {
        try {
            NVX_ASSERT(1 + 1 == 3);
        } catch (const EAbort& e) {
            raised = e.what();
            ShowException(std::current_exception());  // an abort is not shown again
            throw;
        }
    } catch (const Exception&) {
    }
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(ShownBoxes().size(), 1u);
    EXPECT_EQ(ShownBoxes()[0].Caption, "");
    EXPECT_EQ(ShownBoxes()[0].Flags, 0x10u);
    EXPECT_EQ(raised.rfind("Asseertion with message: 'Assertion failure' (ExceptionsTest.cpp, line: ", 0), 0u)
        << raised;
    EXPECT_EQ(raised.back(), ')');
}

int EscapingBody(int, char**) { throw EArchiveBroken("Central directory is damaged"); }
int AbortingBody(int, char**) { throw EAbort("quiet"); }

TEST(ExceptionReportDeathTest, AnExceptionThatEscapesEverythingIsReportedWithExitCode1) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(RunGuarded(EscapingBody, 0, nullptr), testing::ExitedWithCode(1),
                "Exception EArchiveBroken  in module ");
    EXPECT_EXIT(RunGuarded(AbortingBody, 0, nullptr), testing::ExitedWithCode(1), "^$");
}

TEST(ExceptionReportDeathTest, ShutdownWhileAnExceptionIsHandledReportsItWithExitCode1) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto shutDownInHandler = [] {
        try {
            throw EArchiveBroken("Central directory is damaged");
        } catch (...) {
            DoneExceptions();
        }
        std::exit(0);
    };
    EXPECT_EXIT(shutDownInHandler(), testing::ExitedWithCode(1), "Exception EArchiveBroken  in module ");
}

}  // namespace

#ifdef _WIN32
namespace {
void WriteThroughNull() {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}

TEST(ExceptionReportDeathTest, AProcessorFaultIsReportedAndEndsWithExitCode1) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(WriteThroughNull(), testing::ExitedWithCode(1), "Exception EAccessViolation  in module ");
}
}  // namespace
#endif
