// Test doubles of the workers the driver calls (global setup
// description, runtime libraries, install transaction, registration, authorization, package
// model). Test tool, not product: results come from a script (env ZS_SEQ_SCRIPT, lines
// "key=value", '#' comments) and every call is appended to a journal (env ZS_SEQ_JOURNAL), one
// line each, so sequence tests can check what ran in which order.
//
// Script keys (defaults in brackets):
//   <worker>=N               result of that worker [success: 1, or 0 for those whose 0 is success]
//   component=NAME|EXES|GUIS one package component (repeatable): display name, comma-separated
//                            component and user-interface library files taken from the setup
//                            folder, copied into %TEMP%\zrvtmp<letter>\ and loaded from there
//   installed=NAME|FOLDER|EXES one installed component (repeatable), its libraries loaded later
//                            from <install folder>\Setup\FOLDER\ by the driver
//   rollBackAll.exit=N       the first rollBackAll ends the run again through the exit path
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <string>
#include <vector>

#include "auth/authorize.h"
#include "auth/privatefolder.h"
#include "driver/globalxml.h"
#include "driver/rollback.h"
#include "driver/runtimelibs.h"
#include "driver/space.h"
#include "install/engines.h"
#include "install/filecopy.h"
#include "install/rollback.h"
#include "install/uninstall.h"
#include "package/model.h"
#include "registration/registration.h"
#include "run/context.h"
#include "run/exit.h"
#include "system/str.h"
#include "xml/xml.h"

namespace {

std::string Env(const char* name) {
  char value[MAX_PATH];
  DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n == 0 || n >= sizeof value ? std::string() : std::string(value, n);
}

std::vector<std::string> ScriptLines() {
  std::vector<std::string> lines;
  std::string path = Env("ZS_SEQ_SCRIPT");
  if (path.empty()) return lines;
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) return lines;
  char line[1024];
  while (fgets(line, sizeof line, f) != nullptr) {
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    if (!s.empty() && s[0] != '#') lines.push_back(s);
  }
  fclose(f);
  return lines;
}

std::vector<std::string> ScriptValues(const std::string& key) {
  std::vector<std::string> values;
  for (const std::string& line : ScriptLines()) {
    if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 &&
        line[key.size()] == '=') {
      values.push_back(line.substr(key.size() + 1));
    }
  }
  return values;
}

int ScriptInt(const std::string& key, int fallback) {
  std::vector<std::string> values = ScriptValues(key);
  return values.empty() ? fallback : atoi(values.front().c_str());
}

void Journal(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Journal(const char* format, ...) {
  std::string path = Env("ZS_SEQ_JOURNAL");
  if (path.empty()) return;
  FILE* f = fopen(path.c_str(), "a");
  if (f == nullptr) return;
  va_list args;
  va_start(args, format);
  vfprintf(f, format, args);
  va_end(args);
  fputc('\n', f);
  fclose(f);
}

// A worker's scripted result, journaled.
int Result(const char* worker, int fallback) {
  int result = ScriptInt(worker, fallback);
  Journal("%s -> %d", worker, result);
  return result;
}

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(sep, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

std::vector<std::string> Files(const std::string& list) {
  std::vector<std::string> files;
  for (const std::string& f : Split(list, ',')) {
    if (!f.empty()) files.push_back(f);
  }
  return files;
}

// Writes text as global.xml in the temporary folder and points the context at it.
bool WriteGlobalXml(const char* text) {
  char path[MAX_PATH];
  DWORD n = GetTempPathA(MAX_PATH, path);
  if (n == 0 || n >= MAX_PATH) return false;
  StrAppendN(path, "global.xml", sizeof path);
  FILE* f = fopen(path, "wb");
  if (f == nullptr) return false;
  fputs(text, f);
  fclose(f);
  AnsiToWide(reinterpret_cast<wchar16*>(g_context.globalXmlPath), path, MAX_PATH);
  return true;
}

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  return module == nullptr
             ? nullptr
             : reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Fills the package components as the global setup description would: each library copied from
// the setup folder into the component's temporary folder and loaded from there.
void MakePackageComponents() {
  std::vector<std::string> specs = ScriptValues("component");
  if (specs.empty()) return;
  auto* comps = static_cast<ComponentDesc*>(calloc(specs.size(), sizeof(ComponentDesc)));
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  for (size_t i = 0; i < specs.size(); ++i) {
    std::vector<std::string> parts = Split(specs[i], '|');
    parts.resize(3);
    ComponentDesc& c = comps[i];
    StrCopyN(c.displayName, parts[0].c_str(), sizeof c.displayName);
    StrCopyN(c.name, parts[0].c_str(), sizeof c.name);
    snprintf(c.folder, sizeof c.folder, "%szrvtmp%c\\", temp, static_cast<char>('a' + i));
    CreateDirectoryA(c.folder, nullptr);
    std::vector<std::string> exes = Files(parts[1]);
    std::vector<std::string> guis = Files(parts[2]);
    c.exeLibCount = static_cast<int32_t>(exes.size());
    c.exeLibs = static_cast<ExeLib*>(calloc(exes.size() + 1, sizeof(ExeLib)));
    for (size_t e = 0; e < exes.size(); ++e) {
      ExeLib& lib = c.exeLibs[e];
      StrCopyN(lib.fileName, exes[e].c_str(), sizeof lib.fileName);
      std::string from = std::string(g_context.setupDir) + exes[e];
      std::string to = std::string(c.folder) + exes[e];
      CopyFileA(from.c_str(), to.c_str(), FALSE);
      lib.module = LoadLibraryA(to.c_str());
      lib.exeProc = Export<ExeProcFn>(lib.module, "exeProc");
    }
    c.guiLibCount = static_cast<int32_t>(guis.size());
    c.guiLibs = static_cast<GuiLib*>(calloc(guis.size() + 1, sizeof(GuiLib)));
    for (size_t g = 0; g < guis.size(); ++g) {
      GuiLib& gui = c.guiLibs[g];
      StrCopyN(gui.fileName, guis[g].c_str(), sizeof gui.fileName);
      for (size_t e = 0; e < exes.size(); ++e) {
        if (lstrcmpiA(exes[e].c_str(), guis[g].c_str()) == 0) {
          gui.shared = 1;
          gui.module = c.exeLibs[e].module;
        }
      }
      if (g_options.silent) continue;
      if (!gui.shared) {
        std::string from = std::string(g_context.setupDir) + guis[g];
        std::string to = std::string(c.folder) + guis[g];
        CopyFileA(from.c_str(), to.c_str(), FALSE);
        gui.module = LoadLibraryA(to.c_str());
      }
      gui.connectVis = Export<ConnectVisFn>(gui.module, "connectVis");
      gui.disconnectVis = Export<DisconnectVisFn>(gui.module, "disconnectVis");
    }
  }
  g_context.components = comps;
  g_context.componentCount = static_cast<int32_t>(specs.size());
}

}  // namespace

// ---- Global setup description ----

int SetupBuildGlobalXml() {
  int result = Result("SetupBuildGlobalXml", 0);
  if (result == 0) {
    WriteGlobalXml("<ZORVASETUP><PACKAGE><SETUP /></PACKAGE></ZORVASETUP>");
    MakePackageComponents();
  }
  return result;
}

void SetupDeleteExtractionFolders() {}

int SetupOneComponentXml() { return Result("SetupOneComponentXml", 1); }

int SetupSaveGlobalXml(XML_Document** doc, XML_Node*) {
  Journal("SetupSaveGlobalXml");
  XML_Close(*doc);
  *doc = nullptr;
  return 0;
}

// ---- Runtime libraries ----

int SetupCheckRuntimeLibraries() { return Result("SetupCheckRuntimeLibraries", 0); }
int SetupInstallRuntimeLibraries(int* messageId) {
  *messageId = Result("SetupInstallRuntimeLibraries", 0);
  return *messageId;
}

// ---- Install transaction ----

void RollbackPush(const SetupExitContext*, int kind, const char*, const char*) {
  Journal("RollbackPush %d", kind);
}

void rollBackAll() {
  // Calls are counted per journal, so each test (or run) counts its own.
  int calls = 1;
  std::string journal = Env("ZS_SEQ_JOURNAL");
  FILE* f = journal.empty() ? nullptr : fopen(journal.c_str(), "r");
  if (f != nullptr) {
    char line[1024];
    while (fgets(line, sizeof line, f) != nullptr) {
      if (strncmp(line, "rollBackAll", 11) == 0) ++calls;
    }
    fclose(f);
  }
  Journal("rollBackAll call %d", calls);
  int again = ScriptInt("rollBackAll.exit", 0);
  if (again != 0 && calls == 1) SetupExit(nullptr, nullptr, again, "again");
}

void RollbackDiscard() { Journal("RollbackDiscard"); }
int commitChanges() {
  Journal("commitChanges");
  return 1;
}
void SetupUnistallCommon(XML_Document*) { Journal("SetupUnistallCommon"); }
void SetupMergeUnistallInfo(XML_Document*) { Journal("SetupMergeUnistallInfo"); }
// Not journaled: the sequences' journals stay as they were before the check existed.
int SetupCheckSpaceBeforeCopy(char* text, int) {
  text[0] = 0;
  return ScriptInt("SetupCheckSpaceBeforeCopy", 0);
}
int SetupCopyFiles(XML_Document*) { return Result("SetupCopyFiles", 1); }
void SetupRollbackFiles(XML_Document*) { Journal("SetupRollbackFiles"); }
void SetupRecoverCopies() {}
void SetupForgetCopies() {}
void SetupRollbackCommon(XML_Document*) { Journal("SetupRollbackCommon"); }
int SetupCommitChanges(XML_Document*) { return Result("SetupCommitChanges", 1); }
int SetupCopyEngines() { return Result("SetupCopyEngines", 1); }
int SetupCommitEngines() { return Result("SetupCommitEngines", 1); }
void SetupFreeEngineList() { g_context.engineList = nullptr; }

int SetupBuildGlobalFromUninst() {
  int result = Result("SetupBuildGlobalFromUninst", 1);
  if (result == 1) WriteGlobalXml("<ZORVASETUP><UNINSTALL /></ZORVASETUP>");
  return result;
}

int SetupRemoveProductFolders(int) {
  Journal("SetupRemoveProductFolders");
  return 1;
}
int SetupMarkUninstalling() { return 1; }
int SetupUninstallingMarked() { return 0; }
int SetupRemoveUninstallEntry() {
  Journal("SetupRemoveUninstallEntry");
  return 1;
}
int SetupRemoveProductKeys() {
  Journal("SetupRemoveProductKeys");
  return 1;
}
int SetupRemoveEmptyProductKeys() {
  Journal("SetupRemoveEmptyProductKeys");
  return 1;
}
bool SetupIsProductKeyPath(const char*) { return false; }
void SetupWriteRestartEntry(const char*) { Journal("SetupWriteRestartEntry"); }

// ---- Registration ----

void RegReadInstalledComponents() {
  Journal("RegReadInstalledComponents");
  std::vector<std::string> specs = ScriptValues("installed");
  if (specs.empty()) return;
  auto* comps = static_cast<ComponentDesc*>(calloc(specs.size(), sizeof(ComponentDesc)));
  for (size_t i = 0; i < specs.size(); ++i) {
    std::vector<std::string> parts = Split(specs[i], '|');
    parts.resize(3);
    ComponentDesc& c = comps[i];
    StrCopyN(c.displayName, parts[0].c_str(), sizeof c.displayName);
    StrCopyN(c.name, parts[0].c_str(), sizeof c.name);
    StrCopyN(c.folder, parts[1].c_str(), sizeof c.folder);
    std::vector<std::string> exes = Files(parts[2]);
    c.exeLibCount = static_cast<int32_t>(exes.size());
    c.exeLibs = static_cast<ExeLib*>(calloc(exes.size() + 1, sizeof(ExeLib)));
    for (size_t e = 0; e < exes.size(); ++e) {
      StrCopyN(c.exeLibs[e].fileName, exes[e].c_str(), sizeof c.exeLibs[e].fileName);
    }
  }
  g_context.installedComponents = comps;
  g_context.installedComponentCount = static_cast<int32_t>(specs.size());
}

int CheckInstalledVersions() { return Result("CheckInstalledVersions", 0); }
int RegInstallFolderCreated() { return ScriptInt("RegInstallFolderCreated", 1); }
int RegWriteProductRoot() { return Result("RegWriteProductRoot", 0); }
int RegWriteRegistration() { return Result("RegWriteRegistration", 1); }

// ---- Authorization and package model ----

int RemoteAuthorize(const char* host, int port) {
  int result = ScriptInt("RemoteAuthorize", 0);
  Journal("RemoteAuthorize %s %d -> %d", host, port, result);
  return result;
}

// The private temporary folder of an authorized run: the sequences keep the temporary folder.
DWORD AuthUsePrivateTempFolder(char* folder) {
  folder[0] = 0;
  return 0;
}
void AuthReleasePrivateTempFolder() {}

int SetupMergePluginSettings(XML_Document*, XML_Document* srcDoc, XML_Node* srcSettings) {
  // Journals the source settings' first PLUGIN ID, so a test can tell which text was merged.
  wchar16 id[64] = {};
  int count = 64;
  XML_Node* plugin = XML_NextElement(srcSettings, u"PLUGIN", nullptr);
  if (plugin == nullptr || XML_GetAttribute(srcDoc, plugin, u"ID", id, &count) != 0) id[0] = 0;
  char narrow[64];
  WideToAnsi(narrow, id, sizeof narrow);
  int result = ScriptInt("SetupMergePluginSettings", 1);
  Journal("SetupMergePluginSettings %s -> %d", narrow, result);
  return result;
}
