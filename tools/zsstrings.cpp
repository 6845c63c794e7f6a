// Test tool: zsstrings.exe MODULE ID... prints "ID=text" for each string of MODULE's string table,
// with line feeds written as \n and backslashes as \\ so a test can compare exact texts.
// zsstrings.exe MODULE manifest prints the module's application manifest (RT_MANIFEST 1) as it
// is stored, the resource Windows reads when it starts the program; exit code 1 without one.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  HMODULE module = LoadLibraryExA(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) return 1;
  if (strcmp(argv[2], "manifest") == 0) {
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) return 1;
    fwrite(bytes, 1, SizeofResource(module, found), stdout);
    return 0;
  }
  for (int i = 2; i < argc; ++i) {
    char text[1024];
    int n = LoadStringA(module, static_cast<UINT>(atoi(argv[i])), text, sizeof text);
    printf("%s=", argv[i]);
    for (int k = 0; k < n; ++k) {
      if (text[k] == '\n') {
        fputs("\\n", stdout);
      } else if (text[k] == '\\') {
        fputs("\\\\", stdout);
      } else {
        putchar(text[k]);
      }
    }
    putchar('\n');
  }
  return 0;
}
