#include "install/rollback.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "driver/context.h"
#include "driver/exit.h"
#include "driver/libdrive.h"
#include "driver/libraries.h"
#include "driver/sequence.h"
#include "install/filecopy.h"
#include "package/access.h"
#include "package/model.h"
#include "settings/settings.h"
#include "system/files.h"
#include "system/guards.h"
#include "system/hook.h"
#include "system/registry.h"
#include "system/str.h"
#include "xml/xml.h"

namespace {

struct RollbackEntry {
  int kind;
  char path[MAX_PATH];
  char secondPath[MAX_PATH];
  RollbackEntry* next;
};

RollbackEntry* g_top = nullptr;
bool g_rolledBack = false;

RollbackEntry* Pop() {
  RollbackEntry* entry = g_top;
  if (entry != nullptr) g_top = entry->next;
  return entry;
}

// The narrow copy of the global.xml path.
void GlobalPath(char* out) {
  out[0] = 0;
  if (g_context.globalXmlPath != nullptr) {
    WideToAnsi(out, reinterpret_cast<const wchar16*>(g_context.globalXmlPath), MAX_PATH);
  }
}

void Undo(const RollbackEntry& e) {
  switch (e.kind) {
    case ROLLBACK_FILE:
      SysDeleteFile(e.secondPath[0] != 0 ? e.secondPath : e.path);
      break;
    case ROLLBACK_FOLDER:
      SysRemoveDirectory(e.path);
      break;
    case ROLLBACK_REGKEY: {
      // Keys of an installation that was there before this run are never taken away.
      if (g_context.productInstalled) break;
      KeyGuard software;
      if (RegOpenKeyByAccess(HKEY_LOCAL_MACHINE, "Software", KEY_ALL_ACCESS, &software.key) ==
          ERROR_SUCCESS) {
        RegDeleteKeyTree(software.key, e.path);
      }
      break;
    }
    case ROLLBACK_FILE_TRANSACTION: {
      char path[MAX_PATH];
      GlobalPath(path);
      XML_Document* doc = nullptr;
      if (path[0] != 0 && XML_Access(path, &doc, 0) != nullptr) {
        SetupRollbackFiles(doc);
        SetupRollbackCommon(doc);
        XML_Close(doc);
      }
      break;
    }
    case ROLLBACK_COMPONENTS:
      ExeLibsCommand(CMD_ROLLBACK, EXELIBS_PACKAGE);
      break;
    default:
      break;
  }
}

// An entry a removal may act on: a name, and for files and folders an absolute path (a relative
// one would be resolved against whatever the current folder is, often the System folder). A key
// directly below a root ("HKLM\SOFTWARE") is never a product's own, and removing its tree would
// take every other program's settings with it.
bool Removable(int kind, const char* name) {
  if (name[0] == 0) return false;
  if (kind == LIST_FILE || kind == LIST_DIR || kind == LIST_DIR_AND_CONTENTS) {
    return StrIsAbsolutePath(name) != 0;
  }
  if (kind == LIST_REGKEY) {
    const char* first = strchr(name, '\\');
    const char* second = first != nullptr ? strchr(first + 1, '\\') : nullptr;
    return second != nullptr && second[1] != 0;
  }
  return true;
}

// Reads the NAME of entry into name (MAX_PATH bytes); false when it cannot be read or may not be
// acted on.
bool EntryName(XML_Document* doc, XML_Node* entry, int kind, char* name) {
  int size = MAX_PATH;
  if (XML_GetAttributeA(doc, entry, u"NAME", name, &size) != 0) return false;
  return Removable(kind, name);
}

int CompareNoCase(const void* a, const void* b) {
  return lstrcmpiA(*static_cast<char* const*>(a), *static_cast<char* const*>(b));
}

void RemoveFolders(XML_Document* doc, XML_Node* common) {
  int count = 0;
  XML_Node* cursor = nullptr;
  while (XML_NextElement(common, u"DIR", &cursor) != nullptr) ++count;
  if (count == 0) return;
  HeapGuard<char> names(static_cast<char*>(malloc(static_cast<size_t>(count) * MAX_PATH)));
  HeapGuard<char*> order(static_cast<char**>(malloc(static_cast<size_t>(count) * sizeof(char*))));
  if (names.block == nullptr || order.block == nullptr) return;
  int n = 0;
  cursor = nullptr;
  for (XML_Node* e = XML_NextElement(common, u"DIR", &cursor); e != nullptr && n < count;
       e = XML_NextElement(common, u"DIR", &cursor)) {
    char* name = names.block + static_cast<size_t>(n) * MAX_PATH;
    if (EntryName(doc, e, LIST_DIR, name)) order.block[n++] = name;
  }
  // A subfolder sorts after its parent: removing from the end takes the deepest first.
  qsort(order.block, static_cast<size_t>(n), sizeof(char*), CompareNoCase);
  for (int i = n - 1; i >= 0; --i) DirRemoveOrSchedule(order.block[i]);
}

void RemoveKind(XML_Document* doc, XML_Node* common, int kind) {
  XML_Node* cursor = nullptr;
  const wchar16* element = SetupListKindName(kind);
  for (XML_Node* e = XML_NextElement(common, element, &cursor); e != nullptr;
       e = XML_NextElement(common, element, &cursor)) {
    char name[MAX_PATH];
    if (!EntryName(doc, e, kind, name)) continue;
    switch (kind) {
      case LIST_FILE:
        FileDeleteOrSchedule(name);
        break;
      case LIST_DIR_AND_CONTENTS:
        FileDeleteMatching(name, 1, "*.*", 1);
        break;
      case LIST_REGKEY:
        RegRemoveItem(name, 0);
        break;
      case LIST_REGVAL:
        RegRemoveItem(name, 1);
        break;
      case LIST_REGKEY_IF_EMPTY:
        RegRemoveItem(name, 2);
        break;
      default:
        break;
    }
  }
}

XML_Node* CommonOf(XML_Document* doc, const wchar16* list) {
  XML_Node* section = XML_Find(doc, nullptr, list, XML_OPEN_ALWAYS);
  return section != nullptr ? XML_FindChild(doc, section, u"COMMON", XML_OPEN_ALWAYS) : nullptr;
}

}  // namespace

void RollbackPush(const SetupExitContext* context, int kind, const char* path,
                  const char* secondPath) {
  RollbackEntry* entry = static_cast<RollbackEntry*>(calloc(1, sizeof(RollbackEntry)));
  if (entry == nullptr) SetupExitWith(context, 103, nullptr);
  entry->kind = kind;
  StrCopyN(entry->path, path != nullptr ? path : "", MAX_PATH);
  StrCopyN(entry->secondPath, secondPath != nullptr ? secondPath : "", MAX_PATH);
  entry->next = g_top;
  g_top = entry;
}

void rollBackAll() {
  if (g_rolledBack) return;
  g_rolledBack = true;
  while (RollbackEntry* entry = Pop()) {
    Undo(*entry);
    free(entry);
  }
}

void RollbackDiscard() {
  while (RollbackEntry* entry = Pop()) free(entry);
}

void commitChanges() {
  // The staged files are scheduled together: one by one, each would rewrite the system's whole
  // list of moves, which an upgrade has just filled.
  FileRestartMoves moves;
  while (RollbackEntry* entry = Pop()) {
    if (entry->kind == ROLLBACK_FILE && entry->secondPath[0] != 0) {
      FileRestartMovesAdd(&moves, entry->secondPath, entry->path);
    }
    free(entry);
  }
  // The new files take their places only at the restart.
  if (FileRestartMovesWrite(&moves, 0) > 0) g_context.restartPending = 1;
}

void SetupRemoveListEntries(XML_Document* doc, XML_Node* common) {
  if (common == nullptr) return;
  RemoveKind(doc, common, LIST_FILE);
  RemoveKind(doc, common, LIST_DIR_AND_CONTENTS);
  RemoveFolders(doc, common);
  RemoveKind(doc, common, LIST_REGKEY);
  RemoveKind(doc, common, LIST_REGVAL);
  RemoveKind(doc, common, LIST_REGKEY_IF_EMPTY);
}

void SetupRollbackCommon(XML_Document* doc) {
  SetupRemoveListEntries(doc, CommonOf(doc, u"ROLLBACK"));
}

void SetupUnistallCommon(XML_Document* doc) {
  SetupRemoveListEntries(doc, CommonOf(doc, u"UNINSTALL"));
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
      char name[MAX_PATH];
      if (EntryName(doc, e, kind, name)) SetupAddListEntry(doc, uninstall, name, kind);
    }
  }
}

int SetupKeepRemovableEntries(XML_Document* doc, XML_Node* list) {
  XML_Node* common = XML_FindChild(doc, list, u"COMMON", XML_OPEN_EXISTING);
  if (common == nullptr) return 1;
  // Read the entries that may stay, then write them back in their order.
  int count = XML_CountElements(common);
  struct Kept {
    int kind;
    char name[MAX_PATH];
  };
  HeapGuard<Kept> kept(static_cast<Kept*>(malloc(static_cast<size_t>(count + 1) * sizeof(Kept))));
  if (kept.block == nullptr) return 0;
  int n = 0;
  bool dropped = false;
  XML_Node* cursor = nullptr;
  for (XML_Node* e = XML_NextElement(common, nullptr, &cursor); e != nullptr;
       e = XML_NextElement(common, nullptr, &cursor)) {
    int kind = SetupListKindOf(e->name);
    if (kind < 0 || !EntryName(doc, e, kind, kept.block[n].name)) {
      dropped = true;
      continue;
    }
    kept.block[n++].kind = kind;
  }
  if (!dropped) return 1;
  XML_DeleteChildren(common);
  for (int i = 0; i < n; ++i) {
    XML_Node* e = XML_AddElement(common, SetupListKindName(kept.block[i].kind));
    if (e == nullptr || XML_SetAttributeA(doc, e, u"NAME", kept.block[i].name) != 0) return 0;
  }
  return 1;
}
