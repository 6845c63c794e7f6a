// The system's own small XML library: documents made of elements and attributes only, parsed
// from 8-bit text, looked up by backslash paths, and written back in one fixed layout.
//
// Text crosses this interface as zero-terminated UTF-16 (wchar16). Inside a document every value
// is held in its escaped 8-bit form ("&amp;", "&#x00E9;", ...) and decoded when it is read.
// Element and attribute names (and the values compared by lookups) match ignoring the case of the
// ASCII letters only. Names are made of the letters A-Z and a-z, the digits and '_', at most
// XML_NAME_MAX of them; an element name is never empty. Other names are refused where a node is
// made, so that every tree written reads back the same.
//
// Results: 0 for success and 1 for failure unless said otherwise; null for a node not found or
// not made. Nothing is logged. A document and its nodes are used by one thread at a time.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "system/str.h"
#include "xml/encode.h"

// Longest element or attribute name, in characters (the node holds it with its terminator).
enum { XML_NAME_MAX = 49 };

// Node kinds; the same numbers are the parser's results for an element and an attribute parsed.
enum { XML_ELEMENT = 5, XML_ATTRIBUTE = 6 };

// Lookup modes of XML_FindChild, XML_Find and XML_CopyElement.
enum {
  XML_CREATE_NEW = 1,     // always append a new element
  XML_CREATE_ALWAYS = 2,  // always append a new element
  XML_OPEN_EXISTING = 3,  // find only
  XML_OPEN_ALWAYS = 4     // find, else append
};

// Where an attribute's escaped value lies.
enum { XML_VALUE_SOURCE = 0, XML_VALUE_STORE = 1 };

// How the bytes 0x80 to 0xFF of a document's text are read. The parser decides: a text that
// declares windows-1252 or ISO-8859-1 is read in windows-1252; any other text whose bytes are
// valid UTF-8 (a text of ASCII only among them) as UTF-8; the rest one byte a character in the
// system's ANSI code page. Values written by this library never hold such bytes.
enum { XML_TEXT_UTF8 = 0, XML_TEXT_ANSI = 1, XML_TEXT_1252 = 2 };

// End mark of a children cursor: once a cursor holds it, every later step returns null.
#define XML_CURSOR_END (reinterpret_cast<XML_Node*>(~static_cast<uintptr_t>(0)))

// A byte buffer with a cursor: the parsed source text, the value store, or the output of the
// writer. length is the end of the text for reading, and the number of bytes emitted for writing
// (counted also when they were dropped because the buffer was full and may not grow).
struct XML_Buffer {
  char* data;
  int owned;  // 1 when the document frees data
  size_t position;
  size_t length;
  size_t capacity;
  int overflow;  // a byte was dropped
  int growable;
};

struct XML_Node {
  uint32_t kind;  // XML_ELEMENT or XML_ATTRIBUTE (0 for a document's top node)
  wchar16 name[XML_NAME_MAX + 1];
  int valueSelector;  // attributes: XML_VALUE_SOURCE or XML_VALUE_STORE
  size_t valueStart;  // attributes: escaped value, [start, end) in the selected buffer
  size_t valueEnd;
  XML_Node* firstChild;  // elements: attributes and elements in document order
  XML_Node* nextSibling;
  XML_Node* parent;  // the top node for the root element
  // Bookkeeping kept by the library so that appending, counting and walking by index cost no
  // more than a walk of the list; callers never write these.
  XML_Node* lastChild;  // last node of the children list (a hint that is walked forward)
  int attributeCount;
  int elementCount;
  XML_Node* indexNode;  // the child last reached by XML_GetChildAt, and its index
  int indexPos;
};

struct XML_Document {
  void* file;         // handle of the document's file (XML_Open), or null
  char* fileName;     // its path (XML_Open, freed with the file), or null
  XML_Buffer source;  // the text that was parsed
  XML_Buffer values;  // value store: data is null for a document opened read-only
  XML_Buffer output;  // lent the caller's buffer by XML_Serialize; length = last reported size
  int writable;       // written back to its file by XML_Close
  int encoding;       // XML_TEXT_...: how the source text's bytes above 0x7F are read
  XML_Node top;       // never written; its first element child is the root
  // One block a caller may keep beside the document (an index of its content); XML_Close hands it
  // to release when both are set.
  void* attached;
  void (*releaseAttached)(void* attached);
};

// ---- Documents and the root ----

// An empty document: no file, no text, an empty growable value store, no root. Null when memory
// is exhausted. Released with XML_Close.
XML_Document* XML_Create();

// Makes the root element. Null when the document already has one, the name is too long, or memory
// is exhausted.
XML_Node* XML_CreateRoot(XML_Document* doc, const wchar16* name);

// The root element, or null when there is none (a document whose text began with something other
// than an element has no root).
XML_Node* XML_GetRoot(XML_Document* doc);

// ---- Children ----

// Appends a new element without children as the last child of parent. Null when the parent is
// not an element, the name is longer than XML_NAME_MAX, or memory is exhausted.
XML_Node* XML_AddElement(XML_Node* parent, const wchar16* name);

// The next child of any kind. *cursor null starts at the first child; the call stores the
// following sibling there, or XML_CURSOR_END when there is none, after which every call returns
// null. A null cursor always gives the first child. When tail is not null and the list ends at
// the returned node, *tail receives the address of that node's nextSibling link (of the element's
// firstChild link when it has no children).
XML_Node* XML_NextChild(XML_Node* element, XML_Node** cursor, XML_Node*** tail);

// The next child element named name (ignoring ASCII case), continuing from *cursor as
// XML_NextChild does; a null name takes any element.
XML_Node* XML_NextElement(XML_Node* element, const wchar16* name, XML_Node** cursor);

// The next attribute child named name, continuing from *cursor; tail as for XML_NextChild.
XML_Node* XML_FindAttribute(XML_Node* element, const wchar16* name, XML_Node** cursor,
                            XML_Node*** tail);

// The child at a zero-based index counting both kinds, or null. Walking upwards by index costs one
// walk of the list in all.
XML_Node* XML_GetChildAt(XML_Node* element, int index);

// Number of children of every kind, of attributes only, and of elements only (0 for null).
int XML_CountChildren(XML_Node* element);
int XML_CountAttributes(XML_Node* element);
int XML_CountElements(XML_Node* element);

// Frees every descendant of element and leaves it without children; the element stays. 0.
int XML_DeleteChildren(XML_Node* element);

// Frees, in one walk, every child element of element for which drop(child, context) is nonzero,
// with its descendants; the other children stay as they are, in their order. 0.
int XML_DeleteElements(XML_Node* element, int (*drop)(XML_Node* child, void* context),
                       void* context);

// ---- Attributes ----

// Reads the decoded value of the first attribute named name. *count is the buffer's size in
// characters. With a null buffer only the size is found: *count becomes the length plus one and
// the result is 0. With a buffer, the value and a terminator are stored and *count becomes the
// length plus one; when they do not fit the result is 1 and *count is left alone (a prefix may
// have been stored). 1 also for a missing attribute or a malformed entity reference.
int XML_GetAttribute(XML_Document* doc, XML_Node* element, const wchar16* name, wchar16* buffer,
                     int* count);

// Stores the escaped value in the document's value store and makes the first attribute named name
// refer to it, or appends a new attribute at the end of the children list. 1 when the document
// has no value store, the name is too long, or memory is exhausted; nothing changes then.
int XML_SetAttribute(XML_Document* doc, XML_Node* element, const wchar16* name,
                     const wchar16* value);

// XML_GetAttribute converted to the ANSI code page. *size is the narrow buffer's size in bytes on
// entry and the bytes stored with the terminator on success. When the converted text does not fit
// the buffer holds an empty string, *size becomes 0 and the result is 1. 1 also when the attribute
// is missing, cannot be decoded, or memory is exhausted.
int XML_GetAttributeA(XML_Document* doc, XML_Node* element, const wchar16* name, char* buffer,
                      int* size);

// Writes a narrow ANSI text into out (size bytes, always terminated) escaped as the writer writes
// values: plain ASCII, every character outside 0x20-0x7E a reference, so that it reads the same
// in a text of any encoding. The text is taken up to MAX_PATH - 1 bytes. 1 when the escaped text
// did not fit (out then holds what did), else 0.
int XML_EscapeA(const char* text, char* out, int size);

// Converts a narrow ANSI text to UTF-16 and sets it with XML_SetAttribute.
int XML_SetAttributeA(XML_Document* doc, XML_Node* element, const wchar16* name, const char* text);

// Reads a hexadecimal attribute (at most 15 characters, digits 0-9 A-F a-f, no prefix) with
// HexToDword. 1 when missing, too long or not hexadecimal; *value is set only on success.
int XML_GetAttributeHex(XML_Document* doc, XML_Node* element, const wchar16* name, uint32_t* value);

// Sets the attribute to DwordToHex of value.
int XML_SetAttributeHex(XML_Document* doc, XML_Node* element, const wchar16* name, uint32_t value);

// ---- Lookup and copying ----

// The first child element named name whose attribute attrName equals attrValue, both compared
// ignoring ASCII case; null when there is none.
XML_Node* XML_FindElementByAttribute(XML_Document* doc, XML_Node* parent, const wchar16* name,
                                     const wchar16* attrName, const wchar16* attrValue);

// One step below parent, found or made by mode. The step is an element name, or a selector
// "NAME;ATTR=VALUE" that takes the element by the value of one of its attributes (a created
// element gets that attribute). Null when nothing is found or made, or for an unknown mode.
XML_Node* XML_FindChild(XML_Document* doc, XML_Node* parent, const wchar16* step, int mode);

// The element at the end of a backslash-separated path below start (the root when start is
// null), each step taken with XML_FindChild and the same mode. A malformed path (empty, an empty
// step, a step before a backslash longer than 50 characters, a selector without '=', a name that
// cannot be made) gives null and creates nothing.
XML_Node* XML_Find(XML_Document* doc, XML_Node* start, const wchar16* path, int mode);

// Finds or makes XML_FindChild (doc, parent, name, mode) and copies every child of srcElement (a
// node of srcDoc, which must be another document) into it: element children are always appended,
// attributes replace those of the same name on the target (of several of one name on a source
// element, the first is copied, the one readers see). On failure the target is restored as it was
// before the call and the result is null.
XML_Node* XML_CopyElement(XML_Document* doc, XML_Node* parent, const wchar16* name,
                          XML_Document* srcDoc, XML_Node* srcElement, int mode);

// ---- Parser ----

// Parses text of length bytes (-1: up to its zero byte) into a document that has no tree yet. The
// text is borrowed: it must stay unchanged until the document is closed. 0 when the text begins
// with an element (after an optional UTF-8 byte-order mark and an optional <?xml version="1.0"?>,
// which may name the encoding "UTF-8", "windows-1252" or "ISO-8859-1" in any case, but no other),
// which becomes the root; 1 for empty
// or malformed text, nesting deeper than XML_MAX_DEPTH, or a document that already has a tree or
// text of its own. Nodes linked before an error stay in the tree.
int XML_Parse(XML_Document* doc, const char* text, int length);

// Parses the text that XML_Open read: XML_ELEMENT (5) when the root element was parsed, else 1.
// A tree from an earlier call is released first. After a failure the document is no longer
// written back by XML_Close, so a malformed file is left as it was.
int XML_OpenDocument(XML_Document* doc);

// Deepest element nesting the parser accepts (the root is at depth 1).
enum { XML_MAX_DEPTH = 256 };

// ---- Writer ----

// Writes "<?xml version=\"1.0\"?>\n" and the element root (nothing for null) into buffer, whose
// size in bytes *size gives; *size receives the size the text needs including its terminating
// zero byte. 2 when anything did not fit (always for a null buffer; what fitted is stored without
// a terminator), else 1 when a value could not be decoded or root is not an element of doc, else
// 0 with the text terminated.
int XML_Serialize(XML_Document* doc, XML_Node* root, char* buffer, int* size);

// ---- Document files ----

#ifdef _WIN32
// Opens a description file and reads it whole. writable: opened for reading and writing, created
// empty when missing, shared for reading only (so no one else can open it while it is open) and
// written back by XML_Close. Read-only: must exist, shared for reading, never written, and has no
// value store. Null when the file cannot be opened or read whole, or memory is exhausted.
XML_Document* XML_Open(const char* fileName, int writable);

// Writes a document of XML_Open back now, as XML_Close would, and keeps it open and readable;
// XML_Close then only releases it (later changes are not saved). 1 when writing back failed or
// the document would not be written back, else 0.
int XML_Save(XML_Document* doc);
#endif

// Writes a writable document back to its file when nobody serialised it since it was opened and,
// for a file that was not empty, when the document has a root (parsed, or made by the caller), so
// that a document closed unparsed never empties its file; then releases the nodes, the buffers,
// the file handle and the document (also when the write fails). 1 when writing back failed, else
// 0. Null is accepted and gives 0. A write that fails part way puts the text the file was opened
// with back.
int XML_Close(XML_Document* doc);
