#include "driver/globalxml.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "auth/privatefolder.h"
#include "driver/options.h"
#include "driver/space.h"
#include "install/engines.h"
#include "install/uninstall.h"
#include "package/access.h"
#include "package/extract.h"
#include "package/layout.h"
#include "package/model.h"
#include "run/context.h"
#include "run/exit.h"
#include "run/log.h"
#include "run/vislib.h"
#include "system/files.h"
#include "system/guards.h"
#include "system/hook.h"
#include "system/libload.h"
#include "system/os.h"
#include "system/progress.h"
#include "system/str.h"
#include "xml/xml.h"

namespace {

const char kDefaultInstallPath[] = "%PROGRAMFILES%\\Vesk";

// The temporary folders are "zrvtmp" and one letter: a package has at most 26 components.
const int kMaxComponents = 26;
// A component lists at most this many libraries of each kind.
const int kMaxLibraries = 10;

void TempPath(char* out) {
  DWORD n = GetTempPathA(MAX_PATH, out);
  if (n == 0 || n >= MAX_PATH) out[0] = 0;
}

// The global.xml path in the temporary folder, stored in the context; path gets its narrow form.
void StoreGlobalXmlPath(char* path) {
  TempPath(path);
  StrAppendN(path, "global.xml", MAX_PATH);
  AnsiToWide(reinterpret_cast<wchar16*>(g_context.globalXmlPath), path, MAX_PATH);
}

void NarrowGlobalPath(char* out) {
  WideToAnsi(out, reinterpret_cast<const wchar16*>(g_context.globalXmlPath), MAX_PATH);
}

// Reads a narrow attribute into buffer (size bytes); false when missing or too long.
bool Attribute(XML_Document* doc, XML_Node* element, const wchar16* name, char* buffer, int size) {
  int n = size;
  if (element == nullptr || XML_GetAttributeA(doc, element, name, buffer, &n) != 0) {
    buffer[0] = 0;
    return false;
  }
  return true;
}

// The build: hexadecimal digits, 0 for anything else.
int32_t ParseBuild(const char* text) {
  uint32_t value = 0;
  if (text[0] == 0) return 0;
  for (const char* p = text; *p != 0; ++p) {
    char c = *p;
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
      digit = static_cast<uint32_t>((c | 0x20) - 'a' + 10);
    } else {
      return 0;
    }
    value = (value << 4) | digit;
  }
  return static_cast<int32_t>(value);
}

// The documents the build holds open, closed by the exit path on a failure, and the archives
// extracted ahead of their turn, stopped before the exit path deletes their folders.
struct BuildDocs {
  XML_Document* global = nullptr;
  XML_Document* component = nullptr;
  ExtractQueue* queue = nullptr;
  int ticket[kMaxComponents];  // the queue's ticket of each component's archive, or -1
  // The wait dialog's bar: the bytes of the archives whose size is known, and which those are.
  bool sized[kMaxComponents];
  int sizedCount = 0;
  int listed = 0;
  uint64_t sizedBytes = 0;
  BuildDocs() {
    for (int& t : ticket) t = -1;
    for (bool& b : sized) b = false;
  }
  ~BuildDocs() { StopAhead(); }
  void StopAhead() {
    ExtractQueueStop(queue);
    queue = nullptr;
  }
  SetupExitContext Exit() { return SetupExitContext{&global, &component}; }
};

[[noreturn]] void Fail(BuildDocs* docs, int code, const char* text) {
  docs->StopAhead();
  SetupExit(&docs->global, &docs->component, code, text);
}

// One list of library entries: names and resource names of the FILE children of list.
struct LibraryNames {
  char name[kMaxLibraries][20];
  char resource[kMaxLibraries][20];
  int count;
};

// Library and resource names fill 20-byte fields and become paths in the component's folder:
// longer or non-plain names, or more than ten entries, end the run with 109 and the name.
void ReadLibraryNames(BuildDocs* docs, XML_Node* list, LibraryNames* out) {
  out->count = 0;
  if (list == nullptr) return;
  XML_Node* cursor = nullptr;
  for (XML_Node* f = XML_NextElement(list, u"FILE", &cursor); f != nullptr;
       f = XML_NextElement(list, u"FILE", &cursor)) {
    char name[MAX_PATH];
    char resource[MAX_PATH];
    Attribute(docs->component, f, u"NAME", name, sizeof name);
    Attribute(docs->component, f, u"RESOURCE", resource, sizeof resource);
    if (out->count == kMaxLibraries) {
      SetupLogError("Too many libraries: %s", name);
      Fail(docs, 109, name);
    }
    if (strlen(name) > 19 || !StrIsPlainFileName(name)) Fail(docs, 109, name);
    if (strlen(resource) > 19 || strpbrk(resource, "\\/:") != nullptr) Fail(docs, 109, resource);
    StrCopyN(out->name[out->count], name, 20);
    StrCopyN(out->resource[out->count], resource, 20);
    ++out->count;
  }
}

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  return module != nullptr
             ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)))
             : nullptr;
}

// The library's own folder is searched for the libraries it needs.
HMODULE LoadFromFolder(const char* folder, const char* name) {
  return SysLoadLibraryFrom(folder, name, 1);
}

void LoadLibraries(BuildDocs* docs, XML_Node* root, ComponentDesc* c) {
  SetupLog("Componet libraries");
  XML_Node* modules = XML_Find(docs->component, root, u"MODULES", XML_OPEN_EXISTING);
  LibraryNames exe;
  LibraryNames gui;
  ReadLibraryNames(
      docs, modules ? XML_Find(docs->component, modules, u"EXE", XML_OPEN_EXISTING) : nullptr,
      &exe);
  ReadLibraryNames(
      docs, modules ? XML_Find(docs->component, modules, u"GUI", XML_OPEN_EXISTING) : nullptr,
      &gui);
  if (exe.count > 0) {
    c->exeLibs = static_cast<ExeLib*>(calloc(static_cast<size_t>(exe.count), sizeof(ExeLib)));
    if (c->exeLibs == nullptr) Fail(docs, 103, nullptr);
  }
  for (int i = 0; i < exe.count; ++i) {
    ExeLib& lib = c->exeLibs[i];
    StrCopyN(lib.fileName, exe.name[i], sizeof lib.fileName);
    StrCopyN(lib.resourceName, exe.resource[i], sizeof lib.resourceName);
    c->exeLibCount = i + 1;
    lib.module = LoadFromFolder(c->folder, lib.fileName);
    lib.exeProc = Export<ExeProcFn>(lib.module, "exeProc");
    if (lib.exeProc == nullptr) Fail(docs, 109, lib.fileName);
  }
  if (gui.count == 0) return;
  c->guiLibs = static_cast<GuiLib*>(calloc(static_cast<size_t>(gui.count), sizeof(GuiLib)));
  if (c->guiLibs == nullptr) Fail(docs, 103, nullptr);
  for (int i = 0; i < gui.count; ++i) {
    GuiLib& lib = c->guiLibs[i];
    StrCopyN(lib.fileName, gui.name[i], sizeof lib.fileName);
    StrCopyN(lib.resourceName, gui.resource[i], sizeof lib.resourceName);
    c->guiLibCount = i + 1;
    // A library that is also a component library holds that library's module (which its owner
    // releases), in silent runs too.
    for (int e = 0; e < c->exeLibCount; ++e) {
      if (lstrcmpiA(c->exeLibs[e].fileName, lib.fileName) == 0) {
        lib.shared = 1;
        lib.module = c->exeLibs[e].module;
        break;
      }
    }
    if (g_options.silent) continue;
    if (lib.shared == 0) lib.module = LoadFromFolder(c->folder, lib.fileName);
    lib.connectVis = Export<ConnectVisFn>(lib.module, "connectVis");
    lib.disconnectVis = Export<DisconnectVisFn>(lib.module, "disconnectVis");
    if (lib.connectVis == nullptr || lib.disconnectVis == nullptr) Fail(docs, 109, lib.fileName);
  }
}

// The archive of a component, made absolute with the setup folder when it has no folder.
void ArchivePath(BuildDocs* docs, XML_Node* component, char* path) {
  char archive[MAX_PATH];
  if (!Attribute(docs->global, component, u"ARCHIVE", archive, sizeof archive)) {
    StrCopyN(archive, "unknown", sizeof archive);
  }
  path[0] = 0;
  if (g_context.dataFileCount > 0) StrCopyN(path, g_context.packageDataDir, MAX_PATH);
  StrAppendN(path, archive, MAX_PATH);
  SetupMakeAbsolute(path, 0);
}

void WaitForArchive(BuildDocs* docs, const char* path) {
  while (!FileExists(path)) {
    if (g_options.silent) Fail(docs, 202, nullptr);
    if (g_context.dataFileCount >= 1) Fail(docs, 106, nullptr);
    if (VisShowMsg(202, nullptr, MB_OKCANCEL) == IDCANCEL) Fail(docs, 0, nullptr);
  }
}

// The extraction folder of component index: "zrvtmpa\" and on in the temporary folder.
void ComponentFolder(int index, char* folder) {
  TempPath(folder);
  char name[16];
  wsprintfA(name, "zrvtmp%c\\", 'a' + index);
  StrAppendN(folder, name, MAX_PATH);
}

void MakeComponentFolder(BuildDocs* docs, int index, ComponentDesc* c) {
  char folder[MAX_PATH];
  ComponentFolder(index, folder);
  StrCopyN(c->folder, folder, sizeof c->folder);
  if (AuthCreatePrivateFolder(folder)) return;
  // A folder left over by an interrupted run is emptied and made again.
  FileDeleteMatching(folder, 1, "*.*", 0);
  if (AuthCreatePrivateFolder(folder)) return;
  DWORD attributes = GetFileAttributesA(folder);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
  SetupLogError("Can't create directory: %s", folder);
  c->folder[0] = 0;
  Fail(docs, 105, nullptr);
}

// Queues the archive of component index (node) for extraction, when it is at hand and its folder
// is new; otherwise its turn handles it in order (disk prompts, left-over folders, errors).
void StartAhead(BuildDocs* docs, XML_Node* node, int index) {
  if (docs->queue == nullptr || docs->ticket[index] >= 0) return;
  char archive[MAX_PATH];
  char folder[MAX_PATH];
  ArchivePath(docs, node, archive);
  if (!FileExists(archive)) return;
  ComponentFolder(index, folder);
  if (!AuthCreatePrivateFolder(folder)) return;
  // Recorded at once, so that every exit path deletes the folder.
  StrCopyN(g_context.components[index].folder, folder, sizeof g_context.components[0].folder);
  docs->ticket[index] = ExtractQueueAdd(docs->queue, archive, folder);
}

// What the extraction writes, for the wait dialog's bar: the bytes of the archives at hand, and
// for each one still to come from another disk as much as the average of those. 0 (the moving
// bar) while none is at hand.
uint64_t ExtractEstimate(const BuildDocs* docs) {
  if (docs->sizedCount == 0) return 0;
  return docs->sizedBytes + docs->sizedBytes / static_cast<uint64_t>(docs->sizedCount) *
                                static_cast<uint64_t>(docs->listed - docs->sizedCount);
}

void AddEntrySize(void* bytes, const char*, unsigned long long size) {
  *static_cast<uint64_t*>(bytes) += size;
}

// An archive that came from another disk after the bar was started: its own size replaces its
// share of the estimate, and the bar fills the rest from where it stands.
void SizeLateArchive(BuildDocs* docs, int index, const char* archive) {
  if (docs->sized[index]) return;
  uint64_t bytes = 0;
  char* none = nullptr;
  if (ArchiveSurvey(archive, "", &none, AddEntrySize, &bytes)) docs->sizedBytes += bytes;
  free(none);
  docs->sized[index] = true;
  ++docs->sizedCount;
  SysProgressResize(ExtractEstimate(docs));
}

void AddComponent(BuildDocs* docs, XML_Node* component, XML_Node* next, int index) {
  ComponentDesc* c = &g_context.components[index];
  char archive[MAX_PATH];
  ArchivePath(docs, component, archive);
  WaitForArchive(docs, archive);
  SizeLateArchive(docs, index, archive);
  // The next archive is queued before this one is waited for, so that the queue decodes it while
  // this one's last files are written and while this component is read.
  StartAhead(docs, component, index);
  if (next != nullptr) StartAhead(docs, next, index + 1);
  // An extraction ahead that failed is done again here, so its error comes out in its turn.
  bool extracted = docs->ticket[index] >= 0 && ExtractQueueWait(docs->queue, docs->ticket[index]);
  if (!extracted) MakeComponentFolder(docs, index, c);
  if (!extracted && !ExtractArchive(archive, c->folder)) {
    SetupLogError("Can't extract %s", archive);
    Fail(docs, 106, nullptr);
  }
  char setupc[MAX_PATH];
  StrCopyN(setupc, c->folder, sizeof setupc);
  StrAppendN(setupc, "setupc.xml", sizeof setupc);
  XML_Node* root = XML_Access(setupc, &docs->component, 0);
  if (root == nullptr) Fail(docs, 107, nullptr);
  if (SetupAddComponentDescToGlobal(docs->global, component, docs->component, setupc)) {
    SetupLog("SetupAddComponentDescToGlobal");
  }
  XML_Node* setup = XML_Find(docs->component, root, u"SETUP", XML_OPEN_EXISTING);
  SetupLog("Component added");
  char text[MAX_PATH];
  Attribute(docs->component, setup, u"NAME", text, sizeof text);
  StrCopyN(c->name, text, sizeof c->name);
  Attribute(docs->component, setup, u"BUILD", text, sizeof text);
  c->build = ParseBuild(text);
  Attribute(docs->component, setup, u"LANGUAGE", text, sizeof text);
  CharUpperA(text);
  StrCopyN(c->language, text, sizeof c->language);
  XML_Node* display = XML_Find(docs->component, root, u"DISPLAY", XML_OPEN_EXISTING);
  if (!Attribute(docs->component, display, u"NAME", text, sizeof text)) {
    StrCopyN(text, "unknown", sizeof text);
  }
  StrCopyN(c->displayName, text, sizeof c->displayName);
  LoadLibraries(docs, root, c);
  XML_Close(docs->component);
  docs->component = nullptr;
}

// Before the first archive is extracted: room for everything the run writes, on every volume.
void CheckSpace(BuildDocs* docs, XML_Node* components) {
  XML_Node* cursor = nullptr;
  int index = 0;
  for (XML_Node* c = XML_NextElement(components, u"COMPONENT", &cursor); c != nullptr;
       c = XML_NextElement(components, u"COMPONENT", &cursor), ++index) {
    char archive[MAX_PATH];
    ArchivePath(docs, c, archive);
    if (!FileExists(archive)) continue;
    if (!SetupPlanArchive(archive)) Fail(docs, 103, nullptr);
    docs->sized[index] = true;
    ++docs->sizedCount;
  }
  char text[128];
  int code = SetupCheckSpaceBeforeExtract(text, sizeof text);
  if (code != 0) Fail(docs, code, text);
  // The extraction fills the wait dialog's bar with the bytes it writes.
  docs->sizedBytes = SetupPlannedExtractBytes();
  SysProgressStep(ExtractEstimate(docs));
}

// The install folder of a new installation: the package's template, or the administrator's.
void ResolveInstallFolder(BuildDocs* docs, XML_Node* setup) {
  char path[MAX_PATH];
  if (!Attribute(docs->global, setup, u"INSTALLPATH", path, sizeof path)) {
    StrCopyN(path, kDefaultInstallPath, sizeof path);
  }
  XML_Document* admin = SetupAdminDocument();
  XML_Node* adminSetup = XML_Find(admin, nullptr, u"SETUP", XML_OPEN_EXISTING);
  if (adminSetup != nullptr) {
    if (Attribute(admin, adminSetup, u"INSTALLPATH", path, sizeof path)) {
      SetupLog("Admins InstallPath accepted");
    } else {
      StrCopyN(path, kDefaultInstallPath, sizeof path);
    }
  }
  SetupResolveInstallPath(path);
}

// Reads DAT_CNT; a negative count is no data pieces.
void ReadDataFileCount(BuildDocs* docs, XML_Node* setup) {
  char text[32];
  if (!Attribute(docs->global, setup, u"DAT_CNT", text, sizeof text)) Fail(docs, 113, nullptr);
  long count = strtol(text, nullptr, 10);
  if (count < 0) count = 0;
  if (count > SETUP_MAX_DATA_PIECES) {
    SetupLogError("Too many data files: %ld", count);
    Fail(docs, 106, nullptr);
  }
  g_context.dataFileCount = static_cast<int32_t>(count);
}

// Reads path whole into a terminated buffer; the size read in *size. Null when it cannot be read.
char* ReadWhole(const char* path, DWORD* size) {
  HandleGuard file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.handle == INVALID_HANDLE_VALUE) return nullptr;
  DWORD length = GetFileSize(file.handle, nullptr);
  if (length == INVALID_FILE_SIZE || length > 0x3FFFFFFFu) return nullptr;
  char* text = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
  if (text == nullptr) return nullptr;
  DWORD got = 0;
  if (!ReadFile(file.handle, text, length, &got, nullptr) || got != length) {
    free(text);
    return nullptr;
  }
  text[got] = 0;
  *size = got;
  return text;
}

// An unreadable uninst.xml is kept beside itself, so that the next one written does not take the
// only record of the earlier installation's entries.
void KeepUnreadable(const char* path) {
  char kept[MAX_PATH];
  for (int n = 0; n < 100; ++n) {
    // A long install folder leaves no room for the suffix: such a file cannot be kept.
    int length = snprintf(kept, sizeof kept, "%s.bad%02d", path, n);
    if (length < 0 || length >= static_cast<int>(sizeof kept)) {
      SetupLogError("Unreadable uninst.xml not kept: %s", path);
      return;
    }
    if (GetFileAttributesA(kept) == INVALID_FILE_ATTRIBUTES) {
      if (SysMoveFile(path, kept)) SetupLogError("Unreadable uninst.xml kept as %s", kept);
      return;
    }
  }
}

}  // namespace

void SetupDeleteExtractionFolders() {
  for (int index = 0; index < 26; ++index) {
    char folder[MAX_PATH];
    ComponentFolder(index, folder);
    if (GetFileAttributesA(folder) != INVALID_FILE_ATTRIBUTES) {
      FileDeleteMatching(folder, 1, "*.*", 0);
    }
  }
}

int SetupSaveGlobalXml(XML_Document** doc, XML_Node* root) {
  int size = 0;
  XML_Serialize(*doc, root, nullptr, &size);
  if (size <= 0) SetupExit(doc, nullptr, 103, nullptr);
  HeapGuard<char> text(static_cast<char*>(malloc(static_cast<size_t>(size))));
  if (text.block == nullptr) SetupExit(doc, nullptr, 103, nullptr);
  int capacity = size;
  // A text that did not serialise whole would replace global.xml with a damaged one.
  if (XML_Serialize(*doc, root, text.block, &capacity) != 0) SetupExit(doc, nullptr, 111, "SG");
  XML_Close(*doc);
  *doc = nullptr;
  char path[MAX_PATH];
  NarrowGlobalPath(path);
  if (!FileWriteWhole(path, text.block, static_cast<DWORD>(strlen(text.block)))) {
    SetupExit(nullptr, nullptr, 111, "SG");
  }
  return 0;
}

int SetupBuildGlobalFromUninst() {
  char path[MAX_PATH];
  StoreGlobalXmlPath(path);

  XML_Document* doc = XML_Create();
  XML_Node* root = doc != nullptr ? XML_CreateRoot(doc, u"ZORVASETUP") : nullptr;
  if (root == nullptr) {
    XML_Close(doc);
    return 0;
  }
  char uninst[MAX_PATH];
  StrCopyN(uninst, g_context.installDir, sizeof uninst);
  StrAppendN(uninst, "Setup\\uninst.xml", sizeof uninst);
  DWORD size = 0;
  HeapGuard<char> text(ReadWhole(uninst, &size));
  if (text.block == nullptr && GetFileAttributesA(uninst) == INVALID_FILE_ATTRIBUTES) {
    // A replacement cut short between its two steps left the new text whole beside it.
    char fresh[MAX_PATH];
    FileReplacementName(uninst, fresh);
    text.block = ReadWhole(fresh, &size);
  }
  XML_Document* parsed = text.block != nullptr ? XML_Create() : nullptr;
  // Only a document that parsed to its end is complete: a partial tree would lose entries.
  XML_Node* uninstall = nullptr;
  if (parsed != nullptr && XML_Parse(parsed, text.block, static_cast<int>(size)) == 0) {
    XML_Node* parsedRoot = XML_GetRoot(parsed);
    uninstall =
        parsedRoot ? XML_Find(parsed, parsedRoot, u"UNINSTALL", XML_OPEN_EXISTING) : nullptr;
  }
  if (uninstall == nullptr) {
    if (GetFileAttributesA(uninst) != INVALID_FILE_ATTRIBUTES) {
      SetupLogError("Can't read %s", uninst);
      if (!g_options.uninstall) KeepUnreadable(uninst);
    }
    XML_Close(parsed);
    XML_Close(doc);
    return 0;
  }
  bool copied =
      XML_CopyElement(doc, root, u"UNINSTALL", parsed, uninstall, XML_OPEN_ALWAYS) != nullptr;
  XML_Close(parsed);
  if (!copied) {
    XML_Close(doc);
    return 0;
  }
  SetupSaveGlobalXml(&doc, root);
  return 1;
}

namespace {

// Steps of SetupBuildGlobalXml, in its order; each failure ends the run through Fail.

// global.xml started from the installed product's uninst.xml, or empty.
void StartGlobalXml(BuildDocs* docs) {
  if (g_context.productInstalled && SetupBuildGlobalFromUninst() == 1) {
    SetupLog("global.xml with uninstall info created");
    return;
  }
  docs->global = XML_Create();
  XML_Node* root = docs->global ? XML_CreateRoot(docs->global, u"ZORVASETUP") : nullptr;
  if (root == nullptr) Fail(docs, 103, nullptr);
  SetupSaveGlobalXml(&docs->global, root);
  SetupLog("global.xml created");
}

// global.xml opened for writing, with setup.xml copied under its root as PACKAGE. Returns PACKAGE.
XML_Node* AddPackage(BuildDocs* docs, const char* path) {
  XML_Node* root = XML_Access(path, &docs->global, 1);
  if (root == nullptr) {
    SetupLogError("Can't create Global.xml");
    Fail(docs, 103, nullptr);
  }
  XML_Document* setupDoc = nullptr;
  XML_Node* setupRoot = XML_Access(g_options.setupDescFile, &setupDoc, 0);
  if (setupRoot == nullptr) Fail(docs, 114, nullptr);
  XML_Node* copied =
      XML_CopyElement(docs->global, root, u"PACKAGE", setupDoc, setupRoot, XML_OPEN_ALWAYS);
  XML_Close(setupDoc);
  if (copied == nullptr) Fail(docs, 103, nullptr);
  SetupLog("Main settings added");
  return XML_Find(docs->global, root, u"PACKAGE", XML_OPEN_EXISTING);
}

// The title and the required platform (104 when another one runs), then the engine list. Returns
// PACKAGE\SETUP, which may be missing.
XML_Node* ReadPackage(BuildDocs* docs, XML_Node* package) {
  XML_Node* display = XML_Find(docs->global, package, u"DISPLAY", XML_OPEN_EXISTING);
  if (display != nullptr) {
    char title[MAX_PATH];
    if (Attribute(docs->global, display, u"TITLE", title, sizeof title)) {
      StrCopyN(g_context.title, title, sizeof g_context.title);
    } else {
      StrCopyN(g_context.title, " ", sizeof g_context.title);
      SetupLog("Title empty");
    }
  }
  XML_Node* setup = XML_Find(docs->global, package, u"SETUP", XML_OPEN_EXISTING);
  char text[MAX_PATH];
  g_context.requiredPlatform = PLATFORM_ANY;
  if (Attribute(docs->global, setup, u"REQUIRED_OS", text, sizeof text)) {
    CharUpperA(text);
    g_context.requiredPlatform =
        (strstr(text, "NT") || strstr(text, "XP")) ? PLATFORM_NT : PLATFORM_WIN9X;
  }
  if (g_context.requiredPlatform != PLATFORM_ANY &&
      g_context.requiredPlatform != g_context.runningPlatform) {
    Fail(docs, 104, nullptr);
  }
  int engines = SetupReadEngineList(docs->global, package);
  if (engines != 0) Fail(docs, engines, nullptr);
  return setup;
}

// The install folder (resolved for a new installation) written into PACKAGE\SETUP and
// ZORVAINSTALLDIR, and the log's path beside it while the log is on. Returns PACKAGE\SETUP.
XML_Node* RecordInstallFolder(BuildDocs* docs, XML_Node* package, XML_Node* setup) {
  if (!g_context.productInstalled) ResolveInstallFolder(docs, setup);
  if (setup == nullptr) setup = XML_Find(docs->global, package, u"SETUP", XML_OPEN_ALWAYS);
  if (setup == nullptr ||
      XML_SetAttributeA(docs->global, setup, u"INSTALLPATH", g_context.installDir) != 0) {
    Fail(docs, 103, nullptr);
  }
  SetupLog("InstallPath added");
  SetEnvironmentVariableA("ZORVAINSTALLDIR", g_context.installDir);
  if (SetupLogIsOn()) {
    if (XML_SetAttributeA(docs->global, setup, u"LOGPATH", g_context.logFilePath) != 0) {
      Fail(docs, 103, nullptr);
    }
    SetupLog("LogPath added");
  }
  return setup;
}

// PACKAGE\COMPONENTS with one to 26 COMPONENT children, counted into docs. Returns COMPONENTS.
XML_Node* ListComponents(BuildDocs* docs, XML_Node* package) {
  XML_Node* components = XML_Find(docs->global, package, u"COMPONENTS", XML_OPEN_EXISTING);
  int listed = 0;
  XML_Node* cursor = nullptr;
  while (XML_NextElement(components, u"COMPONENT", &cursor) != nullptr) ++listed;
  // Later checks read the first component: a list without one is no package.
  if (components == nullptr || listed == 0) Fail(docs, 114, nullptr);
  if (listed > kMaxComponents) {
    SetupLogError("Too many components: %d", listed);
    Fail(docs, 105, nullptr);
  }
  docs->listed = listed;
  return components;
}

// The package's data laid out, then room for the whole run checked before the first extraction.
void PrepareData(BuildDocs* docs, XML_Node* components) {
  SetupExitContext exitContext = docs->Exit();
  if (!SetupPrepareData(&exitContext, g_context.packageDataDir, g_context.dataFileCount)) {
    Fail(docs, 106, nullptr);
  }
  CheckSpace(docs, components);
}

// Every component in document order: its records, its archive extracted, its description added
// and its libraries loaded.
void AddComponents(BuildDocs* docs, XML_Node* components) {
  g_context.components =
      static_cast<ComponentDesc*>(calloc(static_cast<size_t>(docs->listed), sizeof(ComponentDesc)));
  if (g_context.components == nullptr) Fail(docs, 103, nullptr);
  g_context.componentCount = docs->listed;
  XML_Node* cursor = nullptr;
  int index = 0;
  docs->queue = ExtractQueueStart();
  XML_Node* c = XML_NextElement(components, u"COMPONENT", &cursor);
  for (; c != nullptr; ++index) {
    XML_Node* next = XML_NextElement(components, u"COMPONENT", &cursor);
    AddComponent(docs, c, next, index);
    c = next;
  }
  docs->StopAhead();
  // Every file is written: none is at hand while the components are read and loaded.
  SysProgressItem(nullptr);
}

}  // namespace

int SetupBuildGlobalXml() {
  SysPumpMessages();
  char path[MAX_PATH];
  StoreGlobalXmlPath(path);
  BuildDocs docs;
  StartGlobalXml(&docs);
  XML_Node* package = AddPackage(&docs, path);
  XML_Node* setup = ReadPackage(&docs, package);
  setup = RecordInstallFolder(&docs, package, setup);
  ReadDataFileCount(&docs, setup);
  XML_Node* components = ListComponents(&docs, package);
  PrepareData(&docs, components);
  AddComponents(&docs, components);
  if (XML_Close(docs.global) != 0) {
    docs.global = nullptr;
    SetupLogError("Can't write %s", path);
    SetupExit(nullptr, nullptr, 111, "SG");
  }
  return 0;
}

int SetupOneComponentXml() {
  if (g_options.singleComponentArchive[0] == 0) return 1;
  if (!g_context.productInstalled) return 0;
  char temp[MAX_PATH];
  TempPath(temp);
  StrAppendN(temp, "setupc.xml", sizeof temp);
  SysDeleteFile(temp);
  if (!ExtractArchiveEntry(g_options.singleComponentArchive, temp, "setupc.xml")) return 0;
  XML_Document* doc = nullptr;
  XML_Node* root = XML_Access(temp, &doc, 0);
  if (root == nullptr) return 0;
  char title[MAX_PATH];
  char platform[20];
  bool found = Attribute(doc, XML_Find(doc, root, u"DISPLAY", XML_OPEN_EXISTING), u"NAME", title,
                         sizeof title) &&
               Attribute(doc, XML_Find(doc, root, u"SETUP", XML_OPEN_EXISTING), u"PLATFORM",
                         platform, sizeof platform);
  XML_Close(doc);
  SysDeleteFile(temp);
  if (!found) return 0;
  // Every value passes the escaper: a title with '"' or '&' would otherwise break the document,
  // and one with letters of the ANSI code page could be read as UTF-8.
  static char escaped[3][8 * MAX_PATH];
  XML_EscapeA(title, escaped[0], sizeof escaped[0]);
  XML_EscapeA(platform, escaped[1], sizeof escaped[1]);
  XML_EscapeA(g_options.singleComponentArchive, escaped[2], sizeof escaped[2]);
  static char text[20 * MAX_PATH];
  int length = snprintf(text, sizeof text,
                        "<?xml version=\"1.0\"?>\n"
                        "<ZORVAGLOBALSETUP>\n"
                        " <DISPLAY TITLE=\"%s\"></DISPLAY>\n"
                        " <SETUP REQUIRED_OS=\"%s\" INSTALLPATH=\"%%PROGRAMFILES%%\\Vesk\" "
                        "DAT_CNT=\"0\"></SETUP>\n"
                        " <COMPONENTS>\n"
                        "  <COMPONENT ARCHIVE=\"%s\" />\n"
                        " </COMPONENTS>\n"
                        "</ZORVAGLOBALSETUP>\n",
                        escaped[0], escaped[1], escaped[2]);
  if (length <= 0 || length >= static_cast<int>(sizeof text)) return 0;
  // Written where the run reads its description from, the setup folder's "setupc.xml".
  if (!FileWriteWhole(g_options.setupDescFile, text, static_cast<DWORD>(length))) return 0;
  SetupLog("OneComponent xml created");
  return 1;
}
