// The library's exception tree. Every failure travels as one of these; what()
// gives the message text in UTF-8, as every AnsiString holds text.
#pragma once
#include <exception>
#include "Foundation/Format.h"
#include "Foundation/SysError.h"
#include "Foundation/Types.h"

// A message that names a file or folder: the text around the name and the
// path itself, so that whoever shows the message can name the path in its
// own way (the file the user picked where the fix worked on a copy).
struct TPathText {
    AnsiString Before;
    WideString Path;
    AnsiString After;
};

class Exception : public std::exception {
public:
    explicit Exception(AnsiString message) : FMessage(std::move(message)) {}
    explicit Exception(const TPathText& text);
    static Exception Create(AnsiString message) { return Exception(std::move(message)); }
    template <class... Args>
    static Exception CreateFmt(const char* format, const Args&... args) {
        return Exception(Format(format, args...));
    }

    const char* what() const noexcept override { return FMessage.c_str(); }
    const AnsiString& Message() const noexcept { return FMessage; }
    // A message set anew names no path in it any more.
    void SetMessage(AnsiString message);
    // The message naming its path as shown ("Show.zip" where the file
    // really is elsewhere); one that names none, as it is.
    WideString MessageNaming(const WideString& shown) const;
    // The message for a line already headed by its path: the quoted path
    // (with "the archive" before it) becomes "it" ("Cannot fix it: ...",
    // "It is damaged: ..."); one that names none, as it is.
    WideString MessageCallingPathIt() const;
    // Whether the message names Path where the raiser put it.
    bool NamesPath() const noexcept { return FNamesPath; }

    // The system's error code behind the failure; 0 when there is none.
    virtual uint32_t SystemCode() const noexcept { return 0; }

    virtual const char* ClassName() const noexcept { return "Exception"; }
    // Throws a copy of this object with its dynamic type.
    [[noreturn]] virtual void Raise() const { throw *this; }

    // The file or folder the failure concerns, where the raiser knows it;
    // the message may name it or not.
    WideString Path;

private:
    AnsiString FMessage;
    // Where the message names Path, and how many of its bytes that takes.
    bool FNamesPath = false;
    size_t FPathAt = 0;
    size_t FPathLength = 0;
};

// Each class's name, polymorphic raise, and Create and CreateFmt of its own
// type; added fields take their defaults.
#define NVX_EXCEPTION_BODY(Name)                                                \
    const char* ClassName() const noexcept override { return #Name; }           \
    [[noreturn]] void Raise() const override { throw *this; }                   \
    static Name Create(AnsiString message) { return Name(std::move(message)); } \
    template <class... Args>                                                    \
    static Name CreateFmt(const char* format, const Args&... args) {            \
        return Name(Format(format, args...));                                   \
    }

#define NVX_EXCEPTION(Name, Parent) \
    class Name : public Parent {    \
    public:                         \
        using Parent::Parent;       \
        NVX_EXCEPTION_BODY(Name)    \
    };

NVX_EXCEPTION(EAbort, Exception)

class EHeapException : public Exception {
public:
    using Exception::Exception;
    NVX_EXCEPTION_BODY(EHeapException)
    bool AllowFree = true;
};
NVX_EXCEPTION(EOutOfMemory, EHeapException)
NVX_EXCEPTION(EInvalidPointer, EHeapException)

class EInOutError : public Exception {
public:
    explicit EInOutError(AnsiString message, int32_t errorCode = 0)
        : Exception(std::move(message)), ErrorCode(errorCode) {}
    NVX_EXCEPTION_BODY(EInOutError)
    uint32_t SystemCode() const noexcept override { return uint32_t(ErrorCode); }
    int32_t ErrorCode;
};

class EExternal : public Exception {
public:
    using Exception::Exception;
    NVX_EXCEPTION_BODY(EExternal)
    // The operating system's exception record that caused it, when there was one.
    const void* ExceptionRecord = nullptr;
};
NVX_EXCEPTION(EExternalException, EExternal)
NVX_EXCEPTION(EIntError, EExternal)
NVX_EXCEPTION(EDivByZero, EIntError)
NVX_EXCEPTION(ERangeError, EIntError)
NVX_EXCEPTION(EIntOverflow, EIntError)
NVX_EXCEPTION(EMathError, EExternal)
NVX_EXCEPTION(EInvalidOp, EMathError)
NVX_EXCEPTION(EZeroDivide, EMathError)
NVX_EXCEPTION(EOverflow, EMathError)
NVX_EXCEPTION(EUnderflow, EMathError)
NVX_EXCEPTION(EAccessViolation, EExternal)
NVX_EXCEPTION(EPrivilege, EExternal)
NVX_EXCEPTION(EStackOverflow, EExternal)
NVX_EXCEPTION(EControlC, EExternal)

NVX_EXCEPTION(EInvalidCast, Exception)
NVX_EXCEPTION(EVariantError, Exception)
NVX_EXCEPTION(EAssertionFailed, Exception)
NVX_EXCEPTION(EAbstractError, Exception)
NVX_EXCEPTION(EIntfCastError, Exception)
NVX_EXCEPTION(ESafecallException, Exception)

class EOSError : public Exception {
public:
    explicit EOSError(AnsiString message, uint32_t errorCode = 0)
        : Exception(std::move(message)), ErrorCode(errorCode) {}
    NVX_EXCEPTION_BODY(EOSError)
    uint32_t SystemCode() const noexcept override { return ErrorCode; }
    uint32_t ErrorCode;
};

// File-system failures carry the Windows error code; the message is the
// system's text for it unless the raiser gives one.
class EFileError : public Exception {
public:
    // Takes the calling thread's last error code at this moment.
    EFileError() : EFileError(GetLastErrorCode()) {}
    explicit EFileError(uint32_t errorCode);
    explicit EFileError(AnsiString message, uint32_t errorCode = 0)
        : Exception(std::move(message)), ErrorCode(errorCode) {}
    EFileError(const TPathText& text, uint32_t errorCode) : Exception(text), ErrorCode(errorCode) {}
    NVX_EXCEPTION_BODY(EFileError)
    uint32_t SystemCode() const noexcept override { return ErrorCode; }
    uint32_t ErrorCode;
};

#define NVX_FILE_EXCEPTION(Name, Parent)       \
    class Name : public Parent {               \
    public:                                    \
        using Parent::Parent;                  \
        Name() : Parent(GetLastErrorCode()) {} \
        NVX_EXCEPTION_BODY(Name)               \
    };

NVX_FILE_EXCEPTION(EFileOpenError, EFileError)
NVX_FILE_EXCEPTION(EFileSeekError, EFileError)
NVX_FILE_EXCEPTION(EFileReadError, EFileError)
NVX_FILE_EXCEPTION(EFileWriteError, EFileError)
NVX_FILE_EXCEPTION(EFileAccessError, EFileError)
NVX_FILE_EXCEPTION(EFolderError, EFileError)
NVX_FILE_EXCEPTION(EFolderAccessDenied, EFolderError)
NVX_FILE_EXCEPTION(EFolderNotFound, EFolderError)

// Created without a message, a common exception reads
// Tarvix Exception: "<class name>".
class TCommonException : public Exception {
public:
    using Exception::Exception;
    TCommonException() : Exception("") { SetDefaultMessage("TCommonException"); }
    NVX_EXCEPTION_BODY(TCommonException)
    // Sets the message from the object's class name.
    void SetDefaultMessage() { SetDefaultMessage(ClassName()); }

protected:
    void SetDefaultMessage(const char* className);
};

#define NVX_COMMON_EXCEPTION(Name, Parent)                                  \
    class Name : public Parent {                                            \
    public:                                                                 \
        using Parent::Parent;                                               \
        Name() : Parent(AnsiString()) { Parent::SetDefaultMessage(#Name); } \
        NVX_EXCEPTION_BODY(Name)                                            \
    };

NVX_COMMON_EXCEPTION(EStreamError, TCommonException)
NVX_COMMON_EXCEPTION(EStreamReadError, EStreamError)
NVX_COMMON_EXCEPTION(EStreamWriteError, EStreamError)
NVX_COMMON_EXCEPTION(EStreamSeekError, EStreamError)
NVX_COMMON_EXCEPTION(EPackError, TCommonException)
NVX_COMMON_EXCEPTION(EUnpackError, TCommonException)
NVX_COMMON_EXCEPTION(EArchiveError, TCommonException)
NVX_COMMON_EXCEPTION(EArchiveAbort, EArchiveError)
NVX_COMMON_EXCEPTION(EArchiveBroken, EArchiveError)
// No archive at all was found in the file: it is empty, or has neither an
// end record that leads to a directory nor a single local header.
NVX_COMMON_EXCEPTION(ENotZipArchive, EArchiveBroken)
// One entry is inconsistent with the archive (its local header, its place,
// its sizes); the message names the entry and the cause.
NVX_COMMON_EXCEPTION(EArchiveDamaged, EArchiveError)
// An encrypted entry cannot be read: no password, or a wrong one.
NVX_COMMON_EXCEPTION(EArchivePassword, EArchiveError)
// Entry names the file system cannot keep apart or as they are; the
// message lists them.
NVX_COMMON_EXCEPTION(EArchiveNames, EArchiveError)
NVX_COMMON_EXCEPTION(EStreamUtilAbort, TCommonException)
NVX_COMMON_EXCEPTION(ETimerError, TCommonException)

// Carries zlib's own code (Z_DATA_ERROR, Z_BUF_ERROR, ...) beside its text.
class EZLibError : public Exception {
public:
    explicit EZLibError(AnsiString message, int zlibCode = 0) : Exception(std::move(message)), ZLibCode(zlibCode) {}
    NVX_EXCEPTION_BODY(EZLibError)
    int ZLibCode;
};
NVX_EXCEPTION(EZCompressionError, EZLibError)
NVX_EXCEPTION(EZDecompressionError, EZLibError)

// Raises EOSError for the calling thread's last error code.
[[noreturn]] void RaiseLastOSError();
// Raises EAbstractError "Abstract Error".
[[noreturn]] void AbstractError();
