// The registry's record of the installed product: reading what an earlier installation
// registered, the product's root keys, and the registration with the uninstall entry and
// uninst.xml.
#include "registration/registration.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "install/engines.h"
#include "install/journal.h"
#include "install/rollback.h"
#include "install/uninstall.h"
#include "package/access.h"
#include "package/layout.h"
#include "package/model.h"
#include "run/context.h"
#include "run/exit.h"
#include "run/messages.h"
#include "system/files.h"
#include "system/guards.h"
#include "system/hook.h"
#include "system/os.h"
#include "system/registry.h"
#include "system/str.h"
#include "xml/xml.h"

namespace {

const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ZORVA";
const char kInstalledComponents[] = REG_PRODUCT_KEY "\\InstalledComponents";
const int kNameBuffer = 100;
// Beside "InstallDir": 1 when the first installation created the install folder or found it empty,
// 0 when the folder held something before (a person's files, which the uninstallation must keep).
const char kInstallDirCreated[] = "InstallDirCreated";

// Whether the install folder held nothing before this run's RegWriteProductRoot, and whether that
// run made it.
bool g_installFolderWasEmpty = false;
bool g_madeInstallFolder = false;

// ---- Reading ----

// Counts the values of key whose names start with prefix (8 characters, case-sensitive).
int CountPrefixed(HKEY key, const char* prefix) {
  int count = 0;
  for (DWORD i = 0;; ++i) {
    char name[kNameBuffer];
    DWORD size = sizeof name;
    LONG rc = RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    // Anything but success or a long name ends the walk: a key removed meanwhile must not
    // keep it going.
    if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) break;
    if (rc == ERROR_SUCCESS && strncmp(name, prefix, 8) == 0) ++count;
  }
  return count;
}

// Reads the "<prefix><index>" values into the file names of count entries spaced stride bytes.
void ReadLibraryNames(HKEY key, const char* prefix, char* first, size_t stride, int count) {
  for (DWORD i = 0;; ++i) {
    char name[kNameBuffer];
    DWORD size = sizeof name;
    LONG rc = RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS || (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA)) break;
    if (rc != ERROR_SUCCESS || strncmp(name, prefix, 8) != 0) continue;
    int index = atoi(name + 8);
    if (index < 0 || index >= count) continue;
    char* fileName = first + stride * static_cast<size_t>(index);
    if (!RegReadString(key, name, fileName, 20)) fileName[0] = 0;
  }
}

void ReadComponent(HKEY parent, ComponentDesc* c) {
  KeyGuard key;
  if (RegOpenKeyByAccess(parent, c->name, KEY_READ, &key.key) != ERROR_SUCCESS) return;
  DWORD build = 0;
  if (!RegReadDword(key.key, "Build", &build)) build = 0;
  c->build = static_cast<int32_t>(build);
  if (!RegReadString(key.key, "Path", c->folder, sizeof c->folder)) c->folder[0] = 0;
  if (!RegReadString(key.key, "DispName", c->displayName, sizeof c->displayName)) {
    c->displayName[0] = 0;
  }
  int exe = CountPrefixed(key.key, "ExeSetup");
  int gui = CountPrefixed(key.key, "VisSetup");
  c->exeLibs = static_cast<ExeLib*>(calloc(static_cast<size_t>(exe) + 1, sizeof(ExeLib)));
  c->guiLibs = static_cast<GuiLib*>(calloc(static_cast<size_t>(gui) + 1, sizeof(GuiLib)));
  if (c->exeLibs == nullptr || c->guiLibs == nullptr) SetupExit(nullptr, nullptr, 103, nullptr);
  c->exeLibCount = exe;
  c->guiLibCount = gui;
  ReadLibraryNames(key.key, "ExeSetup", c->exeLibs[0].fileName, sizeof(ExeLib), exe);
  ReadLibraryNames(key.key, "VisSetup", c->guiLibs[0].fileName, sizeof(GuiLib), gui);
}

// ---- Writing ----

// Creates or opens parent\name for writing; *created tells whether this call made it.
LONG CreateKey(HKEY parent, const char* name, HKEY* out, bool* created) {
  DWORD disposition = 0;
  LONG rc = SysRegCreateKeyEx(parent, name, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, out,
                              &disposition);
  if (created != nullptr) *created = rc == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY;
  return rc;
}

// Before this run changes what lies below HKLM\path: when the key is there, pushes the undo
// action that puts its tree back as it is now (what this run creates below it goes, what it
// overwrites comes back). false when the key is there but cannot be saved.
bool SaveTreeForRollback(const char* path) {
  KeyGuard key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key.key) != ERROR_SUCCESS) {
    key.key = nullptr;
    return true;
  }
  RegTree* tree = RegSaveTree(HKEY_LOCAL_MACHINE, path);
  if (tree == nullptr) return false;
  RollbackPushTree(path, tree);
  return true;
}

void Join(char* out, const char* a, const char* b) {
  StrCopyN(out, a, MAX_PATH);
  StrAppendN(out, b, MAX_PATH);
}

bool IsFolder(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Copies folder + name into target + name beside what is there, with its rollback entry.
bool CopyLibrary(const char* folder, const char* name, const char* target) {
  char source[MAX_PATH];
  char destination[MAX_PATH];
  Join(source, folder, name);
  Join(destination, target, name);
  char alternate[MAX_PATH];
  if (!SetupJournalFile(destination) ||
      !FileCopyBeside(source, destination, 0, alternate, sizeof alternate)) {
    return false;
  }
  FileDecryptIfEncrypted(alternate[0] != 0 ? alternate : destination);
  RollbackPush(nullptr, ROLLBACK_FILE, destination, alternate);
  return true;
}

// Deletes "<prefix><n>" values for n at or above count, left by an earlier installation with
// more libraries: the uninstaller would otherwise load an obsolete library.
void DeleteStaleLibraryValues(HKEY key, const char* prefix, int count) {
  for (DWORD i = 0;;) {
    char name[kNameBuffer];
    DWORD size = sizeof name;
    LONG rc = RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS || (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA)) break;
    if (rc == ERROR_SUCCESS && strncmp(name, prefix, 8) == 0 && atoi(name + 8) >= count &&
        SysRegDeleteValue(key, name) == ERROR_SUCCESS) {
      continue;  // the values after it moved down by one
    }
    ++i;
  }
}

bool WriteComponent(HKEY components, ComponentDesc* c, const char* setupFolder) {
  KeyGuard key;
  if (RegOpenKeyByAccess(components, c->name, KEY_ALL_ACCESS, &key.key) != ERROR_SUCCESS ||
      !RegWriteDword(key.key, "Build", static_cast<DWORD>(c->build)) ||
      !RegWriteString(key.key, "DispName", c->displayName)) {
    return false;
  }
  char folderName[8];
  if (!PrepareComponentFolder(c, setupFolder, folderName) ||
      !RegWriteString(key.key, "Path", folderName)) {
    return false;
  }
  char target[MAX_PATH];
  Join(target, setupFolder, folderName);
  AddBackslash(target, sizeof target);
  // A library the uninstaller would not find (or not be told of) leaves the component's own
  // uninstallation undone: the registration fails instead.
  for (int j = 0; j < c->exeLibCount; ++j) {
    if (!RegWriteComponentLibrary(key.key, "ExeSetup", c->folder, c->exeLibs[j].fileName,
                                  c->exeLibs[j].resourceName, j, target, 1)) {
      return false;
    }
  }
  for (int j = 0; j < c->guiLibCount; ++j) {
    if (!RegWriteComponentLibrary(key.key, "VisSetup", c->folder, c->guiLibs[j].fileName,
                                  c->guiLibs[j].resourceName, j, target,
                                  c->guiLibs[j].shared == 0)) {
      return false;
    }
  }
  DeleteStaleLibraryValues(key.key, "ExeSetup", c->exeLibCount);
  DeleteStaleLibraryValues(key.key, "VisSetup", c->guiLibCount);
  return true;
}

// Places the running program and its visual and language libraries in the product setup
// folder, where "UninstallString" points. false when one of them could not be copied: the
// product could not be uninstalled.
bool CopySetupProgram(const char* setupFolder) {
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  if (n == 0 || n >= sizeof self) return false;
  char* slash = strrchr(self, '\\');
  if (slash == nullptr) return false;
  char folder[MAX_PATH];
  StrCopyN(folder, self, static_cast<int>(slash - self) + 2);
  // An uninstall program started from the setup folder is the running one: nothing to copy.
  if (lstrcmpiA(folder, setupFolder) == 0) return true;
  if (!CopyLibrary(folder, slash + 1, setupFolder)) return false;
  static const char* const kLibraries[] = {"main.dll", "mainlang.dll"};
  for (const char* name : kLibraries) {
    char path[MAX_PATH];
    Join(path, folder, name);
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES &&
        !CopyLibrary(folder, name, setupFolder)) {
      return false;
    }
  }
  return true;
}

bool WriteUninstallEntry(const char* setupFolder, bool* created) {
  char displayName[50];
  SetupLoadString(400, displayName, sizeof displayName);
  // Quoted: unquoted, a folder with blanks would let Windows run "C:\Program.exe" first.
  char command[MAX_PATH + 32];
  snprintf(command, sizeof command, "\"%ssetup.exe\" /UNINSTALL", setupFolder);
  char quiet[MAX_PATH + 48];
  snprintf(quiet, sizeof quiet, "%s /SILENTMODE", command);
  char version[16];
  snprintf(
      version, sizeof version, "%X",
      g_context.componentCount > 0 ? static_cast<unsigned>(g_context.components[0].build) : 0u);
  KeyGuard key;
  if (!SaveTreeForRollback(kUninstallKey)) return false;
  if (CreateKey(HKEY_LOCAL_MACHINE, kUninstallKey, &key.key, created) != ERROR_SUCCESS) {
    return false;
  }
  // A failed first installation must not leave an entry pointing at a removed program, whichever
  // value fails.
  if (*created) RollbackPush(nullptr, ROLLBACK_REGKEY, kUninstallKey + strlen("SOFTWARE\\"), "");
  if (!RegWriteString(key.key, "DisplayName", displayName) ||
      !RegWriteString(key.key, "UninstallString", command)) {
    return false;
  }
  if (SysIsNT() && !RegWriteDword(key.key, "TSAware", 1)) return false;
  // What inventory and deployment tools read besides the two values above.
  return RegWriteString(key.key, "DisplayVersion", version) &&
         RegWriteString(key.key, "Publisher", "Vesk") &&
         RegWriteString(key.key, "InstallLocation", g_context.installDir) &&
         RegWriteString(key.key, "QuietUninstallString", quiet) &&
         RegWriteDword(key.key, "NoModify", 1) && RegWriteDword(key.key, "NoRepair", 1);
}

// Before a file of the product is replaced (FileReplaceWhole): journals both names, and pushes the
// undo action that writes its present content back, or, when there is none, deletes it, and the
// one that deletes the new text left beside it. false when it is there but cannot be read, or the
// journal cannot be written.
bool KeepForRollback(const char* path) {
  char fresh[MAX_PATH];
  FileReplacementName(path, fresh);
  SetupJournalLines lines;
  lines.File(path);
  lines.File(fresh);
  if (!SetupJournalWrite(lines)) return false;
  RollbackPush(nullptr, ROLLBACK_FILE, fresh, "");
  HandleGuard file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return false;
    RollbackPush(nullptr, ROLLBACK_FILE, path, "");
    return true;
  }
  DWORD high = 0;
  DWORD size = GetFileSize(file.handle, &high);
  if (size == INVALID_FILE_SIZE || high != 0) return false;
  HeapGuard<char> content(static_cast<char*>(malloc(size > 0 ? size : 1)));
  DWORD read = 0;
  if (content.block == nullptr ||
      (size > 0 && (!ReadFile(file.handle, content.block, size, &read, nullptr) || read != size))) {
    return false;
  }
  RollbackPushContent(path, content.block, size);
  return true;
}

// Saves the UNINSTALL section of global.xml as uninst.xml. The product's own keys go on the list
// first, so that the uninstallation removes them too.
bool WriteUninstXml(const char* setupFolder) {
  char globalPath[MAX_PATH];
  WideToAnsi(globalPath, reinterpret_cast<const wchar16*>(g_context.globalXmlPath), MAX_PATH);
  XML_Document* global = nullptr;
  XML_Node* root = XML_Access(globalPath, &global, 1);
  if (root == nullptr) return false;
  SetupAddUninstall(global, "HKLM\\" REG_PRODUCT_KEY, LIST_REGKEY);
  SetupAddUninstall(global, "HKLM\\Software\\Vesk\\Zrv", LIST_REGKEY_IF_EMPTY);
  SetupAddUninstall(global, "HKLM\\Software\\Vesk", LIST_REGKEY_IF_EMPTY);
  SetupMergeUnistallInfo(global);
  XML_Node* uninstall = XML_FindChild(global, root, u"UNINSTALL", XML_OPEN_ALWAYS);
  bool written = false;
  if (uninstall != nullptr && SetupKeepRemovableEntries(global, uninstall)) {
    XML_Document* out = XML_Create();
    XML_Node* outRoot = out != nullptr ? XML_CreateRoot(out, u"ZORVASETUP") : nullptr;
    if (outRoot != nullptr &&
        XML_CopyElement(out, outRoot, u"UNINSTALL", global, uninstall, XML_OPEN_ALWAYS)) {
      int size = 0;
      XML_Serialize(out, outRoot, nullptr, &size);
      HeapGuard<char> text(size > 0 ? static_cast<char*>(malloc(static_cast<size_t>(size)))
                                    : nullptr);
      int capacity = size;
      if (text.block != nullptr && XML_Serialize(out, outRoot, text.block, &capacity) == 0) {
        char path[MAX_PATH];
        Join(path, setupFolder, "uninst.xml");
        written = KeepForRollback(path) &&
                  FileReplaceWhole(path, text.block, static_cast<DWORD>(strlen(text.block)));
      }
    }
    XML_Close(out);
  }
  // Closed on every path: the rollback opens it afterwards.
  if (XML_Close(global) != 0) written = false;
  return written;
}

}  // namespace

void RegReadInstalledComponents() {
  if (!g_context.productInstalled) return;
  {
    KeyGuard info;
    if (RegOpenKeyByAccess(HKEY_LOCAL_MACHINE, REG_PRODUCT_INFO_KEY, KEY_READ, &info.key) !=
        ERROR_SUCCESS) {
      return;
    }
    char language[20];
    if (!RegReadString(info.key, "Language", language, sizeof language)) language[0] = 0;
    StrCopyN(g_context.installedLanguage, language, sizeof g_context.installedLanguage);
  }
  KeyGuard components;
  if (RegOpenKeyByAccess(HKEY_LOCAL_MACHINE, kInstalledComponents, KEY_READ, &components.key) !=
      ERROR_SUCCESS) {
    return;
  }
  int count = 0;
  for (DWORD i = 0;; ++i) {
    char name[kNameBuffer];
    DWORD size = sizeof name;
    LONG rc = RegEnumKeyExA(components.key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) break;
    ++count;
  }
  if (count == 0) return;
  ComponentDesc* records =
      static_cast<ComponentDesc*>(calloc(static_cast<size_t>(count), sizeof(ComponentDesc)));
  if (records == nullptr) SetupExit(nullptr, nullptr, 103, nullptr);
  g_context.installedComponents = records;
  g_context.installedComponentCount = count;
  for (int i = 0; i < count; ++i) {
    char name[kNameBuffer];
    DWORD size = sizeof name;
    if (RegEnumKeyExA(components.key, static_cast<DWORD>(i), name, &size, nullptr, nullptr, nullptr,
                      nullptr) != ERROR_SUCCESS) {
      continue;
    }
    StrCopyN(records[i].name, name, sizeof records[i].name);
    ReadComponent(components.key, &records[i]);
  }
}

int RegInstallFolderCreated() {
  KeyGuard info;
  DWORD created = 0;
  if (RegOpenKeyByAccess(HKEY_LOCAL_MACHINE, REG_PRODUCT_INFO_KEY, KEY_READ, &info.key) ==
          ERROR_SUCCESS &&
      RegReadDword(info.key, kInstallDirCreated, &created)) {
    return created != 0 ? 1 : 0;
  }
  // Installations older than the record: only the default folder is surely the product's own.
  char folder[MAX_PATH];
  return SetupDefaultInstallFolder(folder) && lstrcmpiA(folder, g_context.installDir) == 0 ? 1 : 0;
}

int RegWriteProductRoot() {
  // Journaled before they are made: a run cut short leaves no folder the next run would take for
  // another's (see SetupRecoverCopies).
  char setupFolder[MAX_PATH];
  Join(setupFolder, g_context.installDir, "Setup\\");
  if (!SetupJournalFolder(g_context.installDir)) return 1;
  if (!SetupJournalFolder(setupFolder)) return 2;
  g_madeInstallFolder = FileCreateFolderPath(g_context.installDir) != 0;
  if (!g_madeInstallFolder) {
    if (!IsFolder(g_context.installDir)) return 1;
  } else {
    RollbackPush(nullptr, ROLLBACK_FOLDER, g_context.installDir, "");
  }
  // An empty folder (one made with the browser's "New folder", say) holds nothing of anyone's:
  // the product may take all of it at the uninstallation, the files it makes as it runs too.
  g_installFolderWasEmpty = g_madeInstallFolder || DirIsEmpty(g_context.installDir);
  if (!FileCreateFolderPath(setupFolder) && !IsFolder(setupFolder)) return 2;
  RollbackPush(nullptr, ROLLBACK_FOLDER, setupFolder, "");

  KeyGuard software;
  if (RegOpenKeyByAccess(HKEY_LOCAL_MACHINE, "SOFTWARE", KEY_ALL_ACCESS, &software.key) !=
      ERROR_SUCCESS) {
    return 3;
  }
  // The rollback removes the topmost key this run made, pushed as soon as it is made, and
  // nothing above it: keys of another product of the maker stay. When the product's key was
  // there (an earlier installation, or keys left without one), its tree is put back as it was,
  // so that the subkeys this run makes below it go and the values it overwrites come back.
  if (!SaveTreeForRollback(REG_PRODUCT_KEY)) return 6;
  static const char* const kPath[] = {"Vesk", "ZRV", "CurrentVersion"};
  static const char* const kTopmost[] = {"Vesk", "Vesk\\ZRV", "Vesk\\ZRV\\CurrentVersion"};
  KeyGuard keys[3];
  bool madeOne = false;
  for (int i = 0; i < 3; ++i) {
    bool created = false;
    if (CreateKey(i == 0 ? software.key : keys[i - 1].key, kPath[i], &keys[i].key, &created) !=
        ERROR_SUCCESS) {
      return 4 + i;
    }
    if (created && !madeOne) RollbackPush(nullptr, ROLLBACK_REGKEY, kTopmost[i], "");
    madeOne = madeOne || created;
  }
  KeyGuard& current = keys[2];
  {
    KeyGuard common;
    if (CreateKey(current.key, "Common", &common.key, nullptr) != ERROR_SUCCESS) return 7;
  }
  {
    KeyGuard control;
    if (CreateKey(current.key, "ControlCenter", &control.key, nullptr) != ERROR_SUCCESS) return 8;
  }
  {
    KeyGuard info;
    if (CreateKey(current.key, "Info", &info.key, nullptr) != ERROR_SUCCESS) return 9;
    SYSTEMTIME now;
    GetLocalTime(&now);
    DWORD date =
        (static_cast<DWORD>(now.wDay) << 24) + (static_cast<DWORD>(now.wMonth) << 16) + now.wYear;
    // A product registered without its date would pass for complete: the step fails instead.
    if (!RegWriteDword(info.key, "Date", date)) return 9;
  }
  KeyGuard components;
  if (CreateKey(current.key, "InstalledComponents", &components.key, nullptr) != ERROR_SUCCESS) {
    return 10;
  }
  for (int i = 0; i < g_context.componentCount; ++i) {
    KeyGuard component;
    if (CreateKey(components.key, g_context.components[i].name, &component.key, nullptr) !=
        ERROR_SUCCESS) {
      return 11 + i;
    }
  }
  return 0;
}

int PrepareComponentFolder(ComponentDesc* component, const char* setupFolder, char* folderName) {
  char path[MAX_PATH];
  // The counterpart's folder only when it is one we name: anything else gets a new one.
  if (component->counterpart != nullptr && SetupIsComponentFolder(component->counterpart->folder)) {
    StrCopyN(folderName, component->counterpart->folder, 8);
    Join(path, setupFolder, folderName);
    if (!SetupJournalFolder(path)) return 0;
    if (FileCreateFolderPath(path)) {
      RollbackPush(nullptr, ROLLBACK_FOLDER, path, "");
      return 1;
    }
    return IsFolder(path) ? 1 : 0;
  }
  for (int n = 0; n < 100; ++n) {
    snprintf(folderName, 8, "%02d", n);
    Join(path, setupFolder, folderName);
    if (!SetupJournalFolder(path)) return 0;
    if (FileCreateFolderPath(path)) {
      RollbackPush(nullptr, ROLLBACK_FOLDER, path, "");
      return 1;
    }
    // Only a name in use is passed over: a folder that cannot be made fails the registration.
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  folderName[0] = 0;
  return 0;
}

int RegWriteComponentLibrary(HKEY key, const char* prefix, const char* sourceFolder,
                             const char* fileName, const char* resourceName, int index,
                             const char* targetFolder, int copy) {
  SysPumpMessages();
  char name[16];
  snprintf(name, sizeof name, "%s%d", prefix, index % 100);
  if (!RegWriteString(key, name, fileName)) return 0;
  if (!copy) return 1;
  const char* const files[] = {fileName, resourceName};
  for (const char* file : files) {
    if (file[0] == 0 || strcmp(file, "unknown") == 0) continue;
    if (!CopyLibrary(sourceFolder, file, targetFolder)) return 0;
  }
  return 1;
}

int RegWriteRegistration() {
  SysPumpMessages();
  char setupFolder[MAX_PATH];
  Join(setupFolder, g_context.installDir, "Setup\\");
  {
    KeyGuard info;
    if (RegOpenKeyByAccess(HKEY_LOCAL_MACHINE, REG_PRODUCT_INFO_KEY, KEY_ALL_ACCESS, &info.key) !=
        ERROR_SUCCESS) {
      return 0;
    }
    // Recorded at the first installation only: an upgrade finds the folder there, made by the
    // installation it upgrades. A folder this run had to make again is the product's either way.
    if ((!g_context.productInstalled || g_madeInstallFolder) &&
        !RegWriteDword(info.key, kInstallDirCreated, g_installFolderWasEmpty ? 1 : 0)) {
      return 0;
    }
    char language[20];
    StrCopyN(language,
             g_context.componentCount > 0 ? g_context.components[0].language
                                          : RegLanguageName(g_context.installedLanguage),
             sizeof language);
    if (!RegWriteString(info.key, "Language", language)) return 0;
  }
  KeyGuard components;
  if (RegOpenKeyByAccess(HKEY_LOCAL_MACHINE, kInstalledComponents, KEY_ALL_ACCESS,
                         &components.key) != ERROR_SUCCESS ||
      !SetupWriteEngineBuilds(components.key)) {
    return 0;
  }
  for (int i = 0; i < g_context.componentCount; ++i) {
    if (!WriteComponent(components.key, &g_context.components[i], setupFolder)) return 0;
  }
  if (!CopySetupProgram(setupFolder)) return 0;
  bool created = false;
  if (!WriteUninstallEntry(setupFolder, &created) || !WriteUninstXml(setupFolder)) return 0;
  // The install folder goes in last: while it is missing the product counts as not installed, so
  // a run cut short before (the process ended) is run again as the first installation it was,
  // never as an upgrade of a registration in part.
  KeyGuard info;
  return RegOpenKeyByAccess(HKEY_LOCAL_MACHINE, REG_PRODUCT_INFO_KEY, KEY_ALL_ACCESS, &info.key) ==
                     ERROR_SUCCESS &&
                 RegWriteString(info.key, "InstallDir", g_context.installDir)
             ? 1
             : 0;
}
