#include "Foundation/ErrorReport.h"
#include <cxxabi.h>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <typeinfo>
#include <utility>
#include "Foundation/CodePages.h"
#include "Foundation/FaultHandler.h"
#include "Foundation/SysUI.h"

namespace {

EOutOfMemory* OutOfMemory = nullptr;
EInvalidPointer* InvalidPointer = nullptr;
std::terminate_handler PreviousTerminate = nullptr;

constexpr size_t MaxReportLength = 1024;

// Reports what escaped everything and ends the process with exit code 1.
[[noreturn]] void HandleUnhandledException(std::exception_ptr object) {
    ShowException(object);
    std::fflush(nullptr);
    std::_Exit(1);
}

[[noreturn]] void TerminateHandler() { HandleUnhandledException(std::current_exception()); }

// Made on first use; raising and handling it never frees it.
template <class T>
T& ProcessWide(T*& object, const char* message) {
    if (!object) {
        object = new T(message);
        object->AllowFree = false;
    }
    return *object;
}

template <class T, class... Args>
TExceptionObject Make(Args&&... args) {
    return TExceptionObject(new T(std::forward<Args>(args)...));
}

}  // namespace

AnsiString Demangle(const char* name) {
    int status = 0;
    char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    AnsiString result = status == 0 && readable ? readable : name;
    std::free(readable);
    return result;
}

EOutOfMemory& OutOfMemoryObject() { return ProcessWide(OutOfMemory, "Out of memory"); }

EInvalidPointer& InvalidPointerObject() { return ProcessWide(InvalidPointer, "Invalid pointer operation"); }

void TExceptionFree::operator()(Exception* object) const {
    auto* heap = dynamic_cast<EHeapException*>(object);
    if (!heap || heap->AllowFree) delete object;
}

const Exception* LibraryException(const std::exception* object) {
    if (auto* own = dynamic_cast<const Exception*>(object)) return own;
    // The run-time's way of saying run-time error 1.
    if (dynamic_cast<const std::bad_alloc*>(object)) return &OutOfMemoryObject();
    return nullptr;
}

AnsiString ExceptionMessage(const std::exception& object) {
    const Exception* own = LibraryException(&object);
    return own ? own->Message() : AnsiString(object.what());
}

WideString ShownMessage(const std::exception& object) {
    const Exception* own = LibraryException(&object);
    return own ? own->MessageNaming(own->Path) : Utf8ToWide(object.what());
}

std::unique_ptr<EInOutError> InOutErrorFor(int32_t ioResult) {
    static const std::pair<int32_t, const char*> texts[] = {
        {2, "File not found"},         {3, "Invalid filename"},          {4, "Too many open files"},
        {5, "File access denied"},     {100, "Read beyond end of file"}, {101, "Disk full"},
        {106, "Invalid numeric input"}};
    AnsiString message = Format("I/O error %d", ioResult);
    for (auto [code, text] : texts)
        if (code == ioResult) message = text;
    return std::make_unique<EInOutError>(message, ioResult);
}

TExceptionObject RunErrorToException(int number, int32_t ioResult) {
    switch (number) {
    case 1: return TExceptionObject(&OutOfMemoryObject());
    case 2: return TExceptionObject(&InvalidPointerObject());
    case 3: return Make<EDivByZero>("Division by zero");
    case 4: return Make<ERangeError>("Range check error");
    case 5: return Make<EIntOverflow>("Integer overflow");
    case 6: return Make<EInvalidOp>("Invalid floating point operation");
    case 7: return Make<EZeroDivide>("Floating point division by zero");
    case 8: return Make<EOverflow>("Floating point overflow");
    case 9: return Make<EUnderflow>("Floating point underflow");
    case 10: return Make<EInvalidCast>("Invalid class typecast");
    case 11: return Make<EAccessViolation>("Access violation");
    case 12: return Make<EPrivilege>("Privileged instruction");
    case 13: return Make<EControlC>("Control-C hit");
    case 14: return Make<EStackOverflow>("Stack overflow");
    case 15: return Make<EVariantError>("Invalid variant type conversion");
    case 16: return Make<EVariantError>("Invalid variant operation");
    case 17: return Make<EVariantError>("Variant method calls not supported");
    case 18: return Make<EVariantError>("Error creating variant or safe array");
    case 19: return Make<EVariantError>("Invalid argument");
    case 20: return Make<EVariantError>("Variant or safe array index out of bounds");
    case 21: return Make<EAssertionFailed>("Assertion failed");
    case 22: return Make<EExternalException>("External exception %x");
    case 23: return Make<EIntfCastError>("Interface not supported");
    case 24: return Make<ESafecallException>("Exception in safecall method");
    }
    return TExceptionObject(InOutErrorFor(ioResult).release());
}

int ExceptionCodeToRunError(uint32_t exceptionCode) {
    static const std::pair<uint32_t, int> runErrors[] = {
        {0xC0000094, 3},  {0xC000008C, 4},  {0xC0000095, 5},  {0xC000008F, 6}, {0xC0000090, 6},
        {0xC0000092, 6},  {0xC000008E, 7},  {0xC0000091, 8},  {0xC0000093, 9}, {0xC000008D, 9},
        {0xC0000005, 11}, {0xC0000096, 12}, {0xC000013A, 13}, {0xC00000FD, 14}};
    for (auto [code, number] : runErrors)
        if (code == exceptionCode) return number;
    return 22;
}

TExceptionObject FaultToException(const TFaultInfo& fault) {
    int number = ExceptionCodeToRunError(fault.Code);
    TExceptionObject object;
    if (number == 11) {
        AnsiString module;
        uintptr_t relative = 0;
        AnsiString where = ModuleOfAddress(fault.Address, module, relative) ? Format(" in module '%s'", module) : "";
        object = Make<EAccessViolation>(
            EAccessViolation::CreateFmt("Access violation at address %p%s. %s of address %p", fault.Address, where,
                                        fault.IsWrite ? "Write" : "Read", fault.AccessAddress));
    } else if (number == 22) {
        object = Make<EExternalException>(EExternalException::CreateFmt("External exception %x", fault.Code));
    } else {
        object = RunErrorToException(number);
    }
    if (auto* external = dynamic_cast<EExternal*>(object.get())) external->ExceptionRecord = fault.Record;
    return object;
}

AnsiString ExceptionReportText(const std::exception* object, const char* typeName, const void* address) {
    AnsiString module;
    uintptr_t shown = (uintptr_t)address;
    uintptr_t relative = 0;
    if (address && ModuleOfAddress(address, module, relative)) shown = relative;
    else module = ProgramFileName();
    if (module.size() > 260) module.resize(260);

    const Exception* e = LibraryException(object);
    AnsiString className = e ? e->ClassName() : object ? Demangle(typeid(*object).name()) : (typeName ? typeName : "?");
    // Eight digits, more only for an address that needs them.
    AnsiString digits = (uint64_t)shown >> 32 ? Format("%X%08X", (unsigned)((uint64_t)shown >> 32), (unsigned)shown)
                                              : Format("%08X", (unsigned)shown);
    AnsiString text = "Exception " + className + "  in module " + module + " at " + digits;
    if (e) text += ".\r\n" + e->Message() + ".\r\n";
    if (text.size() > MaxReportLength) text.resize(MaxReportLength);
    return text;
}

void ShowException(const std::exception* object, const void* address, const char* typeName) {
    ReportException(object, address, typeName, IsConsoleProcess());
}

void ReportException(const std::exception* object, const void* address, const char* typeName, bool toConsole) {
    if (dynamic_cast<const EAbort*>(object)) return;
    AnsiString text = ExceptionReportText(object, typeName, address);
    if (toConsole) {
        WriteConsoleError(text);
    } else {
        DebugOutput(text);
        ShowMessageBox(text, "Application Error", MessageBoxFlags::TaskModal | MessageBoxFlags::IconError);
    }
}

void ShowException(std::exception_ptr object) {
    if (!object) return;
    try {
        std::rethrow_exception(object);
    } catch (const std::exception& e) {
        ShowException(&e, nullptr);
    } catch (...) {
        std::type_info* type = abi::__cxa_current_exception_type();
        ShowException(nullptr, nullptr, type ? Demangle(type->name()).c_str() : "?");
    }
}

void AssertionFailed(const AnsiString& message, const char* sourceFile, int line) {
    // Deliberate spelling: the text stays as it has always been shown.
    AnsiString text =
        "Asseertion with message: '" + message + "'" + " (" + sourceFile + ", line: " + std::to_string(line) + ")";
    DebugOutput(text);
    ShowMessageBox(text, nullptr, MessageBoxFlags::IconError);
    throw EAbort(text);
}

int RunGuarded(int (*body)(int, char**), int argc, char** argv) {
    try {
        return body(argc, argv);
    } catch (...) {
        HandleUnhandledException(std::current_exception());
    }
}

void InitExceptions() {
    OutOfMemoryObject();
    InvalidPointerObject();
    PreviousTerminate = std::set_terminate(TerminateHandler);
    InstallFaultHandler();
}

void DoneExceptions() {
    delete std::exchange(OutOfMemory, nullptr);
    delete std::exchange(InvalidPointer, nullptr);
    std::set_terminate(PreviousTerminate);
    // A shutdown from inside a handler (a program's last catch) would end
    // quietly with the caller's exit code; what was caught is reported.
    if (std::exception_ptr pending = std::current_exception()) HandleUnhandledException(pending);
    RemoveFaultHandler();
}
