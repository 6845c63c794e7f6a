// The runtime library check and installation.
#include "driver/runtimelibs.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "run/context.h"
#include "run/log.h"
#include "run/messages.h"
#include "system/files.h"
#include "system/guards.h"
#include "system/libload.h"
#include "system/os.h"
#include "system/str.h"

RuntimeLibEntry g_runtimeLibs[RUNTIME_LIB_COUNT] = {
    {"mfc42.dll", 0},
    {"mfc42u.dll", 0},
    {"msvcrt.dll", 0},
};

namespace {

const char kUnicodeBuild[] = "mfc42u.dll";

// The names are made absolute into full-size buffers: the table's names are short constants.
void PackageCopy(const RuntimeLibEntry& row, char* path) {
  StrCopyN(path, row.fileName, MAX_PATH);
  SetupMakeAbsolute(path, 1);
}

void SystemCopy(const RuntimeLibEntry& row, char* path) {
  StrCopyN(path, g_context.systemDir, MAX_PATH);
  StrAppendN(path, row.fileName, MAX_PATH);
}

// The version library, loaded from the System folder at run time (a static import would be looked
// for beside the program first).
struct VersionApi {
  DWORD(WINAPI* infoSize)(const char*, DWORD*);
  BOOL(WINAPI* info)(const char*, DWORD, DWORD, void*);
  BOOL(WINAPI* query)(const void*, const char*, void**, UINT*);
};

const VersionApi* Version() {
  static VersionApi api;
  static bool tried = false;
  if (!tried) {
    tried = true;
    HMODULE module = SysLoadSystemLibrary("version.dll");
    if (module != nullptr) {
      api.infoSize = reinterpret_cast<decltype(api.infoSize)>(
          reinterpret_cast<void*>(GetProcAddress(module, "GetFileVersionInfoSizeA")));
      api.info = reinterpret_cast<decltype(api.info)>(
          reinterpret_cast<void*>(GetProcAddress(module, "GetFileVersionInfoA")));
      api.query = reinterpret_cast<decltype(api.query)>(
          reinterpret_cast<void*>(GetProcAddress(module, "VerQueryValueA")));
    }
  }
  return api.infoSize != nullptr && api.info != nullptr && api.query != nullptr ? &api : nullptr;
}

// Without the version library a file has no readable version, and the last-write times decide.
bool FixedVersion(const char* path, DWORD* high, DWORD* low) {
  const VersionApi* version = Version();
  if (version == nullptr) return false;
  DWORD ignored = 0;
  DWORD size = version->infoSize(path, &ignored);
  if (size == 0) return false;
  HeapGuard<> block(malloc(size));
  if (block.block == nullptr || !version->info(path, 0, size, block.block)) return false;
  void* root = nullptr;
  UINT length = 0;
  if (!version->query(block.block, "\\", &root, &length) || root == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return false;
  }
  const VS_FIXEDFILEINFO* info = static_cast<const VS_FIXEDFILEINFO*>(root);
  if (info->dwSignature != 0xFEEF04BDu) return false;
  *high = info->dwFileVersionMS;
  *low = info->dwFileVersionLS;
  return true;
}

bool LastWriteTime(const char* path, FILETIME* time) {
  HandleGuard file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.handle == INVALID_HANDLE_VALUE) return false;
  return GetFileTime(file.handle, nullptr, nullptr, time) != 0;
}

int Order(unsigned long long first, unsigned long long second) {
  if (first > second) return 1;
  if (first < second) return 2;
  return 3;
}

// Strips the "\??\" of a native path and the "!" that marks a replacing move.
const char* PlainPath(const char* entry) {
  if (entry[0] == '!') ++entry;
  if (strncmp(entry, "\\??\\", 4) == 0) entry += 4;
  return entry;
}

// NT family: a delayed move whose destination is the target.
bool PendingRenameReplaces(const char* target) {
  KeyGuard key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                    KEY_QUERY_VALUE, &key.key) != ERROR_SUCCESS) {
    key.key = nullptr;
    return false;
  }
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key.key, "PendingFileRenameOperations", nullptr, &type, nullptr, &size) !=
          ERROR_SUCCESS ||
      type != REG_MULTI_SZ || size == 0) {
    return false;
  }
  // Two zero bytes more, so a value stored without its terminators still ends.
  HeapGuard<char> list(static_cast<char*>(calloc(size + 2, 1)));
  if (list.block == nullptr) return false;
  if (RegQueryValueExA(key.key, "PendingFileRenameOperations", nullptr, &type,
                       reinterpret_cast<BYTE*>(list.block), &size) != ERROR_SUCCESS) {
    return false;
  }
  // Pairs of source and destination; an empty destination is a deletion.
  const char* end = list.block + size;
  const char* entry = list.block;
  while (entry < end && *entry != 0) {
    const char* destination = entry + strlen(entry) + 1;
    if (destination >= end) break;
    if (*destination != 0 && lstrcmpiA(PlainPath(destination), target) == 0) return true;
    entry = destination + strlen(destination) + 1;
  }
  return false;
}

// 9x family: a "rename" line of wininit.ini ("destination=source") whose destination is the
// target, written with its short name.
bool WininitReplaces(const char* target) {
  char ini[MAX_PATH];
  UINT n = GetWindowsDirectoryA(ini, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  AddBackslash(ini, MAX_PATH);
  StrAppendN(ini, "wininit.ini", MAX_PATH);
  char shortTarget[MAX_PATH];
  n = GetShortPathNameA(target, shortTarget, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) StrCopyN(shortTarget, target, MAX_PATH);
  enum { kSectionSize = 32767 };
  HeapGuard<char> section(static_cast<char*>(malloc(kSectionSize)));
  if (section.block == nullptr) return false;
  DWORD length = GetPrivateProfileSectionA("rename", section.block, kSectionSize, ini);
  for (char* line = section.block; line < section.block + length && *line != 0;
       line += strlen(line) + 1) {
    char* equals = strchr(line, '=');
    if (equals == nullptr) continue;
    *equals = 0;
    bool match = lstrcmpiA(line, shortTarget) == 0 || lstrcmpiA(line, target) == 0;
    *equals = '=';
    if (match) return true;
  }
  return false;
}

bool ReplacementWaits(const char* target) {
  return SysIsNT() ? PendingRenameReplaces(target) : WininitReplaces(target);
}

}  // namespace

int CompareFileVersions(const char* first, const char* second) {
  DWORD firstHigh = 0, firstLow = 0, secondHigh = 0, secondLow = 0;
  if (FixedVersion(first, &firstHigh, &firstLow) && FixedVersion(second, &secondHigh, &secondLow)) {
    return Order((static_cast<unsigned long long>(firstHigh) << 32) | firstLow,
                 (static_cast<unsigned long long>(secondHigh) << 32) | secondLow);
  }
  FILETIME firstTime, secondTime;
  if (!LastWriteTime(first, &firstTime) || !LastWriteTime(second, &secondTime)) return 0;
  return Order(
      (static_cast<unsigned long long>(firstTime.dwHighDateTime) << 32) | firstTime.dwLowDateTime,
      (static_cast<unsigned long long>(secondTime.dwHighDateTime) << 32) |
          secondTime.dwLowDateTime);
}

int SetupCheckRuntimeLibraries() {
  int result = RUNTIME_LIB_OK;
  for (RuntimeLibEntry& row : g_runtimeLibs) {
    row.status = RUNTIME_LIB_OK;
    char package[MAX_PATH];
    PackageCopy(row, package);
    if (!FileExists(package)) continue;
    char system[MAX_PATH];
    SystemCopy(row, system);
    if (!FileExists(system)) {
      row.status = RUNTIME_LIB_MISSING;
    } else {
      int order = CompareFileVersions(package, system);
      if (order != 3 && order != 2) row.status = RUNTIME_LIB_OLDER;
    }
    // Offering it again before the restart would copy it again and ask for another restart.
    if (row.status == RUNTIME_LIB_OLDER && ReplacementWaits(system)) row.status = RUNTIME_LIB_OK;
    if (row.status > result) result = row.status;
  }
  return result;
}

int SetupInstallRuntimeLibraries(int* messageId) {
  bool unicodeRefused = false;
  bool copyFailed = false;
  int waiting = 0;
  for (const RuntimeLibEntry& row : g_runtimeLibs) {
    if (row.status == RUNTIME_LIB_OK) continue;
    if (!SysIsNT() && strcmp(row.fileName, kUnicodeBuild) == 0) {
      unicodeRefused = true;
      continue;
    }
    char package[MAX_PATH];
    char system[MAX_PATH];
    PackageCopy(row, package);
    SystemCopy(row, system);
    char beside[MAX_PATH];
    if (!FileCopyBeside(package, system, 1, beside, sizeof beside)) {
      SetupLogError("Can't install runtime library: %s - %lu", system,
                    static_cast<unsigned long>(GetLastError()));
      copyFailed = true;
    } else if (beside[0] != 0) {
      ++waiting;
    }
  }
  // The text of 308 tells of the Unicode build on the 9x family; a copy that failed is told by
  // 306's text (the library is missing or too old, so the product cannot be installed).
  *messageId = unicodeRefused ? STR_UNICODE_ON_ANSI : STR_MFC_NOT_FOUND;
  return unicodeRefused || copyFailed ? STR_UNICODE_ON_ANSI : waiting;
}
