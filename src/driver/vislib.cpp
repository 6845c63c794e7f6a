#include "driver/vislib.h"

VisLib g_vis;

namespace {

template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn* out) {
  *out = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *out != nullptr;
}

}  // namespace

int VisLibLoad() {
  VisLib vis = {};
  vis.module = LoadLibraryA("main.dll");
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
  if (g_vis.module != nullptr && g_vis.waitDlg != nullptr) g_vis.waitDlg(action);
}

int VisShowMsg(int number, const char* text, int style) {
  if (g_vis.module == nullptr || g_vis.showMsg == nullptr) return 0;
  return g_vis.showMsg(number, text, style);
}

void VisShowEndDlg(int code) {
  if (g_vis.module != nullptr && g_vis.showEnddlg != nullptr) g_vis.showEnddlg(code);
}
