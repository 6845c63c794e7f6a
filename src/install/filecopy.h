// Installing the package's files with a status per file recorded in global.xml.
#pragma once

struct XML_Document;

// The values of the target-folder variables.
struct TargetVars {
  char installDir[260];  // without its trailing backslash
  char windowsDir[260];
  char systemDir[260];
  char driversDir[260];
};

// Replaces "%INSTALLDIR%", "%WINDOWSDIR%", "%SYSTEMDIR%" and "%DRIVERSDIR%" (exact spelling, in
// that order) wherever they occur in text (capacity bytes). The search goes on behind each
// inserted value, so a value that holds a variable's name is not expanded again; a replacement
// that does not fit ends the expansion, keeping the earlier ones.
void SetupExpandTargetVars(char* text, int capacity, const TargetVars& vars);

// Copies the package's folders and files (global.xml open for writing). 1 when every folder and
// file was handled, 0 at the first failure; the statuses written so far stay in the document.
int SetupCopyFiles(XML_Document* doc);

// Schedules every PREPARED file to replace its target at the next restart, once every waiting
// file was found in place. 1 / 0.
int SetupCommitChanges(XML_Document* doc);

// Undoes the file statuses: COPIED targets and PREPARED alternates are deleted, CREATED folders
// removed. Never fails.
void SetupRollbackFiles(XML_Document* doc);
