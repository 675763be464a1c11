#include "Dialogs/Dialogs.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"

// There are no system pick dialogs here: asking for one is an error, not a
// cancel, so that no caller takes it for the user's choice.
bool TSaveDialog::ShowDialog() { throw EOSError("No pick dialog on this system", WinError::NotSupported); }

// Nothing was started, so nothing is released.
void DoneDialogs() {}
