// Visual library double (main.dll): answers from a script the test writes (ZS_VIS_SCRIPT) and
// journals every call with its arguments and the context fields it reads (ZS_VIS_JOURNAL).
// A variant built with ZS_OMIT_<export> leaves that export out.
#include <stdarg.h>
#include <stdlib.h>

#include "double_util.h"
#include "run/components.h"
#include "run/context.h"
#include "run/libraries.h"

using zsdouble::Format;
using zsdouble::Journal;

namespace {

const char kJournal[] = "ZS_VIS_JOURNAL";
SetupContext* g_ctx = nullptr;
[[maybe_unused]] size_t g_nextPassword = 0;

// Value of "key=value" in the script, or null when the key is absent.
bool ScriptValue(const std::string& key, std::string* value) {
  for (const std::string& line : zsdouble::ReadScript("ZS_VIS_SCRIPT")) {
    size_t eq = line.find('=');
    if (eq != std::string::npos && line.compare(0, eq, key) == 0 && eq == key.size()) {
      *value = line.substr(eq + 1);
      return true;
    }
  }
  return false;
}

int ScriptInt(const std::string& key, int fallback) {
  std::string v;
  return ScriptValue(key, &v) ? atoi(v.c_str()) : fallback;
}

int Phase() { return g_ctx != nullptr ? g_ctx->phase : -1; }

// With "journalGuiLibs=1": one line per user-interface library of the package's components, whose
// module is null, the component library's of the same file ("exe") or its own ("own").
[[maybe_unused]] void JournalGuiLibs() {
  if (ScriptInt("journalGuiLibs", 0) == 0 || g_ctx == nullptr) return;
  for (int i = 0; i < g_ctx->componentCount && g_ctx->components != nullptr; ++i) {
    const ComponentDesc& c = g_ctx->components[i];
    for (int g = 0; g < c.guiLibCount && c.guiLibs != nullptr; ++g) {
      const GuiLib& gui = c.guiLibs[g];
      const char* module = gui.module == nullptr ? "null" : "own";
      for (int e = 0; e < c.exeLibCount && c.exeLibs != nullptr; ++e) {
        if (lstrcmpiA(c.exeLibs[e].fileName, gui.fileName) == 0 &&
            c.exeLibs[e].module == gui.module && gui.module != nullptr) {
          module = "exe";
        }
      }
      Journal(kJournal, Format("guiLib %s shared=%d module=%s", gui.fileName, gui.shared, module));
    }
  }
}

}  // namespace

extern "C" {

#ifndef ZS_OMIT_connectLib
__declspec(dllexport) void WINAPI connectLib(SetupContext* context) {
  g_ctx = context;
  int phase = ScriptInt("phaseAtConnect", -1);
  if (phase >= 0 && g_ctx != nullptr) g_ctx->phase = phase;
  Journal(kJournal, Format("connectLib phase=%d restart=%d platform=%d setupdir=%s", Phase(),
                           g_ctx ? g_ctx->restartPending : -1, g_ctx ? g_ctx->runningPlatform : -1,
                           g_ctx ? g_ctx->setupDir : ""));
}
#endif

#ifndef ZS_OMIT_disconnectLib
__declspec(dllexport) void WINAPI disconnectLib(int32_t zero) {
  Journal(kJournal, Format("disconnectLib %d", zero));
}
#endif

#ifndef ZS_OMIT_showSetupdlg
__declspec(dllexport) int32_t WINAPI showSetupdlg(int32_t zero) {
  int answer = ScriptInt("showSetupdlg", VIS_SETUPDLG_PROCEED);
  JournalGuiLibs();
  Journal(kJournal, Format("showSetupdlg %d -> %d", zero, answer));
  return answer;
}
#endif

#ifndef ZS_OMIT_showMsg
__declspec(dllexport) int32_t WINAPI showMsg(int32_t number, const char* text, int32_t style) {
  int fallback = (style & 0xF) == MB_YESNO ? IDYES : IDOK;
  int answer = ScriptInt("showMsg", fallback);
  answer = ScriptInt(Format("showMsg.%d", number), answer);
  Journal(kJournal, Format("showMsg %d style=%d text=%s -> %d", number, style,
                           text != nullptr ? text : "(null)", answer));
  return answer;
}
#endif

#ifndef ZS_OMIT_waitDlg
__declspec(dllexport) void WINAPI waitDlg(int32_t action) {
  Journal(kJournal, Format("waitDlg %d phase=%d", action, Phase()));
}
#endif

#ifndef ZS_OMIT_showEnddlg
__declspec(dllexport) void WINAPI showEnddlg(int32_t code) {
  int restart = ScriptInt("restartAtEnd", -1);
  if (restart >= 0 && g_ctx != nullptr) g_ctx->restartPending = restart;
  Journal(kJournal, Format("showEnddlg %d phase=%d", code, Phase()));
}
#endif

#ifndef ZS_OMIT_enterPwd
__declspec(dllexport) void WINAPI enterPwd(char* buffer30) {
  std::string list;
  std::string typed;
  if (ScriptValue("enterPwd", &list)) {
    size_t start = 0;
    for (size_t i = 0; i < g_nextPassword && start != std::string::npos; ++i) {
      size_t comma = list.find(',', start);
      start = comma == std::string::npos ? std::string::npos : comma + 1;
    }
    if (start != std::string::npos) typed = list.substr(start, list.find(',', start) - start);
  }
  ++g_nextPassword;
  // Like the real dialog, fill the whole 30-byte buffer: no terminator when 30 characters come.
  memset(buffer30, 0, 30);
  memcpy(buffer30, typed.data(), typed.size() < 30 ? typed.size() : 30);
  Journal(kJournal, Format("enterPwd -> %s", typed.empty() ? "(empty)" : typed.c_str()));
}
#endif

}  // extern "C"

// The exports must have exactly the types the program calls them through (stdcall, 32-bit
// arguments): initialising the program's pointer types fails to compile otherwise.
#define ZS_CHECK_EXPORT(name, type) [[maybe_unused]] constexpr type k_##name = &name;
#ifndef ZS_OMIT_connectLib
ZS_CHECK_EXPORT(connectLib, ConnectLibFn)
#endif
#ifndef ZS_OMIT_disconnectLib
ZS_CHECK_EXPORT(disconnectLib, DisconnectLibFn)
#endif
#ifndef ZS_OMIT_showSetupdlg
ZS_CHECK_EXPORT(showSetupdlg, ShowSetupDlgFn)
#endif
#ifndef ZS_OMIT_showMsg
ZS_CHECK_EXPORT(showMsg, ShowMsgFn)
#endif
#ifndef ZS_OMIT_waitDlg
ZS_CHECK_EXPORT(waitDlg, WaitDlgFn)
#endif
#ifndef ZS_OMIT_showEnddlg
ZS_CHECK_EXPORT(showEnddlg, ShowEndDlgFn)
#endif
#ifndef ZS_OMIT_enterPwd
ZS_CHECK_EXPORT(enterPwd, EnterPwdFn)
#endif
