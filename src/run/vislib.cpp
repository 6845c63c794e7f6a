#include "run/vislib.h"

#include "run/context.h"
#include "system/libload.h"
#include "system/progress.h"

VisLib g_vis;

namespace {

// The wait dialog is open: a second show only changes its phase.
bool g_waitShown = false;

template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn* out) {
  *out = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *out != nullptr;
}

}  // namespace

int VisLibLoad() {
  VisLib vis = {};
  // The package's own library, from the setup folder only: a missing one is not looked for on
  // the search path, where anyone may have left a file of that name.
  vis.module = SysLoadLibraryFrom(g_context.setupDir, "main.dll", 0);
  if (vis.module == nullptr) return 0;
  // Every export is looked up, so a missing one never hides behind another.
  bool all = Resolve(vis.module, "connectLib", &vis.connectLib);
  all = Resolve(vis.module, "disconnectLib", &vis.disconnectLib) && all;
  all = Resolve(vis.module, "showSetupdlg", &vis.showSetupdlg) && all;
  all = Resolve(vis.module, "showMsg", &vis.showMsg) && all;
  all = Resolve(vis.module, "waitDlg", &vis.waitDlg) && all;
  all = Resolve(vis.module, "showEnddlg", &vis.showEnddlg) && all;
  all = Resolve(vis.module, "enterPwd", &vis.enterPwd) && all;
  if (!all) {
    FreeLibrary(vis.module);
    return 0;
  }
  g_vis = vis;
  return 1;
}

void VisWaitDlg(int action) {
  if (g_vis.module == nullptr || g_vis.waitDlg == nullptr) return;
  // A wait dialog that opens starts with an empty bar, whatever the last one showed.
  if (action == 0 && !g_waitShown) SysProgressBegin();
  g_waitShown = action == 0;
  g_vis.waitDlg(action);
}

int VisShowMsg(int number, const char* text, int style) {
  if (g_vis.module == nullptr || g_vis.showMsg == nullptr) return 0;
  // The wait dialog under the message keeps reading its bar: it shows the work as it stands.
  SysProgressPublish();
  return g_vis.showMsg(number, text, style);
}

void VisShowEndDlg(int code) {
  if (g_vis.module != nullptr && g_vis.showEnddlg != nullptr) g_vis.showEnddlg(code);
}
