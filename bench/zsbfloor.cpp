// Benchmark floors of the upgrade, the engine update and the uninstallation: the least work each
// step must do, with the setup program's worker pool where files are created or deleted.
//
//   zsbfloor schedule [--one-by-one] ROOT MAP
//       Every target of MAP below ROOT whose new file waits beside it under the alternate name
//       (C:\P\lib.dll -> C:\P\_ib.d00) is scheduled to be replaced by it at the restart, in MAP's
//       order: all in one change of the system's list of waiting moves, or with --one-by-one one
//       MoveFileExA each.
//   zsbfloor delete [--workers N] ROOT MAP
//       Deletes every target of MAP below ROOT (N threads, default 2), then the folders that held
//       them, deepest first, and ROOT.
//   zsbfloor engines [--workers N] FOLDER CONTAINER...
//       Reads every update container whole, checks its payload's CRC-32 and writes the payload
//       into FOLDER under the file name the container gives (N threads), beside an existing file
//       under the alternate name; then schedules the alternates over their files at the restart
//       and records each container's build in the registry.
//   zsbfloor pending
//       Prints the system's list of moves waiting for the restart, one "source<TAB>target" line
//       each (target empty for a deletion), for the benchmark's checks.
//
// MAP has lines "source<TAB>target" (bench/run.py's layout.txt); only the targets are used. Exit
// 0 when everything was done; otherwise one line on stderr, 1 (2 for bad arguments).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "alternate.h"
#include "system/files.h"
#include "system/guards.h"
#include "system/workers.h"

namespace {

const int kMostWorkers = 8;  // the worker pool's limit
const char kBuildsKey[] = "Software\\ZorvaBench\\Builds";

// The first failure of any thread, printed once every thread has ended.
struct Failure {
  CRITICAL_SECTION lock;
  bool failed = false;
  std::string text;
  Failure() { InitializeCriticalSection(&lock); }
  ~Failure() { DeleteCriticalSection(&lock); }
  void Set(const std::string& what) {
    EnterCriticalSection(&lock);
    if (!failed) text = what;
    failed = true;
    LeaveCriticalSection(&lock);
  }
};

std::string Error(const char* what, const std::string& path) {
  return std::string("zsbfloor: ") + what + " " + path + ": " + std::to_string(GetLastError());
}

bool ReadTargets(const char* root, const char* map, std::vector<std::string>* targets) {
  FILE* f = fopen(map, "rb");
  if (f == nullptr) return false;
  char line[2 * MAX_PATH + 4];
  while (fgets(line, sizeof line, f) != nullptr) {
    line[strcspn(line, "\r\n")] = 0;
    const char* tab = strchr(line, '\t');
    if (tab != nullptr) targets->push_back(std::string(root) + "\\" + (tab + 1));
  }
  fclose(f);
  return !targets->empty();
}

int Schedule(bool oneByOne, const std::vector<std::string>& targets) {
  FileRestartMoves moves;
  for (const std::string& target : targets) {
    std::string alt = AlternateName(target);
    if (oneByOne) {
      if (!MoveFileExA(alt.c_str(), target.c_str(), FILE_MOVE_AT_RESTART)) {
        fprintf(stderr, "%s\n", Error("cannot schedule", alt).c_str());
        return 1;
      }
    } else if (!FileRestartMovesAdd(&moves, alt.c_str(), target.c_str())) {
      fprintf(stderr, "zsbfloor: no memory\n");
      return 1;
    }
  }
  if (!oneByOne && FileRestartMovesWrite(&moves, 1) != moves.count) {
    fprintf(stderr, "zsbfloor: cannot schedule the moves: %lu\n", GetLastError());
    return 1;
  }
  printf("scheduled: %zu\n", targets.size());
  return 0;
}

// One job of the pool: a file to delete or a container to install.
struct Job {
  WorkerJob job;
  std::string path;
  std::string alternate;  // engines: where the payload was written when its file was there
  std::string target;
  DWORD build = 0;
  std::string buildName;
  Failure* failure;
};

void RunDelete(void* arg) {
  Job* j = static_cast<Job*>(arg);
  if (!DeleteFileA(j->path.c_str())) j->failure->Set(Error("cannot delete", j->path));
}

int Delete(int workers, const char* root, const std::vector<std::string>& targets) {
  Failure failure;
  std::vector<Job> jobs(targets.size());
  WorkerPool* pool = WorkerPoolStart(workers, 0);
  if (pool == nullptr) return 1;
  std::set<std::string> folders;
  for (size_t i = 0; i < targets.size(); ++i) {
    jobs[i].path = targets[i];
    jobs[i].failure = &failure;
    jobs[i].job.fn = RunDelete;
    jobs[i].job.arg = &jobs[i];
    jobs[i].job.bytes = 0;
    WorkerPoolSubmit(pool, static_cast<unsigned>(i), &jobs[i].job);
    // Every folder on the way up to the root.
    for (size_t at = targets[i].rfind('\\'); at > strlen(root);
         at = targets[i].rfind('\\', at - 1)) {
      folders.insert(targets[i].substr(0, at));
    }
  }
  WorkerPoolStop(pool);
  if (failure.failed) {
    fprintf(stderr, "%s\n", failure.text.c_str());
    return 1;
  }
  // A subfolder sorts after its parent: from the end, the deepest go first.
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    if (!RemoveDirectoryA(it->c_str())) {
      fprintf(stderr, "%s\n", Error("cannot remove", *it).c_str());
      return 1;
    }
  }
  if (!RemoveDirectoryA(root)) {
    fprintf(stderr, "%s\n", Error("cannot remove", root).c_str());
    return 1;
  }
  printf("deleted: %zu\n", targets.size());
  return 0;
}

// ---- Engines ----

struct CrcTable {
  DWORD entry[256];
  CrcTable() {
    for (DWORD i = 0; i < 256; ++i) {
      DWORD c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      entry[i] = c;
    }
  }
};
const CrcTable kCrc;

// The value of key= in the information section text, or fallback.
std::string Key(const std::string& section, const char* key, const char* fallback) {
  std::string want = std::string("\n") + key + "=";
  size_t at = ("\n" + section).find(want);
  if (at == std::string::npos) return fallback;
  size_t start = at + want.size() - 1;
  size_t end = section.find_first_of("\r\n", start);
  return section.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool WriteNew(const std::string& path, const char* data, DWORD size) {
  HandleGuard file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file.handle != INVALID_HANDLE_VALUE &&
         WriteFile(file.handle, data, size, &written, nullptr) && written == size;
}

void RunEngine(void* arg) {
  Job* j = static_cast<Job*>(arg);
  HandleGuard file(CreateFileA(j->path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD size = file.handle != INVALID_HANDLE_VALUE ? GetFileSize(file.handle, nullptr) : 0;
  std::string data(size, '\0');
  DWORD got = 0;
  if (file.handle == INVALID_HANDLE_VALUE ||
      !ReadFile(file.handle, &data[0], size, &got, nullptr) || got != size) {
    j->failure->Set(Error("cannot read", j->path));
    return;
  }
  static const char kMarker[] = "[update_data]\r\n\x1a";
  size_t info = data.find("[update_info]");
  size_t marker = data.find(std::string(kMarker, sizeof kMarker));  // with its final zero byte
  if (info == std::string::npos || marker == std::string::npos || marker < info) {
    j->failure->Set("zsbfloor: not a container: " + j->path);
    return;
  }
  std::string section = data.substr(info, marker - info);
  size_t payload = marker + sizeof kMarker;
  unsigned long length = strtoul(Key(section, "filesize", "0").c_str(), nullptr, 10);
  DWORD expected = strtoul(Key(section, "crc", "4294967295").c_str(), nullptr, 10);
  if (payload + length > data.size()) {
    j->failure->Set("zsbfloor: short container: " + j->path);
    return;
  }
  DWORD crc = 0xFFFFFFFFu;
  for (size_t i = payload; i < payload + length; ++i) {
    crc = kCrc.entry[(crc ^ static_cast<unsigned char>(data[i])) & 0xFF] ^ (crc >> 8);
  }
  if (length != 0 && ~crc != expected) {
    j->failure->Set("zsbfloor: bad CRC: " + j->path);
    return;
  }
  j->build = strtoul(Key(section, "build", "0").c_str(), nullptr, 10);
  j->buildName = Key(section, "buildregname", "");
  j->target += Key(section, "filename", "");
  if (WriteNew(j->target, data.data() + payload, length)) return;
  if (GetLastError() != ERROR_FILE_EXISTS) {
    j->failure->Set(Error("cannot write", j->target));
    return;
  }
  j->alternate = AlternateName(j->target);
  if (!WriteNew(j->alternate, data.data() + payload, length)) {
    j->failure->Set(Error("cannot write", j->alternate));
  }
}

int Engines(int workers, const char* folder, char** containers, int count) {
  Failure failure;
  std::vector<Job> jobs(static_cast<size_t>(count));
  WorkerPool* pool = WorkerPoolStart(workers, 0);
  if (pool == nullptr) return 1;
  for (int i = 0; i < count; ++i) {
    Job& j = jobs[static_cast<size_t>(i)];
    j.path = containers[i];
    j.target = std::string(folder) + "\\";
    j.failure = &failure;
    j.job.fn = RunEngine;
    j.job.arg = &j;
    j.job.bytes = 0;
    WorkerPoolSubmit(pool, static_cast<unsigned>(i), &j.job);
  }
  WorkerPoolStop(pool);
  if (failure.failed) {
    fprintf(stderr, "%s\n", failure.text.c_str());
    return 1;
  }
  FileRestartMoves moves;
  for (const Job& j : jobs) {
    if (!j.alternate.empty() &&
        !FileRestartMovesAdd(&moves, j.alternate.c_str(), j.target.c_str())) {
      fprintf(stderr, "zsbfloor: no memory\n");
      return 1;
    }
  }
  if (FileRestartMovesWrite(&moves, 1) != moves.count) {
    fprintf(stderr, "zsbfloor: cannot schedule the moves: %lu\n", GetLastError());
    return 1;
  }
  KeyGuard key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kBuildsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      &key.key, nullptr) != ERROR_SUCCESS) {
    key.key = nullptr;
    fprintf(stderr, "zsbfloor: cannot open %s\n", kBuildsKey);
    return 1;
  }
  for (const Job& j : jobs) {
    if (RegSetValueExA(key.key, j.buildName.c_str(), 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&j.build), sizeof j.build) != ERROR_SUCCESS) {
      fprintf(stderr, "zsbfloor: cannot record the build of %s\n", j.path.c_str());
      return 1;
    }
  }
  printf("engines: %d, waiting: %d\n", count, moves.count);
  return 0;
}

int Pending() {
  KeyGuard key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                    KEY_QUERY_VALUE, &key.key) != ERROR_SUCCESS) {
    key.key = nullptr;
    return 1;
  }
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key.key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &size) !=
      ERROR_SUCCESS) {
    return 0;
  }
  std::vector<wchar_t> list(size / sizeof(wchar_t) + 2, 0);
  if (RegQueryValueExW(key.key, L"PendingFileRenameOperations", nullptr, &type,
                       reinterpret_cast<BYTE*>(list.data()), &size) != ERROR_SUCCESS) {
    return 1;
  }
  const wchar_t* end = list.data() + size / sizeof(wchar_t);
  for (const wchar_t* p = list.data(); p < end && *p != 0;) {
    const wchar_t* target = p + wcslen(p) + 1;
    if (target >= end) break;
    printf("%ls\t%ls\n", p, target);
    p = target + wcslen(target) + 1;
  }
  return 0;
}

int Usage() {
  fprintf(stderr,
          "usage: zsbfloor schedule [--one-by-one] ROOT MAP\n"
          "       zsbfloor delete [--workers 1-%d] ROOT MAP\n"
          "       zsbfloor engines [--workers 1-%d] FOLDER CONTAINER...\n"
          "       zsbfloor pending\n",
          kMostWorkers, kMostWorkers);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string mode = argv[1];
  if (mode == "pending") return argc == 2 ? Pending() : Usage();
  int first = 2;
  int workers = 2;
  bool oneByOne = false;
  for (; first < argc && strncmp(argv[first], "--", 2) == 0; ++first) {
    if (strcmp(argv[first], "--one-by-one") == 0) {
      oneByOne = true;
    } else if (strcmp(argv[first], "--workers") == 0 && first + 1 < argc) {
      workers = atoi(argv[++first]);
      if (workers < 1 || workers > kMostWorkers) return Usage();
    } else {
      return Usage();
    }
  }
  int rest = argc - first;
  if (mode == "engines" && rest >= 2)
    return Engines(workers, argv[first], argv + first + 1, rest - 1);
  if (rest != 2) return Usage();
  std::vector<std::string> targets;
  if (!ReadTargets(argv[first], argv[first + 1], &targets)) {
    fprintf(stderr, "zsbfloor: no map in %s\n", argv[first + 1]);
    return 2;
  }
  if (mode == "schedule") return Schedule(oneByOne, targets);
  if (mode == "delete") return Delete(workers, argv[first], targets);
  return Usage();
}
