// Test tool: makes a file "in use" for another program. Usage:
//   zshold.exe open|load PATH READYFILE RELEASEFILE
// open: holds PATH open with share mode 0; load: holds it loaded as a library. Writes READYFILE
// once holding, then waits until RELEASEFILE exists (60 seconds at most).
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: zshold open|load PATH READYFILE RELEASEFILE\n");
    return 2;
  }
  HANDLE file = INVALID_HANDLE_VALUE;
  HMODULE module = nullptr;
  if (strcmp(argv[1], "open") == 0) {
    file = CreateFileA(argv[2], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      fprintf(stderr, "zshold: open failed: %lu\n", GetLastError());
      return 1;
    }
  } else {
    module = LoadLibraryA(argv[2]);
    if (module == nullptr) {
      fprintf(stderr, "zshold: load failed: %lu\n", GetLastError());
      return 1;
    }
  }
  HANDLE ready = CreateFileA(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
  for (int i = 0; i < 1200; ++i) {
    if (GetFileAttributesA(argv[4]) != INVALID_FILE_ATTRIBUTES) break;
    Sleep(50);
  }
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (module != nullptr) FreeLibrary(module);
  return 0;
}
