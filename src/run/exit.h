// The one exit path of every fatal failure, and the restart at the normal end of a run.
#pragma once

#include <windows.h>

struct XML_Document;

// What the exit path needs to close the documents that are open where a failure may occur: the
// addresses of the variables that hold them, each possibly null.
struct SetupExitContext {
  XML_Document** first;
  XML_Document** second;
};

// Ends the run with code: closes the two documents (second first), closes the wait dialog and shows
// the message for a nonzero code through the visual library, rolls back once for a nonzero code,
// releases every library and temporary file, logs "Exitcode: ...", ends the log and ends the
// process; code 0 becomes 3010 when a restart is pending. text (may be null) names the step or
// the component. Never returns.
[[noreturn]] void SetupExit(XML_Document** first, XML_Document** second, int code,
                            const char* text);

// SetupExit with the documents of an exit context (which may be null).
[[noreturn]] void SetupExitWith(const SetupExitContext* context, int code, const char* text);

// Ends the process with code without the exit path (the start-up's ends before the visual library
// is connected): appends the log's empty line and ends the process.
[[noreturn]] void SetupEndProcess(int code);

// At the normal end of a sequence: when a restart is pending and the run is not silent without
// "/REBOOT", logs "Restart", ends the log and requests the restart of Windows. Returns in every
// case; the system ends the process when the restart goes ahead.
void SetupRestartIfNeeded();

// Test hook: the function that finally ends the process (ExitProcess by default). A hook that
// returns makes SetupExit end the process after all. Null restores ExitProcess.
typedef void (*SetupExitProcessHook)(UINT code);
void SetupSetExitProcessHook(SetupExitProcessHook hook);

// Test hook: forgets that the exit path has rolled back, so one process can test it again.
void SetupResetExitState();
