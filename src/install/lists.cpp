#include "install/lists.h"

#include <stdlib.h>
#include <string.h>

#include "package/model.h"
#include "settings/settings.h"
#include "system/guards.h"
#include "system/str.h"
#include "xml/xml.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// Entry names are read as paths: at most this many bytes with the terminator.
const int kNameSize = 260;

// An entry a removal may act on: a name, and for files and folders an absolute path (a relative
// one would be resolved against whatever the current folder is, often the System folder). A key
// directly below a root ("HKLM\SOFTWARE"), in whatever spelling, is never a product's own, and
// removing its tree would take every other program's settings with it.
bool Removable(int kind, const char* name) {
  if (name[0] == 0) return false;
  if (kind == LIST_FILE || kind == LIST_DIR || kind == LIST_DIR_AND_CONTENTS) {
    return StrIsAbsolutePath(name) != 0;
  }
  if (kind == LIST_REGKEY) {
    // At least two names below the root, none of them empty: the removal opens the text between
    // the root and the last name, and an empty one ("HKLM\\SOFTWARE") opens the root itself.
    const char* first = strchr(name, '\\');
    if (first == nullptr) return false;
    int names = 0;
    for (const char* p = first + 1;; ++names) {
      const char* end = strchr(p, '\\');
      if (end == p || *p == 0) return false;
      if (end == nullptr) return names >= 1;
      p = end + 1;
    }
  }
  return true;
}

// Reads the NAME of entry into name (kNameSize bytes); false when it cannot be read or may not be
// acted on.
bool EntryName(XML_Document* doc, XML_Node* entry, int kind, char* name) {
  int size = kNameSize;
  if (XML_GetAttributeA(doc, entry, u"NAME", name, &size) != 0) return false;
  return Removable(kind, name);
}

int CompareNoCase(const void* a, const void* b) {
  const char* x = *static_cast<char* const*>(a);
  const char* y = *static_cast<char* const*>(b);
#ifdef _WIN32
  return lstrcmpiA(x, y);
#else
  // The portable build sorts as the system does for ASCII names.
  return StrCompareNoCaseAscii(x, y, static_cast<size_t>(kNameSize));
#endif
}

void WalkFolders(XML_Document* doc, XML_Node* common, SetupListAction act, void* context) {
  int count = 0;
  XML_Node* cursor = nullptr;
  while (XML_NextElement(common, u"DIR", &cursor) != nullptr) ++count;
  if (count == 0) return;
  HeapGuard<char> names(static_cast<char*>(malloc(static_cast<size_t>(count) * kNameSize)));
  HeapGuard<char*> order(static_cast<char**>(malloc(static_cast<size_t>(count) * sizeof(char*))));
  if (names.block == nullptr || order.block == nullptr) return;
  int n = 0;
  cursor = nullptr;
  for (XML_Node* e = XML_NextElement(common, u"DIR", &cursor); e != nullptr && n < count;
       e = XML_NextElement(common, u"DIR", &cursor)) {
    char* name = names.block + static_cast<size_t>(n) * kNameSize;
    if (EntryName(doc, e, LIST_DIR, name)) order.block[n++] = name;
  }
  // A subfolder sorts after its parent: removing from the end takes the deepest first.
  qsort(order.block, static_cast<size_t>(n), sizeof(char*), CompareNoCase);
  for (int i = n - 1; i >= 0; --i) act(context, LIST_DIR, order.block[i]);
}

void WalkKind(XML_Document* doc, XML_Node* common, int kind, SetupListAction act, void* context) {
  XML_Node* cursor = nullptr;
  const wchar16* element = SetupListKindName(kind);
  for (XML_Node* e = XML_NextElement(common, element, &cursor); e != nullptr;
       e = XML_NextElement(common, element, &cursor)) {
    char name[kNameSize];
    if (EntryName(doc, e, kind, name)) act(context, kind, name);
  }
}

// An entry of the six kinds that a removal passes over. Every other child stays as it stands: a
// component library may list there, in elements of its own, what its uninstall removes.
int PassedOver(XML_Node* entry, void* context) {
  int kind = SetupListKindOf(entry->name);
  char name[kNameSize];
  return kind >= 0 && !EntryName(static_cast<XML_Document*>(context), entry, kind, name) ? 1 : 0;
}

}  // namespace

void SetupWalkListEntries(XML_Document* doc, XML_Node* common, SetupListAction act, void* context) {
  if (common == nullptr) return;
  WalkKind(doc, common, LIST_FILE, act, context);
  WalkKind(doc, common, LIST_DIR_AND_CONTENTS, act, context);
  WalkFolders(doc, common, act, context);
  WalkKind(doc, common, LIST_REGKEY, act, context);
  WalkKind(doc, common, LIST_REGVAL, act, context);
  WalkKind(doc, common, LIST_REGKEY_IF_EMPTY, act, context);
}

void SetupMergeUnistallInfo(XML_Document* doc) {
  XML_Node* rollback = XML_Find(doc, nullptr, u"ROLLBACK", XML_OPEN_ALWAYS);
  XML_Node* uninstall = XML_Find(doc, nullptr, u"UNINSTALL", XML_OPEN_ALWAYS);
  if (rollback == nullptr || uninstall == nullptr) return;
  CFG_Merge(doc, uninstall, doc, rollback, 1, 1);
  XML_Node* common = XML_FindChild(doc, rollback, u"COMMON", XML_OPEN_ALWAYS);
  for (int kind = LIST_FILE; kind <= LIST_REGKEY_IF_EMPTY; ++kind) {
    const wchar16* element = SetupListKindName(kind);
    XML_Node* cursor = nullptr;
    for (XML_Node* e = XML_NextElement(common, element, &cursor); e != nullptr;
         e = XML_NextElement(common, element, &cursor)) {
      char name[kNameSize];
      if (EntryName(doc, e, kind, name)) SetupAddListEntry(doc, uninstall, name, kind);
    }
  }
}

int SetupKeepRemovableEntries(XML_Document* doc, XML_Node* list) {
  XML_Node* common = XML_FindChild(doc, list, u"COMMON", XML_OPEN_EXISTING);
  if (common != nullptr) XML_DeleteElements(common, PassedOver, doc);
  return 1;
}
