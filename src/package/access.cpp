#include "package/access.h"

#include <windows.h>

#include "driver/log.h"
#include "system/files.h"
#include "xml/xml.h"

namespace {

// Releases a document that did not parse without writing it back: the write-back would replace
// the file's text by an empty document.
void Discard(XML_Document* doc) {
  doc->writable = 0;
  XML_Close(doc);
}

}  // namespace

XML_Node* XML_Access(const char* path, XML_Document** doc, int writable) {
  *doc = nullptr;
  char current[MAX_PATH];
  DWORD n = GetCurrentDirectoryA(MAX_PATH, current);
  if (n == 0 || n >= MAX_PATH) current[0] = 0;
  SetupLog("XML_ACCESS: %s - %s", current, path);
  // Checked first: opening for writing would otherwise create an empty file.
  if (!FileExists(path)) {
    SetupLogError("%s doesn't exist", path);
    return nullptr;
  }
  XML_Document* opened = XML_Open(path, writable);
  if (opened == nullptr) {
    SetupLogError("XML_Open: ");
    return nullptr;
  }
  if (XML_OpenDocument(opened) == 1) {
    SetupLogError("XML_OpenDocument");
    Discard(opened);
    SetupLogError("XML_Open: ");
    return nullptr;
  }
  XML_Node* root = XML_GetRoot(opened);
  if (root == nullptr) {
    Discard(opened);
    SetupLogError("XML_Open: ");
    return nullptr;
  }
  *doc = opened;
  return root;
}
