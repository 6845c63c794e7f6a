// Benchmark floor A: zsbunrar.exe [--like-setup] FOLDER ARCHIVE... extracts every archive into
// FOLDER\<archive name without extension>\ (new folders), the way the setup program extracts: the
// library tests each entry (RAR_TEST, so it checks the CRC) and hands the decoded bytes to a
// callback that writes them into a file this program created with CREATE_NEW. --like-setup creates
// the files as the setup program does today (CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH), to measure
// what those flags cost. Exit 0 when every entry was extracted; otherwise one line on stderr, 1.
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <dll.hpp>

#include "system/guards.h"

namespace {

struct Sink {
  HANDLE file = INVALID_HANDLE_VALUE;
};

int CALLBACK OnData(UINT message, LPARAM userData, LPARAM p1, LPARAM p2) {
  Sink* sink = reinterpret_cast<Sink*>(userData);
  if (message != UCM_PROCESSDATA || sink->file == INVALID_HANDLE_VALUE) return -1;
  DWORD size = static_cast<DWORD>(p2);
  DWORD written = 0;
  return WriteFile(sink->file, reinterpret_cast<const void*>(p1), size, &written, nullptr) &&
                 written == size
             ? 1
             : -1;
}

struct RarGuard {
  HANDLE handle = nullptr;
  RarGuard() = default;
  RarGuard(const RarGuard&) = delete;
  RarGuard& operator=(const RarGuard&) = delete;
  ~RarGuard() {
    if (handle != nullptr) RARCloseArchive(handle);
  }
};

struct Options {
  DWORD disposition = CREATE_NEW;
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
};

bool Extract(const char* archive, const char* folder, const Options& options, long* files) {
  if (!CreateDirectoryA(folder, nullptr)) {
    fprintf(stderr, "zsbunrar: cannot create %s: %lu\n", folder, GetLastError());
    return false;
  }
  wchar_t wide[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, archive, -1, wide, MAX_PATH) == 0) return false;
  Sink sink;
  RAROpenArchiveDataEx open;
  memset(&open, 0, sizeof open);
  open.ArcNameW = wide;
  open.OpenMode = RAR_OM_EXTRACT;
  open.Callback = OnData;
  open.UserData = reinterpret_cast<LPARAM>(&sink);
  RarGuard rar;
  rar.handle = RAROpenArchiveEx(&open);
  if (rar.handle == nullptr || open.OpenResult != ERAR_SUCCESS) {
    fprintf(stderr, "zsbunrar: cannot open %s: %u\n", archive, open.OpenResult);
    return false;
  }
  RARHeaderDataEx header;
  memset(&header, 0, sizeof header);
  for (;;) {
    int rc = RARReadHeaderEx(rar.handle, &header);
    if (rc == ERAR_END_ARCHIVE) return true;
    char name[MAX_PATH];
    char output[MAX_PATH];
    if (rc != ERAR_SUCCESS ||
        WideCharToMultiByte(CP_ACP, 0, header.FileNameW, -1, name, MAX_PATH, nullptr, nullptr) ==
            0 ||
        snprintf(output, sizeof output, "%s\\%s", folder, name) >= MAX_PATH) {
      fprintf(stderr, "zsbunrar: bad entry in %s: %d\n", archive, rc);
      return false;
    }
    {
      HandleGuard file(CreateFileA(output, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, options.disposition, options.flags, nullptr));
      if (file.handle == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "zsbunrar: cannot create %s: %lu\n", output, GetLastError());
        return false;
      }
      sink.file = file.handle;
      rc = RARProcessFile(rar.handle, RAR_TEST, nullptr, nullptr);
      sink.file = INVALID_HANDLE_VALUE;
    }
    if (rc != ERAR_SUCCESS) {
      fprintf(stderr, "zsbunrar: cannot extract %s: %d\n", output, rc);
      return false;
    }
    ++*files;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int first = 1;
  if (argc > 1 && strcmp(argv[1], "--like-setup") == 0) {
    options.disposition = CREATE_ALWAYS;
    options.flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH;
    first = 2;
  }
  if (argc - first < 2) {
    fprintf(stderr, "usage: zsbunrar [--like-setup] FOLDER ARCHIVE...\n");
    return 2;
  }
  const char* root = argv[first];
  if (!CreateDirectoryA(root, nullptr)) {
    fprintf(stderr, "zsbunrar: cannot create %s: %lu\n", root, GetLastError());
    return 1;
  }
  long files = 0;
  for (int i = first + 1; i < argc; ++i) {
    // The folder is named after the archive's file name without its extension.
    const char* base = strrchr(argv[i], '\\');
    base = base ? base + 1 : argv[i];
    char stem[MAX_PATH];
    snprintf(stem, sizeof stem, "%s", base);
    char* dot = strrchr(stem, '.');
    if (dot != nullptr) *dot = 0;
    char folder[MAX_PATH];
    if (snprintf(folder, sizeof folder, "%s\\%s", root, stem) >= MAX_PATH) return 1;
    if (!Extract(argv[i], folder, options, &files)) return 1;
  }
  printf("files: %ld\n", files);
  return 0;
}
