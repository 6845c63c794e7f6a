// Filling the run's two records: the setup context from the machine, the run options from the
// command line and the CMDLINE element of the administrator's file.
#pragma once

#include "driver/context.h"

// Fills the setup context: folders, platform, colour depth, install folder. Ends the process with
// 104 on an NT system older than version 4; records 101 for a user who is not an administrator.
void SetupInitContext();

// Fills the run options from the command line as the entry receives it (without the program's
// own name) and the administrator's file. Records 102 (missing "/CFG=" file) or 117 (update of a
// product that is not installed) as the pending exit code; writes no log line.
void SetupParseCommandLine(const char* commandLine);

// For a non-empty name, when always is set or the name holds no backslash, replaces it in place by
// the setup folder followed by the name (name is a buffer of MAX_PATH bytes; a longer result is
// cut). Returns name, or null for an empty one.
char* SetupMakeAbsolute(char* name, int always);

// Writes the System folder followed by below into out (size bytes). A path that does not fit is
// refused, since a cut one could name another folder: out is then empty and the result 0, else 1.
int SetupSystemPath(char* out, int size, const char* below);
