// The thread-token recorder of the test programs (setup_fault.exe), never linked into what ships.
// With ZS_TOKEN_RECORD=file set when the program starts, every change to the machine made while
// the main thread impersonates appends "<kind> <path> <main|worker> <held|missing>": whether the
// thread that made it worked with a token of the main thread's logon session. On Windows a new
// thread does not inherit its creator's impersonation, and the authorized account's private
// folders admit no one else; under Wine, which enforces no access lists and whose stand-in
// security provider impersonates the process's own account, only this record tells the two apart.

#include <stdio.h>
#include <windows.h>

#include "system/hook.h"

namespace {

HANDLE g_main = nullptr;  // the main thread, for its token
DWORD g_mainId = 0;
HANDLE g_record = INVALID_HANDLE_VALUE;
CRITICAL_SECTION g_lock;

bool Session(HANDLE token, LUID* session) {
  TOKEN_STATISTICS statistics;
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenStatistics, &statistics, sizeof statistics, &size)) {
    return false;
  }
  *session = statistics.AuthenticationId;
  return true;
}

// The logon session of the thread's impersonation token; false when it has none.
bool ThreadSession(HANDLE thread, LUID* session) {
  HANDLE token = nullptr;
  if (!OpenThreadToken(thread, TOKEN_QUERY, TRUE, &token)) return false;
  bool known = Session(token, session);
  CloseHandle(token);
  return known;
}

DWORD Observe(const SysChange* change) {
  LUID main = {};
  if (!ThreadSession(g_main, &main)) return ERROR_SUCCESS;
  LUID own = {};
  bool held = ThreadSession(GetCurrentThread(), &own) && own.LowPart == main.LowPart &&
              own.HighPart == main.HighPart;
  char line[2 * MAX_PATH];
  int length =
      snprintf(line, sizeof line, "%d %s %s %s\r\n", change->kind,
               change->path != nullptr ? change->path : "",
               GetCurrentThreadId() == g_mainId ? "main" : "worker", held ? "held" : "missing");
  if (length > 0 && length < static_cast<int>(sizeof line)) {
    EnterCriticalSection(&g_lock);
    DWORD written = 0;
    WriteFile(g_record, line, static_cast<DWORD>(length), &written, nullptr);
    LeaveCriticalSection(&g_lock);
  }
  return ERROR_SUCCESS;
}

// Registers the observer before main runs (on the main thread), when the variable is set.
struct Install {
  Install() {
    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("ZS_TOKEN_RECORD", path, sizeof path);
    if (n == 0 || n >= sizeof path) return;
    InitializeCriticalSection(&g_lock);
    g_mainId = GetCurrentThreadId();
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_main, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    g_record = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (g_main != nullptr && g_record != INVALID_HANDLE_VALUE) SysAddChangeObserver(Observe);
  }
} g_install;

}  // namespace
