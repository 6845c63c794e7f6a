#include "package/access.h"

#include <windows.h>

#include "run/log.h"
#include "system/files.h"
#include "xml/xml.h"

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
    XML_Close(opened);  // not written back: the parse failed
    SetupLogError("XML_Open: ");
    return nullptr;
  }
  XML_Node* root = XML_GetRoot(opened);
  if (root == nullptr) {
    opened->writable = 0;  // nothing parsed worth writing back
    XML_Close(opened);
    SetupLogError("XML_Open: ");
    return nullptr;
  }
  *doc = opened;
  return root;
}
