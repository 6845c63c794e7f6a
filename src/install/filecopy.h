// Installing the package's files with a status per file recorded in global.xml.
#pragma once

struct XML_Document;

// Copies the package's folders and files (global.xml open for writing). 1 when every folder and
// file was handled, 0 at the first failure.
int SetupCopyFiles(XML_Document* doc);

// Schedules every PREPARED file to replace its target at the next restart. 1 / 0.
int SetupCommitChanges(XML_Document* doc);
