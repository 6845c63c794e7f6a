// Benchmark tool: zsbtime.exe @FILE runs the command line in the first line of FILE, waits for the
// process to end and prints its full exit code and the time from creating it to its end:
//   exit code: N
//   elapsed: SECONDS
// Timing inside the prefix leaves out the start-up of this tool itself, which would otherwise add
// a fixed Wine start to every row.
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <string>

#include "system/guards.h"

namespace {

bool ReadFirstLine(const char* path, std::string* out) {
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return false;
  int c;
  while ((c = fgetc(f)) != EOF && c != '\n' && c != '\r') out->push_back(static_cast<char>(c));
  fclose(f);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] != '@') {
    fprintf(stderr, "usage: zsbtime @FILE (FILE's first line is the command line to time)\n");
    return 2;
  }
  std::string line;
  if (!ReadFirstLine(argv[1] + 1, &line) || line.empty()) {
    fprintf(stderr, "zsbtime: cannot read a command line from %s\n", argv[1] + 1);
    return 2;
  }
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    fprintf(stderr, "zsbtime: CreateProcess failed: %lu\n", GetLastError());
    return 2;
  }
  HandleGuard process(pi.hProcess);
  HandleGuard thread(pi.hThread);
  WaitForSingleObject(pi.hProcess, INFINITE);
  QueryPerformanceCounter(&end);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  printf(
      "exit code: %ld\nelapsed: %.6f\n", static_cast<long>(static_cast<LONG>(code)),
      static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
  fflush(stdout);
  return 0;
}
