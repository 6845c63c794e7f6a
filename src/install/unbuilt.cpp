// Interim bodies of the uninstall's workers that are not built yet. Each refuses visibly with an
// error line.
#include "driver/unbuilt.h"

#include <windows.h>

#include "driver/context.h"
#include "install/uninstall.h"

int SetupBuildGlobalFromUninst() {
  SetupLogUnbuilt("SetupBuildGlobalFromUninst");
  return 0;
}

void SetupRemoveProductFolders() { SetupRefuseUnbuilt("SetupRemoveProductFolders"); }
void SetupRemoveUninstallEntry() { SetupRefuseUnbuilt("SetupRemoveUninstallEntry"); }
void SetupWriteRestartEntry() { SetupRefuseUnbuilt("SetupWriteRestartEntry"); }
