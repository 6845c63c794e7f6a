// The journal of what a run creates: before a folder or file of the product is made, the path
// goes into "zrvjournal.txt" in the temporary folder, and the end of the run deletes the journal
// (committed or rolled back, nothing needs taking back). A run cut short (the process ended, the
// machine turned off) leaves it, and the next run takes back what it names first: the files and
// folders that were not there, and the alternates beside the files that were, unless they wait to
// replace them at the restart.
#pragma once

#include <stddef.h>

#include "system/strtable.h"

// Lines of the journal gathered before they are written: one per path, each folder once.
struct SetupJournalLines {
  char* text = nullptr;
  size_t length = 0;
  size_t capacity = 0;
  bool ok = true;
  StrTable folders;  // the folders looked at so far: 1 there, 0 not (then written as made)
  SetupJournalLines() = default;
  SetupJournalLines(const SetupJournalLines&) = delete;
  SetupJournalLines& operator=(const SetupJournalLines&) = delete;
  ~SetupJournalLines();

  // A file about to be written at path: taken back when it was not there, else its alternates.
  void File(const char* path);
  // A folder about to be made, with its parents that are not there either (outermost first).
  // True when the folder is there already.
  bool Folder(const char* path);
};

// Appends the lines to the journal, written through. 1 / 0.
int SetupJournalWrite(const SetupJournalLines& lines);

// SetupJournalWrite of one file's or one folder's lines.
int SetupJournalFile(const char* path);
int SetupJournalFolder(const char* path);

// Takes back what a run cut short made, as its journal names it, and deletes the journal.
void SetupRecoverCopies();

// Deletes the journal: the end of a run.
void SetupForgetCopies();
