// A library someone left in a folder the setup is run from, under the name of a library the setup
// or its visual library loads (version.dll, wsock32.dll, Security.dll, comctl32.dll,
// mainlang.dll, ...). Its start-up code leaves "<its own path>.ran" beside itself, so a scenario
// sees whether it ever ran. Test tool only.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, void*) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char marker[MAX_PATH + 8];
  DWORD n = GetModuleFileNameA(self, marker, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return TRUE;
  lstrcpyA(marker + n, ".ran");
  HANDLE file =
      CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return TRUE;
}
