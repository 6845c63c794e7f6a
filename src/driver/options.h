// Filling the run's two records: the setup context from the machine, the run options from the
// command line and the CMDLINE element of the administrator's file.
#pragma once

#include "run/context.h"

struct XML_Document;

// Fills the setup context: folders, platform, colour depth, install folder. Ends the process with
// 104 on an NT system older than version 4; records 101 for a user who is not an administrator.
void SetupInitContext();

// Fills the run options from the command line as the entry receives it (without the program's
// own name) and the administrator's file. Records 102 (missing "/CFG=" file) or 117 (update of a
// product that is not installed) as the pending exit code; reads the administrator's file once
// for the whole run (SetupAdminFileState); writes no log line.
void SetupParseCommandLine(const char* commandLine);

// How reading the administrator's file went: read whole, not there at all, or the failure.
enum SetupAdminRead {
  ADMIN_READ,
  ADMIN_ABSENT,
  ADMIN_NOT_OPENED,
  ADMIN_NO_MEMORY,
  ADMIN_READ_FAILED,
  ADMIN_NOT_PARSED
};

// What SetupParseCommandLine found reading the administrator's file: ADMIN_READ when its text
// parsed, ADMIN_ABSENT when there is none, else why it cannot be used.
SetupAdminRead SetupAdminFileState();

// With ADMIN_READ, the file's text (terminated; the variables not yet replaced) and the document
// parsed from it, both kept for the rest of the process; otherwise null.
const char* SetupAdminText();
XML_Document* SetupAdminDocument();
