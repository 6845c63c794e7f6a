// Test tool: zsstrings.exe MODULE ID... prints "ID=text" for each string of MODULE's string table,
// with line feeds written as \n and backslashes as \\ so a test can compare exact texts.
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  HMODULE module = LoadLibraryExA(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) return 1;
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
