#include "Dialogs/DialogSetup.h"

// There are no system pick dialogs here, so nothing was started.
void DoneDialogs() {}
