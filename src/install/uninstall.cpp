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

// FileDeleteMatching with scheduling on a folder of the product; a folder that is not there is
// removed already (an uninstallation run again).
int RemoveFolder(const char* folder) {
  if (GetFileAttributesA(folder) == INVALID_FILE_ATTRIBUTES) return 1;
  return FileDeleteMatching(folder, 1, "*.*", 1);
}

}  // namespace

int SetupRemoveProductFolders(int folderCreated) {
  // Checked before anything is emptied: the registry may name any folder, and the components'
  // folders lie below it too.
  if (!StrIsAbsolutePath(g_context.installDir) || SharedFolder(g_context.installDir)) {
    SetupLogError("Install folder not removed: %s", g_context.installDir);
    return 1;
  }
  int removed = 1;
  char setupFolder[MAX_PATH];
  Join(setupFolder, g_context.installDir, "Setup\\");
  for (int i = 0; i < g_context.installedComponentCount && g_context.installedComponents; ++i) {
    const ComponentDesc& c = g_context.installedComponents[i];
    // Anything but the two digits we write is not ours to empty.
    if (!SetupIsComponentFolder(c.folder)) continue;
    char folder[MAX_PATH];
    Join(folder, setupFolder, c.folder);
    removed &= RemoveFolder(folder);
  }
  char folder[MAX_PATH];
  Join(folder, g_context.installDir, "Setup");
  removed &= RemoveFolder(folder);
  if (folderCreated) return removed & RemoveFolder(g_context.installDir);
  SetupLog("Install folder held files before the installation: %s", g_context.installDir);
  // A folder that still holds files is never removed: a removal scheduled for the restart fails
  // there too while anything is left in it.
  if (GetFileAttributesA(g_context.installDir) != INVALID_FILE_ATTRIBUTES) {
    removed &= DirRemoveOrSchedule(g_context.installDir);
  }
  return removed;
}

namespace {

const char* const kProductKeys[] = {"HKLM\\" REG_PRODUCT_KEY, "HKLM\\Software\\Vesk\\Zrv",
                                    "HKLM\\Software\\Vesk"};

}  // namespace

bool SetupIsProductKeyPath(const char* path) {
  for (const char* key : kProductKeys) {
    if (lstrcmpiA(path, key) == 0) return true;
  }
  return false;
}

int SetupRemoveProductKeys() {
  // "Info" with the install folder goes last, in one deletion: until then the product counts as
  // installed, and an uninstallation cut short can be run again.
  KeyGuard product;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, REG_PRODUCT_KEY, 0, KEY_READ | KEY_WRITE, &product.key) ==
      ERROR_SUCCESS) {
    for (DWORD i = 0;;) {
      char child[256];
      DWORD length = sizeof child;
      if (RegEnumKeyExA(product.key, i, child, &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
      if (lstrcmpiA(child, "Info") == 0 || RegDeleteKeyTree(product.key, child) != ERROR_SUCCESS) {
        ++i;
      }
    }
  } else {
    product.key = nullptr;
  }
  RegRemoveItem(kProductKeys[0], REG_ITEM_KEY);
  return !RegProductKeyExists() && SetupRemoveEmptyProductKeys() ? 1 : 0;
}

int SetupRemoveEmptyProductKeys() {
  // RegRemoveItem gives 0 for a key that is not empty too (another product of the maker's): only
  // an empty key that is still there failed.
  int removed = 1;
  for (const char* path : kProductKeys) {
    if (RegRemoveItem(path, REG_ITEM_KEY_IF_EMPTY)) continue;
    const char* cursor = path;
    HKEY root = RegParseRoot(&cursor);
    KeyGuard key;
    DWORD subkeys = 0, values = 0;
    if (RegOpenKeyExA(root, cursor, 0, KEY_READ, &key.key) != ERROR_SUCCESS) {
      key.key = nullptr;
      continue;
    }
    if (RegQueryInfoKeyA(key.key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
        (subkeys == 0 && values == 0)) {
      removed = 0;
    }
  }
  return removed;
}

int SetupMarkUninstalling() {
  KeyGuard info;
  return RegOpenKeyByAccess(HKEY_LOCAL_MACHINE, REG_PRODUCT_INFO_KEY, KEY_ALL_ACCESS, &info.key) ==
                     ERROR_SUCCESS &&
                 RegWriteDword(info.key, "Uninstalling", 1)
             ? 1
             : 0;
}

int SetupUninstallingMarked() {
  KeyGuard info;
  DWORD marked = 0;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, REG_PRODUCT_INFO_KEY, 0, KEY_READ, &info.key) !=
      ERROR_SUCCESS) {
    info.key = nullptr;
    return 0;
  }
  return RegReadDword(info.key, "Uninstalling", &marked) && marked == 1 ? 1 : 0;
}

int SetupRemoveUninstallEntry() {
  KeyGuard key;
  if (RegOpenKeyByAccess(HKEY_LOCAL_MACHINE,
                         "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", KEY_ALL_ACCESS,
                         &key.key) != ERROR_SUCCESS) {
    key.key = nullptr;
    return 0;
  }
  LONG status = RegDeleteKeyTree(key.key, "ZORVA");
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? 1 : 0;
}
