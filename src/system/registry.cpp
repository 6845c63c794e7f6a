// Registry access: open-or-create, typed reads that check before they copy, tree deletion and
// item paths with a root prefix.
#include "system/registry.h"

#include <stdlib.h>
#include <string.h>

#include "system/guards.h"
#include "system/hook.h"
#include "system/str.h"
#include "xml/encode.h"

namespace {

// The stored type and size of a value; false when it cannot be queried.
bool QueryValue(HKEY key, const char* name, DWORD* type, DWORD* size) {
  *size = 0;
  return RegQueryValueExA(key, name, nullptr, type, nullptr, size) == ERROR_SUCCESS;
}

// Reads exactly the stored bytes of a value into data (size bytes); false when the value changed
// meanwhile.
bool ReadValueBytes(HKEY key, const char* name, DWORD expectedType, void* data, DWORD size) {
  DWORD type = 0;
  DWORD read = size;
  if (RegQueryValueExA(key, name, nullptr, &type, static_cast<BYTE*>(data), &read) !=
      ERROR_SUCCESS) {
    return false;
  }
  return type == expectedType && read == size;
}

bool AsciiEqualN(const char* a, const char* b, int n) {
  for (int i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
    if (x == 0) return true;
  }
  return true;
}

const size_t kRootPrefixLength = 5;

}  // namespace

int RegProductKeyExists() {
  KeyGuard key;
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, REG_PRODUCT_KEY, 0, KEY_READ, &key.key) == ERROR_SUCCESS
             ? 1
             : 0;
}

LONG RegOpenKeyByAccess(HKEY parent, const char* subkey, REGSAM access, HKEY* out) {
  if ((access & KEY_WRITE) == KEY_WRITE) {
    return SysRegCreateKeyEx(parent, subkey, 0, access, nullptr, out, nullptr);
  }
  return RegOpenKeyExA(parent, subkey, 0, access, out);
}

int RegReadDword(HKEY key, const char* name, DWORD* value) {
  DWORD type = 0, size = 0;
  if (!QueryValue(key, name, &type, &size) || type != REG_DWORD || size != 4) return 0;
  DWORD data = 0;
  if (!ReadValueBytes(key, name, REG_DWORD, &data, 4)) return 0;
  *value = data;
  return 1;
}

int RegReadString(HKEY key, const char* name, char* buffer, DWORD size) {
  DWORD type = 0, stored = 0;
  if (!QueryValue(key, name, &type, &stored)) return 0;
  // Whether the text fits is decided on what the read returns, not on the sizing query.
  if (type != REG_SZ && type != REG_EXPAND_SZ) return 0;
  HeapGuard<> data;
  data.block = malloc(stored + 1);
  if (!data.block) return 0;
  char* text = static_cast<char*>(data.block);
  // The sizing query may report more than the narrow text then read takes (the system converts
  // from UTF-16), so the read's own count is what was stored.
  DWORD readType = 0;
  DWORD read = stored;
  if (RegQueryValueExA(key, name, nullptr, &readType, reinterpret_cast<BYTE*>(text), &read) !=
          ERROR_SUCCESS ||
      readType != type || read > stored) {
    return 0;
  }
  stored = read;
  // A text stored without its terminator gets one, when the caller's buffer has room for it.
  DWORD needed = (stored > 0 && text[stored - 1] == 0) ? stored : stored + 1;
  if (needed > size) return 0;
  text[needed - 1] = 0;
  memcpy(buffer, text, needed);
  return 1;
}

int RegReadBinary(HKEY key, const char* name, void* buffer, DWORD size) {
  DWORD type = 0, stored = 0;
  if (!QueryValue(key, name, &type, &stored) || type != REG_BINARY || stored > size) return 0;
  if (stored == 0) return 1;
  HeapGuard<> data;
  data.block = malloc(stored);
  if (!data.block) return 0;
  if (!ReadValueBytes(key, name, REG_BINARY, data.block, stored)) return 0;
  memcpy(buffer, data.block, stored);
  return 1;
}

int RegReadProtectedString(HKEY key, const char* name, char* out, DWORD outSize) {
  const DWORD kLimit = 1024;
  DWORD type = 0, stored = 0;
  if (!QueryValue(key, name, &type, &stored) || type != REG_BINARY || stored >= kLimit) return 0;
  if (outSize == 0) return 0;
  wchar16 text[kLimit / 2];
  unsigned char* bytes = reinterpret_cast<unsigned char*>(text);
  if (stored > 0 && !ReadValueBytes(key, name, REG_BINARY, bytes, stored)) return 0;
  ScrambleBuffer(bytes, 0, static_cast<int>(stored));
  text[stored / 2] = 0;  // an odd last byte is cut off by the terminator
  WideToAnsi(out, text, static_cast<int>(outSize));
  return 1;
}

int RegWriteValue(HKEY key, const char* name, DWORD type, const void* data, DWORD size) {
  return SysRegSetValueEx(key, name, type, data, size) == ERROR_SUCCESS ? 1 : 0;
}

int RegWriteDword(HKEY key, const char* name, DWORD value) {
  return RegWriteValue(key, name, REG_DWORD, &value, sizeof value);
}

int RegWriteString(HKEY key, const char* name, const char* text) {
  return RegWriteValue(key, name, REG_SZ, text, static_cast<DWORD>(strlen(text) + 1));
}

LONG RegDeleteKeyTree(HKEY parent, const char* subkey) {
  // An empty name would open the parent itself and empty it.
  if (!subkey || !subkey[0]) return ERROR_INVALID_PARAMETER;
  KeyGuard key;
  if (RegOpenKeyExA(parent, subkey, 0, KEY_READ | KEY_WRITE, &key.key) == ERROR_SUCCESS) {
    // Index 0 every time: each child is gone before the next enumeration.
    for (;;) {
      char child[256];
      DWORD length = sizeof child;
      if (RegEnumKeyExA(key.key, 0, child, &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
      if (RegDeleteKeyTree(key.key, child) != ERROR_SUCCESS) break;
    }
  } else {
    key.key = nullptr;
  }
  if (key.key) {
    RegCloseKey(key.key);
    key.key = nullptr;
  }
  return SysRegDeleteKey(parent, subkey);
}

int RegGetInstallDir(char* buffer, DWORD size) {
  if (size == 0) return 0;
  buffer[0] = 0;
  KeyGuard key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, REG_PRODUCT_INFO_KEY, 0, KEY_READ, &key.key) !=
      ERROR_SUCCESS) {
    key.key = nullptr;
    return 0;
  }
  RegReadString(key.key, "InstallDir", buffer, size);
  return buffer[0] ? 1 : 0;
}

HKEY RegParseRoot(const char** cursor) {
  static const struct {
    const char* prefix;
    HKEY key;
  } kRoots[] = {{"HKLM\\", HKEY_LOCAL_MACHINE},
                {"HKCU\\", HKEY_CURRENT_USER},
                {"HKCC\\", HKEY_CURRENT_CONFIG},
                {"HKCR\\", HKEY_CLASSES_ROOT}};
  for (const auto& root : kRoots) {
    if (AsciiEqualN(*cursor, root.prefix, kRootPrefixLength)) {
      *cursor += kRootPrefixLength;
      return root.key;
    }
  }
  return nullptr;
}

int RegRemoveItem(const char* path, int kind) {
  // A cut path could name another item, so a path longer than the buffer is refused.
  char text[MAX_PATH];
  size_t len = strlen(path);
  if (len >= MAX_PATH) return 0;
  memcpy(text, path, len + 1);

  char* slash = strrchr(text, '\\');
  if (!slash) return 0;
  const char* cursor = text;
  HKEY root = RegParseRoot(&cursor);
  if (!root) return 0;
  const char* itemName = slash + 1;
  if (!itemName[0]) return 0;

  // An item directly under the root ("HKCU\Name") belongs to the root key itself.
  KeyGuard opened;
  HKEY key = root;
  if (slash >= cursor) {
    *slash = 0;
    if (RegOpenKeyExA(root, cursor, 0, KEY_WRITE, &opened.key) != ERROR_SUCCESS) {
      opened.key = nullptr;
      return 0;
    }
    key = opened.key;
  }

  bool ok = true;
  switch (kind) {
    case REG_ITEM_KEY:
      ok = RegDeleteKeyTree(key, itemName) == ERROR_SUCCESS;
      break;
    case REG_ITEM_VALUE:
      ok = SysRegDeleteValue(key, itemName) == ERROR_SUCCESS;
      break;
    case REG_ITEM_KEY_IF_EMPTY: {
      KeyGuard item;
      if (RegOpenKeyExA(key, itemName, 0, KEY_READ, &item.key) != ERROR_SUCCESS) {
        item.key = nullptr;
        break;  // nothing to remove
      }
      DWORD subkeys = 0, values = 0;
      LONG status = RegQueryInfoKeyA(item.key, nullptr, nullptr, nullptr, &subkeys, nullptr,
                                     nullptr, &values, nullptr, nullptr, nullptr, nullptr);
      RegCloseKey(item.key);
      item.key = nullptr;
      if (status != ERROR_SUCCESS) break;
      if (subkeys > 0 || values > 0) {
        ok = false;
      } else {
        ok = RegDeleteKeyTree(key, itemName) == ERROR_SUCCESS;
      }
      break;
    }
    default:
      break;
  }
  return ok ? 1 : 0;
}

// ---- Saved trees ----

struct RegTreeValue {
  char* name;
  DWORD type;
  DWORD size;
  BYTE* data;
};

struct RegTree {
  char* name;
  RegTreeValue* values;  // sorted by name, ignoring case
  int valueCount;
  RegTree* children;  // sorted by name, ignoring case
  int childCount;
};

namespace {

int CompareTreeNames(const void* a, const void* b) {
  return lstrcmpiA(*static_cast<char* const*>(a), *static_cast<char* const*>(b));
}

// The entry of a sorted array whose first member is the name pointer; null when absent.
template <typename T>
const T* FindNamed(const T* items, int count, const char* name) {
  return static_cast<const T*>(
      bsearch(&name, items, static_cast<size_t>(count), sizeof(T), CompareTreeNames));
}

char* CopyText(const char* text, size_t length) {
  char* copy = static_cast<char*>(malloc(length + 1));
  if (copy != nullptr) {
    memcpy(copy, text, length);
    copy[length] = 0;
  }
  return copy;
}

void FreeTreeContent(RegTree* tree) {
  for (int i = 0; i < tree->valueCount; ++i) {
    free(tree->values[i].name);
    free(tree->values[i].data);
  }
  for (int i = 0; i < tree->childCount; ++i) FreeTreeContent(&tree->children[i]);
  free(tree->values);
  free(tree->children);
  free(tree->name);
}

// Fills tree (zeroed, name set) from the open key; false without memory or when the key
// changes under the walk.
bool SaveKey(HKEY key, RegTree* tree) {
  DWORD subkeys = 0, maxSubkey = 0, values = 0, maxName = 0, maxData = 0;
  if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, &maxSubkey, nullptr, &values,
                       &maxName, &maxData, nullptr, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  tree->values = static_cast<RegTreeValue*>(calloc(values + 1, sizeof(RegTreeValue)));
  tree->children = static_cast<RegTree*>(calloc(subkeys + 1, sizeof(RegTree)));
  HeapGuard<char> name(static_cast<char*>(malloc(maxName + maxSubkey + 2)));
  if (tree->values == nullptr || tree->children == nullptr || name.block == nullptr) return false;
  for (DWORD i = 0; i < values; ++i) {
    DWORD nameLength = maxName + maxSubkey + 2;
    RegTreeValue& v = tree->values[tree->valueCount++];
    v.data = static_cast<BYTE*>(malloc(maxData + 1));
    if (v.data == nullptr) return false;
    v.size = maxData + 1;
    if (RegEnumValueA(key, i, name.block, &nameLength, nullptr, &v.type, v.data, &v.size) !=
        ERROR_SUCCESS) {
      return false;
    }
    v.name = CopyText(name.block, nameLength);
    if (v.name == nullptr) return false;
  }
  for (DWORD i = 0; i < subkeys; ++i) {
    DWORD nameLength = maxName + maxSubkey + 2;
    if (RegEnumKeyExA(key, i, name.block, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      return false;
    }
    RegTree& child = tree->children[tree->childCount++];
    child.name = CopyText(name.block, nameLength);
    KeyGuard sub;
    if (child.name == nullptr ||
        RegOpenKeyExA(key, child.name, 0, KEY_READ, &sub.key) != ERROR_SUCCESS ||
        !SaveKey(sub.key, &child)) {
      return false;
    }
  }
  qsort(tree->values, static_cast<size_t>(tree->valueCount), sizeof(RegTreeValue),
        CompareTreeNames);
  qsort(tree->children, static_cast<size_t>(tree->childCount), sizeof(RegTree), CompareTreeNames);
  return true;
}

// Makes the open key as tree was: first its subkeys (gone when not saved, restored when saved),
// then its values. The names are listed before any is deleted, which would shift the walk.
bool RestoreKey(HKEY key, const RegTree* tree) {
  bool ok = true;
  for (int pass = 0; pass < 2; ++pass) {
    bool values = pass == 1;
    DWORD subkeys = 0, maxSubkey = 0, valueCount = 0, maxName = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, &maxSubkey, nullptr, &valueCount,
                         &maxName, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      return false;
    }
    DWORD items = values ? valueCount : subkeys;
    DWORD stride = (values ? maxName : maxSubkey) + 1;
    HeapGuard<char> names(static_cast<char*>(malloc(static_cast<size_t>(items) * stride + 1)));
    if (names.block == nullptr) return false;
    DWORD listed = 0;
    for (DWORD i = 0; i < items; ++i) {
      char* at = names.block + static_cast<size_t>(listed) * stride;
      DWORD length = stride;
      LONG rc = values ? RegEnumValueA(key, i, at, &length, nullptr, nullptr, nullptr, nullptr)
                       : RegEnumKeyExA(key, i, at, &length, nullptr, nullptr, nullptr, nullptr);
      if (rc == ERROR_SUCCESS) ++listed;
    }
    for (DWORD i = 0; i < listed; ++i) {
      const char* name = names.block + static_cast<size_t>(i) * stride;
      if (values) {
        if (FindNamed(tree->values, tree->valueCount, name) == nullptr &&
            SysRegDeleteValue(key, name) != ERROR_SUCCESS) {
          ok = false;
        }
        continue;
      }
      const RegTree* child = FindNamed(tree->children, tree->childCount, name);
      if (child == nullptr) {
        if (RegDeleteKeyTree(key, name) != ERROR_SUCCESS) ok = false;
        continue;
      }
      KeyGuard sub;
      if (RegOpenKeyExA(key, name, 0, KEY_READ | KEY_WRITE, &sub.key) != ERROR_SUCCESS ||
          !RestoreKey(sub.key, child)) {
        ok = false;
      }
    }
  }
  for (int i = 0; i < tree->valueCount; ++i) {
    const RegTreeValue& v = tree->values[i];
    DWORD type = 0, size = 0;
    bool same = false;
    if (RegQueryValueExA(key, v.name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        type == v.type && size == v.size) {
      HeapGuard<BYTE> data(static_cast<BYTE*>(malloc(size + 1)));
      same = data.block != nullptr && ReadValueBytes(key, v.name, type, data.block, size) &&
             memcmp(data.block, v.data, size) == 0;
    }
    if (!same && SysRegSetValueEx(key, v.name, v.type, v.data, v.size) != ERROR_SUCCESS) {
      ok = false;
    }
  }
  return ok;
}

}  // namespace

RegTree* RegSaveTree(HKEY parent, const char* subkey) {
  KeyGuard key;
  if (RegOpenKeyExA(parent, subkey, 0, KEY_READ, &key.key) != ERROR_SUCCESS) {
    key.key = nullptr;
    return nullptr;
  }
  RegTree* tree = static_cast<RegTree*>(calloc(1, sizeof(RegTree)));
  if (tree == nullptr) return nullptr;
  if (!SaveKey(key.key, tree)) {
    RegFreeTree(tree);
    return nullptr;
  }
  return tree;
}

int RegRestoreTree(HKEY parent, const char* subkey, const RegTree* tree) {
  KeyGuard key;
  if (RegOpenKeyExA(parent, subkey, 0, KEY_READ | KEY_WRITE, &key.key) != ERROR_SUCCESS) {
    key.key = nullptr;
    return 0;
  }
  return RestoreKey(key.key, tree) ? 1 : 0;
}

void RegFreeTree(RegTree* tree) {
  if (tree == nullptr) return;
  FreeTreeContent(tree);
  free(tree);
}
