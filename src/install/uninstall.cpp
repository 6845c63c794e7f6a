// Removing the installed product: the product's folders and its uninstall entry.
#include "install/uninstall.h"

#include <string.h>
#include <windows.h>

#include "run/context.h"
#include "run/log.h"
#include "system/files.h"
#include "system/guards.h"
#include "system/libload.h"
#include "system/registry.h"
#include "system/str.h"

namespace {

void Join(char* out, const char* a, const char* b) {
  StrCopyN(out, a, MAX_PATH);
  StrAppendN(out, b, MAX_PATH);
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
  static LongPathFn longPath = SysKernel32Export<LongPathFn>("GetLongPathNameA");
  if (longPath == nullptr) return false;
  char longForm[MAX_PATH];
  DWORD n = longPath(path, longForm, sizeof longForm);
  return n > 0 && n < sizeof longForm && lstrcmpiA(longForm, path) != 0 && SharedFolder(longForm);
}

}  // namespace

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
