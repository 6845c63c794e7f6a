// Benchmark floor B: zsbcopy.exe [--workers N] [--beside] SOURCE TARGET [MAP] copies the files
// below SOURCE into TARGET (which must not exist yet, unless --beside), one CopyFileA with
// fail-if-exists per file. With one worker it copies while walking the tree. With N workers
// (default 2) it walks the tree first, making the target folders in order, and N threads then copy
// the listed files, each taking the next one: creating files under Wine is bound by the latency of
// each call. Without MAP the tree is copied as it is. MAP (lines "relative source<TAB>relative
// target") places each file where the install puts it, folders made as they are first needed; files
// the map does not name are not copied. --beside is the upgrade's copy: a file whose target is
// there already (one listing of each target folder before the copies tells) goes straight beside
// it under the alternate name the setup program uses (C:\P\lib.dll -> C:\P\_ib.d00). Exit 0
// when every file was copied; else one line on stderr, 1.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "alternate.h"
#include "system/guards.h"

namespace {

const int kMostWorkers = MAXIMUM_WAIT_OBJECTS;  // all are joined with one wait

// Where each file goes, and the folders made so far; empty without a map. With list set, the
// walk makes the folders and lists the copies (source, target) instead of making them.
struct Layout {
  std::map<std::string, std::string> target;
  std::set<std::string> folders;
  // --beside: the files each target folder held before the copies (upper case), listed once.
  std::map<std::string, std::set<std::string>> present;
  size_t sourceLength = 0;
  std::vector<std::pair<std::string, std::string>>* list = nullptr;
};

struct FindGuard {
  HANDLE handle = INVALID_HANDLE_VALUE;
  FindGuard() = default;
  FindGuard(const FindGuard&) = delete;
  FindGuard& operator=(const FindGuard&) = delete;
  ~FindGuard() {
    if (handle != INVALID_HANDLE_VALUE) FindClose(handle);
  }
};

// Set by --beside: a copy onto an existing target goes to its alternate name instead.
bool g_beside = false;

bool CopyOne(const char* from, const char* to) {
  if (CopyFileA(from, to, TRUE)) return true;
  return g_beside && GetLastError() == ERROR_FILE_EXISTS &&
         CopyFileA(from, AlternateName(to).c_str(), TRUE);
}

bool Join(char* out, const char* folder, const char* name) {
  int n = snprintf(out, MAX_PATH, "%s\\%s", folder, name);
  return n > 0 && n < MAX_PATH;
}

bool ReadMap(const char* path, Layout* layout) {
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return false;
  char line[2 * MAX_PATH + 4];
  while (fgets(line, sizeof line, f) != nullptr) {
    line[strcspn(line, "\r\n")] = 0;
    char* tab = strchr(line, '\t');
    if (tab == nullptr) continue;
    *tab = 0;
    layout->target[line] = tab + 1;
  }
  fclose(f);
  return true;
}

// Makes the folders of path below root (root itself exists), each once.
bool MakeParents(const std::string& path, size_t rootLength, Layout* layout) {
  for (size_t at = path.find('\\', rootLength + 1); at != std::string::npos;
       at = path.find('\\', at + 1)) {
    std::string folder = path.substr(0, at);
    if (layout->folders.count(folder) != 0) continue;
    if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      fprintf(stderr, "zsbcopy: cannot create %s: %lu\n", folder.c_str(), GetLastError());
      return false;
    }
    layout->folders.insert(folder);
  }
  return true;
}

// Copies one file to where the map puts it; true also when the map leaves it out.
std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return text;
}

// --beside: whether the target was there before the copies, from one listing of its folder.
bool WasThere(const std::string& to, Layout* layout) {
  size_t slash = to.rfind('\\');
  std::string folder = to.substr(0, slash);
  auto listed = layout->present.find(folder);
  if (listed == layout->present.end()) {
    listed = layout->present.emplace(folder, std::set<std::string>()).first;
    WIN32_FIND_DATAA found;
    FindGuard find;
    find.handle = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find.handle != INVALID_HANDLE_VALUE) {
      do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
          listed->second.insert(Upper(found.cFileName));
        }
      } while (FindNextFileA(find.handle, &found));
    }
  }
  return listed->second.count(Upper(to.substr(slash + 1))) != 0;
}

bool CopyMapped(const char* from, const char* root, Layout* layout, long* files) {
  auto found = layout->target.find(from + layout->sourceLength + 1);
  if (found == layout->target.end()) return true;
  std::string to = std::string(root) + "\\" + found->second;
  if (!MakeParents(to, strlen(root), layout)) return false;
  // An upgrade's copy goes straight beside a target that was there.
  if (g_beside && WasThere(to, layout)) to = AlternateName(to.c_str());
  if (layout->list != nullptr) {
    layout->list->emplace_back(from, to);
  } else if (!CopyOne(from, to.c_str())) {
    fprintf(stderr, "zsbcopy: cannot copy %s: %lu\n", from, GetLastError());
    return false;
  }
  ++*files;
  return true;
}

bool CopyTree(const char* source, const char* target, const char* root, Layout* layout,
              long* files) {
  if (layout->target.empty() && !CreateDirectoryA(target, nullptr)) {
    fprintf(stderr, "zsbcopy: cannot create %s: %lu\n", target, GetLastError());
    return false;
  }
  char pattern[MAX_PATH];
  if (!Join(pattern, source, "*")) {
    fprintf(stderr, "zsbcopy: path too long below %s\n", source);
    return false;
  }
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
      if (!CopyTree(from, to, root, layout, files)) return false;
    } else if (!layout->target.empty()) {
      if (!CopyMapped(from, root, layout, files)) return false;
    } else if (layout->list != nullptr) {
      layout->list->emplace_back(from, to);
      ++*files;
    } else if (CopyOne(from, to)) {
      ++*files;
    } else {
      fprintf(stderr, "zsbcopy: cannot copy %s: %lu\n", from, GetLastError());
      return false;
    }
  } while (FindNextFileA(find.handle, &found));
  if (GetLastError() != ERROR_NO_MORE_FILES) {
    fprintf(stderr, "zsbcopy: cannot read %s: %lu\n", source, GetLastError());
    return false;
  }
  return true;
}

// The listed copies, shared by the copying threads: each takes the next index until none is left
// or one of them has failed. The first failure is kept for the main thread to print.
struct Copies {
  const std::vector<std::pair<std::string, std::string>>* list;
  volatile LONG next = -1;
  volatile LONG failed = 0;
  char failure[2 * MAX_PATH + 64];
};

DWORD WINAPI CopyMain(void* arg) {
  Copies* copies = static_cast<Copies*>(arg);
  const LONG count = static_cast<LONG>(copies->list->size());
  for (LONG i = InterlockedIncrement(&copies->next); i < count && !copies->failed;
       i = InterlockedIncrement(&copies->next)) {
    const auto& copy = (*copies->list)[i];
    if (!CopyOne(copy.first.c_str(), copy.second.c_str())) {
      DWORD error = GetLastError();
      if (InterlockedExchange(&copies->failed, 1) == 0) {
        snprintf(copies->failure, sizeof copies->failure, "zsbcopy: cannot copy %s: %lu",
                 copy.first.c_str(), error);
      }
    }
  }
  return 0;
}

// Copies the list on that many threads; false after printing the first failure. Every thread
// started is joined before it returns.
bool CopyList(const std::vector<std::pair<std::string, std::string>>& list, int workers) {
  Copies copies;
  copies.list = &list;
  HANDLE threads[kMostWorkers];
  int started = 0;
  for (; started < workers; ++started) {
    DWORD id = 0;
    threads[started] = CreateThread(nullptr, 0, CopyMain, &copies, 0, &id);
    if (threads[started] == nullptr) {
      DWORD error = GetLastError();
      if (InterlockedExchange(&copies.failed, 1) == 0) {
        snprintf(copies.failure, sizeof copies.failure, "zsbcopy: cannot start a thread: %lu",
                 error);
      }
      break;
    }
  }
  if (started > 0) {
    WaitForMultipleObjects(static_cast<DWORD>(started), threads, TRUE, INFINITE);
    for (int i = 0; i < started; ++i) CloseHandle(threads[i]);
  }
  if (copies.failed) fprintf(stderr, "%s\n", copies.failure);
  return !copies.failed;
}

}  // namespace

int main(int argc, char** argv) {
  int workers = 2;
  for (;;) {
    if (argc > 2 && strcmp(argv[1], "--workers") == 0) {
      char* end = nullptr;
      long n = strtol(argv[2], &end, 10);
      workers =
          end != argv[2] && *end == 0 && n >= 1 && n <= kMostWorkers ? static_cast<int>(n) : 0;
      argc -= 2;
      argv += 2;
    } else if (argc > 1 && strcmp(argv[1], "--beside") == 0) {
      g_beside = true;
      --argc;
      ++argv;
    } else {
      break;
    }
  }
  if ((argc != 3 && argc != 4) || workers == 0 || (g_beside && argc != 4)) {
    fprintf(stderr, "usage: zsbcopy [--workers 1-%d] [--beside] SOURCE TARGET [MAP]\n",
            kMostWorkers);
    return 2;
  }
  Layout layout;
  layout.sourceLength = strlen(argv[1]);
  if (argc == 4) {
    if (!ReadMap(argv[3], &layout) || layout.target.empty()) {
      fprintf(stderr, "zsbcopy: no map in %s\n", argv[3]);
      return 2;
    }
    if (!CreateDirectoryA(argv[2], nullptr) &&
        (!g_beside || GetLastError() != ERROR_ALREADY_EXISTS)) {
      fprintf(stderr, "zsbcopy: cannot create %s: %lu\n", argv[2], GetLastError());
      return 1;
    }
  }
  std::vector<std::pair<std::string, std::string>> list;
  if (workers > 1) layout.list = &list;
  long files = 0;
  if (!CopyTree(argv[1], argv[2], argv[2], &layout, &files)) return 1;
  if (workers > 1 && !CopyList(list, workers)) return 1;
  printf("files: %ld\n", files);
  return 0;
}
