// Library loading by full path.
#include "system/libload.h"

#include <string.h>

#include "system/str.h"

namespace {

// Declared for newer systems only; the values are fixed by the loader's interface.
const DWORD kSearchDllLoadDir = 0x00000100;  // LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
const DWORD kSearchSystem32 = 0x00000800;    // LOAD_LIBRARY_SEARCH_SYSTEM32

bool g_restricted = false;

}  // namespace

int SysRestrictLibrarySearch() {
  typedef BOOL(WINAPI * DefaultDirsFn)(DWORD);
  typedef BOOL(WINAPI * DllDirectoryFn)(const char*);
  DefaultDirsFn defaultDirs = SysKernel32Export<DefaultDirsFn>("SetDefaultDllDirectories");
  if (defaultDirs != nullptr && defaultDirs(kSearchSystem32)) {
    g_restricted = true;
    return 1;
  }
  // XP SP1 to 7 without the loader update: the program's folder stays first in the search, but
  // the current folder (a share, a download folder) is no longer searched at all.
  DllDirectoryFn dllDirectory = SysKernel32Export<DllDirectoryFn>("SetDllDirectoryA");
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
  if (!StrJoinPath(path, sizeof path, folder, name)) return nullptr;
  // Without the restriction the altered search path puts the library's own folder first for its
  // dependencies, ahead of the program's folder; the restriction cannot be combined with it.
  DWORD flags = LOAD_WITH_ALTERED_SEARCH_PATH;
  if (g_restricted) flags = beside ? kSearchDllLoadDir | kSearchSystem32 : kSearchSystem32;
  return LoadLibraryExA(path, nullptr, flags);
}
