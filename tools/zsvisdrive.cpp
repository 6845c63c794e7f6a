// Test tool: loads a visual library and calls one of its exports with a setup context made from
// the arguments, the way setup.exe would. Usage:
//   zsvisdrive.exe [key=value ...] ACTION [ARGS]
// Keys: main=PATH (default main.dll), lang=PATH (the language library; without it the resource
// module is this program, which has no texts), title=TEXT, phase=N, restart=N, installed=N,
// folder=DIR (install folder), global=PATH (global.xml), comp=NAME:HEXBUILD (repeatable).
// Actions and what they print:
//   setup                      showSetupdlg: "result N", "folder DIR", "variable VALUE"
//   wait RELEASEFILE           waitDlg 0, dispatching messages until RELEASEFILE exists, waitDlg 3
//   msg NUMBER STYLE [TEXT]    showMsg: "result N"
//   end CODE                   showEnddlg: "restart N"
//   pwd                        enterPwd: "password TEXT" (the buffer, read as a text of at most
//                              30 bytes)
// Exit code 2 for bad arguments or a library that does not load.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "run/context.h"
#include "run/libraries.h"

namespace {

SetupContext g_ctx;
wchar_t g_globalPath[MAX_PATH];
ComponentDesc g_components[8];

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  Fn fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (fn == nullptr) {
    fprintf(stderr, "zsvisdrive: no export %s\n", name);
    exit(2);
  }
  return fn;
}

void Pump() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* mainPath = "main.dll";
  const char* langPath = nullptr;
  g_ctx.globalXmlPath = g_globalPath;
  int arg = 1;
  for (; arg < argc && strchr(argv[arg], '=') != nullptr; ++arg) {
    char* value = strchr(argv[arg], '=') + 1;
    size_t keyLength = static_cast<size_t>(value - 1 - argv[arg]);
    auto is = [&](const char* key) {
      return strlen(key) == keyLength && strncmp(argv[arg], key, keyLength) == 0;
    };
    if (is("main")) {
      mainPath = value;
    } else if (is("lang")) {
      langPath = value;
    } else if (is("title")) {
      lstrcpynA(g_ctx.title, value, sizeof g_ctx.title);
    } else if (is("phase")) {
      g_ctx.phase = atoi(value);
    } else if (is("restart")) {
      g_ctx.restartPending = atoi(value);
    } else if (is("installed")) {
      g_ctx.productInstalled = atoi(value);
    } else if (is("folder")) {
      lstrcpynA(g_ctx.installDir, value, sizeof g_ctx.installDir);
    } else if (is("global")) {
      MultiByteToWideChar(CP_ACP, 0, value, -1, g_globalPath, MAX_PATH);
    } else if (is("comp") && g_ctx.componentCount < 8) {
      ComponentDesc& c = g_components[g_ctx.componentCount++];
      char* colon = strchr(value, ':');
      if (colon != nullptr) {
        *colon = 0;
        c.build = static_cast<int32_t>(strtoul(colon + 1, nullptr, 16));
      }
      lstrcpynA(c.displayName, value, sizeof c.displayName);
      lstrcpynA(c.name, value, sizeof c.name);
      g_ctx.components = g_components;
    } else {
      fprintf(stderr, "zsvisdrive: unknown key in %s\n", argv[arg]);
      return 2;
    }
  }
  if (arg >= argc) {
    fprintf(stderr, "usage: zsvisdrive [key=value ...] setup|wait|msg|end|pwd [ARGS]\n");
    return 2;
  }
  g_ctx.langLibrary = langPath != nullptr ? LoadLibraryA(langPath) : nullptr;
  g_ctx.resourceModule =
      g_ctx.langLibrary != nullptr ? g_ctx.langLibrary : GetModuleHandleA(nullptr);
  HMODULE vis = LoadLibraryA(mainPath);
  if (vis == nullptr || (langPath != nullptr && g_ctx.langLibrary == nullptr)) {
    fprintf(stderr, "zsvisdrive: cannot load %s or %s\n", mainPath, langPath ? langPath : "-");
    return 2;
  }
  Export<ConnectLibFn>(vis, "connectLib")(&g_ctx);
  const char* action = argv[arg];
  int result = 0;
  if (strcmp(action, "setup") == 0) {
    printf("result %d\n", Export<ShowSetupDlgFn>(vis, "showSetupdlg")(0));
    printf("folder %s\n", g_ctx.installDir);
    char variable[MAX_PATH];
    if (GetEnvironmentVariableA("ZORVAINSTALLDIR", variable, sizeof variable) == 0) variable[0] = 0;
    printf("variable %s\n", variable);
  } else if (strcmp(action, "wait") == 0 && arg + 1 < argc) {
    WaitDlgFn wait = Export<WaitDlgFn>(vis, "waitDlg");
    wait(0);
    for (int i = 0; i < 6000 && GetFileAttributesA(argv[arg + 1]) == INVALID_FILE_ATTRIBUTES; ++i) {
      Pump();
      Sleep(20);
    }
    wait(3);
  } else if (strcmp(action, "msg") == 0 && arg + 2 < argc) {
    const char* text = arg + 3 < argc ? argv[arg + 3] : nullptr;
    printf("result %d\n",
           Export<ShowMsgFn>(vis, "showMsg")(atoi(argv[arg + 1]), text, atoi(argv[arg + 2])));
  } else if (strcmp(action, "end") == 0 && arg + 1 < argc) {
    Export<ShowEndDlgFn>(vis, "showEnddlg")(atoi(argv[arg + 1]));
    printf("restart %d\n", g_ctx.restartPending);
  } else if (strcmp(action, "pwd") == 0) {
    char buffer[31] = {};
    memset(buffer, 'x', 30);
    Export<EnterPwdFn>(vis, "enterPwd")(buffer);
    printf("password %s\n", buffer);
  } else {
    fprintf(stderr, "zsvisdrive: bad action\n");
    result = 2;
  }
  Export<DisconnectLibFn>(vis, "disconnectLib")(0);
  fflush(stdout);
  return result;
}
