// Component and user-interface library double (comp.dll, copied under any name): results per
// command come from a script the test writes (ZS_COMP_SCRIPT); every call is journaled with the
// module's own file name and the global.xml path it was given (ZS_COMP_JOURNAL).
#include <stdlib.h>

#include "double_util.h"
#include "run/libraries.h"

using zsdouble::Format;
using zsdouble::Journal;

namespace {

const char kJournal[] = "ZS_COMP_JOURNAL";
HMODULE g_self = nullptr;
char g_connection;  // its address is the connection value

std::string ModuleName() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(g_self, path, sizeof path);
  std::string full(path, n);
  size_t slash = full.find_last_of("\\/");
  return slash == std::string::npos ? full : full.substr(slash + 1);
}

// The first script line "<module or *> <what> <value>" naming this module and what.
bool ScriptLookup(const std::string& what, std::string* value) {
  std::string self = ModuleName();
  for (const std::string& line : zsdouble::ReadScript("ZS_COMP_SCRIPT")) {
    size_t a = line.find(' ');
    size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
    if (b == std::string::npos) continue;
    std::string who = line.substr(0, a);
    if (who != "*" && lstrcmpiA(who.c_str(), self.c_str()) != 0) continue;
    if (line.compare(a + 1, b - a - 1, what) != 0) continue;
    *value = line.substr(b + 1);
    return true;
  }
  return false;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_self = instance;
  return TRUE;
}

__declspec(dllexport) int32_t WINAPI exeProc(int32_t command, const wchar_t* globalXmlPath) {
  std::string value;
  int result = ScriptLookup(Format("%d", command), &value) ? atoi(value.c_str()) : 0;
  Journal(kJournal, Format("%s exeProc %d %s", ModuleName().c_str(), command,
                           zsdouble::Narrow(globalXmlPath).c_str()));
  // "<module> keep <folder>": a copy of global.xml as the command found it, <folder>global_<n>.xml.
  if (ScriptLookup("keep", &value)) {
    CopyFileA(zsdouble::Narrow(globalXmlPath).c_str(),
              Format("%sglobal_%d.xml", value.c_str(), command).c_str(), FALSE);
  }
  // "<module> hold <command> <folder>": that command writes <folder>held.txt and returns only
  // once <folder>release.txt exists (at most 120 s), so a test knows where the run stands while
  // it starts another program.
  if (ScriptLookup("hold", &value) && atoi(value.c_str()) == command) {
    std::string folder = value.substr(value.find(' ') + 1);
    HANDLE held = CreateFileA((folder + "held.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    std::string release = folder + "release.txt";
    for (int i = 0; i < 2400 && GetFileAttributesA(release.c_str()) == INVALID_FILE_ATTRIBUTES;
         ++i) {
      Sleep(50);
    }
  }
  return result;
}

__declspec(dllexport) void* WINAPI connectVis(const wchar_t* globalXmlPath) {
  std::string value;
  void* result = &g_connection;
  if (ScriptLookup("connectVis", &value) && value == "null") result = nullptr;
  Journal(kJournal, Format("%s connectVis %s", ModuleName().c_str(),
                           zsdouble::Narrow(globalXmlPath).c_str()));
  return result;
}

__declspec(dllexport) void WINAPI disconnectVis(void* connection) {
  Journal(kJournal, Format("%s disconnectVis %p", ModuleName().c_str(), connection));
}

}  // extern "C"

[[maybe_unused]] constexpr ExeProcFn kExeProc = &exeProc;
[[maybe_unused]] constexpr ConnectVisFn kConnectVis = &connectVis;
[[maybe_unused]] constexpr DisconnectVisFn kDisconnectVis = &disconnectVis;
