// The change observer of the test programs (setup_fault.exe), never linked into what ships. It
// numbers every change to the machine from 1 in the order the calls are made, and reads four
// environment variables when the program starts:
//   ZS_FAULT_RECORD=file   appends one line per change: "<n> <kind> <path>[ <- <source>]", and
//                          " FAIL <error>" or " CRASH" on the change that was made to fail;
//                          set alone, the run only counts;
//   ZS_FAULT_FAIL_AT=n     change n fails as the system fails it: a write or copy with
//                          ERROR_DISK_FULL after writing half of its bytes (a copy leaves half of
//                          the source at its target), anything else with ERROR_ACCESS_DENIED;
//   ZS_FAULT_CRASH_AT=n    the process ends at change n (TerminateProcess on itself, exit code
//                          0xDEAD), after the half write of a write or copy;
//   ZS_FAULT_DELAY_MS=n    every change waits n milliseconds first, as on a slow disk, so that a
//                          test can watch the work go on.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "system/hook.h"

namespace {

const UINT kCrashExitCode = 0xDEAD;

LONG g_number = 0;
LONG g_failAt = 0;
LONG g_crashAt = 0;
LONG g_delay = 0;
HANDLE g_record = INVALID_HANDLE_VALUE;
CRITICAL_SECTION g_recordLock;

const char* KindName(int kind) {
  static const char* const kNames[] = {
      "?",          "open",  "write", "copy",      "move",      "schedule", "delete",
      "attributes", "mkdir", "rmdir", "keycreate", "keydelete", "valueset", "valuedelete"};
  return kind > 0 && kind < static_cast<int>(sizeof kNames / sizeof kNames[0]) ? kNames[kind]
                                                                               : kNames[0];
}

LONG EnvNumber(const char* name) {
  char text[32];
  DWORD n = GetEnvironmentVariableA(name, text, sizeof text);
  return n > 0 && n < sizeof text ? atol(text) : 0;
}

// Writes half of what the call would have written, as a disk that fills up half way does.
void WriteHalf(const SysChange* change) {
  if (change->kind == SYS_FILE_WRITE && change->data != nullptr) {
    DWORD written = 0;
    WriteFile(change->file, change->data, change->size / 2, &written, nullptr);
    if (change->written != nullptr) *change->written = written;
    return;
  }
  if (change->kind != SYS_FILE_COPY || change->source == nullptr) return;
  HANDLE source = CreateFileA(change->source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (source == INVALID_HANDLE_VALUE) return;
  // A target that exists is left alone: a copy that may not overwrite never opens it.
  HANDLE target = CreateFileA(change->path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (target != INVALID_HANDLE_VALUE) {
    DWORD size = GetFileSize(source, nullptr);
    if (size != INVALID_FILE_SIZE && size > 1) {
      char* half = static_cast<char*>(malloc(size / 2));
      DWORD got = 0, written = 0;
      if (half != nullptr && ReadFile(source, half, size / 2, &got, nullptr)) {
        WriteFile(target, half, got, &written, nullptr);
      }
      free(half);
    }
    CloseHandle(target);
  }
  CloseHandle(source);
}

DWORD Observe(const SysChange* change) {
  if (g_delay > 0) Sleep(static_cast<DWORD>(g_delay));
  EnterCriticalSection(&g_recordLock);
  LONG n = ++g_number;
  bool fail = n == g_failAt;
  bool crash = n == g_crashAt;
  if (g_record != INVALID_HANDLE_VALUE) {
    char line[3 * MAX_PATH];
    int length = snprintf(line, sizeof line, "%ld %s %s%s%s%s\r\n", n, KindName(change->kind),
                          change->path != nullptr ? change->path : "",
                          change->source != nullptr ? " <- " : "",
                          change->source != nullptr ? change->source : "",
                          crash  ? " CRASH"
                          : fail ? " FAIL"
                                 : "");
    if (length > 0 && length < static_cast<int>(sizeof line)) {
      DWORD written = 0;
      WriteFile(g_record, line, static_cast<DWORD>(length), &written, nullptr);
    }
  }
  LeaveCriticalSection(&g_recordLock);
  if (!fail && !crash) return ERROR_SUCCESS;
  bool writes = change->kind == SYS_FILE_WRITE || change->kind == SYS_FILE_COPY;
  if (writes) WriteHalf(change);
  if (crash) TerminateProcess(GetCurrentProcess(), kCrashExitCode);
  return writes ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED;
}

// Registers the observer before main runs, when one of the variables is set.
struct Install {
  Install() {
    InitializeCriticalSection(&g_recordLock);
    g_failAt = EnvNumber("ZS_FAULT_FAIL_AT");
    g_crashAt = EnvNumber("ZS_FAULT_CRASH_AT");
    g_delay = EnvNumber("ZS_FAULT_DELAY_MS");
    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("ZS_FAULT_RECORD", path, sizeof path);
    if (n > 0 && n < sizeof path) {
      g_record = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (g_failAt > 0 || g_crashAt > 0 || g_delay > 0 || g_record != INVALID_HANDLE_VALUE) {
      SysAddChangeObserver(Observe);
    }
  }
} g_install;

}  // namespace
