// The two process-wide records of a run (context.h): the setup context and the run options,
// zero-filled at load except for the options' two default file names; and the paths made from the
// context's folders.
#include "run/context.h"

#include <string.h>

#include "system/str.h"

SetupContext g_context;
SetupRunOptions g_options = {"zorva.xml", "setup.xml", "", "", "", 0, 0, 0,
                             0,           0,           0,  0,  {}, 0, 0, ""};

char* SetupMakeAbsolute(char* name, int always) {
  if (name == nullptr || name[0] == 0) return nullptr;
  if (always == 0 && strchr(name, '\\') != nullptr) return name;
  char full[MAX_PATH];
  StrCopyN(full, g_context.setupDir, sizeof full);
  StrAppendN(full, name, sizeof full);
  StrCopyN(name, full, MAX_PATH);
  return name;
}

int SetupSystemPath(char* out, int size, const char* below) {
  if (size <= 0) return 0;
  if (strlen(g_context.systemDir) + strlen(below) >= static_cast<size_t>(size)) {
    out[0] = 0;
    return 0;
  }
  StrCopyN(out, g_context.systemDir, size);
  StrAppendN(out, below, size);
  return 1;
}
