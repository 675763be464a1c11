#include <gtest/gtest.h>
#include "Foundation/CodePages.h"
#include "Foundation/ErrorReport.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"

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
    EXPECT_EQ(error.Message(), "Cannot create backup \"" + WideToUtf8(path) + "\": denied");
    EXPECT_EQ(ShownMessage(error), u"Cannot create backup \"" + path + u"\": denied");
    EXPECT_EQ(error.MessageNaming(u"Show.app.bak"), u"Cannot create backup \"Show.app.bak\": denied");
    // For a line headed by the path, the path is "it".
    EXPECT_EQ(error.MessageCallingPathIt(), u"Cannot create backup it: denied");
    EXPECT_EQ(EArchiveBroken(TPathText{"The archive \"", path, "\" is damaged"}).MessageCallingPathIt(),
              u"It is damaged");
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

}  // namespace
