// Interim body of the restart continuation entry, which is not built yet: it refuses visibly
// with an error line.
#include "driver/unbuilt.h"

#include "install/uninstall.h"

void SetupWriteRestartEntry() { SetupRefuseUnbuilt("SetupWriteRestartEntry"); }
