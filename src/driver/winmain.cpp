// The program's entry: the command line without the program's own name goes to SetupMain, and
// the process ends with its result.
#include <windows.h>

#include "driver/sequence.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
  ExitProcess(static_cast<UINT>(SetupMain(commandLine)));
}
