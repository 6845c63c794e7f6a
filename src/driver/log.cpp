#include "driver/log.h"

#include <stdarg.h>
#include <stdio.h>
#include <windows.h>

#include "driver/context.h"
#include "driver/options.h"
#include "system/str.h"

namespace {

// Where the lines go, and whether they are written. The path stays known after the log is
// closed, so a run that goes on after a restart request can resume it.
char g_logPath[MAX_PATH];
bool g_logOn = false;

// Closes a log file on every path.
struct LogFile {
  FILE* file;
  explicit LogFile(const char* path) : file(fopen(path, "at+")) {}
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

void SetupLogOpen(const char* commandLine) {
  StrCopyN(g_logPath, "zsetup.log", sizeof g_logPath);
  SetupMakeAbsolute(g_logPath, 1);
  {
    LogFile log(g_logPath);
    g_logOn = log.file != nullptr;
  }
  if (!g_logOn) return;
  StrCopyN(g_context.logFilePath, g_logPath, sizeof g_context.logFilePath);
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
