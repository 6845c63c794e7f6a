#include "system/test_util.h"

#include <ctype.h>
#include <string.h>

#include "system/files.h"
#include "system/os.h"

namespace zs_test {
namespace {

SleepCounter* g_counter = nullptr;
int g_waits = 0;
DWORD g_total = 0;

void CountingSleep(DWORD ms) {
  ++g_waits;
  g_total += ms;
  if (g_counter && g_counter->onWait) g_counter->onWait(g_waits);
}

bool g_fakeNt = true;
BOOL WINAPI FakeVersion(OSVERSIONINFOA* info) {
  info->dwMajorVersion = g_fakeNt ? 5 : 4;
  info->dwMinorVersion = g_fakeNt ? 1 : 10;
  info->dwPlatformId = g_fakeNt ? VER_PLATFORM_WIN32_NT : VER_PLATFORM_WIN32_WINDOWS;
  return TRUE;
}

std::string Upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

void RemoveTree(const std::string& dir) {
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((dir + "*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      std::string path = dir + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path + "\\");
      } else {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryA(dir.c_str());
}

}  // namespace

std::string ScratchDir(const std::string& name) {
  CreateDirectoryA("C:\\zs_tests", nullptr);
  std::string dir = "C:\\zs_tests\\" + name + "\\";
  RemoveTree(dir);
  CreateDirectoryA(dir.c_str(), nullptr);
  return dir;
}

bool WriteText(const std::string& path, const std::string& text) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == text.size();
}

std::string ReadText(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string text;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) text.append(chunk, got);
  CloseHandle(file);
  return text;
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> PendingRenames() {
  std::vector<std::string> out;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                    KEY_READ, &key) != ERROR_SUCCESS) {
    return out;
  }
  DWORD type = 0, size = 0;
  if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type, nullptr, &size) ==
      ERROR_SUCCESS) {
    std::string data(size + 2, '\0');
    if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type,
                         reinterpret_cast<BYTE*>(&data[0]), &size) == ERROR_SUCCESS) {
      const char* p = data.c_str();
      const char* end = data.c_str() + size;
      // Entries come in source, target pairs; a deletion has an empty target.
      while (p < end) {
        out.push_back(Upper(p));
        p += strlen(p) + 1;
      }
    }
  }
  RegCloseKey(key);
  return out;
}

bool IsPending(const std::string& path) {
  std::string want = Upper(path);
  for (const auto& entry : PendingRenames()) {
    if (entry.size() >= want.size() &&
        entry.compare(entry.size() - want.size(), want.size(), want) == 0) {
      return true;
    }
  }
  return false;
}

SleepCounter::SleepCounter() {
  g_counter = this;
  g_waits = 0;
  g_total = 0;
  FileSetSleepHook(CountingSleep);
}

SleepCounter::~SleepCounter() {
  FileSetSleepHook(nullptr);
  g_counter = nullptr;
}

int SleepCounter::waits() const { return g_waits; }
DWORD SleepCounter::total() const { return g_total; }

FakePlatform::FakePlatform(bool nt) {
  g_fakeNt = nt;
  SysSetVersionQuery(FakeVersion);
}

FakePlatform::~FakePlatform() { SysSetVersionQuery(nullptr); }

std::string BesideTestProgram(const char* name) {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir(path, n);
  return dir.substr(0, dir.rfind('\\') + 1) + name;
}

}  // namespace zs_test
