// Turning run-time error numbers and processor faults into exception
// objects, and reporting failures that nobody handled.
#pragma once
#include <exception>
#include <memory>
#include "Foundation/Exceptions.h"

// Frees an exception object once it has been handled, unless its class says
// it may not be freed (the process-wide heap exceptions).
struct TExceptionFree {
    void operator()(Exception* object) const;
};
using TExceptionObject = std::unique_ptr<Exception, TExceptionFree>;

// The object for a run-time error number (1..24); any other number gives an
// EInOutError for ioResult. Numbers 1 and 2 give the process-wide objects.
TExceptionObject RunErrorToException(int number, int32_t ioResult = 0);
std::unique_ptr<EInOutError> InOutErrorFor(int32_t ioResult);

// Windows structured-exception code to run-time error number.
int ExceptionCodeToRunError(uint32_t exceptionCode);

// What a processor fault knows about itself.
struct TFaultInfo {
    uint32_t Code = 0;
    const void* Address = nullptr;        // where it happened
    bool IsWrite = false;                 // access violations: a write, not a read
    const void* AccessAddress = nullptr;  // access violations: the address touched
    const void* Record = nullptr;         // the OS exception record
};
TExceptionObject FaultToException(const TFaultInfo& fault);

// The two process-wide objects raised for memory failures.
EOutOfMemory& OutOfMemoryObject();
EInvalidPointer& InvalidPointerObject();

// A type's name as the run-time gives it, made readable.
AnsiString Demangle(const char* name);

// The library's object for an exception: itself when it is one, the
// process-wide EOutOfMemory when the C++ run-time ran out of memory, else null.
const Exception* LibraryException(const std::exception* object);
// The message a user is shown for an exception, in UTF-8 (what() of one
// not of the library's, as it is: ASCII in practice).
AnsiString ExceptionMessage(const std::exception& object);
// The message as the user reads it, naming its path as it is (a name
// with bytes no UTF-8 holds included); what() of an exception not of the
// library's is read as UTF-8, a broken sequence as U+FFFD.
WideString ShownMessage(const std::exception& object);

// The report text for an exception object (null: an object that is not an
// Exception, named by typeName), at most 1024 characters.
AnsiString ExceptionReportText(const std::exception* object, const char* typeName, const void* address);
// Reports one exception unless it is an EAbort: to standard error in a
// console process, else to the debugger and a message box.
void ShowException(const std::exception* object, const void* address, const char* typeName = nullptr);
// The same with the destination chosen by the caller.
void ReportException(const std::exception* object, const void* address, const char* typeName, bool toConsole);
// Reports an exception in flight (from a catch block) the same way.
void ShowException(std::exception_ptr object);

// Failed assertion: reported once, then raised as EAbort carrying the text.
[[noreturn]] void AssertionFailed(const AnsiString& message, const char* sourceFile, int line);

#define NVX_ASSERT_MSG(condition, message)                                     \
    do {                                                                       \
        if (!(condition)) AssertionFailed((message), __FILE_NAME__, __LINE__); \
    } while (0)
#define NVX_ASSERT(condition) NVX_ASSERT_MSG(condition, "Assertion failure")

// Runs body; anything that escapes it is reported and gives exit code 1.
int RunGuarded(int (*body)(int, char**), int argc, char** argv);

void InitExceptions();
void DoneExceptions();
