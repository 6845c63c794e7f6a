// Test tool: zslongname.exe PATH... prints the long form of each path (GetLongPathNameA), or the
// path itself when it has none, one a line.
#include <stdio.h>
#include <windows.h>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    char full[MAX_PATH];
    DWORD n = GetLongPathNameA(argv[i], full, sizeof full);
    printf("%s\n", n > 0 && n < sizeof full ? full : argv[i]);
  }
  return 0;
}
