#include "run/log.h"

#include <stdarg.h>
#include <stdio.h>
#include <windows.h>

#include "run/context.h"
#include "system/os.h"
#include "system/str.h"

namespace {

// Where the lines go, and whether they are written. The path stays known after the log is
// closed, so a run that goes on after a restart request can resume it.
char g_logPath[MAX_PATH];
bool g_logOn = false;

SetupLogOpenHook g_openHook = nullptr;

// While the run works as an authorized account the log stays the file of the user who started
// it: it lies where that user chose (beside the program, the temporary folder, /LOG=), so it is
// opened and written with that user's rights, and a link planted under its name cannot make the
// account write elsewhere. Without the thread's token in hand nothing is opened.
struct AsStartingUser {
  HANDLE token = SysThreadToken();
  bool ok = token != INVALID_HANDLE_VALUE &&
            (token == nullptr || SysSetThreadToken(nullptr, nullptr) != 0);
  AsStartingUser() = default;
  ~AsStartingUser() {
    if (token == nullptr || token == INVALID_HANDLE_VALUE) return;
    SysSetThreadToken(nullptr, token);
    CloseHandle(token);
  }
  AsStartingUser(const AsStartingUser&) = delete;
  AsStartingUser& operator=(const AsStartingUser&) = delete;
};

FILE* Open(const char* path) {
  if (g_openHook != nullptr) g_openHook(path);
  return fopen(path, "at+");
}

// Closes a log file on every path.
struct LogFile {
  AsStartingUser user;
  FILE* file;
  explicit LogFile(const char* path) : file(user.ok ? Open(path) : nullptr) {}
  ~LogFile() {
    if (file != nullptr) fclose(file);
  }
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;
};

void WriteLine(bool error, const char* format, va_list args) {
  if (!g_logOn) return;
  LogFile log(g_logPath);
  if (log.file == nullptr) {
    g_logOn = false;
    return;
  }
  // The message is cut at its limit and always terminated, whatever the formatter does on
  // overflow.
  char message[SETUP_LOG_MESSAGE_MAX + 1];
  int n = vsnprintf(message, sizeof message, format, args);
  if (n < 0) message[0] = 0;
  message[SETUP_LOG_MESSAGE_MAX] = 0;
  SYSTEMTIME now;
  GetLocalTime(&now);
  fprintf(log.file, "[%04d-%02d-%02d %02d:%02d:%02d.%03d] %s%s\n", now.wYear, now.wMonth, now.wDay,
          now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, error ? "Error: " : "", message);
}

}  // namespace

void SetupLogSetOpenHook(SetupLogOpenHook hook) { g_openHook = hook; }

// The log in the temporary folder, under its usual name; empty when there is no such folder.
void TempLogPath(char* path, int size) {
  DWORD n = GetTempPathA(static_cast<DWORD>(size), path);
  if (n == 0 || n >= static_cast<DWORD>(size)) {
    path[0] = 0;
    return;
  }
  StrAppendN(path, "zsetup.log", size);
}

bool TryOpen(const char* path) {
  LogFile log(path);
  return log.file != nullptr;
}

// Today's places for the log: beside the program, in the temporary folder for an uninstaller
// run from the product's own setup folder or when the program's folder cannot be written.
void OpenDefaultLog() {
  StrCopyN(g_logPath, "zsetup.log", sizeof g_logPath);
  SetupMakeAbsolute(g_logPath, 1);
  // An uninstaller started from the product's own setup folder removes that folder, and a log
  // there would go with it (or keep the folder from going): it writes to the temporary folder.
  char productSetup[MAX_PATH];
  StrCopyN(productSetup, g_context.installDir, sizeof productSetup);
  StrAppendN(productSetup, "Setup\\", sizeof productSetup);
  if (g_options.uninstall && g_context.installDir[0] != 0 &&
      lstrcmpiA(productSetup, g_context.setupDir) == 0) {
    TempLogPath(g_logPath, sizeof g_logPath);
  }
  g_logOn = g_logPath[0] != 0 && TryOpen(g_logPath);
  if (!g_logOn) {
    // A setup folder that cannot be written (a read-only share): the temporary folder instead.
    TempLogPath(g_logPath, sizeof g_logPath);
    g_logOn = g_logPath[0] != 0 && TryOpen(g_logPath);
  }
}

void SetupLogOpen(const char* commandLine) {
  // The file the administrator named wins over every default place, also for the uninstaller.
  if (g_options.logNamed == LOG_NAMED) {
    StrCopyN(g_logPath, g_options.logFile, sizeof g_logPath);
    g_logOn = TryOpen(g_logPath);
  }
  const bool namedFailed = g_options.logNamed != 0 && !g_logOn;
  if (!g_logOn) OpenDefaultLog();
  if (!g_logOn) return;
  StrCopyN(g_context.logFilePath, g_logPath, sizeof g_context.logFilePath);
  // The first line tells whoever looks for the named file's lines why they are here instead.
  if (namedFailed) SetupLogError("Couldn't open log file : %s", g_options.logFile);
  char shown[260];
  StrCopyN(shown, commandLine != nullptr ? commandLine : "", sizeof shown);
  SetupLog("CmdLine: %s", shown);
}

void SetupLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLine(false, format, args);
  va_end(args);
}

void SetupLogError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLine(true, format, args);
  va_end(args);
}

void SetupLogEnd() {
  if (!g_logOn) return;
  LogFile log(g_logPath);
  if (log.file != nullptr) fputs("\n", log.file);
  g_logOn = false;
}

void SetupLogResume() {
  if (g_logPath[0] != 0 && g_context.logFilePath[0] != 0) g_logOn = true;
}

int SetupLogIsOn() { return g_logOn ? 1 : 0; }
