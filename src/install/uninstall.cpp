// Removing the installed product: global.xml rebuilt from uninst.xml, the product's folders and
// its uninstall entry.
#include "install/uninstall.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "driver/context.h"
#include "driver/globalxml.h"
#include "driver/log.h"
#include "system/files.h"
#include "system/guards.h"
#include "system/hook.h"
#include "system/registry.h"
#include "system/str.h"
#include "xml/xml.h"

namespace {

void Join(char* out, const char* a, const char* b) {
  StrCopyN(out, a, MAX_PATH);
  StrAppendN(out, b, MAX_PATH);
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

// The folders whose files are never the product's alone, whatever the registry names as the
// install folder: a drive root, the Windows, System and Program Files folders.
bool SharedFolder(const char* folder) {
  char path[MAX_PATH];
  StrCopyN(path, folder, sizeof path);
  size_t len = strlen(path);
  while (len > 0 && path[len - 1] == '\\') path[--len] = 0;
  if (len <= 2) return true;
  char shared[3][MAX_PATH] = {};
  GetWindowsDirectoryA(shared[0], MAX_PATH);
  GetSystemDirectoryA(shared[1], MAX_PATH);
  StrCopyN(shared[2], g_context.programFilesDir, MAX_PATH);
  for (char* s : shared) {
    size_t n = strlen(s);
    while (n > 0 && s[n - 1] == '\\') s[--n] = 0;
    if (n > 0 && lstrcmpiA(s, path) == 0) return true;
  }
  // A short (8.3) spelling of one of them counts too. NT 4.0 has no long-name lookup.
  typedef DWORD(WINAPI * LongPathFn)(const char*, char*, DWORD);
  static LongPathFn longPath = reinterpret_cast<LongPathFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetLongPathNameA")));
  if (longPath == nullptr) return false;
  char longForm[MAX_PATH];
  DWORD n = longPath(path, longForm, sizeof longForm);
  return n > 0 && n < sizeof longForm && lstrcmpiA(longForm, path) != 0 && SharedFolder(longForm);
}

}  // namespace

int SetupBuildGlobalFromUninst() {
  char path[MAX_PATH];
  DWORD n = GetTempPathA(sizeof path, path);
  if (n == 0 || n >= sizeof path) path[0] = 0;
  StrAppendN(path, "global.xml", sizeof path);
  AnsiToWide(reinterpret_cast<wchar16*>(g_context.globalXmlPath), path, MAX_PATH);

  XML_Document* doc = XML_Create();
  XML_Node* root = doc != nullptr ? XML_CreateRoot(doc, u"ZORVASETUP") : nullptr;
  if (root == nullptr) {
    XML_Close(doc);
    return 0;
  }
  char uninst[MAX_PATH];
  Join(uninst, g_context.installDir, "Setup\\uninst.xml");
  DWORD size = 0;
  HeapGuard<char> text(ReadWhole(uninst, &size));
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

void SetupRemoveProductFolders(int folderCreated) {
  // Checked before anything is emptied: the registry may name any folder, and the components'
  // folders lie below it too.
  if (!StrIsAbsolutePath(g_context.installDir) || SharedFolder(g_context.installDir)) {
    SetupLogError("Install folder not removed: %s", g_context.installDir);
    return;
  }
  char setupFolder[MAX_PATH];
  Join(setupFolder, g_context.installDir, "Setup\\");
  for (int i = 0; i < g_context.installedComponentCount && g_context.installedComponents; ++i) {
    const ComponentDesc& c = g_context.installedComponents[i];
    // Anything but the two digits we write is not ours to empty.
    if (!SetupIsComponentFolder(c.folder)) continue;
    char folder[MAX_PATH];
    Join(folder, setupFolder, c.folder);
    FileDeleteMatching(folder, 1, "*.*", 1);
  }
  char folder[MAX_PATH];
  Join(folder, g_context.installDir, "Setup");
  FileDeleteMatching(folder, 1, "*.*", 1);
  if (folderCreated) {
    FileDeleteMatching(g_context.installDir, 1, "*.*", 1);
    return;
  }
  SetupLog("Install folder held files before the installation: %s", g_context.installDir);
  // A folder that still holds files is never removed: a removal scheduled for the restart fails
  // there too while anything is left in it.
  DirRemoveOrSchedule(g_context.installDir);
}

void SetupRemoveUninstallEntry() {
  KeyGuard key;
  if (RegOpenKeyByAccess(HKEY_LOCAL_MACHINE,
                         "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", KEY_ALL_ACCESS,
                         &key.key) == ERROR_SUCCESS) {
    RegDeleteKeyTree(key.key, "ZORVA");
  }
}
