// Small operating-system services: the platform family, the administrator check, the restart of
// Windows, and keeping the user interface alive during long work.
#pragma once

#include <windows.h>

// 1 on the NT family, 0 on the Windows 95/98/Me family. The system is asked once per process.
int SysIsNT();

// 1 when the current security context (the thread's impersonation token first, else the
// process token) holds the Administrators group, whatever the group's attributes; always 1 on
// the 9x family; 0 otherwise or on any failure.
// Test hook: on the NT family, when the environment variable ZS_TEST_NOT_ADMIN is "1", the process
// token does not count (an impersonated account is still checked); "2" gives 0 for every token.
// It can only make the check stricter, never grant administrator rights.
int SysIsAdmin();

// The impersonation token of the calling thread, opened for access: null when the thread
// impersonates nothing (always on the 9x family), INVALID_HANDLE_VALUE when it does but the token
// cannot be opened. The caller closes it.
HANDLE SysOpenThreadToken(DWORD access);

// SysOpenThreadToken with the rights to give the token to another thread or put it back.
HANDLE SysThreadToken();

// Makes thread (null: the calling thread) work as token (null: as the process does); a new thread
// never inherits its creator's impersonation. SetThreadToken (NT family) is looked up at run
// time. 1 / 0.
int SysSetThreadToken(HANDLE thread, HANDLE token);

// Requests a restart of Windows. 9x family: ExitWindowsEx(EWX_REBOOT). NT family: enables the
// shutdown privilege and forces the restart; returns the nonzero error code (for example
// ERROR_NOT_ALL_ASSIGNED) when the privilege could not be enabled, 0 when the token cannot be
// opened, else the result of ExitWindowsEx. The request returns at once.
int SysRestartWindows();

// Takes the mutex of this name for the rest of the process, in the namespace that every session
// of the machine shares (with the prefix "Global\" where sessions have namespaces of their own). 1
// when this process holds it now (also when its last holder ended without releasing it); 0 when
// another process holds it or the name cannot be taken, with the system's error code in *error (0
// when the mutex is simply held elsewhere). The system releases it when the process ends, however
// it ends.
int SysHoldMachineMutex(const char* name, DWORD* error);

// Dispatches every pending message of the calling thread without waiting.
void SysPumpMessages();

// Waits the given time (INFINITE = no limit) while dispatching the messages that arrive.
void SysWaitPumping(DWORD milliseconds);

// Test hook: replaces the version query behind SysIsNT and forgets the cached platform, so tests
// can count the queries or report the other family. Null restores GetVersionExA.
typedef BOOL(WINAPI* SysVersionQuery)(OSVERSIONINFOA* info);
void SysSetVersionQuery(SysVersionQuery query);
