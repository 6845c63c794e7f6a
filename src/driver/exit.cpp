#include "run/exit.h"

#include "driver/libdrive.h"
#include "driver/rollback.h"
#include "run/context.h"
#include "run/log.h"
#include "run/vislib.h"
#include "system/os.h"
#include "system/str.h"
#include "xml/xml.h"

namespace {

SetupExitProcessHook g_exitProcess = nullptr;

// Set before the first rollback of the exit path, so an exit reached again (from the rollback
// itself, or later) never undoes anything twice.
bool g_rolledBack = false;

void CloseDocument(XML_Document** doc) {
  if (doc == nullptr || *doc == nullptr) return;
  if (XML_Close(*doc) != 0) SetupLogError("XML_Close: writing the document back failed");
  *doc = nullptr;
}

}  // namespace

void SetupExit(XML_Document** first, XML_Document** second, int code, const char* text) {
  // The text may live in a record the release below frees (a component's display name).
  char shown[MAX_PATH];
  if (text != nullptr) StrCopyN(shown, text, sizeof shown);
  const char* label = text != nullptr ? shown : nullptr;
  SysPumpMessages();
  CloseDocument(second);
  CloseDocument(first);
  if (g_vis.module != nullptr) {
    VisWaitDlg(3);
    if (code != 0) VisShowMsg(code, label, MB_ICONERROR);
  }
  if (code != 0 && !g_rolledBack) {
    g_rolledBack = true;
    rollBackAll();
  }
  ExeLibsRelease();
  VisLibRelease();
  if (label != nullptr) {
    SetupLog("Exitcode: %d %s", code, label);
  } else {
    SetupLog("Exitcode: %d", code);
  }
  if (code == 0 && g_context.restartPending != 0) code = 3010;
  SetupEndProcess(code);
}

void SetupEndProcess(int code) {
  SetupLogEnd();
  if (g_exitProcess != nullptr) g_exitProcess(static_cast<UINT>(code));
  ExitProcess(static_cast<UINT>(code));
}

void SetupExitWith(const SetupExitContext* context, int code, const char* text) {
  SetupExit(context != nullptr ? context->first : nullptr,
            context != nullptr ? context->second : nullptr, code, text);
}

void SetupRestartIfNeeded() {
  if (g_context.restartPending == 0) return;
  if (g_options.silent && !g_options.reboot) return;
  SetupLog("Restart");
  SetupLogEnd();
  // The request returns at once; the system ends the process when the restart goes ahead.
  SysRestartWindows();
}

void SetupSetExitProcessHook(SetupExitProcessHook hook) { g_exitProcess = hook; }

void SetupResetExitState() { g_rolledBack = false; }
