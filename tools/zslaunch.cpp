// Test tool: runs a program, waits for it and prints its full 32-bit exit code (the shell under
// Wine only sees the low byte). Usage:
//   zslaunch.exe PROGRAM [ARGS...]   the rest of this command line is the child's command line
//   zslaunch.exe @FILE               the child's command line is the first line of FILE, verbatim
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <string>

namespace {

// Skips the first token of a Windows command line (quoted or not) and the blanks behind it.
const char* SkipFirstToken(const char* line) {
  if (*line == '"') {
    ++line;
    while (*line != 0 && *line != '"') ++line;
    if (*line == '"') ++line;
  } else {
    while (*line != 0 && *line != ' ' && *line != '\t') ++line;
  }
  while (*line == ' ' || *line == '\t') ++line;
  return line;
}

bool ReadFirstLine(const char* path, std::string* out) {
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return false;
  int c;
  while ((c = fgetc(f)) != EOF && c != '\n' && c != '\r') out->push_back(static_cast<char>(c));
  fclose(f);
  return true;
}

}  // namespace

int main() {
  std::string child = SkipFirstToken(GetCommandLineA());
  if (child.empty()) {
    fprintf(stderr, "usage: zslaunch PROGRAM [ARGS...] | zslaunch @FILE\n");
    return 2;
  }
  if (child[0] == '@') {
    std::string line;
    if (!ReadFirstLine(child.c_str() + 1, &line)) {
      fprintf(stderr, "zslaunch: cannot read %s\n", child.c_str() + 1);
      return 2;
    }
    child = line;
  }
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  std::string mutableLine = child;
  if (!CreateProcessA(nullptr, &mutableLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi)) {
    fprintf(stderr, "zslaunch: CreateProcess failed: %lu\n", GetLastError());
    return 2;
  }
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  printf("exit code: %ld\n", static_cast<long>(static_cast<LONG>(code)));
  fflush(stdout);
  return 0;
}
