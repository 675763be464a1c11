// Without system pick dialogs a dialog fails; it never reads as a cancel.
#include <gtest/gtest.h>
#include "Dialogs/Dialogs.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"

TEST(PosixDialogs, ExecuteFailsRatherThanLookingCancelled) {
    TRef<TOpenDialog> dialog = MakeRef<TOpenDialog>(0);
    try {
        dialog->Execute();
        ADD_FAILURE() << "Execute returned";
    } catch (const EOSError& error) {
        EXPECT_EQ(error.ErrorCode, WinError::NotSupported);
    }
}
