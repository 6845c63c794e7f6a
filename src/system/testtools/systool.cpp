// Test tool for the system services' scenarios: runs one operation and prints what it gives.
// The exit code is the operation's result (1 / 0), or 2 for a usage error. Usage:
//   systool delete-retry PATH | delete-or-schedule PATH | dir-remove-or-schedule PATH
//   systool delete-matching FOLDER REMOVE PATTERN SCHEDULE
//   systool move-or-schedule SRC DST|- FLAGS
//   systool copy-retry SRC DST | copy-beside SRC DST REPLACE
//   systool open-retry PATH | exists PATH | create-folder PATH
//   systool is-nt | is-admin | restart | install-dir | old-settings
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "settings/oldsettings.h"
#include "system/files.h"
#include "system/os.h"
#include "system/registry.h"

namespace {

int Usage() {
  fprintf(stderr, "systool: bad arguments\n");
  return 2;
}

int Report(int result) {
  printf("result %d error %lu\n", result, result ? 0ul : GetLastError());
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const char* op = argv[1];
  auto is = [&](const char* name, int args) { return strcmp(op, name) == 0 && argc == args + 2; };

  if (is("delete-retry", 1)) return Report(FileDeleteRetry(argv[2]));
  if (is("delete-or-schedule", 1)) return Report(FileDeleteOrSchedule(argv[2]));
  if (is("dir-remove-or-schedule", 1)) return Report(DirRemoveOrSchedule(argv[2]));
  if (is("delete-matching", 4)) {
    return Report(FileDeleteMatching(argv[2], atoi(argv[3]), argv[4], atoi(argv[5])));
  }
  if (is("move-or-schedule", 3)) {
    const char* target = strcmp(argv[3], "-") == 0 ? nullptr : argv[3];
    return Report(FileMoveOrSchedule(argv[2], target, strtoul(argv[4], nullptr, 0)));
  }
  if (is("copy-retry", 2)) return Report(FileCopyRetry(argv[2], argv[3]));
  if (is("copy-beside", 3)) {
    char alternate[MAX_PATH];
    int result = FileCopyBeside(argv[2], argv[3], atoi(argv[4]), alternate, MAX_PATH);
    printf("alternate [%s]\n", alternate);
    return Report(result);
  }
  if (is("open-retry", 1)) {
    DWORD start = GetTickCount();
    HANDLE h = FileOpenRetry(argv[2], GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    DWORD error = GetLastError();
    printf("elapsed %lu\n", GetTickCount() - start);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    SetLastError(error);
    return Report(h != INVALID_HANDLE_VALUE ? 1 : 0);
  }
  if (is("exists", 1)) return Report(FileExists(argv[2]));
  if (is("create-folder", 1)) return Report(FileCreateFolderPath(argv[2]));
  if (is("is-nt", 0)) return Report(SysIsNT());
  if (is("is-admin", 0)) return Report(SysIsAdmin());
  if (is("restart", 0)) {
    fflush(stdout);
    return Report(SysRestartWindows());
  }
  if (is("install-dir", 0)) {
    char dir[MAX_PATH];
    int result = RegGetInstallDir(dir, MAX_PATH);
    printf("dir [%s]\n", dir);
    return Report(result);
  }
  if (is("old-settings", 0)) {
    OldSettings s;
    int result = ReadOldSettings(&s, 1);
    printf("LockSettings %lu LockPassword 0x%08lX Winpopup_Timeout %lu SMTP_Server [%s]\n",
           static_cast<unsigned long>(s.LockSettings), static_cast<unsigned long>(s.LockPassword),
           static_cast<unsigned long>(s.Winpopup_Timeout), s.SMTP_Server);
    return Report(result);
  }
  return Usage();
}
