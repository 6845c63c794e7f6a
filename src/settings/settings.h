// Settings trees: typed named values kept as NODE elements below a settings element, with
// attributes NAME, VALUE and TYPE, and the operations that read, write and merge them. Names are
// compared ignoring ASCII case; the first entry of a name wins. Results are 1 for success and 0
// for failure (null for a node) unless said otherwise; nothing is logged.
#pragma once

#include <stdint.h>

#include "system/str.h"
#include "xml/xml.h"

// Entry types: the number is what the operations take and give, the text is what TYPE holds.
enum {
  CFG_TYPE_EMPTY = 0,    // "EMPTY": no value
  CFG_TYPE_DWORD = 1,    // "DWORD": upper-case hexadecimal without leading zeros
  CFG_TYPE_STRING = 2,   // "STRING": the text itself
  CFG_TYPE_BINARY = 3,   // "BINARY": Base64 of the bytes
  CFG_TYPE_SUBNODE = 4,  // "SUBNODE": no value; child entries
  CFG_TYPE_PASS = 5      // "PASS": Base64 of the scrambled UTF-16 text
};

// Walks the NODE children of parent from *cursor (an XML_NextElement cursor; null at the start).
// Takes the next entry whose NAME fits nameBuffer (nameCount characters) and, when pattern is not
// null, matches it in either direction (CFG_MatchName). Stores the entry's type and element when
// type / node are not null. 1 when an entry was found, 0 when there are no more.
int CFG_NextNode(XML_Document* doc, XML_Node* parent, const wchar16* pattern, XML_Node** cursor,
                 wchar16* nameBuffer, int nameCount, int* type, XML_Node** node);

// 1 when name matches pattern: equal ignoring case, or, when pattern holds a '*', name starts with
// the text before the first '*' (what follows the '*' is not looked at).
int CFG_MatchName(const wchar16* pattern, const wchar16* name);

// The first NODE child of parent whose NAME equals name ignoring case (no wildcard); null when
// there is none. Names of 64 characters or more are never found.
XML_Node* CFG_FindNode(XML_Document* doc, XML_Node* parent, const wchar16* name);

// The entry's type number (0 to 5); a missing or unknown TYPE gives CFG_TYPE_EMPTY.
int CFG_GetType(XML_Document* doc, XML_Node* node);

// Reads the VALUE text of the entry name into buffer; *count is the buffer size in characters on
// entry and the length plus one on success. Stores the type when type is not null and the entry
// exists.
int CFG_GetValue(XML_Document* doc, XML_Node* parent, const wchar16* name, int* type,
                 wchar16* buffer, int* count);

// Reads a STRING entry as narrow ANSI text into buffer; *size is the buffer size in bytes on entry
// and the bytes stored with the terminator on return (0 on failure).
int CFG_GetString(XML_Document* doc, XML_Node* parent, const wchar16* name, char* buffer,
                  int* size);

// Reads a DWORD entry. Fails for a missing entry, another type, or a VALUE that is not hexadecimal.
int CFG_GetDword(XML_Document* doc, XML_Node* parent, const wchar16* name, uint32_t* value);

// Appends a new SUBNODE entry named name; null when it cannot be made.
XML_Node* CFG_AddSubnode(XML_Document* doc, XML_Node* parent, const wchar16* name);

// Finds or makes a SUBNODE entry by lookup mode (XML_CREATE_NEW, XML_CREATE_ALWAYS,
// XML_OPEN_EXISTING, XML_OPEN_ALWAYS). An entry of that name of another type counts as absent.
XML_Node* CFG_OpenSubnode(XML_Document* doc, XML_Node* parent, const wchar16* name, int mode);

// Creates or updates the entry name from a native value: type 1 reads a uint32_t at data (size at
// least 4), types 2 and 5 a narrow text, type 3 size bytes. Type 0 writes neither VALUE nor TYPE.
int CFG_SetValue(XML_Document* doc, XML_Node* parent, const wchar16* name, int type,
                 const void* data, int size);

// Creates or updates the entry name from a value already in its VALUE text form. Type 0 writes
// TYPE="EMPTY"; types 0 and 4 write no VALUE.
int CFG_SetRawValue(XML_Document* doc, XML_Node* parent, const wchar16* name, int type,
                    const wchar16* text);

// Copies the entries of srcParent into dstParent. Without overwrite, names dstParent has already
// are left alone; with recurse, sub-node entries are merged into sub-nodes of the same name, else
// they become empty sub-node entries. Entries whose NAME has more than 50 characters are skipped.
// A failure ends the merge with 0 and keeps what was copied before it.
int CFG_Merge(XML_Document* dstDoc, XML_Node* dstParent, XML_Document* srcDoc, XML_Node* srcParent,
              int overwrite, int recurse);
