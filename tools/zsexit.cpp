// Test tool: zsexit.exe CODE [TOUCHFILE] creates TOUCHFILE when given, then ends with CODE.
// Used to check that full exit codes reach the tests, and as a RunOnce marker writer.
#include <stdlib.h>
#include <windows.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  if (argc >= 3) {
    HANDLE h = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  ExitProcess(static_cast<UINT>(strtol(argv[1], nullptr, 10)));
}
