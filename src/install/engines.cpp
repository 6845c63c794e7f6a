#include "install/engines.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "install/journal.h"
#include "package/access.h"
#include "package/extract.h"
#include "package/model.h"
#include "run/context.h"
#include "run/log.h"
#include "run/vislib.h"
#include "system/files.h"
#include "system/guards.h"
#include "system/hook.h"
#include "system/registry.h"
#include "system/str.h"
#include "xml/xml.h"

namespace {

EngineEntry* First() { return static_cast<EngineEntry*>(g_context.engineList); }

// The next disk's folder: a copy of diskFolder with its digit set to number (1 to 9).
void DiskFolder(const char* diskFolder, int number, char* out, int size) {
  StrCopyN(out, diskFolder, size);
  char* digit = strpbrk(out, "0123456789 ");
  if (digit != nullptr) *digit = static_cast<char>('0' + number);
}

void Join(char* out, const char* folder, const char* name) {
  StrCopyN(out, folder, MAX_PATH);
  StrAppendN(out, name, MAX_PATH);
}

// Finds the container: the setup folder, the last data disk, then the disks after the one last
// used. 0 with the path in source, or 202.
int FindContainer(const EngineEntry& entry, const char* diskFolder, int* lastDisk, char* source) {
  StrCopyN(source, entry.name, MAX_PATH);
  SetupMakeAbsolute(source, 0);
  if (FileExists(source)) return 0;
  Join(source, diskFolder, entry.name);
  if (FileExists(source)) return 0;
  int next = *lastDisk + 1;
  // Disk numbers are one digit: no disk after the ninth can be asked for.
  if (next > 9) return 202;
  char folder[MAX_PATH];
  DiskFolder(diskFolder, next, folder, sizeof folder);
  Join(source, folder, entry.name);
  while (!FileExists(source)) {
    if (g_options.silent) return 202;
    if (VisShowMsg(202, nullptr, MB_OKCANCEL) == IDCANCEL) return 202;
  }
  *lastDisk = next;
  return 0;
}

// The container's keys, read from its information file, which is then deleted.
void ReadInfo(EngineEntry* entry, const char* info) {
  char text[64];
  GetPrivateProfileStringA("update_info", "build", "", text, sizeof text, info);
  // An unsigned 32-bit number: "4294967295" and "-1" both mean all bits set.
  entry->build = static_cast<uint32_t>(strtoll(text, nullptr, 10));
  GetPrivateProfileStringA("update_info", "buildregname", "", entry->buildValueName,
                           sizeof entry->buildValueName, info);
  GetPrivateProfileStringA("update_info", "filename", "", entry->fileName, sizeof entry->fileName,
                           info);
  WritePrivateProfileStringA(nullptr, nullptr, nullptr, info);
  FileDeleteRetry(info);
}

// Adds path to a list by its short form, or by the path itself where the short name is shared by
// another file of its folder (it would name either) or cannot be had.
void Record(XML_Document* doc, FileNames* names, const char* path,
            void (*add)(XML_Document*, const char*, int)) {
  char recorded[MAX_PATH];
  add(doc, names->ShortForm(path, recorded) != 0 ? recorded : path, LIST_FILE);
}

}  // namespace

int SetupReadEngineList(XML_Document* doc, XML_Node* package) {
  XML_Node* cursor = nullptr;
  XML_Node* engines = XML_NextElement(package, u"ENGINES", &cursor);
  EngineEntry** tail = reinterpret_cast<EngineEntry**>(&g_context.engineList);
  while (*tail != nullptr) tail = &(*tail)->next;
  cursor = nullptr;
  for (XML_Node* e = engines != nullptr ? XML_NextElement(engines, u"ENGINE", &cursor) : nullptr;
       e != nullptr; e = XML_NextElement(engines, u"ENGINE", &cursor)) {
    char name[MAX_PATH];
    int size = sizeof name;
    if (XML_GetAttributeA(doc, e, u"FILE", name, &size) != 0) return 114;
    EngineEntry* entry = static_cast<EngineEntry*>(calloc(1, sizeof(EngineEntry)));
    if (entry == nullptr) return 103;
    *tail = entry;
    tail = &entry->next;
    StrCopyN(entry->name, name, sizeof entry->name);
  }
  SetupLog("Engines nups");
  return 0;
}

int SetupExtractEngines(const char* workDir, const char* diskFolder, int lastDisk) {
  char temp[MAX_PATH];
  Join(temp, workDir, "engine.tmp");
  for (EngineEntry* entry = First(); entry != nullptr; entry = entry->next) {
    // Container and payload names become paths in the working and install folders.
    if (!StrIsPlainFileName(entry->name)) return 106;
    char source[MAX_PATH];
    int found = FindContainer(*entry, diskFolder, &lastDisk, source);
    if (found != 0) return found;
    char copy[MAX_PATH];
    Join(copy, workDir, entry->name);
    if (!FileCopyRetry(source, copy)) {
      SetupLogError("Can't copy %s to %s", source, copy);
      return 111;
    }
    char info[MAX_PATH];
    if (!ExtractUpdateData(copy, temp, info)) {
      SetupLogError("Can't extract %s to %s for %s", copy, temp, info);
      if (info[0] != 0) SysDeleteFile(info);
      return 106;
    }
    ReadInfo(entry, info);
    if (entry->fileName[0] != 0) {
      if (!StrIsPlainFileName(entry->fileName)) return 106;
      char target[MAX_PATH];
      Join(target, workDir, entry->fileName);
      if (!SysMoveFile(temp, target)) {
        SetupLogError("Can't rename %s to %s", temp, target);
        return 111;
      }
    }
    // The copy has given its payload: gone now, it no longer lengthens the working folder that
    // every later container's new names are looked up in. The final clean-up takes one that
    // cannot be deleted.
    SysDeleteFile(copy);
    SetupLog("EngineFile extracted");
  }
  return 0;
}

int SetupCheckEngineBuilds() {
  KeyGuard key;
  if (RegOpenKeyByAccess(HKEY_LOCAL_MACHINE, REG_PRODUCT_KEY "\\InstalledComponents", KEY_READ,
                         &key.key) != ERROR_SUCCESS) {
    return 1;
  }
  for (EngineEntry* entry = First(); entry != nullptr; entry = entry->next) {
    if (entry->buildValueName[0] == 0) continue;
    DWORD installed = 0;
    if (RegReadDword(key.key, entry->buildValueName, &installed) && installed > entry->build) {
      return 0;
    }
  }
  return 1;
}

int SetupCopyEngines() {
  if (First() == nullptr) return 1;
  char globalPath[MAX_PATH];
  WideToAnsi(globalPath, reinterpret_cast<const wchar16*>(g_context.globalXmlPath), MAX_PATH);
  XML_Document* doc = nullptr;
  if (XML_Access(globalPath, &doc, 1) == nullptr) return 0;
  // Every target goes into the journal in one write before the first copy: a write-through
  // write per engine file would wait for the disk a thousand times in a big update.
  SetupJournalLines lines;
  for (EngineEntry* entry = First(); entry != nullptr; entry = entry->next) {
    if (entry->fileName[0] == 0) continue;
    char target[MAX_PATH];
    Join(target, g_context.installDir, entry->fileName);
    lines.File(target);
  }
  int result = SetupJournalWrite(lines);
  EngineEntry* notCopied = First();  // the first entry not copied
  for (EngineEntry* entry = First(); entry != nullptr && result; entry = entry->next) {
    notCopied = entry->next;
    if (entry->fileName[0] == 0) continue;
    char source[MAX_PATH];
    char target[MAX_PATH];
    Join(source, g_context.packageDataDir, entry->fileName);
    Join(target, g_context.installDir, entry->fileName);
    if (!FileCopyBeside(source, target, 0, entry->altName, sizeof entry->altName)) {
      notCopied = entry;
      result = 0;
      break;
    }
    FileDecryptIfEncrypted(entry->altName[0] != 0 ? entry->altName : target);
  }
  // What was copied is recorded once the copies are done, by names from one listing of the
  // install folder: asked file by file, each short name costs a walk of the folder.
  FileNames names;
  for (EngineEntry* entry = First(); entry != notCopied; entry = entry->next) {
    if (entry->fileName[0] == 0) continue;
    char target[MAX_PATH];
    Join(target, g_context.installDir, entry->fileName);
    if (entry->altName[0] != 0) {
      Record(doc, &names, entry->altName, SetupAddRollbackRecorded);
      Record(doc, &names, target, SetupAddUninstallRecorded);
    } else {
      Record(doc, &names, target, SetupAddRollbackRecorded);
    }
  }
  if (result) SetupLog("Engines copied");
  if (XML_Close(doc) != 0) {
    // The rollback section that names the copies is not saved: they go now.
    for (EngineEntry* entry = First(); entry != notCopied; entry = entry->next) {
      if (entry->fileName[0] == 0) continue;
      char target[MAX_PATH];
      Join(target, g_context.installDir, entry->fileName);
      SysDeleteFile(entry->altName[0] != 0 ? entry->altName : target);
    }
    result = 0;
  }
  return result;
}

int SetupCommitEngines() {
  // Scheduled together: one by one, each would rewrite the system's whole list of moves.
  FileRestartMoves moves;
  for (EngineEntry* entry = First(); entry != nullptr; entry = entry->next) {
    if (entry->altName[0] == 0) continue;
    char target[MAX_PATH];
    Join(target, g_context.installDir, entry->fileName);
    if (!FileRestartMovesAdd(&moves, entry->altName, target)) return 0;
  }
  int scheduled = FileRestartMovesWrite(&moves, 1);
  // The new engines wait for the restart, also in an update run that started without one.
  if (scheduled > 0) g_context.restartPending = 1;
  if (scheduled != moves.count) return 0;
  SetupLog("Engines Commited");
  return 1;
}

int SetupWriteEngineBuilds(HKEY key) {
  for (EngineEntry* entry = First(); entry != nullptr; entry = entry->next) {
    const char* name = entry->buildValueName[0] != 0 ? entry->buildValueName : nullptr;
    if (!RegWriteDword(key, name, entry->build)) return 0;
  }
  return 1;
}

void SetupFreeEngineList() {
  EngineEntry* entry = First();
  while (entry != nullptr) {
    EngineEntry* next = entry->next;
    free(entry);
    entry = next;
  }
  g_context.engineList = nullptr;
}
