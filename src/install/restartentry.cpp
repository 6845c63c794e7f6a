// The restart continuation entry: the RunOnce value that runs the setup again after a restart.
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "install/uninstall.h"
#include "system/guards.h"
#include "system/registry.h"

// The quoted path of the running program (a path with blanks would otherwise run another
// program) followed by the switches, so that the continuation runs in the same mode.
void SetupWriteRestartEntry(const char* switches) {
  char program[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, program, sizeof program);
  if (n == 0 || n >= sizeof program) return;
  while (*switches == ' ') ++switches;
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
