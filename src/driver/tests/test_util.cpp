#include "test_util.h"

#include <stdio.h>

#include "run/context.h"
#include "run/exit.h"
#include "run/vislib.h"

namespace {

jmp_buf* g_jump = nullptr;
UINT g_code = 0;

void CatchExit(UINT code) {
  g_code = code;
  if (g_jump != nullptr) longjmp(*g_jump, 1);
}

std::string MakeScratch() {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  static int serial = 0;
  char name[MAX_PATH];
  snprintf(name, sizeof name, "%sdrv%lu_%d\\", temp, GetCurrentProcessId(), ++serial);
  CreateDirectoryA(name, nullptr);
  return name;
}

}  // namespace

DriverTest::DriverTest() : folder_(MakeScratch()) {
  g_context = SetupContext();
  g_options = SetupRunOptions();
  lstrcpyA(g_options.adminFile, "zorva.xml");
  lstrcpyA(g_options.setupDescFile, "setup.xml");
  lstrcpynA(g_context.setupDir, folder_.c_str(), MAX_PATH);
  g_vis = VisLib();
  SetupResetExitState();
  SetupSetExitProcessHook(&CatchExit);
  SetEnvironmentVariableA("ZS_SEQ_SCRIPT", (folder_ + "script.txt").c_str());
  SetEnvironmentVariableA("ZS_SEQ_JOURNAL", (folder_ + "journal.txt").c_str());
}

DriverTest::~DriverTest() {
  SetupSetExitProcessHook(nullptr);
  SetEnvironmentVariableA("ZS_SEQ_SCRIPT", nullptr);
  SetEnvironmentVariableA("ZS_SEQ_JOURNAL", nullptr);
}

void DriverTest::Script(const std::string& text) const { WriteText(folder_ + "script.txt", text); }

std::vector<std::string> DriverTest::Journal() const { return ReadLines(folder_ + "journal.txt"); }

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return lines;
  std::string text;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
  fclose(f);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

bool WriteText(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  return fclose(f) == 0 && ok;
}

bool FileThere(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((folder + "*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    std::string name = data.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(find, &data));
  FindClose(find);
  return names;
}

bool EndsProcess(void (*body)(void*), void* arg, int* code) {
  jmp_buf jump;
  jmp_buf* outer = g_jump;
  g_jump = &jump;
  if (setjmp(jump) != 0) {
    g_jump = outer;
    *code = static_cast<int>(g_code);
    return true;
  }
  body(arg);
  g_jump = outer;
  return false;
}
