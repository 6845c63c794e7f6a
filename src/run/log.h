// The setup log: "zsetup.log" beside the program, or the file "/LOG=" names; written only with
// "/TEST" or "/LOG=", one line per call, the file reopened and closed for each line so that
// another process can read it meanwhile.
#pragma once

// Largest formatted message; a longer one is cut to this many characters.
enum { SETUP_LOG_MESSAGE_MAX = 4091 };

// Turns the log on when its file opens for appending, stores its path in the setup context and
// writes "CmdLine: %s" with the command line cut to 259 characters (the caller masks what the log
// must not show). The file is the one "/LOG=" names; without it, or when it cannot be opened,
// "zsetup.log" beside the program or in the temporary folder, and then the first line says that
// the named file could not be opened. When no file opens the log stays off for the run.
void SetupLogOpen(const char* commandLine);

// Appends one line "[yyyy-mm-dd hh:mm:ss.mmm] message" (SetupLogError: "... Error: message").
// Does nothing while the log is off; a file that cannot be reopened loses the line and turns the
// log off for the rest of the run.
void SetupLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void SetupLogError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Ends the run's part of the log: appends one empty line and turns the log off, so the run's
// lines end with exactly one empty line however many end paths pass here.
void SetupLogEnd();

// Turns a log that SetupLogEnd closed on again, for a run that goes on after all (a restart that
// did not end the process). Does nothing when the log was never opened.
void SetupLogResume();

// 1 while lines are written.
int SetupLogIsOn();

// Test hook: called with the log's path each time the log file is opened, before it is opened.
// Null removes it.
typedef void (*SetupLogOpenHook)(const char* path);
void SetupLogSetOpenHook(SetupLogOpenHook hook);
