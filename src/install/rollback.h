// The rollback list (undo actions pushed while installing) and the ROLLBACK and UNINSTALL list
// sections of global.xml.
#pragma once

#include "install/lists.h"

struct XML_Document;
struct SetupExitContext;

// Kinds of rollback list entries.
enum {
  ROLLBACK_FILE = 1,
  ROLLBACK_FOLDER = 2,
  ROLLBACK_REGKEY = 3,
  ROLLBACK_FILE_TRANSACTION = 4,
  ROLLBACK_COMPONENTS = 5,
  // Kept in memory only, never written anywhere: a registry tree to put back as it was (path
  // below HKEY_LOCAL_MACHINE), and a file's content to write back.
  ROLLBACK_REGTREE = 6,
  ROLLBACK_FILE_CONTENT = 7,
};

// Pushes an undo action (paths may be empty, at most 259 characters each). Without memory the run
// ends through the exit path with 103, closing the documents of context.
void RollbackPush(const SetupExitContext* context, int kind, const char* path,
                  const char* secondPath);

struct RegTree;

// Pushes the undo action that puts HKLM\path back as tree saved it (owned by the list from
// here on). Without memory the run ends with 103.
void RollbackPushTree(const char* path, RegTree* tree);

// Pushes the undo action that writes size bytes of data (copied) back over path. Without memory
// the run ends with 103.
void RollbackPushContent(const char* path, const void* data, unsigned long size);

// Takes the newest entry off the list, runs its undo action when the action is the installation's
// own (files, folders, registry keys and trees, file contents) and frees it. Returns its kind, so
// that the run's rollback does the rest (ROLLBACK_FILE_TRANSACTION, ROLLBACK_COMPONENTS: they
// reach global.xml and the component libraries); 0 when the list is empty.
int RollbackUndoNewest();

// Frees all entries without acting.
void RollbackDiscard();

// Runs the commit actions of all entries, newest first, and frees them. 0 when a file could not
// be scheduled to replace its target: then none is, and the entries stay for the rollback.
int commitChanges();

struct XML_Node;

// Removes everything the entries of a COMMON element name, as SetupWalkListEntries walks them.
void SetupRemoveListEntries(XML_Document* doc, XML_Node* common);

// SetupRemoveListEntries on ROLLBACK\COMMON.
void SetupRollbackCommon(XML_Document* doc);

// Removes what UNINSTALL\COMMON of the document names.
void SetupUnistallCommon(XML_Document* doc);
