// Interim bodies of the driver's own workers that are not built yet: the runtime library check.
// Each does only what is trivially correct without its real body and otherwise refuses visibly with
// an error line; none reports work it did not do.
#include "driver/unbuilt.h"

#include <windows.h>

#include "driver/context.h"
#include "driver/exit.h"
#include "driver/log.h"
#include "driver/options.h"
#include "driver/runtimelibs.h"
#include "system/files.h"
#include "system/str.h"

void SetupLogUnbuilt(const char* name) { SetupLogError("%s: not built yet", name); }

void SetupRefuseUnbuilt(const char* name) {
  SetupLogUnbuilt(name);
  SetupExit(nullptr, nullptr, -1, name);
}

// A package that carries none of the three libraries has nothing to check; one that carries any
// is refused.
int SetupCheckRuntimeLibraries() {
  static const char* const kNames[] = {"mfc42.dll", "mfc42u.dll", "msvcrt.dll"};
  for (const char* name : kNames) {
    char path[MAX_PATH];
    StrCopyN(path, name, sizeof path);
    SetupMakeAbsolute(path, 1);
    if (FileExists(path)) SetupRefuseUnbuilt("SetupCheckRuntimeLibraries");
  }
  return 0;
}

int SetupInstallRuntimeLibraries() { SetupRefuseUnbuilt("SetupInstallRuntimeLibraries"); }
