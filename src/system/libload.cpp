// Library loading by full path.
#include "system/libload.h"

#include <stdio.h>
#include <string.h>

namespace {

// Declared for newer systems only; the values are fixed by the loader's interface.
const DWORD kSearchDllLoadDir = 0x00000100;  // LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
const DWORD kSearchSystem32 = 0x00000800;    // LOAD_LIBRARY_SEARCH_SYSTEM32

bool g_restricted = false;

template <typename Fn>
Fn Kernel32(const char* name) {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  return kernel != nullptr
             ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(kernel, name)))
             : nullptr;
}

// folder + backslash + name, refused when it does not fit: a cut path would name another file.
bool Join(char* out, int size, const char* folder, const char* name) {
  size_t length = strlen(folder);
  const char* separator = length > 0 && folder[length - 1] != '\\' ? "\\" : "";
  int n = snprintf(out, static_cast<size_t>(size), "%s%s%s", folder, separator, name);
  return n > 0 && n < size;
}

}  // namespace

int SysRestrictLibrarySearch() {
  typedef BOOL(WINAPI * DefaultDirsFn)(DWORD);
  typedef BOOL(WINAPI * DllDirectoryFn)(const char*);
  DefaultDirsFn defaultDirs = Kernel32<DefaultDirsFn>("SetDefaultDllDirectories");
  if (defaultDirs != nullptr && defaultDirs(kSearchSystem32)) {
    g_restricted = true;
    return 1;
  }
  // XP SP1 to 7 without the loader update: the program's folder stays first in the search, but
  // the current folder (a share, a download folder) is no longer searched at all.
  DllDirectoryFn dllDirectory = Kernel32<DllDirectoryFn>("SetDllDirectoryA");
  if (dllDirectory != nullptr) dllDirectory("");
  return 0;
}

HMODULE SysLoadSystemLibrary(const char* name) {
  char folder[MAX_PATH];
  UINT n = GetSystemDirectoryA(folder, sizeof folder);
  if (n == 0 || n >= sizeof folder) return nullptr;
  return SysLoadLibraryFrom(folder, name, 1);
}

HMODULE SysLoadLibraryFrom(const char* folder, const char* name, int beside) {
  char path[MAX_PATH];
  if (!Join(path, sizeof path, folder, name)) return nullptr;
  // Without the restriction the altered search path puts the library's own folder first for its
  // dependencies, ahead of the program's folder; the restriction cannot be combined with it.
  DWORD flags = LOAD_WITH_ALTERED_SEARCH_PATH;
  if (g_restricted) flags = beside ? kSearchDllLoadDir | kSearchSystem32 : kSearchSystem32;
  return LoadLibraryExA(path, nullptr, flags);
}
