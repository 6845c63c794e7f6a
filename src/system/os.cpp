// Platform family, administrator check, restart and message dispatch.
#include "system/os.h"

#include <stdlib.h>
#include <string.h>

#include "system/guards.h"
#include "system/progress.h"

namespace {

// Cached platform class: 0 = not determined yet, 1 = NT family, 2 = Windows 95/98/Me family.
int g_platform = 0;
DWORD g_majorVersion = 0;
SysVersionQuery g_versionQuery = nullptr;

// The machine-wide mutex this process holds; the system releases it when the process ends.
HANDLE g_heldMutex = nullptr;

struct SidGuard {
  PSID sid = nullptr;
  ~SidGuard() {
    if (sid) FreeSid(sid);
  }
};

// The scenario tests cannot make Wine's process a non-administrator, so this variable lets them
// take the non-administrator roads: "1" denies the user who started the program (the process
// token), "2" also an account the thread impersonates. It can only deny.
int TestDeniesAdmin() {
  char value[8];
  DWORD n = GetEnvironmentVariableA("ZS_TEST_NOT_ADMIN", value, sizeof value);
  return n == 1 && (value[0] == '1' || value[0] == '2') ? value[0] - '0' : 0;
}

}  // namespace

void SysSetVersionQuery(SysVersionQuery query) {
  g_versionQuery = query;
  g_platform = 0;
}

int SysIsNT() {
  if (g_platform == 0) {
    OSVERSIONINFOA info;
    memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA size");
    BOOL ok = g_versionQuery ? g_versionQuery(&info) : GetVersionExA(&info);
    g_platform = (ok && info.dwPlatformId == VER_PLATFORM_WIN32_NT) ? 1 : 2;
    g_majorVersion = ok ? info.dwMajorVersion : 0;
  }
  return g_platform == 1 ? 1 : 0;
}

int SysIsAdmin() {
  if (!SysIsNT()) return 1;
  const int denied = TestDeniesAdmin();
  if (denied == 2) return 0;

  // The thread token comes first so that an impersonated account counts.
  HandleGuard token;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token.handle)) {
    token.handle = nullptr;
    if (GetLastError() != ERROR_NO_TOKEN) return 0;
    if (denied == 1) return 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token.handle)) {
      token.handle = nullptr;
      return 0;
    }
  }

  DWORD size = 0;
  if (GetTokenInformation(token.handle, TokenGroups, nullptr, 0, &size)) return 0;
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return 0;
  HeapGuard<> groups;
  groups.block = malloc(size);
  if (!groups.block) return 0;
  if (!GetTokenInformation(token.handle, TokenGroups, groups.block, size, &size)) return 0;

  SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
  SidGuard admins;
  if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins.sid)) {
    admins.sid = nullptr;
    return 0;
  }

  // Group attributes (enabled, deny-only) are deliberately not looked at.
  const TOKEN_GROUPS* list = static_cast<const TOKEN_GROUPS*>(groups.block);
  for (DWORD i = 0; i < list->GroupCount; ++i) {
    if (EqualSid(list->Groups[i].Sid, admins.sid)) return 1;
  }
  return 0;
}

HANDLE SysOpenThreadToken(DWORD access) {
  if (!SysIsNT()) return nullptr;
  HANDLE token = nullptr;
  // Checked against the impersonated account first, whose token it is; then against the
  // process's account, which the token's access list may name instead.
  if (OpenThreadToken(GetCurrentThread(), access, FALSE, &token)) return token;
  if (GetLastError() == ERROR_NO_TOKEN) return nullptr;
  if (OpenThreadToken(GetCurrentThread(), access, TRUE, &token)) return token;
  return INVALID_HANDLE_VALUE;
}

HANDLE SysThreadToken() { return SysOpenThreadToken(TOKEN_IMPERSONATE | TOKEN_QUERY); }

int SysSetThreadToken(HANDLE thread, HANDLE token) {
  typedef BOOL(WINAPI * SetThreadTokenFn)(PHANDLE, HANDLE);
  static const SetThreadTokenFn set = reinterpret_cast<SetThreadTokenFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("advapi32.dll"), "SetThreadToken")));
  if (set == nullptr) return 0;
  return set(thread != nullptr ? &thread : nullptr, token) ? 1 : 0;
}

int SysRestartWindows() {
  if (!SysIsNT()) return ExitWindowsEx(EWX_REBOOT, 0) ? 1 : 0;

  HandleGuard token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                        &token.handle)) {
    token.handle = nullptr;
    return 0;
  }
  TOKEN_PRIVILEGES privileges;
  memset(&privileges, 0, sizeof privileges);
  LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid);
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  AdjustTokenPrivileges(token.handle, FALSE, &privileges, 0, nullptr, nullptr);
  // AdjustTokenPrivileges reports a privilege the account lacks only through the last error.
  DWORD error = GetLastError();
  if (error != 0) return static_cast<int>(error);
  return ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0) ? 1 : 0;
}

void SysPumpMessages() {
  // The visual library reads the progress while it handles its messages.
  SysProgressPublish();
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

void SysWaitPumping(DWORD milliseconds) {
  DWORD start = GetTickCount();
  DWORD remaining = milliseconds;
  while (remaining > 0) {
    if (MsgWaitForMultipleObjects(0, nullptr, FALSE, remaining, QS_ALLINPUT) != WAIT_OBJECT_0) {
      return;  // timed out
    }
    SysPumpMessages();
    DWORD elapsed = GetTickCount() - start;
    if (elapsed > milliseconds) elapsed = milliseconds;
    if (milliseconds != INFINITE) remaining = milliseconds - elapsed;
  }
}

int SysHoldMachineMutex(const char* name, DWORD* error) {
  *error = 0;
  if (g_heldMutex != nullptr) return 1;
  HANDLE mutex = nullptr;
  DWORD failed = 0;
  if (SysIsNT()) {
    // With terminal services (2000 and later, and NT 4.0 Terminal Server Edition) every session
    // has its own namespace and the prefix "Global\" names the machine's. Plain NT 4.0 has one
    // namespace without a "Global" folder in it and refuses the prefix; there the plain name is
    // the machine's already. Trying the prefix first, rather than going by the version alone,
    // also keeps the sessions of NT 4.0 Terminal Server Edition from missing each other.
    char global[MAX_PATH] = "Global\\";
    lstrcpynA(global + 7, name, sizeof global - 7);
    mutex = CreateMutexA(nullptr, FALSE, global);
    if (mutex == nullptr) failed = GetLastError();
    // Access denied, or another kind of object under the name: the name exists and belongs to
    // someone else, which no plain name may get around.
    bool exists = failed == ERROR_ACCESS_DENIED || failed == ERROR_INVALID_HANDLE;
    if (mutex == nullptr && g_majorVersion < 5 && !exists) {
      mutex = CreateMutexA(nullptr, FALSE, name);
      if (mutex == nullptr) failed = GetLastError();
    }
  } else {
    // The 9x family has one namespace for the whole machine.
    mutex = CreateMutexA(nullptr, FALSE, name);
    if (mutex == nullptr) failed = GetLastError();
  }
  if (mutex == nullptr) {
    *error = failed;
    return 0;
  }
  // Abandoned: its holder ended without releasing it (a crash); the mutex is ours now.
  DWORD wait = WaitForSingleObject(mutex, 0);
  if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
    g_heldMutex = mutex;
    return 1;
  }
  CloseHandle(mutex);
  return 0;
}
