// The restart continuation entry: the RunOnce value that runs the setup again after a restart.
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "install/uninstall.h"
#include "system/guards.h"
#include "system/registry.h"

namespace {

// The command line of this run without the program's own name, as the runtime start-up hands it
// to the entry: the first token ends at its closing quote, or at a blank when it is not quoted.
const char* RunSwitches() {
  const char* p = GetCommandLineA();
  if (p == nullptr) return "";
  if (*p == '"') {
    ++p;
    while (*p != 0 && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (*p != 0 && *p != ' ' && *p != '\t') ++p;
  }
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

}  // namespace

// The quoted path of the running program (a path with blanks would otherwise run another
// program) followed by this run's switches, so that the continuation runs in the same mode.
void SetupWriteRestartEntry() {
  char program[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, program, sizeof program);
  if (n == 0 || n >= sizeof program) return;
  const char* switches = RunSwitches();
  size_t size = n + strlen(switches) + 4;
  HeapGuard<char> entry(static_cast<char*>(malloc(size)));
  if (entry.block == nullptr) return;
  char* end = entry.block;
  *end++ = '"';
  memcpy(end, program, n);
  end += n;
  *end++ = '"';
  if (*switches != 0) {
    *end++ = ' ';
    strcpy(end, switches);
  } else {
    *end = 0;
  }
  KeyGuard key;
  if (RegOpenKeyByAccess(HKEY_LOCAL_MACHINE,
                         "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce", KEY_WRITE,
                         &key.key) != ERROR_SUCCESS) {
    key.key = nullptr;
    return;
  }
  RegWriteString(key.key, "ZORVA Setup", entry.block);
}
