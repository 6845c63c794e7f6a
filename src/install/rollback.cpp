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
#include "system/progress.h"
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

// The FILE entries of a list, gathered while the walk passes them (they come first) and removed
// together before the first entry of another kind: a few threads share the deletions, and the
// files in use are scheduled for the restart afterwards, in document order.
struct Removal {
  HeapGuard<char> names;  // MAX_PATH bytes each
  int count = 0;
  int capacity = 0;

  void Add(const char* name) {
    if (count == capacity) {
      int grown = capacity == 0 ? 256 : capacity * 2;
      char* block = static_cast<char*>(realloc(names.block, static_cast<size_t>(grown) * MAX_PATH));
      // Without memory for the batch, the file goes on its own.
      if (block == nullptr) {
        FileDeleteOrSchedule(name);
        return;
      }
      names.block = block;
      capacity = grown;
    }
    StrCopyN(names.block + static_cast<size_t>(count++) * MAX_PATH, name, MAX_PATH);
  }

  void Flush() {
    if (count == 0) return;
    HeapGuard<const char*> paths(
        static_cast<const char**>(malloc(static_cast<size_t>(count) * sizeof(char*))));
    for (int i = 0; i < count; ++i) {
      const char* name = names.block + static_cast<size_t>(i) * MAX_PATH;
      if (paths.block != nullptr) {
        paths.block[i] = name;
      } else {
        FileDeleteOrSchedule(name);
      }
    }
    if (paths.block != nullptr) FileDeleteOrScheduleAll(paths.block, count);
    count = 0;
  }
};

// Removes one list entry, scheduling what is in use for the restart.
void RemoveEntry(void* context, int kind, const char* name) {
  Removal* removal = static_cast<Removal*>(context);
  if (kind == LIST_FILE) {
    removal->Add(name);
    return;
  }
  removal->Flush();
  if (kind == LIST_DIR_AND_CONTENTS || kind == LIST_DIR) SysProgressItem(name);
  switch (kind) {
    case LIST_DIR_AND_CONTENTS:
      FileDeleteMatching(name, 1, "*.*", 1);
      break;
    case LIST_DIR:
      DirRemoveOrSchedule(name);
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
  SysProgressAdd(1);
  SysProgressPump();
}

void CountEntry(void* context, int, const char*) { ++*static_cast<uint64_t*>(context); }

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
  Removal removal;
  SetupWalkListEntries(doc, common, RemoveEntry, &removal);
  removal.Flush();
}

void SetupRollbackCommon(XML_Document* doc) {
  SetupRemoveListEntries(doc, CommonOf(doc, u"ROLLBACK"));
}

void SetupUnistallCommon(XML_Document* doc) {
  XML_Node* common = CommonOf(doc, u"UNINSTALL");
  // The removal fills the wait dialog's bar, one entry at a time.
  uint64_t entries = 0;
  SetupWalkListEntries(doc, common, CountEntry, &entries);
  SysProgressStep(entries);
  SetupRemoveListEntries(doc, common);
  SysProgressItem(nullptr);
}
