// Document files: a description file is read whole when it is opened, stays open and locked
// against other writers for the document's life, and is written back when it is closed.
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "system/guards.h"
#include "system/hook.h"
#include "xml/xml.h"
#include "xml/xml_internal.h"

namespace {

// Writes length bytes over the file from its start and cuts it where they end; false when a step
// fails (the cut is made also then, after a write that may have stored part of the bytes).
bool Replace(HANDLE file, const char* path, const char* bytes, DWORD length) {
  if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return false;
  DWORD written = 0;
  bool ok = SysWriteFile(file, path, bytes, length, &written) && written == length;
  if (!SysSetEndOfFile(file, path)) ok = false;
  return ok;
}

// Serialises the document and replaces the file's content with the text; 1 on failure.
int WriteBack(XML_Document* doc, HANDLE file) {
  int size = 0;
  XML_Node* root = XML_GetRoot(doc);
  if (XML_Serialize(doc, root, nullptr, &size) == 1 || size <= 0) return 1;
  HeapGuard<> text;
  text.block = malloc(static_cast<size_t>(size));
  if (text.block == nullptr) return 1;
  char* bytes = static_cast<char*>(text.block);
  if (XML_Serialize(doc, root, bytes, &size) != 0) return 1;
  bytes[size - 1] = 0;
  if (Replace(file, doc->fileName, bytes, static_cast<DWORD>(size - 1))) return 0;
  // A write that stopped half way (a full disk) leaves a text that is neither the old nor the
  // new: the file gets the text it was opened with back, for which it had room.
  Replace(file, doc->fileName, doc->source.data, static_cast<DWORD>(doc->source.length));
  return 1;
}

// Whether closing writes the document back: see XML_Close.
bool WritesBack(XML_Document* doc) {
  // Written back only when nobody serialised the document since it was opened: a caller that
  // saved it by another route did so after serialising it. A file that had content is written
  // back only when the document has a tree, parsed from it or made by the caller on purpose:
  // a document closed unparsed would replace the text by an empty one.
  bool hasTree = doc->source.length == 0 || XML_GetRoot(doc) != nullptr;
  return doc->writable && doc->output.length == 0 && hasTree;
}

}  // namespace

XML_Document* XML_Open(const char* fileName, int writable) {
  if (fileName == nullptr) return nullptr;
  HandleGuard file;
  file.handle = SysCreateFile(fileName, writable ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                              FILE_SHARE_READ, nullptr, writable ? OPEN_ALWAYS : OPEN_EXISTING, 0);
  if (file.handle == INVALID_HANDLE_VALUE) return nullptr;
  DWORD high = 0;
  DWORD size = GetFileSize(file.handle, &high);
  if ((size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) || high != 0) return nullptr;
  HeapGuard<> text;
  text.block = malloc(size > 0 ? size : 1);
  if (text.block == nullptr) return nullptr;
  HeapGuard<char> name(static_cast<char*>(malloc(strlen(fileName) + 1)));
  if (name.block == nullptr) return nullptr;
  memcpy(name.block, fileName, strlen(fileName) + 1);
  DWORD read = 0;
  if (size > 0 && (!ReadFile(file.handle, text.block, size, &read, nullptr) || read != size))
    return nullptr;

  XML_Document* doc;
  if (writable) {
    doc = XML_Create();
    if (doc == nullptr) return nullptr;
    doc->writable = 1;
  } else {
    // A read-only document has no value store: it can be read but never changed or saved.
    doc = static_cast<XML_Document*>(calloc(1, sizeof(XML_Document)));
    if (doc == nullptr) return nullptr;
  }
  doc->source.data = static_cast<char*>(text.block);
  doc->source.owned = 1;
  doc->source.position = 0;
  doc->source.length = size;
  doc->source.capacity = size;
  doc->file = file.handle;
  doc->fileName = name.block;
  name.block = nullptr;
  text.block = nullptr;
  file.handle = INVALID_HANDLE_VALUE;
  return doc;
}

int XML_Save(XML_Document* doc) {
  if (doc == nullptr || doc->file == nullptr || !WritesBack(doc)) return 1;
  int result = WriteBack(doc, static_cast<HANDLE>(doc->file));
  doc->writable = 0;
  return result;
}

int XmlFileFinish(XML_Document* doc) {
  HANDLE file = static_cast<HANDLE>(doc->file);
  int result = WritesBack(doc) ? WriteBack(doc, file) : 0;
  CloseHandle(file);
  doc->file = nullptr;
  free(doc->fileName);
  doc->fileName = nullptr;
  return result;
}
