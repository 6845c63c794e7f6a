// The package model inside global.xml: the install path, the plugin settings with their profiles,
// each component's file list, and the ROLLBACK and UNINSTALL lists of what the run put on the
// machine. Results are 1 for success and 0 for failure (null for an element); nothing is logged.
#pragma once

#include <stdint.h>

#include "system/str.h"

struct XML_Document;
struct XML_Node;

// Kinds of list entries; the element names are "FILE", "DIR", "DIR_AND_CONTENTS", "REGKEY",
// "REGVAL" and "REGKEY_IF_EMPTY".
enum {
  LIST_FILE = 0,
  LIST_DIR = 1,
  LIST_DIR_AND_CONTENTS = 2,
  LIST_REGKEY = 3,
  LIST_REGVAL = 4,
  LIST_REGKEY_IF_EMPTY = 5
};

// The element name of a kind (0 to 5), or null.
const wchar16* SetupListKindName(int kind);

// The kind of an entry element's name (ignoring case), or -1.
int SetupListKindOf(const wchar16* name);

// Reads INSTALLPATH of PACKAGE\SETUP into buffer (*size bytes on entry, bytes stored on return).
int SetupGetInstallPath(XML_Document* doc, char* buffer, int* size);

// The first PLUGIN child of parent whose ID reads as id, or null.
XML_Node* SetupFindPlugin(XML_Document* doc, XML_Node* parent, uint32_t id);

// A PLUGIN of parent by lookup mode (XML_CREATE_NEW / ALWAYS append one with an empty DATA,
// XML_OPEN_EXISTING finds, XML_OPEN_ALWAYS finds or appends); null otherwise.
XML_Node* SetupOpenPlugin(XML_Document* doc, XML_Node* parent, uint32_t id, int mode);

// Copies the component's FILES (an empty one when it has none) under component as FILES with
// SETUPDIR = setupcPath, and its plugin settings into SETUPINFO\SETTINGS.
int SetupAddComponentDescToGlobal(XML_Document* globalDoc, XML_Node* component,
                                  XML_Document* componentDoc, const char* setupcPath);

// Merges the PLUGIN children of srcSettings (an element of srcDoc, which may be global.xml itself)
// into SETUPINFO\SETTINGS of global.xml: profiles first, then the entries with overwrite.
int SetupMergePluginSettings(XML_Document* globalDoc, XML_Document* srcDoc, XML_Node* srcSettings);

// Merges the profiles ("Config000" to "Config063") of srcData into dstData, matched by
// PROFILE_NAME. 1 when every profile merge succeeded.
int SetupMergeProfiles(XML_Document* dstDoc, XML_Node* dstData, XML_Document* srcDoc,
                       XML_Node* srcData);

// Adds an entry of kind for path under COMMON of list unless one of that kind and name (ignoring
// case) is there. Files and folders are recorded by their short name when they exist. 1 when the
// entry is present afterwards. An index kept beside the document makes each call cost the same
// however long the list is.
int SetupAddListEntry(XML_Document* doc, XML_Node* list, const char* path, int kind);

// SetupAddListEntry with a path already in the form to record (the caller took its short name).
int SetupAddListEntryRecorded(XML_Document* doc, XML_Node* list, const char* path, int kind);

// SetupAddListEntry under UNINSTALL or ROLLBACK of the root, made when missing.
void SetupAddUninstall(XML_Document* doc, const char* path, int kind);
void SetupAddRollback(XML_Document* doc, const char* path, int kind);

// SetupAddUninstall and SetupAddRollback of a path already in the form to record.
void SetupAddUninstallRecorded(XML_Document* doc, const char* path, int kind);
void SetupAddRollbackRecorded(XML_Document* doc, const char* path, int kind);
