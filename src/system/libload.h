// Loading libraries by full path, never through the search order. Windows looks for a library
// that is not on its known-libraries list in the program's own folder first (and, on older
// systems, in the current folder), so a file named like a system library and left in a download
// folder or a writable share would run as whoever starts the setup, administrator included.
#pragma once

#include <windows.h>

// Restricts the search of every later load to the System folder where the system can
// (SetDefaultDllDirectories), else takes the current folder out of it (SetDllDirectoryA("")).
// Both are looked up at run time: Windows 98 and NT 4.0 have neither. Called first in WinMain.
// 1 when the search is restricted to the System folder, else 0.
int SysRestrictLibrarySearch();

// Loads name from the System folder by its full path; its own dependencies come from there too.
// Null when it is missing or the path does not fit.
HMODULE SysLoadSystemLibrary(const char* name);

// Loads folder + name by its full path (a backslash between them is added when missing). beside:
// the library's own dependencies may also lie in its folder (a component library); otherwise they
// come from the System folder where the search is restricted. Null when missing or the path does
// not fit: a missing library is never looked for anywhere else.
HMODULE SysLoadLibraryFrom(const char* folder, const char* name, int beside);

// name's export of module as the function type Fn; null when module is null or lacks it.
template <typename Fn>
Fn SysExport(HMODULE module, const char* name) {
  return module != nullptr
             ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)))
             : nullptr;
}

// SysExport of kernel32, which every process has mapped: asking it loads nothing from disk. For
// the functions the oldest supported systems lack.
template <typename Fn>
Fn SysKernel32Export(const char* name) {
  return SysExport<Fn>(GetModuleHandleA("kernel32.dll"), name);
}
