// Test tool: prints "PLATFORM MAJOR.MINOR" as GetVersionEx reports them to this program.
#include <stdio.h>
#include <windows.h>

int main() {
  OSVERSIONINFOA info;
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExA(&info)) return 1;
  printf("%lu %lu.%lu\n", info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion);
  return 0;
}
