// Benchmark floor B: zsbcopy.exe SOURCE TARGET copies the tree below SOURCE into TARGET (which must
// not exist yet) while walking it, one CopyFileA with fail-if-exists per file. Exit 0 when every
// file and folder was copied; otherwise one line on stderr and exit 1.
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "system/guards.h"

namespace {

struct FindGuard {
  HANDLE handle = INVALID_HANDLE_VALUE;
  FindGuard() = default;
  FindGuard(const FindGuard&) = delete;
  FindGuard& operator=(const FindGuard&) = delete;
  ~FindGuard() {
    if (handle != INVALID_HANDLE_VALUE) FindClose(handle);
  }
};

bool Join(char* out, const char* folder, const char* name) {
  int n = snprintf(out, MAX_PATH, "%s\\%s", folder, name);
  return n > 0 && n < MAX_PATH;
}

bool CopyTree(const char* source, const char* target, long* files) {
  if (!CreateDirectoryA(target, nullptr)) {
    fprintf(stderr, "zsbcopy: cannot create %s: %lu\n", target, GetLastError());
    return false;
  }
  char pattern[MAX_PATH];
  if (!Join(pattern, source, "*")) return false;
  WIN32_FIND_DATAA found;
  FindGuard find;
  find.handle = FindFirstFileA(pattern, &found);
  if (find.handle == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "zsbcopy: cannot read %s: %lu\n", source, GetLastError());
    return false;
  }
  do {
    if (strcmp(found.cFileName, ".") == 0 || strcmp(found.cFileName, "..") == 0) continue;
    char from[MAX_PATH];
    char to[MAX_PATH];
    if (!Join(from, source, found.cFileName) || !Join(to, target, found.cFileName)) {
      fprintf(stderr, "zsbcopy: path too long below %s\n", source);
      return false;
    }
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (!CopyTree(from, to, files)) return false;
    } else if (CopyFileA(from, to, TRUE)) {
      ++*files;
    } else {
      fprintf(stderr, "zsbcopy: cannot copy %s: %lu\n", from, GetLastError());
      return false;
    }
  } while (FindNextFileA(find.handle, &found));
  return GetLastError() == ERROR_NO_MORE_FILES;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: zsbcopy SOURCE TARGET\n");
    return 2;
  }
  long files = 0;
  if (!CopyTree(argv[1], argv[2], &files)) return 1;
  printf("files: %ld\n", files);
  return 0;
}
