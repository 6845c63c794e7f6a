#include "install/rollback.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "install/uninstall.h"
#include "package/model.h"
#include "run/context.h"
#include "run/exit.h"
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
  RegTree* tree;  // ROLLBACK_REGTREE
  char* content;  // ROLLBACK_FILE_CONTENT
  DWORD size;
  RollbackEntry* next;
};

RollbackEntry* g_top = nullptr;

// Frees an entry and what it holds.
void Free(RollbackEntry* entry) {
  RegFreeTree(entry->tree);
  free(entry->content);
  free(entry);
}

RollbackEntry* Pop() {
  RollbackEntry* entry = g_top;
  if (entry != nullptr) g_top = entry->next;
  return entry;
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
      // Only keys this run made are pushed, so also over an installed product the key goes.
      KeyGuard software;
      if (RegOpenKeyByAccess(HKEY_LOCAL_MACHINE, "Software", KEY_ALL_ACCESS, &software.key) ==
          ERROR_SUCCESS) {
        RegDeleteKeyTree(software.key, e.path);
      }
      break;
    }
    case ROLLBACK_REGTREE:
      RegRestoreTree(HKEY_LOCAL_MACHINE, e.path, e.tree);
      break;
    case ROLLBACK_FILE_CONTENT:
      FileWriteWhole(e.path, e.content, e.size);
      break;
    default:
      break;
  }
}

// The FILE entries of a list, gathered while the walk passes them (they come first) and removed
// together before the first entry of another kind: a few threads share the deletions, and the
// files in use are scheduled for the restart afterwards, in document order.
struct Removal {
  // Which list: a rollback's files may be waiting to replace others at the restart, and the
  // uninstall list's product keys go last (SetupRemoveProductKeys).
  enum List { kAnyList, kRollbackList, kUninstallList } list = kAnyList;
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
  if (removal->list == Removal::kUninstallList && SetupIsProductKeyPath(name)) return;
  if (kind == LIST_FILE) {
    if (removal->list == Removal::kRollbackList) FileCancelScheduled(name);
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

namespace {

RollbackEntry* Push(const SetupExitContext* context, int kind, const char* path,
                    const char* secondPath) {
  RollbackEntry* entry = static_cast<RollbackEntry*>(calloc(1, sizeof(RollbackEntry)));
  if (entry == nullptr) SetupExitWith(context, 103, nullptr);
  entry->kind = kind;
  StrCopyN(entry->path, path != nullptr ? path : "", MAX_PATH);
  StrCopyN(entry->secondPath, secondPath != nullptr ? secondPath : "", MAX_PATH);
  entry->next = g_top;
  g_top = entry;
  return entry;
}

}  // namespace

void RollbackPush(const SetupExitContext* context, int kind, const char* path,
                  const char* secondPath) {
  Push(context, kind, path, secondPath);
}

void RollbackPushTree(const char* path, RegTree* tree) {
  Push(nullptr, ROLLBACK_REGTREE, path, "")->tree = tree;
}

void RollbackPushContent(const char* path, const void* data, unsigned long size) {
  char* copy = static_cast<char*>(malloc(size > 0 ? size : 1));
  if (copy == nullptr) SetupExit(nullptr, nullptr, 103, nullptr);
  memcpy(copy, data, size);
  RollbackEntry* entry = Push(nullptr, ROLLBACK_FILE_CONTENT, path, "");
  entry->content = copy;
  entry->size = static_cast<DWORD>(size);
}

int RollbackUndoNewest() {
  RollbackEntry* entry = Pop();
  if (entry == nullptr) return 0;
  const int kind = entry->kind;
  Undo(*entry);
  Free(entry);
  return kind;
}

void RollbackDiscard() {
  while (RollbackEntry* entry = Pop()) Free(entry);
}

int commitChanges() {
  // The staged files are scheduled together: one by one, each would rewrite the system's whole
  // list of moves, which an upgrade has just filled.
  FileRestartMoves moves;
  for (RollbackEntry* entry = g_top; entry != nullptr; entry = entry->next) {
    if (entry->kind == ROLLBACK_FILE && entry->secondPath[0] != 0 &&
        !FileRestartMovesAdd(&moves, entry->secondPath, entry->path)) {
      return 0;
    }
  }
  int scheduled = FileRestartMovesWrite(&moves, 1);
  if (scheduled != moves.count) {
    // Some files would come in at the restart and others not: what was scheduled is taken back,
    // and the list stays for the rollback.
    for (RollbackEntry* entry = g_top; entry != nullptr && scheduled > 0; entry = entry->next) {
      if (entry->kind != ROLLBACK_FILE || entry->secondPath[0] == 0) continue;
      FileCancelScheduled(entry->secondPath);
      --scheduled;
    }
    return 0;
  }
  // The new files take their places only at the restart.
  if (scheduled > 0) g_context.restartPending = 1;
  RollbackDiscard();
  return 1;
}

namespace {

void RemoveList(XML_Document* doc, XML_Node* common, Removal::List list) {
  Removal removal;
  removal.list = list;
  SetupWalkListEntries(doc, common, RemoveEntry, &removal);
  removal.Flush();
}

}  // namespace

void SetupRemoveListEntries(XML_Document* doc, XML_Node* common) {
  RemoveList(doc, common, Removal::kAnyList);
}

void SetupRollbackCommon(XML_Document* doc) {
  // An engine that waits beside its target is scheduled at the commit: a rollback after it
  // takes the replacement back with the file.
  RemoveList(doc, CommonOf(doc, u"ROLLBACK"), Removal::kRollbackList);
}

void SetupUnistallCommon(XML_Document* doc) {
  XML_Node* common = CommonOf(doc, u"UNINSTALL");
  // The removal fills the wait dialog's bar, one entry at a time.
  uint64_t entries = 0;
  SetupWalkListEntries(doc, common, CountEntry, &entries);
  SysProgressStep(entries);
  RemoveList(doc, common, Removal::kUninstallList);
  SysProgressItem(nullptr);
}
