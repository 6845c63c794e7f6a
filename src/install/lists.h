// The list sections of global.xml and uninst.xml (ROLLBACK and UNINSTALL, each with its COMMON
// entries): which entries a removal acts on and in what order, what a stored list keeps, and the
// merge of the one into the other. Portable (the removal's actions are the caller's), so the
// native build fuzzes these walks over any document.
#pragma once

struct XML_Document;
struct XML_Node;

// One entry a removal acts on: its kind (LIST_FILE ... LIST_REGKEY_IF_EMPTY) and its name.
typedef void (*SetupListAction)(void* context, int kind, const char* name);

// Calls act for every entry of common a removal acts on, in the removal's order: files, folders
// with their files, folders (a subfolder before its parent), keys, values, keys that are empty.
// Entries without a name, files and folders without an absolute path, and keys directly below a
// root are passed over.
void SetupWalkListEntries(XML_Document* doc, XML_Node* common, SetupListAction act, void* context);

// Drops from COMMON of list the entries of the six kinds that a removal would pass over, so that
// no stored list carries them; every other child stays as it stands. 1.
int SetupKeepRemovableEntries(XML_Document* doc, XML_Node* list);

// Merges the ROLLBACK section into the UNINSTALL section.
void SetupMergeUnistallInfo(XML_Document* doc);
