#include "driver/space.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "driver/options.h"
#include "install/engines.h"
#include "install/filecopy.h"
#include "package/extract.h"
#include "run/context.h"
#include "run/log.h"
#include "system/diskspace.h"
#include "system/guards.h"
#include "system/str.h"
#include "system/strtable.h"
#include "xml/xml.h"

namespace {

// One file the installation writes: its size and its target as the description writes it, with
// the target-folder variables still in it, so that a later install folder places it anew.
struct PlannedFile {
  uint64_t size;
  char* target;
};

// What the run writes, read once before the extraction.
struct Plan {
  PlannedFile* files = nullptr;
  int count = 0;
  int capacity = 0;
  uint64_t tempBytes = 0;     // the unpacked archives, in whole clusters of the temporary volume
  uint64_t extractBytes = 0;  // the unpacked archives, as the extraction counts them
  ~Plan() {
    for (int i = 0; i < count; ++i) free(files[i].target);
    free(files);
  }
  bool Add(uint64_t size, const char* target) {
    if (count == capacity) {
      int grown = capacity == 0 ? 256 : capacity * 2;
      void* block = realloc(files, static_cast<size_t>(grown) * sizeof(PlannedFile));
      if (block == nullptr) return false;
      files = static_cast<PlannedFile*>(block);
      capacity = grown;
    }
    size_t length = strlen(target) + 1;
    char* copy = static_cast<char*>(malloc(length));
    if (copy == nullptr) return false;
    memcpy(copy, target, length);
    files[count].size = size;
    files[count].target = copy;
    ++count;
    return true;
  }
};

Plan g_plan;

// One volume the run writes to and what it needs there.
struct Volume {
  char root[MAX_PATH];
  uint64_t needed;
  uint64_t free;
  uint32_t cluster;
  bool known;  // the system told its free space; a volume it keeps silent about is not checked
};

// The volumes of one check; a run writes to a handful of them.
struct Volumes {
  enum { kMax = 64 };
  Volume list[kMax];
  int count = 0;
  // The volume of each folder looked up, as its index + 1 (0: none): asking the system costs a
  // walk of the path, and a package's files come in any order of their folders.
  StrTable folders;

  Volume* OfRoot(const char* root) {
    for (int i = 0; i < count; ++i) {
      if (lstrcmpiA(list[i].root, root) == 0) return &list[i];
    }
    if (count == kMax) return nullptr;
    Volume* v = &list[count++];
    StrCopyN(v->root, root, sizeof v->root);
    v->needed = 0;
    v->known = SysVolumeFree(root, &v->free, &v->cluster) != 0;
    if (!v->known) v->cluster = 4096;
    return v;
  }

  // The volume of path, or null when path names none.
  Volume* Of(const char* path) {
    char folder[MAX_PATH];
    StrCopyN(folder, path, sizeof folder);
    char* slash = strrchr(folder, '\\');
    if (slash != nullptr) slash[1] = 0;
    int known = folders.Find(folder);
    if (known >= 0) return known > 0 ? &list[known - 1] : nullptr;
    char root[MAX_PATH];
    Volume* v = SysVolumeRoot(folder, root, sizeof root) ? OfRoot(root) : nullptr;
    folders.Set(folder, v != nullptr ? static_cast<int>(v - list) + 1 : 0);
    return v;
  }

  void Add(Volume* v, uint64_t bytes) {
    if (v == nullptr) return;
    // Every file takes whole allocation units.
    v->needed += (bytes + v->cluster - 1) / v->cluster * v->cluster;
  }
};

// The temporary folder, where the archives are extracted.
void TempFolder(char* out) {
  DWORD n = GetTempPathA(MAX_PATH, out);
  if (n == 0 || n >= MAX_PATH) out[0] = 0;
}

// ---- Reading the package ----

struct Entry {
  char name[MAX_PATH];
  uint64_t size;
};

// The entries of one archive, sorted by name for the lookups of its description.
struct Entries {
  Entry* list = nullptr;
  int count = 0;
  int capacity = 0;
  bool failed = false;
  uint64_t tempBytes = 0;
  uint64_t bytes = 0;
  uint32_t tempCluster = 4096;
  ~Entries() { free(list); }
};

void OnEntry(void* context, const char* name, unsigned long long size) {
  Entries* e = static_cast<Entries*>(context);
  e->tempBytes += (size + e->tempCluster - 1) / e->tempCluster * e->tempCluster;
  e->bytes += size;
  if (e->count == e->capacity) {
    int grown = e->capacity == 0 ? 64 : e->capacity * 2;
    void* block = realloc(e->list, static_cast<size_t>(grown) * sizeof(Entry));
    if (block == nullptr) {
      e->failed = true;
      return;
    }
    e->list = static_cast<Entry*>(block);
    e->capacity = grown;
  }
  StrCopyN(e->list[e->count].name, name, MAX_PATH);
  e->list[e->count].size = size;
  ++e->count;
}

int CompareEntries(const void* a, const void* b) {
  return StrCompareNoCaseAscii(static_cast<const Entry*>(a)->name,
                               static_cast<const Entry*>(b)->name, MAX_PATH);
}

const Entry* FindEntry(const Entries& e, const char* name) {
  Entry key;
  StrCopyN(key.name, name, sizeof key.name);
  return static_cast<const Entry*>(
      bsearch(&key, e.list, static_cast<size_t>(e.count), sizeof(Entry), CompareEntries));
}

bool Attribute(XML_Document* doc, XML_Node* element, const wchar16* name, char* out) {
  int size = MAX_PATH;
  return XML_GetAttributeA(doc, element, name, out, &size) == 0 && out[0] != 0;
}

// The setup folder's copy of a file the installation keeps there.
bool AddSetupCopy(uint64_t size, const char* name) {
  char target[MAX_PATH];
  StrCopyN(target, "%INSTALLDIR%\\Setup\\", sizeof target);
  StrAppendN(target, name, sizeof target);
  return g_plan.Add(size, target);
}

// The files of one component's description: each FILE's entry to its TARGET, and the libraries
// of MODULES, which the registration keeps in the setup folder.
bool PlanComponent(const char* text, const Entries& entries) {
  struct Doc {
    XML_Document* doc = XML_Create();
    ~Doc() { XML_Close(doc); }
  } d;
  if (d.doc == nullptr) return false;
  // A description that does not parse fails the extraction's own checks later.
  if (XML_Parse(d.doc, text, static_cast<int>(strlen(text))) != 0) return true;
  char source[MAX_PATH];
  char target[MAX_PATH];
  XML_Node* files = XML_Find(d.doc, nullptr, u"FILES", XML_OPEN_EXISTING);
  XML_Node* cursor = nullptr;
  for (XML_Node* f = XML_NextElement(files, u"FILE", &cursor); f != nullptr;
       f = XML_NextElement(files, u"FILE", &cursor)) {
    const Entry* e = Attribute(d.doc, f, u"SOURCE", source) ? FindEntry(entries, source) : nullptr;
    if (e != nullptr && Attribute(d.doc, f, u"TARGET", target) && !g_plan.Add(e->size, target)) {
      return false;
    }
  }
  XML_Node* modules = XML_Find(d.doc, nullptr, u"MODULES", XML_OPEN_EXISTING);
  XML_Node* listCursor = nullptr;
  for (XML_Node* list = XML_NextElement(modules, nullptr, &listCursor); list != nullptr;
       list = XML_NextElement(modules, nullptr, &listCursor)) {
    cursor = nullptr;
    for (XML_Node* f = XML_NextElement(list, u"FILE", &cursor); f != nullptr;
         f = XML_NextElement(list, u"FILE", &cursor)) {
      static const wchar16* const kNames[] = {u"NAME", u"RESOURCE"};
      for (const wchar16* name : kNames) {
        const Entry* e = Attribute(d.doc, f, name, source) ? FindEntry(entries, source) : nullptr;
        if (e != nullptr && !AddSetupCopy(e->size, source)) return false;
      }
    }
  }
  return true;
}

// Surveys one archive: its unpacked size for the temporary folder, its description's files.
bool PlanArchive(const char* archive, uint32_t tempCluster) {
  Entries entries;
  entries.tempCluster = tempCluster;
  HeapGuard<char> setupc;
  // A damaged archive fails its extraction later, with the code that belongs to it.
  if (!ArchiveSurvey(archive, "setupc.xml", &setupc.block, OnEntry, &entries)) return true;
  if (entries.failed) return false;
  g_plan.tempBytes += entries.tempBytes;
  g_plan.extractBytes += entries.bytes;
  if (setupc.block == nullptr) return true;
  if (entries.count > 1) {
    qsort(entries.list, static_cast<size_t>(entries.count), sizeof(Entry), CompareEntries);
  }
  return PlanComponent(setupc.block, entries);
}

uint64_t FileSize(const char* path) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(path, &data);
  if (find == INVALID_HANDLE_VALUE) return 0;
  FindClose(find);
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The program and its visual libraries, which the registration copies into the setup folder, and
// the engines, which go into the install folder.
bool PlanProgramAndEngines() {
  static const char* const kProgram[] = {"setup.exe", "main.dll", "mainlang.dll"};
  for (const char* name : kProgram) {
    char path[MAX_PATH];
    StrCopyN(path, g_context.setupDir, sizeof path);
    StrAppendN(path, name, sizeof path);
    uint64_t size = FileSize(path);
    if (size > 0 && !AddSetupCopy(size, name)) return false;
  }
  for (EngineEntry* e = static_cast<EngineEntry*>(g_context.engineList); e != nullptr;
       e = e->next) {
    if (e->fileName[0] == 0) continue;
    char path[MAX_PATH];
    StrCopyN(path, g_context.packageDataDir, sizeof path);
    StrAppendN(path, e->fileName, sizeof path);
    char target[MAX_PATH];
    StrCopyN(target, "%INSTALLDIR%\\", sizeof target);
    StrAppendN(target, e->fileName, sizeof target);
    if (!g_plan.Add(FileSize(path), target)) return false;
  }
  return true;
}

// ---- Checking ----

// Copies folder without its trailing backslash, as the target variables hold it.
void FolderVar(char* out, const char* folder) {
  StrCopyN(out, folder, MAX_PATH);
  size_t n = strlen(out);
  if (n > 0 && out[n - 1] == '\\') out[n - 1] = 0;
}

// Decimal text of n (24 bytes): the runtimes of the oldest systems convert no 64-bit numbers.
void Decimal(uint64_t n, char* out) {
  char digits[24];
  int at = sizeof digits - 1;
  digits[at] = 0;
  do {
    digits[--at] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  StrCopyN(out, digits + at, 24);
}

int Check(bool withTemp, char* text, int size) {
  Volumes volumes;
  if (withTemp && g_plan.tempBytes > 0) {
    char temp[MAX_PATH];
    TempFolder(temp);
    Volume* v = temp[0] != 0 ? volumes.Of(temp) : nullptr;
    if (v != nullptr) v->needed += g_plan.tempBytes;
  }
  TargetVars vars;
  FolderVar(vars.installDir, g_context.installDir);
  FolderVar(vars.windowsDir, g_context.windowsDir);
  FolderVar(vars.systemDir, g_context.systemDir);
  StrCopyN(vars.driversDir, vars.systemDir, sizeof vars.driversDir);
  StrAppendN(vars.driversDir, "\\drivers", sizeof vars.driversDir);
  size_t installLength = strlen(g_context.installDir);
  uint64_t installBytes = 0;
  for (int i = 0; i < g_plan.count; ++i) {
    char target[MAX_PATH];
    StrCopyN(target, g_plan.files[i].target, sizeof target);
    SetupExpandTargetVars(target, sizeof target, vars);
    // A file that will replace one in use waits beside it until the restart: the old file's
    // space is not free before then, so the whole new size counts.
    volumes.Add(volumes.Of(target), g_plan.files[i].size);
    if (installLength > 0 &&
        StrCompareNoCaseAscii(target, g_context.installDir, installLength) == 0) {
      installBytes += g_plan.files[i].size;
    }
  }
  uint64_t kib = (installBytes + 1023) / 1024;
  g_context.spaceNeededKiB = kib > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(kib);
  for (int i = 0; i < volumes.count; ++i) {
    const Volume& v = volumes.list[i];
    if (!v.known || v.needed <= v.free) continue;
    char needed[32];
    char free[32];
    Decimal(v.needed, needed);
    Decimal(v.free, free);
    SetupLogError("Not enough disk space on %s: %s bytes needed, %s bytes free", v.root, needed,
                  free);
    SysAmountText(v.needed, needed, sizeof needed);
    SysAmountText(v.free, free, sizeof free);
    snprintf(text, static_cast<size_t>(size), "%s: %s needed, %s free", v.root, needed, free);
    return SETUP_EXIT_DISK_FULL;
  }
  return 0;
}

}  // namespace

int SetupPlanArchive(const char* archive) {
  char temp[MAX_PATH];
  TempFolder(temp);
  char root[MAX_PATH];
  uint64_t ignored = 0;
  uint32_t cluster = 4096;
  if (temp[0] == 0 || !SysVolumeRoot(temp, root, sizeof root) ||
      !SysVolumeFree(root, &ignored, &cluster)) {
    cluster = 4096;
  }
  return PlanArchive(archive, cluster) ? 1 : 0;
}

int SetupCheckSpaceBeforeExtract(char* text, int size) {
  if (!PlanProgramAndEngines()) return 103;
  return Check(true, text, size);
}

int SetupCheckSpaceBeforeCopy(char* text, int size) { return Check(false, text, size); }

uint64_t SetupPlannedExtractBytes() { return g_plan.extractBytes; }
