#include "FailureAdvice.h"
#include "Foundation/ErrorReport.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"

WideString FailureAdvice(const std::exception& failure) {
    const Exception* own = LibraryException(&failure);
    if (dynamic_cast<const EArchiveBroken*>(own))
        return u"The archive is cut off or damaged: copy or download it again, or ask the sender for a new one.";
    switch (own ? own->SystemCode() : WinError::Success) {
    case WinError::AccessDenied:
    case WinError::WriteProtect:
        return u"Check that you may change the show and the folder it is in (not read-only, not on a locked "
               u"disk), then try again.";
    case WinError::SharingViolation: return u"Close the program that has the show open, then try again.";
    case WinError::DiskFull: return u"Make room on the disk, then try again.";
    case WinError::FileNotFound:
    case WinError::PathNotFound: return u"Check that the show is still there, then pick it again.";
    }
    return u"The show was left as it was; try again.";
}
