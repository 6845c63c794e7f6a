#include "install/filecopy.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "install/journal.h"
#include "package/model.h"
#include "run/context.h"
#include "system/files.h"
#include "system/guards.h"
#include "system/hook.h"
#include "system/progress.h"
#include "system/str.h"
#include "system/workers.h"
#include "xml/xml.h"

namespace {

// Replaces every find in text, resuming behind each inserted value. False when one did not fit.
bool ReplaceForward(char* text, int capacity, const char* find, const char* value) {
  size_t findLength = strlen(find);
  size_t valueLength = strlen(value);
  size_t length = strlen(text);
  size_t pos = 0;
  for (;;) {
    char* at = strstr(text + pos, find);
    if (at == nullptr) return true;
    size_t index = static_cast<size_t>(at - text);
    if (length - findLength + valueLength + 1 > static_cast<size_t>(capacity)) return false;
    memmove(at + valueLength, at + findLength, length - index - findLength + 1);
    memcpy(at, value, valueLength);
    length = length - findLength + valueLength;
    pos = index + valueLength;
  }
}

bool ReadVars(XML_Document* doc, TargetVars* vars) {
  int size = sizeof vars->installDir;
  if (!SetupGetInstallPath(doc, vars->installDir, &size)) return false;
  size_t len = strlen(vars->installDir);
  if (len > 0 && vars->installDir[len - 1] == '\\') vars->installDir[len - 1] = 0;
  UINT n = GetWindowsDirectoryA(vars->windowsDir, sizeof vars->windowsDir);
  if (n == 0 || n >= sizeof vars->windowsDir) return false;
  n = GetSystemDirectoryA(vars->systemDir, sizeof vars->systemDir);
  if (n == 0 || n >= sizeof vars->systemDir) return false;
  StrCopyN(vars->driversDir, vars->systemDir, sizeof vars->driversDir);
  StrAppendN(vars->driversDir, "\\drivers", sizeof vars->driversDir);
  return true;
}

bool Read(XML_Document* doc, XML_Node* element, const wchar16* name, char* buffer, int size) {
  int n = size;
  return XML_GetAttributeA(doc, element, name, buffer, &n) == 0;
}

bool Set(XML_Document* doc, XML_Node* element, const wchar16* name, const char* text) {
  return XML_SetAttributeA(doc, element, name, text) == 0;
}

// Reads TARGET, expands it and writes the expanded form back.
bool ExpandedTarget(XML_Document* doc, XML_Node* element, const TargetVars& vars, char* target) {
  if (!Read(doc, element, u"TARGET", target, MAX_PATH)) return false;
  SetupExpandTargetVars(target, MAX_PATH, vars);
  return Set(doc, element, u"TARGET", target);
}

bool EqualsNoCase(const char* status, const char* value) { return lstrcmpiA(status, value) == 0; }

// A path inside the install folder (whose text has no trailing backslash here).
bool InsideInstallFolder(const char* path, const TargetVars& vars) {
  size_t n = strlen(vars.installDir);
  return n > 0 && strlen(path) > n + 1 &&
         CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, path, static_cast<int>(n),
                        vars.installDir, static_cast<int>(n)) == CSTR_EQUAL &&
         path[n] == '\\';
}

bool CopyFolders(XML_Document* doc, XML_Node* files, const TargetVars& vars) {
  XML_Node* cursor = nullptr;
  for (XML_Node* dir = XML_NextElement(files, u"DIR", &cursor); dir != nullptr;
       dir = XML_NextElement(files, u"DIR", &cursor)) {
    char target[MAX_PATH];
    if (!ExpandedTarget(doc, dir, vars, target)) return false;
    bool existed = false;
    if (!SysCreateDirectory(target, nullptr)) {
      if (GetLastError() == ERROR_ALREADY_EXISTS) {
        existed = true;
      } else if (!FileCreateFolderPath(target)) {
        return false;
      }
    }
    if (!Set(doc, dir, u"STATUS", existed ? "EXISTS" : "CREATED")) return false;
    // A folder that was there before belongs to the product only inside its own folder; a shared
    // folder such as the System folder must survive the uninstallation.
    if (!existed || InsideInstallFolder(target, vars)) SetupAddUninstall(doc, target, LIST_DIR);
  }
  return true;
}

// One file's copy, run on a worker; the document is read and written by the main thread only.
struct CopyJob {
  WorkerJob job;
  XML_Node* file;
  char source[MAX_PATH];
  char target[MAX_PATH];
  char alternate[MAX_PATH];
  LONG* stop;
  LONG state;  // kNotRun, kCopied or kFailed
  int listed;  // the target's folder listed it before the copies began
};

enum { kNotRun = 0, kCopied = 1, kFailed = 2 };

void RunCopy(void* arg) {
  CopyJob* c = static_cast<CopyJob*>(arg);
  // After the first failure no new copy starts; those already running finish.
  if (InterlockedCompareExchange(c->stop, 0, 0) != 0) return;
  SysProgressItem(c->target);
  if (!FileCopyBesideListed(c->source, c->target, c->listed, c->alternate, sizeof c->alternate)) {
    c->state = kFailed;
    InterlockedExchange(c->stop, 1);
    return;
  }
  FileDecryptIfEncrypted(c->alternate[0] != 0 ? c->alternate : c->target);
  c->state = kCopied;
  SysProgressAdd(1);
}

// The lane of a copy: copies that could write the same file (the same target, or targets whose
// alternate names beside them are the same, as "lib.dll" and "xib.dll" both wait as "_ib.d00")
// keep their document order on one worker, so the alternate names come out as one at a time.
unsigned CopyLane(const char* target) {
  const char* name = strrchr(target, '\\');
  name = name != nullptr ? name + 1 : target;
  const char* dot = strrchr(name, '.');
  if (dot == nullptr || name[0] == 0) return WorkerLaneOf(target, strlen(target));
  size_t keep = static_cast<size_t>(dot - target) + (dot[1] != 0 ? 2 : 1);
  unsigned lane = WorkerLaneOf(target, static_cast<size_t>(name - target));
  return lane ^ (WorkerLaneOf(name + 1, keep - static_cast<size_t>(name + 1 - target)) * 31u);
}

// Writes the outcome of a finished copy into the document.
bool RecordCopy(XML_Document* doc, const CopyJob& c, const TargetVars& vars, FileNames* names) {
  // A file that was there before is the product's only inside its own folder: a shared library
  // updated in the System folder must not be deleted at uninstallation.
  if (c.alternate[0] == 0 || InsideInstallFolder(c.target, vars)) {
    // The short names come from one listing per target folder: asked file by file, each costs a
    // walk of its path. A short name that another file shares is no name for this one: then the
    // long name is recorded.
    char recorded[MAX_PATH];
    if (names->ShortForm(c.target, recorded) != 0) {
      SetupAddUninstallRecorded(doc, recorded, LIST_FILE);
    } else {
      SetupAddUninstall(doc, c.target, LIST_FILE);
    }
  }
  if (c.alternate[0] == 0) {
    if (!Set(doc, c.file, u"STATUS", "COPIED")) return false;
  } else if (!Set(doc, c.file, u"STATUS", "PREPARED") ||
             !Set(doc, c.file, u"TMP_NAME", c.alternate)) {
    return false;
  }
  return true;
}

bool CopyComponentFiles(XML_Document* doc, XML_Node* files, const TargetVars& vars,
                        WorkerPool* pool) {
  char folder[MAX_PATH];
  if (!Read(doc, files, u"SETUPDIR", folder, sizeof folder)) return false;
  char* slash = strrchr(folder, '\\');
  if (slash == nullptr) return false;
  slash[1] = 0;
  int count = 0;
  XML_Node* cursor = nullptr;
  while (XML_NextElement(files, u"FILE", &cursor) != nullptr) ++count;
  HeapGuard<CopyJob> jobs(
      static_cast<CopyJob*>(calloc(static_cast<size_t>(count) + 1, sizeof(CopyJob))));
  if (jobs.block == nullptr) return false;
  LONG stop = 0;
  bool ok = true;
  int listed = 0;
  // The target folders are listed before the first copy: a file whose target is there goes beside
  // it at once (an upgrade), instead of first failing on the target.
  FileNames before;
  cursor = nullptr;
  for (XML_Node* file = XML_NextElement(files, u"FILE", &cursor); file != nullptr && listed < count;
       file = XML_NextElement(files, u"FILE", &cursor)) {
    CopyJob& c = jobs.block[listed];
    char name[MAX_PATH];
    if (!Read(doc, file, u"SOURCE", name, sizeof name) ||
        !ExpandedTarget(doc, file, vars, c.target)) {
      ok = false;
      break;
    }
    StrCopyN(c.source, folder, sizeof c.source);
    StrAppendN(c.source, name, sizeof c.source);
    c.file = file;
    c.stop = &stop;
    c.listed = before.Lists(c.target);
    c.job.fn = RunCopy;
    c.job.arg = &c;
    ++listed;
  }
  int queued = 0;
  for (; queued < listed && InterlockedCompareExchange(&stop, 0, 0) == 0; ++queued) {
    CopyJob& c = jobs.block[queued];
    if (pool != nullptr) {
      WorkerPoolSubmit(pool, CopyLane(c.target), &c.job);
    } else {
      RunCopy(&c);
      SysProgressPump();
    }
  }
  if (pool != nullptr) WorkerPoolDrain(pool);
  // Every copy that finished gets its status, in document order, so that the rollback undoes
  // exactly what exists.
  FileNames names;
  for (int i = 0; i < queued; ++i) {
    const CopyJob& c = jobs.block[i];
    if (c.state == kCopied) {
      if (!RecordCopy(doc, c, vars, &names)) ok = false;
    } else if (c.state == kFailed) {
      ok = false;
    }
  }
  return ok && stop == 0;
}

// The first FILES of every component, in document order.
template <typename Fn>
bool EachFiles(XML_Document* doc, Fn fn) {
  XML_Node* components = XML_Find(doc, nullptr, u"PACKAGE\\COMPONENTS", XML_OPEN_EXISTING);
  if (components == nullptr) return false;
  XML_Node* cursor = nullptr;
  for (XML_Node* c = XML_NextElement(components, u"COMPONENT", &cursor); c != nullptr;
       c = XML_NextElement(components, u"COMPONENT", &cursor)) {
    XML_Node* filesCursor = nullptr;
    XML_Node* files = XML_NextElement(c, u"FILES", &filesCursor);
    if (files != nullptr && !fn(files)) return false;
  }
  return true;
}

// Writes what the copies of every component may create into the journal, expanding the targets.
bool WriteJournal(XML_Document* doc, const TargetVars& vars) {
  SetupJournalLines lines;
  bool read = EachFiles(doc, [&](XML_Node* files) {
    XML_Node* cursor = nullptr;
    char target[MAX_PATH];
    for (XML_Node* dir = XML_NextElement(files, u"DIR", &cursor); dir != nullptr;
         dir = XML_NextElement(files, u"DIR", &cursor)) {
      if (!ExpandedTarget(doc, dir, vars, target)) return false;
      lines.Folder(target);
    }
    cursor = nullptr;
    for (XML_Node* file = XML_NextElement(files, u"FILE", &cursor); file != nullptr;
         file = XML_NextElement(files, u"FILE", &cursor)) {
      if (!ExpandedTarget(doc, file, vars, target)) return false;
      lines.File(target);
    }
    return true;
  });
  return read && SetupJournalWrite(lines);
}

}  // namespace

void SetupExpandTargetVars(char* text, int capacity, const TargetVars& vars) {
  ReplaceForward(text, capacity, "%INSTALLDIR%", vars.installDir) &&
      ReplaceForward(text, capacity, "%WINDOWSDIR%", vars.windowsDir) &&
      ReplaceForward(text, capacity, "%SYSTEMDIR%", vars.systemDir) &&
      ReplaceForward(text, capacity, "%DRIVERSDIR%", vars.driversDir);
}

int SetupCopyFiles(XML_Document* doc) {
  TargetVars vars;
  if (!ReadVars(doc, &vars) || !WriteJournal(doc, vars)) return 0;
  // Copies run on a few threads; without threads they run here, one after the other. The workers
  // decrypt what they copy, with an entry resolved here before they start.
  FileResolveDecrypt();
  // The wait dialog's bar fills with the files copied.
  uint64_t count = 0;
  EachFiles(doc, [&](XML_Node* files) {
    XML_Node* cursor = nullptr;
    while (XML_NextElement(files, u"FILE", &cursor) != nullptr) ++count;
    return true;
  });
  SysProgressStep(count);
  WorkerPool* pool = WorkerPoolStart(WorkerCount(), 0);
  bool ok = EachFiles(doc, [&](XML_Node* files) {
    return CopyFolders(doc, files, vars) && CopyComponentFiles(doc, files, vars, pool);
  });
  WorkerPoolStop(pool);
  SysProgressItem(nullptr);
  return ok ? 1 : 0;
}

int SetupCommitChanges(XML_Document* doc) {
  // One walk checks that every waiting file is there, so that a commit cannot stop half-way and
  // leave old and new files mixed after the restart, and gathers the replacements in document
  // order; they are then scheduled together and marked as far as they were scheduled.
  FileRestartMoves moves;
  int capacity = 0;
  HeapGuard<XML_Node*> prepared;
  bool ok = EachFiles(doc, [&](XML_Node* files) {
    XML_Node* cursor = nullptr;
    for (XML_Node* file = XML_NextElement(files, u"FILE", &cursor); file != nullptr;
         file = XML_NextElement(files, u"FILE", &cursor)) {
      char status[64];
      char target[MAX_PATH];
      char alternate[MAX_PATH];
      if (!Read(doc, file, u"STATUS", status, sizeof status) ||
          !Read(doc, file, u"TARGET", target, sizeof target)) {
        return false;
      }
      if (!EqualsNoCase(status, "PREPARED")) continue;
      if (!Read(doc, file, u"TMP_NAME", alternate, sizeof alternate) ||
          GetFileAttributesA(alternate) == INVALID_FILE_ATTRIBUTES) {
        return false;
      }
      if (moves.count == capacity) {
        capacity = capacity == 0 ? 64 : capacity * 2;
        XML_Node** grown = static_cast<XML_Node**>(
            realloc(prepared.block, static_cast<size_t>(capacity) * sizeof(XML_Node*)));
        if (grown == nullptr) return false;
        prepared.block = grown;
      }
      prepared.block[moves.count] = file;
      if (!FileRestartMovesAdd(&moves, alternate, target)) return false;
    }
    return true;
  });
  if (!ok) return 0;
  int scheduled = FileRestartMovesWrite(&moves, 1);
  if (scheduled > 0) g_context.restartPending = 1;
  for (int i = 0; i < scheduled; ++i) {
    if (!Set(doc, prepared.block[i], u"STATUS", "REGISTERED")) return 0;
  }
  return scheduled == moves.count ? 1 : 0;
}

void SetupRollbackFiles(XML_Document* doc) {
  EachFiles(doc, [&](XML_Node* files) {
    XML_Node* cursor = nullptr;
    for (XML_Node* file = XML_NextElement(files, u"FILE", &cursor); file != nullptr;
         file = XML_NextElement(files, u"FILE", &cursor)) {
      char status[64];
      char target[MAX_PATH];
      if (!Read(doc, file, u"TARGET", target, sizeof target) ||
          !Read(doc, file, u"STATUS", status, sizeof status)) {
        continue;
      }
      char alternate[MAX_PATH];
      if (EqualsNoCase(status, "COPIED")) {
        SysDeleteFile(target);
      } else if ((EqualsNoCase(status, "PREPARED") || EqualsNoCase(status, "REGISTERED")) &&
                 Read(doc, file, u"TMP_NAME", alternate, sizeof alternate)) {
        // A replacement already scheduled is taken back first: the restart would otherwise
        // bring the new file of a failed installation in.
        if (EqualsNoCase(status, "REGISTERED")) FileCancelScheduled(alternate);
        SysDeleteFile(alternate);
      }
    }
    // Folders go from the last to the first, so a created subfolder listed after its created
    // parent is removed before it and the parent does not stay behind.
    int count = 0;
    cursor = nullptr;
    while (XML_NextElement(files, u"DIR", &cursor) != nullptr) ++count;
    HeapGuard<XML_Node*> dirs(
        static_cast<XML_Node**>(malloc(static_cast<size_t>(count + 1) * sizeof(XML_Node*))));
    if (dirs.block == nullptr) return true;
    int n = 0;
    cursor = nullptr;
    for (XML_Node* dir = XML_NextElement(files, u"DIR", &cursor); dir != nullptr && n < count;
         dir = XML_NextElement(files, u"DIR", &cursor)) {
      dirs.block[n++] = dir;
    }
    while (n-- > 0) {
      char status[64];
      char target[MAX_PATH];
      if (Read(doc, dirs.block[n], u"STATUS", status, sizeof status) &&
          EqualsNoCase(status, "CREATED") &&
          Read(doc, dirs.block[n], u"TARGET", target, sizeof target)) {
        SysRemoveDirectory(target);
      }
    }
    return true;
  });
}
