// The program's entry: the command line without the program's own name goes to SetupMain, and
// the process ends with its result.
#include <windows.h>

#include "driver/sequence.h"
#include "system/libload.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
  // Before anything is loaded: a library left beside the program must never be found.
#ifndef ZS_TEST_UNRESTRICTED_SEARCH
  SysRestrictLibrarySearch();
#endif
  ExitProcess(static_cast<UINT>(SetupMain(commandLine)));
}
